#include "doclist.h"

#include "chat.h"
#include "doc.h"
#include "docreader.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent>

#include <cmath>

namespace {

QString scrivexProgram()
{
#ifdef Q_OS_WIN
    const QString program = QStringLiteral("/scrivex/scrivex.exe");
#else
    const QString program = QStringLiteral("/scrivex/scrivex");
#endif
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + program);
}

} // namespace

DocList::DocList(QObject *parent)
    : QAbstractListModel(parent)
    , m_ownerChat(qobject_cast<Chat *>(parent))
{
    m_pdfProcess = new QProcess(this);
    connect(m_pdfProcess, &QProcess::readyReadStandardOutput, this, &DocList::chunkReceived);
    connect(m_pdfProcess, &QProcess::readyReadStandardError, this, [this] {
        const QByteArray errors = m_pdfProcess->readAllStandardError();
        m_scrivexErrors += errors;
        qDebug() << "Error received:" << errors;
    });
    connect(m_pdfProcess, &QProcess::finished, this, &DocList::onPdfProcessFinished);
    // A program that cannot be started never reports finished. The failure is reported from
    // inside start(), so it is handled once the start has returned.
    connect(m_pdfProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            QMetaObject::invokeMethod(this, &DocList::onScrivexFailedToStart, Qt::QueuedConnection);
    });

    m_reader = new DocReader(this);
    connect(m_reader, &DocReader::loaded, this, &DocList::onDocLoaded);

    m_scrivexWatchdog = new QTimer(this);
    m_scrivexWatchdog->setSingleShot(true);
    m_scrivexWatchdog->setInterval(DefaultScrivexTimeoutMs);
    connect(m_scrivexWatchdog, &QTimer::timeout, this, &DocList::onScrivexSilent);
}

DocList::~DocList()
{
    // The process must not report back into a list that is half torn down.
    m_pdfProcess->disconnect(this);
    if (m_pdfProcess->state() != QProcess::NotRunning) {
        m_pdfProcess->kill();
        m_pdfProcess->waitForFinished(3000);
    }
}

int DocList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows.size();
}

QVariant DocList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.model() != this || index.row() < 0
        || index.row() >= m_rows.size())
        return {};
    Doc *doc = m_rows.at(index.row());
    switch (role) {
    case DocNameRole:
        return doc->name();
    case DocPathRole:
        return doc->path();
    case DocStatRole:
        return int(doc->stat());
    case DocObjectRole:
        return QVariant::fromValue(doc);
    default:
        return {};
    }
}

QHash<int, QByteArray> DocList::roleNames() const
{
    return {
        { DocNameRole, "name" },
        { DocPathRole, "path" },
        { DocStatRole, "stat" },
        { DocObjectRole, "docObject" },
    };
}

int DocList::progress() const
{
    return m_progress;
}

void DocList::setProgress(int value)
{
    // 0 is announced every time: it opens a run in the document view.
    if (value == m_progress && value != 0)
        return;
    m_progress = value;
    emit progressChanged();
}

QString DocList::searchString() const
{
    return m_searchText;
}

void DocList::setSearchString(const QString &text)
{
    if (text == m_searchText)
        return;
    m_searchText = text;
    for (Doc *doc : std::as_const(m_rows))
        doc->pdfSearchModel()->setSearchString(text);
    emit searchStringChanged(text);
}

void DocList::doubleClicked(int index)
{
    if (index < 0 || index >= m_rows.size())
        return;
    Doc *doc = m_rows.at(index);
    emit pdfDoubleClicked(doc->pdfDocument(), doc->name());
}

void DocList::highlightRef(Chunk chk)
{
    const quint64 request = ++m_referenceRequest;
    if (Doc *doc = m_rowsByPath.value(chk.doc())) {
        emit highlightPdfRef(doc->pdfDocument(), doc->name(), chk);
        return;
    }
    const auto departed = m_departed.constFind(chk.doc());
    if (departed == m_departed.constEnd()) {
        tellUnlisted(chk.doc());
        return;
    }
    // Whether the file still holds what was listed takes a read and a digest of all of it.
    const bool reused = m_reopened && m_reopened->path() == chk.doc();
    whenFinished(this,
        QtConcurrent::run(DocReader::pool(), &DocReader::reload, chk.doc(), departed->size,
            departed->digest, !reused, thread()),
        [this, request, reused, chk](const DocSource &source) {
            if (request != m_referenceRequest)
                return;
            Doc *doc = source.failure.isEmpty() ? showDeparted(source, reused) : nullptr;
            if (doc)
                emit highlightPdfRef(doc->pdfDocument(), doc->name(), chk);
            else
                tellUnlisted(chk.doc());
        });
}

