#ifndef DOCREADER_H
#define DOCREADER_H

#include <QByteArray>
#include <QFuture>
#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <limits>
#include <memory>

class QPdfDocument;
class QThread;
class QThreadPool;

// A document opened on a worker thread and moved to the thread that asked for it: freed there
// unless a Doc claims it first.
class OpenedPdf
{
public:
    explicit OpenedPdf(QPdfDocument *document);
    ~OpenedPdf();
    OpenedPdf(const OpenedPdf &) = delete;
    OpenedPdf &operator=(const OpenedPdf &) = delete;

    // The document, for the one caller that takes it over; null for any later one.
    QPdfDocument *claim();

private:
    QPdfDocument *m_document;
    std::atomic<bool> m_claimed { false };
};

// What a Doc is made of: the bytes of its file and the document QtPdf opened on them.
struct DocSource
{
    QString path;
    QByteArray contents;
    std::shared_ptr<OpenedPdf> pdfDocument;
    // Why the file's bytes cannot be held; empty when they are in.
    QString failure;
};

// Reads dropped files one after the other on a worker thread: reading a file and opening it in
// QtPdf take time that grows with its size (seconds for a damaged file of a few hundred MB).
class DocReader : public QObject
{
    Q_OBJECT

public:
    // The largest file scrivex reads: poppler takes a document's length as an int. A larger
    // file could never be listed, so it is passed over before a byte of it is read.
    static constexpr qint64 MaxFileSize = std::numeric_limits<int>::max();

    explicit DocReader(QObject *parent = nullptr);
    ~DocReader() override;

    // Queues a path; loaded() follows for each path, in the order they were queued.
    void read(const QString &path);
    bool isReading() const;
    bool isQueued(const QString &path) const;

    // The file behind path, read and opened on the calling thread, the document handed to
    // target. Only a regular file whose name ends in ".pdf" is read; anything else gives no
    // bytes and a document of zero pages. A file over MaxFileSize gives a failure, unread.
    static DocSource load(const QString &path, QThread *target);
    // The file as it was left, when it still holds exactly size bytes whose digest is the one
    // given; otherwise a source that says what changed. The digest is waited for here. Without
    // openPdf it only tells: no bytes come back.
    static DocSource reload(const QString &path, qint64 size, QFuture<QByteArray> digest,
        bool openPdf, QThread *target);
    // Whether the file still holds exactly these bytes.
    static bool fileHolds(const QString &localPath, const QByteArray &contents);
    // Frees bytes whose last holder is the caller, without stalling other threads for long.
    static void release(QByteArray &&bytes);
    static QString localPathOf(const QString &path);
    // Where the reading, digests and comparisons run: a pool of its own, so that they take at
    // most two cores from the GUI thread. Null once the application has ended.
    static QThreadPool *pool();
    static bool isPdfFile(const QString &localPath);

signals:
    void loaded(const DocSource &source);

private:
    void startNext();

    QStringList m_waiting;
    QString m_reading;
};

// Calls done with the result of future on context's thread once it is there; nothing when
// context is gone first.
template <typename T, typename F>
void whenFinished(QObject *context, const QFuture<T> &future, F done)
{
    auto *watcher = new QFutureWatcher<T>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, done] {
        watcher->deleteLater();
        done(watcher->result());
    });
    watcher->setFuture(future);
}

#endif // DOCREADER_H
