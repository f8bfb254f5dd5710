#include "jsonstreamsplitter.h"
#include "llamaruntime.h"
#include "messageworker.h"
#include "modelarguments.h"
#include "modelcheck.h"
#include "orchestratorcore.h"
#include "replychannel.h"
#include "socketlistener.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>

#include <exception>
#include <memory>

namespace {

const char SocketName[] = "MySocket";

// The model check's time limit; tests set a shorter one through the environment.
int modelCheckTimeoutMs()
{
    bool ok = false;
    const int limit = qEnvironmentVariableIntValue("ORACULD_MODEL_CHECK_TIMEOUT_MS", &ok);
    return ok && limit > 0 ? limit : ModelCheckTimeoutMs;
}

void onReadyRead(QLocalSocket *connection, JsonStreamSplitter &splitter, MessageWorker &worker)
{
    // One read may hold several messages or part of one: the worker gets each whole message.
    for (const QByteArray &message : splitter.feed(connection->readAll()))
        worker.enqueue(message, connection);
}

void onNewConnection(QLocalServer &server, MessageWorker &worker, SocketListener &listener)
{
    while (QLocalSocket *connection = server.nextPendingConnection()) {
        // Queued on the connection, so it is written after this handler returns; queued before
        // the connection becomes current, so no reply the worker routes to it can overtake it.
        sendReply(
            connection, QJsonObject { { QStringLiteral("type"), QStringLiteral("READYACK") } });
        worker.setSocket(connection);
        auto splitter = std::make_shared<JsonStreamSplitter>();
        QObject::connect(connection, &QLocalSocket::readyRead,
            [connection, splitter, &worker] { onReadyRead(connection, *splitter, worker); });
        // What the client sent before it went is still handled; then the connection is freed.
        QObject::connect(
            connection, &QLocalSocket::disconnected, connection,
            [connection, splitter, &worker, &listener] {
                onReadyRead(connection, *splitter, worker);
                worker.retireSocket(connection);
                listener.connectionClosed();
            });
        qDebug("Server: New connection initialized");
    }
}

} // namespace

int main(int argc, char *argv[])
{
    // On an assertion ggml forks a debugger per failing thread; such helpers can outlive the
    // process and hold its socket open. Set before ggml runs, and inherited by the model check.
    qputenv("GGML_NO_BACKTRACE", "1");
    if (isModelCheckCommand(argc, argv))
        return runModelCheck(argc, argv);

    QCoreApplication app(argc, argv);

    const ModelPaths modelPaths = parseModelArguments(argc, argv);
    const char *retrievalPath = modelPaths.value(RetrievalModel, nullptr);
    const char *answerPath = modelPaths.value(AnswerModel, nullptr);
    if (!retrievalPath || !answerPath) {
        qWarning("Usage: oraculd -ma <answer model file> -mr <retrieval model file>");
        return -1;
    }

    std::unique_ptr<OrchestratorCore> core;
    try {
        const std::string program = QCoreApplication::applicationFilePath().toStdString();
        const int checkTimeoutMs = modelCheckTimeoutMs();
        core = std::make_unique<OrchestratorCore>(retrievalPath, answerPath,
            [program, checkTimeoutMs](const std::string &path, ModelRole role) {
                return startModelCheckInChildProcess(program, path, role, checkTimeoutMs);
            });
    } catch (const std::exception &error) {
        qCritical("%s", error.what());
        core.reset();
        freeLlamaRuntime();
        return 1;
    }

    // A fatal error on the worker ends the process from the main thread, through the normal
    // teardown, so no thread is torn down while it runs.
    auto worker = std::make_unique<MessageWorker>(core.get(), [] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    });

    QLocalServer::removeServer(QLatin1String(SocketName));
    auto server = std::make_unique<QLocalServer>();
    auto *listener = new SocketListener(server.get(), QLatin1String(SocketName));
    QObject::connect(server.get(), &QLocalServer::newConnection,
        [&server, &worker, listener] { onNewConnection(*server, *worker, *listener); });

    int exitCode = -1;
    if (listener->listen())
        exitCode = app.exec();
    else
        qWarning("Failed to listen on socket: %s", SocketName);

    // The worker stops before any connection goes, so no reply is aimed at a destroyed one;
    // a connection that closes as the server goes no longer reaches the worker.
    for (QLocalSocket *connection : server->findChildren<QLocalSocket *>())
        connection->disconnect();
    worker.reset();
    server.reset();
    core.reset();
    freeLlamaRuntime();
    return exitCode;
}
