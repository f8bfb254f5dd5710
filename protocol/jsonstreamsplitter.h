#ifndef JSONSTREAMSPLITTER_H
#define JSONSTREAMSPLITTER_H

#include <QByteArray>
#include <QList>

// Cuts the byte stream of one connection into its messages. A local socket keeps no write
// boundaries, so one read may hold several messages or part of one; this class finds where each
// top-level JSON value ends (outside string literals and escapes) and keeps an incomplete tail
// for the next read. Bytes between values that cannot start one, a top-level string among them
// whatever braces it holds, are returned as a segment of their own, so the receiver's parser
// rejects them the way it rejects any malformed message. Such a string ends at its closing quote,
// at a control character (which no JSON string holds) or at the end of the read.
class JsonStreamSplitter
{
public:
    // An incomplete value that grows past this is dropped, so a stream of garbage cannot
    // exhaust memory. The rest of the dropped value is still scanned, without being kept, so
    // that reading resumes with whatever follows its end.
    static constexpr qsizetype MaxPendingBytes = qsizetype(64) * 1024 * 1024;

    explicit JsonStreamSplitter(qsizetype maxPendingBytes = MaxPendingBytes);

    // Appends bytes and returns every segment completed by them, in stream order.
    QList<QByteArray> feed(const QByteArray &bytes);

    // Bytes of the value that is still incomplete.
    qsizetype pendingSize() const;

private:
    // A byte inside a string literal: follows its escapes up to the closing quote.
    void scanStringByte(char c);
    void resetValue();

    qsizetype m_maxPending;
    QByteArray m_value;
    QByteArray m_garbage;
    int m_depth = 0;
    bool m_dropping = false;
    bool m_inString = false;
    bool m_escaped = false;
};

#endif // JSONSTREAMSPLITTER_H
