#ifndef MESSAGEWORKER_H
#define MESSAGEWORKER_H

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

class OrchestratorCore;
class QLocalSocket;

// The one thread that handles messages: the main thread queues every message it reads, and this
// worker parses and hands them to the core strictly one at a time, in arrival order. Replies go
// to the connection that was current when the message was taken, or nowhere when there was none.
class MessageWorker
{
public:
    // Called on the worker thread, once, when handling a message failed beyond repair; the
    // worker takes no further message. The process must then end.
    using FatalErrorHandler = std::function<void()>;

    explicit MessageWorker(OrchestratorCore *core, FatalErrorHandler onFatalError = {});
    ~MessageWorker();

    MessageWorker(const MessageWorker &) = delete;
    MessageWorker &operator=(const MessageWorker &) = delete;

    // `origin` is the connection the message was read from.
    void enqueue(const QByteArray &message, QLocalSocket *origin);
    void setSocket(QLocalSocket *socket);
    // A connection whose client has gone: it is no longer current, and it is deleted (later, on
    // its own thread) once every message it sent has been handled and no message that replies
    // to it is being handled.
    void retireSocket(QLocalSocket *socket);

private:
    struct QueuedMessage
    {
        QByteArray bytes;
        QLocalSocket *origin = nullptr;
    };

    void run();
    void handle(const QByteArray &message, QLocalSocket *socket);
    void finishMessage(QLocalSocket *origin);
    // Under queueMutex: deletes a retired connection that nothing refers to any more.
    void releaseIfUnused(QLocalSocket *socket);

    std::atomic<bool> stopRequested { false };
    QLocalSocket *currentSocket = nullptr;
    QLocalSocket *activeSocket = nullptr; // the connection of the message being handled
    OrchestratorCore *core = nullptr;
    std::deque<QueuedMessage> queue;
    std::unordered_map<QLocalSocket *, int> queuedFrom; // messages waiting, by connection
    std::unordered_set<QLocalSocket *> retired;
    std::mutex queueMutex;
    std::condition_variable queueReady;
    FatalErrorHandler fatalErrorHandler;
    std::thread workerThread;
};

#endif // MESSAGEWORKER_H
