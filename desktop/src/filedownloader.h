#ifndef FILEDOWNLOADER_H
#define FILEDOWNLOADER_H

#include "httprangeclient.h"
#include "modellistmodel.h"
#include "windowwriter.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class Chat;

// Fetches catalogue models into the model folder, one at a time, in ranged requests of at most
// WindowSize bytes appended to the model file; further models wait in a first-in, first-out queue.
// A running download can be paused (the bytes on disk stay), resumed from the file's size, or
// deleted.
class FileDownloader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(ModelListModel *modelList READ modelList CONSTANT)
    Q_PROPERTY(bool downloading READ isDownloading NOTIFY downloadingChanged)
    Q_PROPERTY(QString curFile READ currentFile NOTIFY curFileChanged)

public:
    static constexpr qint64 WindowSize = 8388608;
    // A window that receives nothing for this long ends as a dropped connection does.
    static constexpr int DefaultTransferTimeoutMs = 30000;

    // Loads the built-in catalogue; the model folder is the OraculdDir of a Chat parent.
    explicit FileDownloader(QObject *parent = nullptr);
    ~FileDownloader() override;

    // Replaces the catalogue (the built-in one stays the default), each row in the state its file
    // in the model folder gives it; ignored while a download runs.
    void setCatalogue(const QList<ModelInfo> &models);

    ModelListModel *modelList();
    bool isDownloading() const;
    QString currentFile() const;
    // Where a row's model file lives: the model folder, which is created when missing.
    QString modelFilePath(int row) const;
    // Whether a file of the model folder may be offered as a model: not one of a download under
    // way, and, when named as a catalogue model, of that model's size (a partial file is none).
    bool isModelFile(const QFileInfo &file) const;
    // Applies from the next window on.
    void setTransferTimeout(int ms);
    int transferTimeout() const;

    Q_INVOKABLE void startDownload(const QString &modelName);
    Q_INVOKABLE void pauseDownload(const QString &modelName);
    Q_INVOKABLE void resumeDownload(const QString &modelName);
    Q_INVOKABLE void deleteModel(const QString &modelName);
    Q_INVOKABLE void refreshModelStates();
    Q_INVOKABLE void removeFromQueue(const QString &modelName);

signals:
    void downloadingChanged();
    void curFileChanged();
    void downloadCompleted(QString modelName, QString modelType);
    // A model file went from the model folder: removed here, or found missing or changed.
    void modelFileRemoved(QString modelName);

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onFinished();

private:
    bool isComplete(const ModelInfo &model, const QString &path) const;
    void beginDownload(int row, bool resume);
    void sendRangeRequest(qint64 from);
    // A row's state and bytes; its failure text is the one given, none by default.
    void writeRow(int row, int state, qint64 bytes, const QString &failure = QString());
    QString writeFailure() const;
    // Why the running window failed, in the words of its error.
    QString failureOf(QNetworkReply::NetworkError error) const;
    void endDownload();
    void startNextQueued();
    bool hasGgufMagic(const QString &path) const;

    Chat *ownerChat = nullptr;
    ModelListModel modelListModel;
    QList<int> downloadQueue;
    int currentRow = -1;
    HttpRangeClient httpClient;
    HttpRangeReply *reply = nullptr;
    QFile modelFile;
    bool downloading = false;
    bool deleteRequested = false;
    bool pauseRequested = false;
    QString curFile;
    qint64 windowStart = 0;

    // The path the running download started with: a change of model folder meanwhile does not
    // move its checks or its deletion.
    QString currentPath;
    // Writes the running window's bytes on the connection's thread.
    std::shared_ptr<WindowWriter> writer;
    // Why the running window was given up here, in words; empty when it was not.
    QString windowFailure;
    int transferTimeoutMs = DefaultTransferTimeoutMs;
    // Queued rows that were paused: they continue from their partial file.
    QSet<int> resumeQueued;
    QByteArray accessToken;
};

#endif // FILEDOWNLOADER_H
