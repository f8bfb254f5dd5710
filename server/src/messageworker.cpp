#include "messageworker.h"

#include "orchestratorcore.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLocalSocket>

#include <exception>

MessageWorker::MessageWorker(OrchestratorCore *core, FatalErrorHandler onFatalError)
    : core(core)
    , fatalErrorHandler(std::move(onFatalError))
{
    // Started last, so the thread never sees a member that is not constructed yet.
    workerThread = std::thread(&MessageWorker::run, this);
}

MessageWorker::~MessageWorker()
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopRequested = true;
    }
    queueReady.notify_all();
    if (workerThread.joinable())
        workerThread.join();
}

void MessageWorker::enqueue(const QByteArray &message, QLocalSocket *origin)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        queue.push_back({ message, origin });
        ++queuedFrom[origin];
    }
    queueReady.notify_one();
}

void MessageWorker::setSocket(QLocalSocket *socket)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    currentSocket = socket;
}

void MessageWorker::retireSocket(QLocalSocket *socket)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    if (currentSocket == socket)
        currentSocket = nullptr;
    retired.insert(socket);
    releaseIfUnused(socket);
}

void MessageWorker::releaseIfUnused(QLocalSocket *socket)
{
    if (!socket || socket == activeSocket || queuedFrom.count(socket) || !retired.count(socket))
        return;
    retired.erase(socket);
    // Posted after every reply queued to it, so each of them is written (or dropped) first.
    socket->deleteLater();
}

void MessageWorker::finishMessage(QLocalSocket *origin)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    QLocalSocket *const replied = activeSocket;
    activeSocket = nullptr;
    releaseIfUnused(replied);
    releaseIfUnused(origin);
}

void MessageWorker::run()
{
    for (;;) {
        if (stopRequested)
            return;
        QueuedMessage message;
        QLocalSocket *socket = nullptr;
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            queueReady.wait(lock, [this] { return !queue.empty() || stopRequested; });
            if (stopRequested && queue.empty())
                return;
            message = std::move(queue.front());
            queue.pop_front();
            if (--queuedFrom[message.origin] == 0)
                queuedFrom.erase(message.origin);
            socket = currentSocket;
            activeSocket = socket;
        }
        qDebug("Processing");
        // A message whose client has gone, with no newer connection, is still handled: its
        // replies go nowhere, but what it changes (stored chunks, a model) stays.
        if (message.bytes.isEmpty() || !core) {
            finishMessage(message.origin);
            continue;
        }
        try {
            handle(message.bytes, socket);
            finishMessage(message.origin);
        } catch (const std::exception &error) {
            // A failed model load or decode leaves no answer model to serve with: report it and
            // let the main thread end the process, instead of dying inside this thread.
            qCritical("%s", error.what());
            if (fatalErrorHandler)
                fatalErrorHandler();
            return;
        } catch (...) {
            qCritical("MessageWorker::run: unknown error while handling a message");
            if (fatalErrorHandler)
                fatalErrorHandler();
            return;
        }
    }
}

void MessageWorker::handle(const QByteArray &message, QLocalSocket *socket)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(message, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        qWarning("Failed to parse JSON: %s", qPrintable(parseError.errorString()));
        return;
    }
    core->handleMessage(document.object(), socket);
}
