#include "filedownloader.h"

#include "chat.h"
#include "modelcatalogue.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkReply>

#include <unistd.h>

namespace {

qint64 fileSize(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() ? info.size() : 0;
}

} // namespace

FileDownloader::FileDownloader(QObject *parent)
    : QObject(parent)
    , ownerChat(qobject_cast<Chat *>(parent))
    , httpClient(this)
    , accessToken(qgetenv("QUORVANE_MODEL_TOKEN"))
{
    setCatalogue(builtInModelCatalogue());
}

FileDownloader::~FileDownloader()
{
    // The manager deletes a running reply after this body; its signals must not reach a
    // half-destroyed downloader.
    if (reply) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
    }
    modelFile.close();
}

void FileDownloader::setCatalogue(const QList<ModelInfo> &models)
{
    // Row numbers of a running download and of the queue would point into the other list.
    if (downloading)
        return;
    downloadQueue.clear();
    resumeQueued.clear();
    const QString folder = ownerChat ? ownerChat->oraculdDir() : QString();
    if (ownerChat)
        QDir().mkpath(folder);
    QList<ModelInfo> records = models;
    for (ModelInfo &model : records) {
        model.state = ModelListModel::NotDownloaded;
        model.bytesReceived = 0;
        if (ownerChat && isComplete(model, folder + QLatin1Char('/') + model.fileName))
            model.state = ModelListModel::Downloaded;
    }
    modelListModel.setModels(records);
}

ModelListModel *FileDownloader::modelList()
{
    return &modelListModel;
}

bool FileDownloader::isDownloading() const
{
    return downloading;
}

QString FileDownloader::currentFile() const
{
    return curFile;
}

QString FileDownloader::modelFilePath(int row) const
{
    if (!ownerChat || row < 0 || row >= modelListModel.rowCount())
        return {};
    const QString folder = ownerChat->oraculdDir();
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + modelListModel.models().at(row).fileName;
}

bool FileDownloader::isModelFile(const QFileInfo &file) const
{
    for (int row = 0; row < modelListModel.rowCount(); ++row) {
        const ModelInfo &model = modelListModel.models().at(row);
        if (model.fileName != file.fileName())
            continue;
        const bool underWay = model.state == ModelListModel::Downloading
            || model.state == ModelListModel::Paused || resumeQueued.contains(row);
        return !underWay && isComplete(model, file.filePath());
    }
    return file.isFile();
}

void FileDownloader::setTransferTimeout(int ms)
{
    transferTimeoutMs = ms;
}

int FileDownloader::transferTimeout() const
{
    return transferTimeoutMs;
}

bool FileDownloader::isComplete(const ModelInfo &model, const QString &path) const
{
    const QFileInfo info(path);
    return info.exists() && info.isFile()
        && (model.expectedSize <= 0 || info.size() == model.expectedSize);
}

void FileDownloader::startDownload(const QString &modelName)
{
    const int row = modelListModel.indexOf(modelName);
    if (row < 0)
        return;
    if (!downloading) {
        beginDownload(row, false);
        return;
    }
    if (row == currentRow || modelListModel.models().at(row).state == ModelListModel::Queued)
        return;
    writeRow(row, ModelListModel::Queued, modelListModel.models().at(row).bytesReceived);
    downloadQueue.append(row);
}

void FileDownloader::pauseDownload(const QString &modelName)
{
    if (!downloading || !reply || modelName != modelListModel.models().at(currentRow).name)
        return;
    writeRow(
        currentRow, ModelListModel::Paused, modelListModel.models().at(currentRow).bytesReceived);
    pauseRequested = true;
    // Finishes the reply at once: onFinished runs before this returns.
    reply->abort();
}

void FileDownloader::resumeDownload(const QString &modelName)
{
    const int row = modelListModel.indexOf(modelName);
    if (row < 0 || modelListModel.models().at(row).state != ModelListModel::Paused)
        return;
    if (!downloading) {
        beginDownload(row, true);
        return;
    }
    writeRow(row, ModelListModel::Queued, modelListModel.models().at(row).bytesReceived);
    downloadQueue.append(row);
    resumeQueued.insert(row);
}

void FileDownloader::removeFromQueue(const QString &modelName)
{
    const int row = modelListModel.indexOf(modelName);
    if (row < 0 || modelListModel.models().at(row).state != ModelListModel::Queued)
        return;
    downloadQueue.removeAll(row);
    resumeQueued.remove(row);
    writeRow(row, ModelListModel::NotDownloaded, 0);
}