void DocList::tellUnlisted(const QString &path)
{
    qDebug() << "The referenced document is no longer listed:" << path;
    const QUrl url(path);
    emit referenceUnlisted(url.isLocalFile() ? url.fileName() : path);
}

void DocList::rememberDeparted(const Doc *doc)
{
    if (doc->pageCount() > 0)
        m_departed.insert(doc->path(),
            { doc->contents().size(),
                QtConcurrent::run(DocReader::pool(), [contents = doc->contents()]() mutable {
                    const QByteArray digest = Doc::digestOf(contents);
                    DocReader::release(std::move(contents));
                    return digest;
                }) });
}

Doc *DocList::showDeparted(const DocSource &source, bool reused)
{
    if (reused)
        return m_reopened && m_reopened->path() == source.path ? m_reopened : nullptr;
    // One departed document is kept at a time; the one before goes once the viewer, about to
    // show the new one, has let go of it.
    if (m_reopened)
        m_reopened->deleteLater();
    m_reopened = new Doc(source, this);
    return m_reopened;
}

void DocList::delData(int index)
{
    if (index < 0 || index >= m_rows.size())
        return;
    beginRemoveRows(QModelIndex(), index, index);
    Doc *doc = m_rows.at(index);
    const QString path = doc->path();
    QPdfDocument *pdfDocument = doc->pdfDocument();
    if (m_rowsByPath.value(path) == doc)
        m_rowsByPath.remove(path);
    m_rows.removeAt(index);
    forget(doc);
    rememberDeparted(doc);
    endRemoveRows();
    emit docDeleted(path);
    emit closeDoc(pdfDocument);
    // Freed once the search and the viewer, told just now, have let go of its objects.
    doc->deleteLater();
}

void DocList::clearDocs()
{
    if (m_rows.isEmpty())
        return;
    beginRemoveRows(QModelIndex(), 0, m_rows.size() - 1);
    emit closeDocs();
    const QList<Doc *> removed = m_rows;
    for (Doc *doc : removed) {
        forget(doc);
        rememberDeparted(doc);
    }
    m_rowsByPath.clear();
    m_rows.clear();
    endRemoveRows();
    emit docsDeleted();
    for (Doc *doc : removed)
        doc->deleteLater();
}

void DocList::dropPendingChunks()
{
    m_pendingChunks = QJsonArray();
    m_chunksSent = 0;
}

void DocList::forget(Doc *doc)
{
    // A search still running over a removed document reports nothing more; it ends with its Doc.
    disconnect(doc, nullptr, this, nullptr);
}

void DocList::addDataList(const QStringList &filePaths)
{
    const bool running = isIngesting();
    for (const QString &path : filePaths) {
        // A path already queued would be listed twice and its chunks stored twice.
        if (m_rowsByPath.contains(path) || m_ingestQueue.containsPath(path)
            || m_reader->isQueued(path))
            continue;
        m_reader->read(path);
    }
    // The run opens now; its documents join it as their files are read.
    if (!running && isIngesting()) {
        m_awaitingReads = true;
        setProgress(0);
    }
}

void DocList::onDocLoaded(const DocSource &source)
{
    if (source.failure.isEmpty()) {
        auto *doc = new Doc(source, this);
        connect(doc, &Doc::pdfSearchResultsAdded, this, &DocList::pdfSearchResultsAdded);
        m_ingestQueue.append(doc);
    } else {
        passOver(source.path, source.failure);
    }
    if (m_awaitingReads)
        processNextDoc();
}

void DocList::passOver(const QString &path, const QString &reason)
{
    qWarning().noquote() << "The document" << path << "is left out:" << reason;
    const QUrl url(path);
    emit docPassedOver(url.isLocalFile() ? url.fileName() : path, reason);
}

bool DocList::isIngesting() const
{
    return !m_ingestQueue.isEmpty() || m_reader->isReading();
}

void DocList::setScrivexTimeout(int milliseconds)
{
    m_scrivexWatchdog->setInterval(milliseconds);
}

int DocList::progressFor(int pages, int entriesDone) const
{
    const int total = m_ingestQueue.totalPages();
    // Without pages the run is measured in documents, so it still ends at 100 and the document
    // view shows its list again; a run whose every file was left out is done.
    const double ratio = total > 0 ? pages * 100.0 / total
        : m_ingestQueue.size() > 0 ? entriesDone * 100.0 / m_ingestQueue.size()
                                   : 100.0;
    return int(std::ceil(ratio));
}

