#include "ingestqueue.h"

IngestQueue::~IngestQueue()
{
    qDeleteAll(m_entries);
}

void IngestQueue::append(Doc *doc)
{
    m_entries.append(doc);
}

Doc *IngestQueue::takeNext()
{
    if (m_nextIndex >= m_entries.size())
        return nullptr;
    return m_entries.at(m_nextIndex++);
}

Doc *IngestQueue::current() const
{
    return m_nextIndex > 0 ? m_entries.at(m_nextIndex - 1) : nullptr;
}

void IngestQueue::setCurrentStatus(Doc::Status status)
{
    if (Doc *doc = current())
        doc->setStat(status);
}

QList<Doc *> IngestQueue::ingested() const
{
    QList<Doc *> result;
    for (Doc *doc : m_entries) {
        if (doc->stat() == Doc::INGESTED)
            result.append(doc);
    }
    return result;
}

int IngestQueue::totalPages() const
{
    return pagesOfFirst(m_entries.size());
}

int IngestQueue::pagesTaken() const
{
    return pagesOfFirst(m_nextIndex);
}

int IngestQueue::pagesDone(int page) const
{
    return pagesOfFirst(m_nextIndex - 1) + page;
}

void IngestQueue::reset()
{
    // Later, not now: the run may end inside a signal of one of its documents' objects.
    for (Doc *doc : std::as_const(m_entries)) {
        if (doc->stat() != Doc::INGESTED)
            doc->deleteLater();
    }
    m_entries.clear();
    m_nextIndex = 0;
}

void IngestQueue::rewind()
{
    for (Doc *doc : std::as_const(m_entries))
        doc->setStat(Doc::NEW);
    m_nextIndex = 0;
}

int IngestQueue::size() const
{
    return m_entries.size();
}

bool IngestQueue::containsPath(const QString &path) const
{
    for (const Doc *doc : m_entries) {
        if (doc->path() == path)
            return true;
    }
    return false;
}

bool IngestQueue::isEmpty() const
{
    return m_entries.isEmpty();
}

bool IngestQueue::atEnd() const
{
    return m_nextIndex >= m_entries.size();
}

int IngestQueue::taken() const
{
    return m_nextIndex;
}

int IngestQueue::pagesOfFirst(int count) const
{
    int pages = 0;
    for (int i = 0; i < count && i < m_entries.size(); ++i)
        pages += m_entries.at(i)->pageCount();
    return pages;
}
