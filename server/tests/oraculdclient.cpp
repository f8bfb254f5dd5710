#include "oraculdclient.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QThread>

bool OraculdClient::connectTo(const QString &socketPath, int timeoutMs)
{
    // The socket file exists from the server's bind on, a moment before it listens: a connection
    // refused in that moment is tried again.
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        connection.connectToServer(socketPath);
        if (connection.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        connection.abort();
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return nextReply(timeoutMs) == R"({"type":"READYACK"})";
}

void OraculdClient::send(const QByteArray &bytes)
{
    connection.write(bytes);
    connection.flush();
    const QDeadlineTimer deadline(60000);
    while (connection.bytesToWrite() > 0 && !deadline.hasExpired())
        connection.waitForBytesWritten(100);
}

void OraculdClient::send(const QJsonObject &message)
{
    send(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

QByteArray OraculdClient::nextReply(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (received.isEmpty()) {
        if (connection.bytesAvailable() == 0
            && !connection.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return QByteArray();
        received += splitter.feed(connection.readAll());
        if (deadline.hasExpired() && received.isEmpty())
            return QByteArray();
    }
    return received.takeFirst();
}

OraculdClient::Answer OraculdClient::collectAnswer(int timeoutMs)
{
    Answer answer;
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        const QByteArray reply = nextReply(int(qMax<qint64>(1, deadline.remainingTime())));
        if (reply.isEmpty())
            break;
        answer.replies.append(reply);
        const QJsonObject object = QJsonDocument::fromJson(reply).object();
        const QString type = object.value(QLatin1String("type")).toString();
        if (type == QLatin1String("PROGRESS")) {
            answer.progress.append(object.value(QLatin1String("message")).toString());
        } else if (type == QLatin1String("ANSPART")) {
            answer.pieces.append(object.value(QLatin1String("answer")).toString());
        } else if (type == QLatin1String("ANSREFS")) {
            answer.refs = reply;
            break;
        }
    }
    return answer;
}
