#include "replychannel.h"

#include <QJsonDocument>
#include <QLocalSocket>
#include <QMetaObject>

void sendReply(QLocalSocket *connection, const QJsonObject &message)
{
    if (!connection)
        return;
    const QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
    // The connection is the context object: if it is gone before the call runs, Qt drops it.
    QMetaObject::invokeMethod(
        connection, [connection, bytes] { connection->write(bytes); }, Qt::QueuedConnection);
}
