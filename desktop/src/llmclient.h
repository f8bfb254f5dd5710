#ifndef LLMCLIENT_H
#define LLMCLIENT_H

#include <QByteArray>
#include <QJsonObject>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>

#include <memory>

class JsonStreamSplitter;
class QLocalSocket;
class QTimer;

// The link to both answering back ends: the inference server oraculd as a child process with its
// local socket, and the online service through the QML WebSocket item of the main window.
class LLMClient : public QObject
{
    Q_OBJECT

public:
    // The values of the QML WebSocket item's "status" property.
    enum QmlWebSocketStatus : qint32 {
        Connecting = 0,
        Open = 1,
        Closing = 2,
        Closed = 3,
        Error = 4,
    };

    explicit LLMClient(QObject *parent = nullptr);
    ~LLMClient() override;

    // true starts the server unless it runs; false terminates it and kills it 3 s later.
    void setLocal(bool local);
    void startServer();
    // Blocks: terminate, wait up to 3 s, then kill and wait up to 30 s.
    void stopServer();

    // Each is dropped without a word when its back end is not connected.
    void sendLocal(const QJsonObject &message);
    void sendOnline(const QJsonObject &message);

    // Empty means none; the server is started with "-ma" and "-mr" only for the paths that are set.
    void setAnswerModelPath(const QString &path);
    void setRetrievalModelPath(const QString &path);

    // The QML WebSocket item; not owned.
    void setQmlSocket(QObject *qmlSocket);
    QObject *qmlSocket() const;

    // The server takes messages once its socket is connected, until it is asked to stop; while
    // the process starts or loads its models, or a stopped run still makes way for the next
    // one, it is on its way.
    bool isServerConnected() const;
    bool isServerStarting() const;
    // Whether the last server run was started with both an answer and a retrieval model; one
    // without them prints its usage and ends.
    bool lastRunHadBothModels() const;
    // The model file the last server run was started with, empty when none.
    QString runModelPath(bool answerModel) const;

signals:
    // One complete JSON message of the local socket per emission, in arrival order.
    void messageReceived(QByteArray msgByteArr);
    // The server process ended, or failed to start, while local mode was on.
    void serverEnded();
    // The local socket connected: the server has loaded its models and listens.
    void serverConnected();
    // The server refused a model file of its command line, for `reason`; a refused answer model
    // ends it, without a retrieval model it serves on. Told before serverConnected and
    // serverEnded of that run.
    void modelRefusedAtStart(bool answerModel, QString reason);

private:
    static QString serverProgramPath();
    void connectToServer();
    void scheduleConnect();
    void onReadyRead();
    void onProcessStateChanged(QProcess::ProcessState state);
    // Passes the server's standard error on to ours, and finds the lines meant for this client.
    void readErrorOutput();

    QProcess *serverProcess;
    QLocalSocket *localSocket;
    QPointer<QObject> m_qmlSocket;
    QString ansModelPath;
    QString retModelPath;
    QTimer *m_retryTimer;
    QTimer *m_killTimer;
    std::unique_ptr<JsonStreamSplitter> m_splitter;
    QByteArray m_errorLine;
    bool m_local = false;
    bool m_stopping = false;
    bool m_restartPending = false;
};

Q_DECLARE_METATYPE(LLMClient::QmlWebSocketStatus)

#endif // LLMCLIENT_H