void DocList::processNextDoc()
{
    for (;;) {
        // Files still being read join this run: it ends only after them.
        m_awaitingReads = m_ingestQueue.atEnd() && m_reader->isReading();
        if (m_awaitingReads)
            return;
        // The 0 that opens the run was announced by the drop.
        const int value = progressFor(m_ingestQueue.pagesTaken(), m_ingestQueue.taken());
        if (value != m_progress) {
            const int run = m_run;
            setProgress(value);
            // Whoever heard of the progress changed the back end: the new run is under way.
            if (run != m_run)
                return;
        }
        if (m_ingestQueue.atEnd()) {
            finishIngestion();
            return;
        }
        Doc *doc = m_ingestQueue.takeNext();
        if (doc->isLocalPdf()) {
            startScrivex(doc);
            return;
        }
    }
}

void DocList::startScrivex(Doc *doc)
{
    m_scrivexOutput = JsonStreamSplitter();
    m_scrivexErrors.clear();
    m_scrivexTimedOut = false;
    dropPendingChunks();
    m_scrivexWatchdog->start();
    m_pdfProcess->start(scrivexProgram(), { doc->localPath() }, QIODevice::ReadWrite);
}

void DocList::chunkReceived()
{
    m_scrivexWatchdog->start();
    takeScrivexOutput(m_pdfProcess->readAllStandardOutput(), true);
}

void DocList::takeScrivexOutput(const QByteArray &bytes, bool answer)
{
    Doc *doc = m_ingestQueue.current();
    // scrivex waits for one ACK per object it wrote, however the pipe cut the bytes.
    const QList<QByteArray> segments = m_scrivexOutput.feed(bytes);
    for (const QByteArray &segment : segments) {
        if (answer && m_pdfProcess->state() == QProcess::Running)
            m_pdfProcess->write("ACK\n");
        const QJsonDocument json = QJsonDocument::fromJson(segment);
        if (!json.isObject() || !doc)
            continue;
        QJsonObject chunk = json.object();
        chunk.insert(QStringLiteral("doc"), doc->path());
        chunk.insert(QStringLiteral("type"), QStringLiteral("chunk"));
        chunk.insert(QStringLiteral("index"), 0);
        m_pendingChunks.append(chunk);
    }
}

void DocList::onPdfProcessFinished(int exitCode, QProcess::ExitStatus status)
{
    m_scrivexWatchdog->stop();
    if (m_restartWhenStopped) {
        m_restartWhenStopped = false;
        m_pdfProcess->readAllStandardOutput();
        processNextDoc();
        return;
    }
    takeScrivexOutput(m_pdfProcess->readAllStandardOutput(), false);
    // Its last lines may still be unread; they can name the pages it lost.
    m_scrivexErrors += m_pdfProcess->readAllStandardError();
    Doc *doc = m_ingestQueue.current();
    // scrivex's exit codes: 0 done, 4 some pages damaged and the readable ones printed.
    constexpr int DamagedPages = 4;
    const bool read = status == QProcess::NormalExit && !m_scrivexTimedOut
        && (exitCode == 0 || exitCode == DamagedPages);
    if (read && doc) {
        if (exitCode == DamagedPages)
            reportLostPages(doc);
        // scrivex read the file by its path: its chunks belong to the bytes held only while the
        // file still holds them.
        whenFinished(this,
            QtConcurrent::run(
                DocReader::pool(), &DocReader::fileHolds, doc->localPath(), doc->contents()),
            [this, run = m_run](bool unchanged) { onScrivexRead(run, unchanged); });
        return;
    }
    // A document that is not listed sends nothing: no one could see or delete its chunks.
    qWarning() << "scrivex did not finish the document, it is left out:"
               << (doc ? doc->path() : QString()) << "exit code" << exitCode;
    dropPendingChunks();
    sendPendingChunks();
}

void DocList::onScrivexRead(int run, bool fileUnchanged)
{
    if (run != m_run)
        return;
    if (fileUnchanged) {
        m_ingestQueue.setCurrentStatus(Doc::INGESTED);
    } else {
        passOver(m_ingestQueue.current()->path(),
            QStringLiteral("its file changed while it was being added"));
        dropPendingChunks();
    }
    sendPendingChunks();
}

