#include "jsonstreamsplitter.h"

#include <QDebug>

namespace {

bool isJsonWhitespace(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

} // namespace

JsonStreamSplitter::JsonStreamSplitter(qsizetype maxPendingBytes) : m_maxPending(maxPendingBytes)
{
}

QList<QByteArray> JsonStreamSplitter::feed(const QByteArray &bytes)
{
    QList<QByteArray> segments;
    const char *data = bytes.constData();
    const qsizetype size = bytes.size();
    qsizetype valueStart = m_depth > 0 && !m_dropping ? 0 : -1;

    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (m_depth == 0) {
            // A string between values is garbage too, but a brace inside it opens nothing.
            if (m_inString) {
                m_garbage.append(c);
                // A JSON string holds no control character: one ends a stray quote's string, so
                // that noise is read the same however the socket cut it.
                if (static_cast<unsigned char>(c) < 0x20) {
                    m_inString = false;
                    m_escaped = false;
                } else {
                    scanStringByte(c);
                }
            } else if (c == '{' || c == '[') {
                if (!m_garbage.isEmpty()) {
                    segments.append(m_garbage);
                    m_garbage.clear();
                }
                valueStart = i;
                m_depth = 1;
            } else if (!isJsonWhitespace(c)) {
                m_garbage.append(c);
                m_inString = c == '"';
            }
            continue;
        }
        if (m_inString) {
            scanStringByte(c);
            continue;
        }
        if (c == '"') {
            m_inString = true;
        } else if (c == '{' || c == '[') {
            ++m_depth;
        } else if (c == '}' || c == ']') {
            if (--m_depth == 0) {
                if (!m_dropping) {
                    m_value.append(data + valueStart, i + 1 - valueStart);
                    segments.append(m_value);
                }
                resetValue();
                valueStart = -1;
            }
        }
    }

    if (m_depth > 0 && !m_dropping) {
        m_value.append(data + valueStart, size - valueStart);
        if (m_value.size() > m_maxPending) {
            qWarning() << "Dropping an incomplete message of" << m_value.size()
                       << "bytes: no end found within the size limit";
            // Its bytes go, but where it ends still counts: what follows is read afresh.
            m_value.clear();
            m_value.squeeze();
            m_dropping = true;
        }
    }
    // Garbage is not held over: a later read cannot make it a message. Nor is a string that
    // garbage left open, so that a stray quote cannot swallow the messages of later reads.
    if (!m_garbage.isEmpty()) {
        segments.append(m_garbage);
        m_garbage.clear();
    }
    if (m_depth == 0) {
        m_inString = false;
        m_escaped = false;
    }
    return segments;
}

qsizetype JsonStreamSplitter::pendingSize() const
{
    return m_value.size();
}

void JsonStreamSplitter::scanStringByte(char c)
{
    if (m_escaped)
        m_escaped = false;
    else if (c == '\\')
        m_escaped = true;
    else if (c == '"')
        m_inString = false;
}

void JsonStreamSplitter::resetValue()
{
    m_value.clear();
    m_depth = 0;
    m_dropping = false;
    m_inString = false;
    m_escaped = false;
}
