#include "jsonstreamsplitter.h"
#include "llamaruntime.h"
#include "messageworker.h"
#include "modelarguments.h"
#include "orchestratorcore.h"
#include "replychannel.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>

#include <exception>
#include <memory>

namespace {

const char SocketName[] = "MySocket";

void onReadyRead(QLocalSocket *connection, JsonStreamSplitter &splitter, MessageWorker &worker)
{
    // One read may hold several messages or part of one: the worker gets each whole message.
    for (const QByteArray &message : splitter.feed(connection->readAll()))
        worker.enqueue(message);
}

void onNewConnection(QLocalServer &server, MessageWorker &worker)
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
        qDebug("Server: New connection initialized");
    }
}

} // namespace

int main(int argc, char *argv[])
{
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
        core = std::make_unique<OrchestratorCore>(retrievalPath, answerPath);
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
    QObject::connect(server.get(), &QLocalServer::newConnection,
        [&server, &worker] { onNewConnection(*server, *worker); });

    int exitCode = -1;
    if (server->listen(QLatin1String(SocketName)))
        exitCode = app.exec();
    else
        qWarning("Failed to listen on socket: %s", SocketName);

    // The worker stops before any connection goes, so no reply is aimed at a destroyed one.
    worker.reset();
    server.reset();
    core.reset();
    freeLlamaRuntime();
    return exitCode;
}