void DocList::reportLostPages(const Doc *doc) const
{
    // scrivex names each page it could not read; failing that, the pages that gave no passage.
    QList<int> lost;
    static const QRegularExpression unreadable(QStringLiteral("page (\\d+) cannot be read"));
    auto it = unreadable.globalMatch(QString::fromUtf8(m_scrivexErrors));
    while (it.hasNext())
        lost.append(it.next().captured(1).toInt());
    if (lost.isEmpty()) {
        QSet<int> withText;
        for (const QJsonValue &chunk : m_pendingChunks)
            withText.insert(chunk.toObject().value(QStringLiteral("page")).toInt());
        for (int page = 0; page < doc->pageCount(); ++page) {
            if (!withText.contains(page))
                lost.append(page + 1);
        }
    }
    QStringList pages;
    for (int page : std::as_const(lost))
        pages.append(QString::number(page));
    qWarning().noquote() << "Some pages of" << doc->path()
                         << "are damaged; it is listed without pages:"
                         << (pages.isEmpty() ? QStringLiteral("none known") : pages.join(", "));
}

void DocList::onScrivexFailedToStart()
{
    m_scrivexWatchdog->stop();
    qWarning() << "scrivex could not be started:" << scrivexProgram()
               << m_pdfProcess->errorString();
    sendPendingChunks();
}

void DocList::onScrivexSilent()
{
    if (m_pdfProcess->state() == QProcess::NotRunning)
        return;
    qWarning() << "scrivex gave no sign of life, stopping it";
    m_scrivexTimedOut = true;
    m_pdfProcess->kill();
}

void DocList::sendNextChunks()
{
    if (m_staleAcks > 0) {
        --m_staleAcks;
        return;
    }
    if (!m_batchInFlight)
        return;
    m_batchInFlight = false;
    sendPendingChunks();
}

void DocList::backEndEnded(bool local)
{
    if (m_batchWentLocal == local)
        m_staleAcks = 0;
    if (m_batchInFlight && m_batchWentLocal == local)
        failCurrentDocument("The back end ended before it took the chunks of");
}

void DocList::restartIngestion(bool ackStillComing)
{
    m_staleAcks = ackStillComing && m_batchInFlight ? m_staleAcks + 1 : 0;
    if (!isIngesting())
        return;
    qDebug() << "The back end changed: the documents being added are sent again";
    ++m_run;
    m_batchInFlight = false;
    dropPendingChunks();
    m_ingestQueue.rewind();
    if (m_pdfProcess->state() != QProcess::NotRunning) {
        // The next run can start only once this one has ended.
        m_restartWhenStopped = true;
        m_scrivexWatchdog->stop();
        m_pdfProcess->kill();
        return;
    }
    processNextDoc();
}

void DocList::sendPendingChunks()
{
    if (m_chunksSent >= m_pendingChunks.size()) {
        dropPendingChunks();
        processNextDoc();
        return;
    }
    // The sent chunks stay until the document is done: taking them off the front of a large
    // document's array, batch after batch, would move the rest each time.
    QJsonArray batch;
    const int count = qMin<int>(m_pendingChunks.size() - m_chunksSent, MaxChunksPerBatch);
    for (int i = m_chunksSent; i < m_chunksSent + count; ++i)
        batch.append(m_pendingChunks.at(i));
    m_chunksSent += count;

    const int page = batch.last().toObject().value(QStringLiteral("page")).toInt();
    const int run = m_run;
    setProgress(progressFor(m_ingestQueue.pagesDone(page), m_ingestQueue.taken() - 1));
    // Whoever heard of the progress changed the back end: this batch belongs to a run that is
    // over, and sent now it would be answered as one of the new run.
    if (run != m_run)
        return;

    const QJsonObject message { { QStringLiteral("type"), QStringLiteral("chunks") },
        { QStringLiteral("chunks"), batch } };
    m_batchWentLocal = m_ownerChat && m_ownerChat->localAI();
    if (!m_ownerChat || !m_ownerChat->sendToServer(message)) {
        failCurrentDocument("The back end is not connected; left out");
        return;
    }
    m_batchInFlight = true;
}

void DocList::failCurrentDocument(const char *reason)
{
    Doc *doc = m_ingestQueue.current();
    qWarning() << reason << (doc ? doc->path() : QString());
    m_ingestQueue.setCurrentStatus(Doc::NEW);
    dropPendingChunks();
    m_batchInFlight = false;
    processNextDoc();
}

void DocList::finishIngestion()
{
    const QList<Doc *> ingested = m_ingestQueue.ingested();
    if (!ingested.isEmpty()) {
        const int first = m_rows.size();
        beginInsertRows(QModelIndex(), first, first + ingested.size() - 1);
        for (Doc *doc : ingested) {
            m_rows.append(doc);
            m_rowsByPath.insert(doc->path(), doc);
            m_departed.remove(doc->path());
            // A new row is searched for the text every other row is searched for.
            doc->pdfSearchModel()->setSearchString(m_searchText);
        }
        endInsertRows();
    }
    m_ingestQueue.reset();
}