void FileDownloader::deleteModel(const QString &modelName)
{
    const int row = modelListModel.indexOf(modelName);
    if (row < 0)
        return;
    if (modelListModel.models().at(row).state == ModelListModel::Queued) {
        removeFromQueue(modelName);
        return;
    }
    if (downloading && row == currentRow && reply) {
        deleteRequested = true;
        // onFinished removes the file and starts the next queued model before this returns.
        reply->abort();
        return;
    }
    const QString path = modelFilePath(row);
    const bool removed = !path.isEmpty() && QFileInfo::exists(path) && QFile::remove(path);
    writeRow(row, ModelListModel::NotDownloaded, 0);
    if (removed)
        emit modelFileRemoved(modelName);
}

void FileDownloader::refreshModelStates()
{
    QStringList gone;
    for (int row = 0; row < modelListModel.rowCount(); ++row) {
        const ModelInfo &model = modelListModel.models().at(row);
        // The running download keeps the folder it started in, and queued rows are begun in
        // the folder of their turn.
        if ((downloading && row == currentRow) || model.state == ModelListModel::Queued)
            continue;
        if (isComplete(model, modelFilePath(row))) {
            writeRow(row, ModelListModel::Downloaded, model.expectedSize);
        } else {
            if (model.state == ModelListModel::Downloaded)
                gone.append(model.name);
            writeRow(row, ModelListModel::NotDownloaded, 0);
        }
    }
    for (const QString &name : std::as_const(gone))
        emit modelFileRemoved(name);
}

void FileDownloader::beginDownload(int row, bool resume)
{
    currentRow = row;
    currentPath = modelFilePath(row);
    const qint64 expectedSize = modelListModel.models().at(row).expectedSize;
    // A file longer than the model cannot be continued: it is fetched anew.
    if (resume && expectedSize > 0 && fileSize(currentPath) > expectedSize)
        resume = false;
    const qint64 start = resume ? fileSize(currentPath) : 0;

    modelFile.setFileName(currentPath);
    const QIODevice::OpenMode mode
        = resume ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::WriteOnly;
    // Unbuffered: a full disk shows at the write that hits it.
    if (currentPath.isEmpty() || !modelFile.open(mode | QIODevice::Unbuffered)) {
        // Asking for the same window again would never end: the row keeps its good bytes.
        qWarning().noquote() << "Model download: cannot write" << currentPath << "-"
                             << modelFile.errorString();
        writeRow(row, ModelListModel::Paused, fileSize(currentPath), writeFailure());
        currentRow = -1;
        currentPath.clear();
        startNextQueued();
        return;
    }

    windowStart = start;
    writeRow(row, ModelListModel::Downloading, start);
    downloading = true;
    emit downloadingChanged();
    curFile = modelListModel.models().at(row).name;
    emit curFileChanged();
    sendRangeRequest(start);
}

void FileDownloader::sendRangeRequest(qint64 from)
{
    const ModelInfo &model = modelListModel.models().at(currentRow);
    HttpHeaders headers;
    if (!accessToken.isEmpty())
        headers.append({ "Authorization", "Bearer " + accessToken });
    QByteArray range = "bytes=" + QByteArray::number(from) + '-';
    // An unknown size asks for the rest of the file.
    qint64 windowLength = -1;
    if (model.expectedSize > 0) {
        const qint64 last = qMin(from + WindowSize - 1, model.expectedSize - 1);
        range += QByteArray::number(last);
        windowLength = last - from + 1;
    }
    headers.append({ "Range", range });

    // Its own descriptor of the file: the writer closes it when it is done, whenever that is.
    writer = std::make_shared<WindowWriter>(
        ::dup(modelFile.handle()), currentPath, from, windowLength, model.expectedSize);
    reply = httpClient.get(QUrl(model.url), headers, transferTimeoutMs, writer);
    connect(reply, &HttpRangeReply::downloadProgress, this, &FileDownloader::onDownloadProgress);
    connect(reply, &HttpRangeReply::finished, this, &FileDownloader::onFinished);
}

void FileDownloader::onDownloadProgress(qint64, qint64)
{
    if (!writer || writer->use() == WindowWriter::Use::Discard)
        return;
    modelListModel.setBytesReceived(currentRow, writer->fileBytes());
}

