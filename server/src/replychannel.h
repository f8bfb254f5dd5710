#ifndef REPLYCHANNEL_H
#define REPLYCHANNEL_H

#include <QJsonObject>

class QLocalSocket;

// Replies are produced on the message worker thread, but a connection belongs to the main
// thread and only that thread may write to it. sendReply serialises the reply where it is made
// and queues its write on the connection's own thread; queued calls to one object run in the
// order they were posted, so replies keep the order the worker produced them in. A null
// connection swallows the reply.
void sendReply(QLocalSocket *connection, const QJsonObject &message);

#endif // REPLYCHANNEL_H
