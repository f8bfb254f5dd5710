#include "docreader.h"

#include "doc.h"

#include <folioscope/folioscope.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QPdfDocument>
#include <QThread>
#include <QThreadPool>
#include <QUrl>
#include <QtConcurrent>

#include <new>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

class DocumentPool : public QThreadPool
{
public:
    DocumentPool() { setMaxThreadCount(2); }
};
Q_GLOBAL_STATIC(DocumentPool, documentPool)

const char *const NoMemory = "there is not enough memory to hold it";
const char *const Changed = "its file has changed";
const char *const TooLarge = "it is larger than 2 GB";

#ifdef Q_OS_LINUX
// Whole pages of a buffer's bytes, or an empty range for a small one.
std::pair<quintptr, quintptr> largePages(const QByteArray &bytes)
{
    constexpr qsizetype Large = qsizetype(64) << 20;
    if (bytes.size() < Large)
        return {};
    const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr begin = (quintptr(bytes.constData()) + page - 1) & ~(page - 1);
    const quintptr end = (quintptr(bytes.constData()) + quintptr(bytes.size())) & ~(page - 1);
    return { begin, end };
}
#endif

// Each scrivex run is a fork of this process, and a fork copies the page tables of all the
// memory held: 120 ms for a file of 3 GB. The child only starts scrivex, so a large file's bytes
// stay out of it. Buffers this large are mappings of their own, never reused once freed.
void keepOutOfForks(const QByteArray &bytes)
{
#ifdef Q_OS_LINUX
    const auto [begin, end] = largePages(bytes);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_DONTFORK);
#else
    Q_UNUSED(bytes);
#endif
}

// Throws std::bad_alloc when the bytes cannot be had.
QByteArray readContents(const QString &localPath)
{
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray contents = file.readAll();
    keepOutOfForks(contents);
    return contents;
}

std::shared_ptr<OpenedPdf> openPdf(const QByteArray &contents, QThread *target)
{
    auto *document = new QPdfDocument;
    auto *source = new QBuffer(document);
    source->setData(contents);
    source->open(QIODevice::ReadOnly);
    document->setProperty(Folioscope::SourceDataProperty, contents);
    // Loaded from a file, QtPdf goes on reading it for as long as the document lives, and a file
    // shrunk or rewritten in place makes it spin for good. From memory it needs nothing more.
    document->load(source);
    document->moveToThread(target);
    return std::make_shared<OpenedPdf>(document);
}

DocSource failed(const QString &path, const char *failure)
{
    DocSource source;
    source.path = path;
    source.failure = QString::fromLatin1(failure);
    return source;
}

} // namespace

OpenedPdf::OpenedPdf(QPdfDocument *document)
    : m_document(document)
{ }

OpenedPdf::~OpenedPdf()
{
    // The last holder can be a worker thread: the document is freed on its own thread.
    if (!m_claimed)
        m_document->deleteLater();
}

QPdfDocument *OpenedPdf::claim()
{
    return m_claimed.exchange(true) ? nullptr : m_document;
}

DocReader::DocReader(QObject *parent)
    : QObject(parent)
{ }

DocReader::~DocReader() = default;

void DocReader::read(const QString &path)
{
    m_waiting.append(path);
    if (m_reading.isNull())
        startNext();
}

bool DocReader::isReading() const
{
    return !m_reading.isNull();
}

bool DocReader::isQueued(const QString &path) const
{
    return m_reading == path || m_waiting.contains(path);
}

void DocReader::startNext()
{
    if (m_waiting.isEmpty()) {
        m_reading = QString();
        return;
    }
    m_reading = m_waiting.takeFirst();
    whenFinished(this, QtConcurrent::run(pool(), &DocReader::load, m_reading, thread()),
        [this](const DocSource &source) {
            // The next read is under way before anyone hears of this one, so that isReading()
            // tells whether more documents are coming.
            startNext();
            emit loaded(source);
        });
}

DocSource DocReader::load(const QString &path, QThread *target)
{
    DocSource source;
    source.path = path;
    const QString localPath = localPathOf(path);
    if (isPdfFile(localPath) && QFileInfo(localPath).size() > MaxFileSize)
        return failed(path, TooLarge);
    try {
        if (isPdfFile(localPath))
            source.contents = readContents(localPath);
    } catch (const std::bad_alloc &) {
        return failed(path, NoMemory);
    }
    // It may have grown while it was read.
    if (source.contents.size() > MaxFileSize) {
        release(std::move(source.contents));
        return failed(path, TooLarge);
    }
    source.pdfDocument = openPdf(source.contents, target);
    return source;
}

DocSource DocReader::reload(
    const QString &path, qint64 size, QFuture<QByteArray> digest, bool openPdf, QThread *target)
{
    const QString localPath = localPathOf(path);
    const QFileInfo file(localPath);
    // A file of another size cannot hold the same bytes: nothing to read.
    if (!isPdfFile(localPath) || file.size() != size)
        return failed(path, Changed);
    DocSource source;
    source.path = path;
    try {
        source.contents = readContents(localPath);
    } catch (const std::bad_alloc &) {
        return failed(path, NoMemory);
    }
    if (source.contents.size() != size || Doc::digestOf(source.contents) != digest.result())
        return failed(path, Changed);
    if (openPdf)
        source.pdfDocument = ::openPdf(source.contents, target);
    else
        release(std::move(source.contents));
    return source;
}

void DocReader::release(QByteArray &&bytes)
{
#ifdef Q_OS_LINUX
    // Unmapping gigabytes at once holds the process's memory map long enough to stall the GUI
    // thread's next page fault; given back a slice at a time, the final unmapping is quick.
    const auto [begin, end] = largePages(bytes);
    if (bytes.isDetached() && end > begin) {
        constexpr quintptr Slice = quintptr(64) << 20;
        for (quintptr at = begin; at < end; at += Slice)
            madvise(reinterpret_cast<void *>(at), qMin(Slice, end - at), MADV_DONTNEED);
    }
#endif
    bytes = QByteArray();
}

bool DocReader::fileHolds(const QString &localPath, const QByteArray &contents)
{
    QFile file(localPath);
    if (!isPdfFile(localPath) || !file.open(QIODevice::ReadOnly) || file.size() != contents.size())
        return false;
    // Block by block: the file is not held a second time.
    constexpr qint64 BlockSize = 1 << 20;
    QByteArray block;
    for (qint64 offset = 0; offset < contents.size(); offset += BlockSize) {
        block = file.read(BlockSize);
        if (block.isEmpty()
            || block
                != QByteArrayView(contents).sliced(
                    offset, qMin<qint64>(BlockSize, contents.size() - offset)))
            return false;
    }
    return file.atEnd();
}

QThreadPool *DocReader::pool()
{
    return documentPool();
}

QString DocReader::localPathOf(const QString &path)
{
    const QUrl url(path);
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

bool DocReader::isPdfFile(const QString &localPath)
{
    // A pipe or a device could block the read for good, and a video dropped by mistake is no
    // PDF however it begins.
    return !localPath.isEmpty() && localPath.toLower().endsWith(QLatin1String(".pdf"))
        && QFileInfo(localPath).isFile();
}