void FileDownloader::onFinished()
{
    if (!reply)
        return;
    ModelInfo model = modelListModel.models().at(currentRow);
    const QNetworkReply::NetworkError error = reply->error();
    // The reply has finished: the writer takes nothing more, and what it wrote is in the file.
    const WindowWriter::Use windowUse = writer->use();
    const bool windowCut = writer->wasCut();
    const bool writeFailed = writer->writeFailed();
    windowFailure = writer->failure();
    windowStart = writer->windowStart();
    if (windowCut)
        qWarning().noquote() << "Model download:" << model.name << "- the server sent more than the"
                             << writer->windowLength() << "bytes asked for; the rest is dropped";
    if (writeFailed)
        qWarning().noquote() << "Model download: cannot write -" << windowFailure;
    // The abort that cut a full window is no failure of the window.
    const bool failed = (error != QNetworkReply::NoError && !windowCut) || writeFailed
        || windowUse == WindowWriter::Use::Discard;

    const qint64 present = fileSize(currentPath);
    modelListModel.setBytesReceived(currentRow, present);

    const bool complete = model.expectedSize > 0 ? present == model.expectedSize : !failed;
    const bool fileShort = model.expectedSize <= 0 || present < model.expectedSize;
    // Only a window appended where it was asked for and that brought bytes is followed by the
    // next: a whole file that came short, or a window that brought nothing, would come the same
    // way again.
    if (!failed && !deleteRequested && !complete && fileShort
        && windowUse == WindowWriter::Use::Append && present > windowStart) {
        windowStart = present;
        reply->deleteLater();
        reply = nullptr;
        writer.reset();
        sendRangeRequest(windowStart);
        return;
    }

    modelFile.close();
    QString removedName;
    model.failure.clear();
    if (!complete) {
        if (deleteRequested) {
            if (QFileInfo::exists(currentPath) && QFile::remove(currentPath))
                removedName = model.name;
            model.state = ModelListModel::NotDownloaded;
            model.bytesReceived = 0;
        } else {
            model.state = ModelListModel::Paused;
            model.bytesReceived = present;
            if (!pauseRequested)
                model.failure = failureOf(error);
            // A try that brought nothing leaves nothing behind.
            const QFileInfo left(currentPath);
            if (present == 0 && left.isFile() && !left.isSymLink())
                QFile::remove(currentPath);
        }
        modelListModel.setModel(currentRow, model);
    } else if (!hasGgufMagic(currentPath)) {
        qWarning().noquote() << "Model download:" << model.name
                             << "is not a GGUF model file; removed" << currentPath;
        QFile::remove(currentPath);
        removedName = model.name;
        model.state = ModelListModel::NotDownloaded;
        model.bytesReceived = 0;
        modelListModel.setModel(currentRow, model);
    } else {
        model.state = ModelListModel::Downloaded;
        model.bytesReceived = model.expectedSize > 0 ? model.expectedSize : present;
        modelListModel.setModel(currentRow, model);
        emit downloadCompleted(model.name, model.type);
    }
    deleteRequested = false;
    pauseRequested = false;
    endDownload();
    if (!removedName.isEmpty())
        emit modelFileRemoved(removedName);
    startNextQueued();
}

void FileDownloader::endDownload()
{
    reply->deleteLater();
    reply = nullptr;
    writer.reset();
    downloading = false;
    emit downloadingChanged();
    curFile.clear();
    emit curFileChanged();
}

void FileDownloader::startNextQueued()
{
    currentRow = -1;
    currentPath.clear();
    windowStart = 0;
    if (downloadQueue.isEmpty())
        return;
    const int row = downloadQueue.takeFirst();
    beginDownload(row, resumeQueued.remove(row));
}

bool FileDownloader::hasGgufMagic(const QString &path) const
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(4) == "GGUF";
}

QString FileDownloader::writeFailure() const
{
    return WindowWriter::cannotWrite(currentPath, modelFile.errorString());
}

QString FileDownloader::failureOf(QNetworkReply::NetworkError error) const
{
    if (!windowFailure.isEmpty())
        return windowFailure;
    // A response that ended well and still left the file short: asking again would bring the same.
    if (error == QNetworkReply::NoError)
        return QStringLiteral("The server sent less of the file than asked for");
    // The transfer timeout aborts the reply as a cancel does; no cancel of ours was asked for.
    if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError)
        return QStringLiteral("Nothing received for %1 seconds")
            .arg(QLocale::c().toString(transferTimeoutMs / 1000.0));
    return reply->errorString();
}

void FileDownloader::writeRow(int row, int state, qint64 bytes, const QString &failure)
{
    if (row < 0 || row >= modelListModel.rowCount())
        return;
    ModelInfo model = modelListModel.models().at(row);
    model.state = state;
    model.bytesReceived = bytes;
    model.failure = failure;
    modelListModel.setModel(row, model);
}
