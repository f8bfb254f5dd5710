#ifndef INGESTQUEUE_H
#define INGESTQUEUE_H

#include "doc.h"

#include <QList>

// The documents of one ingestion run, taken one after the other. The queue owns its entries
// until the run ends: reset() keeps only the ingested ones alive, for the list to take over.
class IngestQueue
{
public:
    IngestQueue() = default;
    ~IngestQueue();
    IngestQueue(const IngestQueue &) = delete;
    IngestQueue &operator=(const IngestQueue &) = delete;

    void append(Doc *doc);
    Doc *takeNext();
    Doc *current() const;
    void setCurrentStatus(Doc::Status status);
    QList<Doc *> ingested() const;

    int totalPages() const;
    int pagesTaken() const;
    int pagesDone(int page) const;

    void reset();
    // Every entry NEW again and none taken: the run starts over.
    void rewind();
    int size() const;
    bool containsPath(const QString &path) const;
    bool isEmpty() const;
    bool atEnd() const;
    int taken() const;

private:
    int pagesOfFirst(int count) const;

    QList<Doc *> m_entries;
    int m_nextIndex = 0;
};

#endif // INGESTQUEUE_H
