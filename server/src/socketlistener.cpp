#include "socketlistener.h"

#include <QLocalServer>
#include <QSocketNotifier>

namespace {

constexpr int RetryIntervalMs = 1000;

} // namespace

SocketListener::SocketListener(QLocalServer *server, const QString &name)
    : QObject(server)
    , server(server)
    , name(name)
{
    retryTimer.setInterval(RetryIntervalMs);
    connect(&retryTimer, &QTimer::timeout, this, &SocketListener::listenAgain);
}

bool SocketListener::listen()
{
    if (!server->listen(name))
        return false;
    listening = true;
    watchListening();
    return true;
}

void SocketListener::connectionClosed()
{
    listenAgain();
}

void SocketListener::watchListening()
{
    // The notifier of the listening socket is the server's one direct child of its class (the
    // connections' notifiers belong to the connections).
    const auto notifiers
        = server->findChildren<QSocketNotifier *>(QString(), Qt::FindDirectChildrenOnly);
    for (QSocketNotifier *notifier : notifiers) {
        connect(notifier, &QObject::destroyed, this, &SocketListener::listenAgain,
            Qt::QueuedConnection);
    }
}

void SocketListener::listenAgain()
{
    if (server->isListening()) {
        retryTimer.stop();
        return;
    }
    // Told once per loss, by whichever notices it first: the notifier's end or a closed
    // connection.
    if (listening) {
        listening = false;
        qWarning("Stopped listening on socket %s (%s): listening again as soon as it can",
            qPrintable(name), qPrintable(server->errorString()));
    }
    // The failed server has removed its socket file; a file left by anything else would stop
    // listen from binding.
    QLocalServer::removeServer(name);
    if (!server->listen(name)) {
        retryTimer.start();
        return;
    }
    retryTimer.stop();
    listening = true;
    watchListening();
    qWarning("Listening on socket %s again", qPrintable(name));
}
