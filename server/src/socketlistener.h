#ifndef SOCKETLISTENER_H
#define SOCKETLISTENER_H

#include <QObject>
#include <QString>
#include <QTimer>

class QLocalServer;

// Keeps a QLocalServer listening on its name. When accept fails for want of descriptors, the
// server closes itself and removes its socket file without a signal or a log line; the socket
// notifier it then deletes is the one trace. That loss is logged and listening starts again: at
// once, whenever a connection closes (which frees a descriptor), and on a timer until it works.
class SocketListener : public QObject
{
    Q_OBJECT

public:
    SocketListener(QLocalServer *server, const QString &name);

    // The first listen; false when it fails (nothing is retried then).
    bool listen();
    // A descriptor may have come free: listen again if listening was lost.
    void connectionClosed();

private:
    void watchListening();
    // Listens again when listening was lost; a no-op while the server listens.
    void listenAgain();

    QLocalServer *server;
    QString name;
    QTimer retryTimer;
    bool listening = false; // as last seen here; the server may have lost it since
};

#endif // SOCKETLISTENER_H
