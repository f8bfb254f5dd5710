#include "message.h"

#include <QTime>
#include <QVariantMap>

Message::Message(const QString &contents, int userID, const QList<Chunk> &sources, QObject *parent)
    : QObject(parent)
    , m_contents(contents)
    , m_time(QTime::currentTime().toString(QStringLiteral("HH:mm")))
    , m_userID(userID)
    , m_sources(sources)
{ }

Message::Message(const QString &contents, int userID, QObject *parent)
    : Message(contents, userID, QList<Chunk>(), parent)
{ }

QString Message::contents() const
{
    return m_contents;
}

void Message::setContents(const QString &text)
{
    if (text == m_contents)
        return;
    m_contents = text;
    emit contentsChanged(m_contents);
}

void Message::appendContents(const QString &text)
{
    if (text.isEmpty())
        return;
    m_contents += text;
    emit contentsChanged(m_contents);
}

QString Message::time() const
{
    return m_time;
}

int Message::userID() const
{
    return m_userID;
}

bool Message::loading() const
{
    return m_loading;
}

void Message::setLoading(bool loading)
{
    if (loading == m_loading)
        return;
    m_loading = loading;
    emit loadingChanged();
}

QList<Chunk> Message::sources() const
{
    return m_sources;
}

void Message::appendSources(const QVariantList &list)
{
    m_sources.reserve(m_sources.size() + list.size());
    for (const QVariant &v : list)
        m_sources.append(v.value<Chunk>());
}

const Chunk *Message::sourceAt(int i) const
{
    if (i < 0 || i >= m_sources.size())
        return nullptr;
    return &m_sources.at(i);
}

QVariantList Message::sourceEntries() const
{
    QVariantList entries;
    entries.reserve(m_sources.size());
    for (int n = 1; n <= m_sources.size(); ++n)
        entries.append(QVariantMap { { QStringLiteral("id"), n } });
    return entries;
}
