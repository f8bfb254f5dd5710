#ifndef ORACULDCLIENT_H
#define ORACULDCLIENT_H

#include "jsonstreamsplitter.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QLocalSocket>
#include <QString>
#include <QStringList>

// A client of the server's socket as the desktop program is one: one compact object per write,
// replies cut out of the byte stream whole, kept as the exact bytes the server wrote.
class OraculdClient
{
public:
    struct Answer
    {
        QList<QByteArray> replies; // every reply up to and including the ANSREFS, as written
        QStringList progress;
        QStringList pieces;
        QByteArray refs; // empty when no ANSREFS came in time
        QString text() const { return pieces.join(QString()); }
    };

    // The waits end as soon as the reply is there; they are long because a loaded machine embeds
    // and loads models many times slower than an idle one.

    // Connects and takes the greeting, which must be exactly {"type":"READYACK"}.
    bool connectTo(const QString &socketPath, int timeoutMs = 60000);

    void send(const QByteArray &bytes);
    void send(const QJsonObject &message);

    // The next reply's bytes, or an empty array when none came in time.
    QByteArray nextReply(int timeoutMs = 60000);
    // Collects the replies of one query, up to its ANSREFS.
    Answer collectAnswer(int timeoutMs = 60000);

    QLocalSocket &socket() { return connection; }

private:
    QLocalSocket connection;
    JsonStreamSplitter splitter;
    QList<QByteArray> received;
};

#endif // ORACULDCLIENT_H
