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

void MessageWorker::enqueue(const QByteArray &message)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        queue.push_back(message);
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
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (currentSocket == socket)
            currentSocket = nullptr;
        // The handler still addresses its replies to it: the worker deletes it when done.
        if (activeSocket == socket) {
            activeSocketRetired = true;
            return;
        }
    }
    socket->deleteLater();
}

void MessageWorker::finishActiveSocket()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    // Posted after every reply of the message, so each of them is written (or dropped) first.
    if (activeSocketRetired)
        activeSocket->deleteLater();
    activeSocket = nullptr;
    activeSocketRetired = false;
}

void MessageWorker::run()
{
    for (;;) {
        if (stopRequested)
            return;
        QByteArray message;
        QLocalSocket *socket = nullptr;
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            queueReady.wait(lock, [this] { return !queue.empty() || stopRequested; });
            if (stopRequested && queue.empty())
                return;
            message = std::move(queue.front());
            queue.pop_front();
            socket = currentSocket;
            activeSocket = socket;
        }
        qDebug("Processing");
        if (message.isEmpty() || !socket || !core) {
            finishActiveSocket();
            continue;
        }
        try {
            handle(message, socket);
            finishActiveSocket();
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
