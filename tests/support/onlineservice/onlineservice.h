#ifndef ONLINESERVICE_H
#define ONLINESERVICE_H

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class QWebSocket;
class QWebSocketServer;

// Answers the requests of the desktop program the way the online assistant does: every "chunks"
// with "ACK", every "delete" with "DELACK", "delall" with nothing, and every "query" with either a
// stream of pieces closed by "ANSREFS" or one whole "ANS". References point at the first chunks
// it was sent. Every text received and sent is logged on standard output, one line each.
class OnlineService : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        bool whole = false; // one "ANS" instead of "ANSPART" pieces and "ANSREFS"
        bool progress = false; // "PROGRESS" lines before the pieces of a stream
        bool embedPart = false; // an "EMBEDPART" before every answer, which clients ignore
        int pieceDelayMs = 0; // pause between the messages of a stream
        int maxSources = 3;
        int closeAfter = -1; // close the connection after this many messages of an answer
        QString answer;
    };

    explicit OnlineService(const Options &options, QObject *parent = nullptr);

    // Port 0 takes any free port. Returns false when the port cannot be had.
    bool listen(quint16 port);
    QString url() const;

private:
    void onNewConnection();
    void onTextMessage(QWebSocket *socket, const QString &text);
    void answerQuery(QWebSocket *socket);
    void sendLater(QWebSocket *socket, const QList<QJsonObject> &messages);
    void send(QWebSocket *socket, const QJsonObject &message);
    QJsonArray sources() const;

    Options m_options;
    QWebSocketServer *m_server;
    // Chunks by document, in the order they were sent.
    QList<QString> m_docOrder;
    QHash<QString, QJsonArray> m_chunks;
};

#endif // ONLINESERVICE_H
