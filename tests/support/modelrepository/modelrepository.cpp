#include "modelrepository.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTextStream>
#include <QTimer>

namespace {

constexpr qint64 ChunkSize = 256 * 1024;
constexpr qint64 SlowChunkSize = 64 * 1024;
constexpr int SlowIntervalMs = 20;
constexpr qint64 LongerBy = 1024 * 1024;
constexpr qint64 LargerFactor = 10;
constexpr qint64 StallAfter = 1000;
// What a misbehaving server sends past the file's bytes: easy to tell from model data.
constexpr char JunkByte = char(0xEE);

// One client connection: reads a request, answers it, and reads the next once the answer is out.
class Connection : public QObject
{
public:
    Connection(QSslSocket *socket, const QString &root)
        : QObject(socket)
        , m_socket(socket)
        , m_root(root)
    {
        connect(socket, &QSslSocket::readyRead, this, &Connection::onReadyRead);
        connect(socket, &QSslSocket::bytesWritten, this, &Connection::pump);
        connect(socket, &QSslSocket::encryptedBytesWritten, this, &Connection::pump);
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(&m_slowTimer, &QTimer::timeout, this, &Connection::pump);
        onReadyRead();
    }

private:
    void onReadyRead()
    {
        m_request += m_socket->readAll();
        if (m_sending)
            return;
        const qsizetype end = m_request.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = m_request.left(end);
        m_request.remove(0, end + 4);
        answer(head);
    }

    void answer(const QByteArray &head)
    {
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        QByteArray range = "-";
        QByteArray auth = "-";
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = line.left(colon).trimmed().toLower();
            if (name == "range")
                range = line.mid(colon + 1).trimmed();
            else if (name == "authorization")
                auth = line.mid(colon + 1).trimmed();
        }
        const QByteArray method = requestLine.value(0);
        const QString path = QString::fromUtf8(requestLine.value(1));
        static const QRegularExpression pattern(
            QStringLiteral("^/([^/]+)/[^/]+/resolve/main/([^/]+)$"));
        const QRegularExpressionMatch match = pattern.match(path);
        const QString owner = match.captured(1);
        // As a server that closes a kept connection while the client sends on it: the request
        // is never answered, and a client must send it again on a new connection.
        if (owner == QLatin1String("oneperconnection") && m_answered > 0) {
            m_socket->disconnectFromHost();
            return;
        }
        ++m_answered;
        QTextStream(stdout) << method << ' ' << path << " range=" << range << " auth=" << auth
                            << Qt::endl;

        if (method != "GET" || !match.hasMatch()) {
            sendError(404);
            return;
        }
        const QByteArray rest = path.mid(owner.size() + 1).toUtf8();
        if (owner == QLatin1String("redirect") || owner == QLatin1String("elsewhere")
            || owner == QLatin1String("loop")) {
            // As the real repository sends its files from another address: here, or another
            // host (the same server by its address instead of its name), or itself for ever.
            QByteArray location = "/ok" + rest;
            if (owner == QLatin1String("elsewhere"))
                location
                    = "https://127.0.0.1:" + QByteArray::number(m_socket->localPort()) + location;
            else if (owner == QLatin1String("loop"))
                location = path.toUtf8();
            m_socket->write(
                "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n");
            QTimer::singleShot(0, this, &Connection::onReadyRead);
            return;
        }
        if (owner == QLatin1String("garbage")) {
            m_socket->write("SSH-2.0-OpenSSH_9.2\r\n\r\n");
            QTimer::singleShot(0, this, &Connection::onReadyRead);
            return;
        }
        if (owner == QLatin1String("e404") || owner == QLatin1String("e500")) {
            sendError(owner.mid(1).toInt());
            return;
        }
        m_file.close();
        m_file.setFileName(m_root + QLatin1Char('/') + match.captured(2));
        if (!m_file.open(QIODevice::ReadOnly)) {
            sendError(404);
            return;
        }
        const qint64 size = m_file.size();
        qint64 first = 0;
        qint64 last = size - 1;
        bool partial = false;
        static const QRegularExpression rangePattern(QStringLiteral("^bytes=(\\d+)-(\\d*)$"));
        const QRegularExpressionMatch asked = rangePattern.match(QString::fromLatin1(range));
        const bool ignoresRange = owner == QLatin1String("norange")
            || owner == QLatin1String("larger") || owner == QLatin1String("endless200");
        if (asked.hasMatch() && !ignoresRange) {
            first = asked.captured(1).toLongLong();
            if (!asked.captured(2).isEmpty())
                last = qMin(last, asked.captured(2).toLongLong());
            if (first >= size || last < first) {
                sendError(416);
                return;
            }
            partial = true;
        }
        if (owner == QLatin1String("short") && partial)
            last = first + (last - first + 2) / 2 - 1;
        qint64 announcedFirst = first;
        if (owner == QLatin1String("badrange"))
            announcedFirst = first + 1;

        // Bodies that run past the bytes of the file or the range: counted in the length, or
        // sent without one until the connection closes, or without end.
        m_junk = 0;
        m_endless = false;
        bool withLength = true;
        if (owner == QLatin1String("longer") || owner == QLatin1String("longernolength")) {
            m_junk = LongerBy;
            withLength = owner == QLatin1String("longer");
        } else if (owner == QLatin1String("larger")) {
            m_junk = (LargerFactor - 1) * size;
        } else if (owner.startsWith(QLatin1String("endless"))) {
            m_endless = true;
            withLength = false;
        }
        m_chunked = owner == QLatin1String("chunked");
        if (m_chunked)
            withLength = false;
        m_closeAfter = !withLength && !m_chunked;

        QByteArray header = partial ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
        header += "Content-Type: application/octet-stream\r\n";
        if (m_chunked)
            header += "Transfer-Encoding: chunked\r\n";
        else if (withLength)
            header += "Content-Length: " + QByteArray::number(last - first + 1 + m_junk) + "\r\n";
        else
            header += "Connection: close\r\n";
        if (partial)
            header += "Content-Range: bytes " + QByteArray::number(announcedFirst) + '-'
                + QByteArray::number(last) + '/' + QByteArray::number(size) + "\r\n";
        header += "Accept-Ranges: bytes\r\n\r\n";
        m_socket->write(header);

        m_file.seek(first);
        m_remaining = last - first + 1;
        m_stallAt = owner == QLatin1String("stall") ? m_remaining - StallAfter : -1;
        m_dropAfter = -1;
        if (owner.startsWith(QLatin1String("dropat")) && owner.mid(6).toLongLong() == first
            && partial)
            m_dropAfter = m_remaining / 2;
        m_slow = owner == QLatin1String("slow");
        m_sending = true;
        if (m_slow)
            m_slowTimer.start(SlowIntervalMs);
        pump();
    }

    void sendError(int status)
    {
        const QByteArray reason = status == 404 ? "Not Found"
            : status == 416                     ? "Range Not Satisfiable"
                                                : "Internal Server Error";
        const QByteArray body = "<!DOCTYPE html>\n<html><head><title>" + QByteArray::number(status)
            + ' ' + reason + "</title></head><body><h1>" + reason + "</h1></body></html>\n";
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
            + "\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\n\r\n" + body);
        // The next request may already be waiting.
        QTimer::singleShot(0, this, &Connection::onReadyRead);
    }

    // What was written and has not left yet: the plain bytes waiting for encryption and the
    // encrypted ones waiting for the network.
    qint64 unsent() const { return m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite(); }

    // Feeds the socket a chunk at a time, so that a large window is never held in memory.
    void pump()
    {
        if (!m_sending)
            return;
        if (m_slow && sender() != &m_slowTimer)
            return;
        const qint64 chunk = m_slow ? SlowChunkSize : ChunkSize;
        while (m_remaining > qMax<qint64>(m_stallAt, 0) && unsent() < 4 * ChunkSize) {
            qint64 n = qMin(chunk, m_remaining - qMax<qint64>(m_stallAt, 0));
            if (m_dropAfter >= 0)
                n = qMin(n, m_dropAfter);
            const QByteArray data = m_file.read(n);
            if (data.isEmpty())
                break;
            if (m_chunked) {
                // Chunks of uneven sizes, one with an extension, as servers may send them.
                const qsizetype cut = data.size() / 3 + 1;
                m_socket->write(QByteArray::number(cut, 16) + ";piece=1\r\n" + data.left(cut)
                    + "\r\n" + QByteArray::number(data.size() - cut, 16).toUpper() + "\r\n"
                    + data.mid(cut) + "\r\n");
            } else {
                m_socket->write(data);
            }
            m_remaining -= data.size();
            if (m_dropAfter >= 0) {
                m_dropAfter -= data.size();
                if (m_dropAfter == 0) {
                    m_sending = false;
                    m_socket->flush();
                    m_socket->disconnectFromHost();
                    return;
                }
            }
            if (m_slow)
                break;
        }
        // A stalled answer keeps the connection open and sends nothing more.
        if (m_stallAt >= 0 && m_remaining == m_stallAt)
            return;
        if (m_remaining > 0)
            return;
        static const QByteArray junk(ChunkSize, JunkByte);
        // A client that went away takes nothing more: an endless body ends with it.
        while ((m_endless || m_junk > 0) && unsent() < 4 * ChunkSize
            && m_socket->state() == QAbstractSocket::ConnectedState) {
            const qint64 n = m_endless ? ChunkSize : qMin(ChunkSize, m_junk);
            if (m_socket->write(junk.constData(), n) != n)
                break;
            m_junk -= n;
        }
        if (m_endless || m_junk > 0)
            return;
        m_sending = false;
        m_slowTimer.stop();
        m_file.close();
        if (m_chunked)
            m_socket->write("0\r\nX-Trailer: end\r\n\r\n");
        if (m_closeAfter) {
            // Without a length, the end of the body is the end of the connection.
            m_socket->disconnectFromHost();
            return;
        }
        QTimer::singleShot(0, this, &Connection::onReadyRead);
    }

    QSslSocket *m_socket;
    QString m_root;
    QByteArray m_request;
    QFile m_file;
    qint64 m_remaining = 0;
    qint64 m_dropAfter = -1;
    qint64 m_stallAt = -1;
    qint64 m_junk = 0;
    bool m_endless = false;
    bool m_closeAfter = false;
    bool m_chunked = false;
    int m_answered = 0;
    bool m_sending = false;
    bool m_slow = false;
    QTimer m_slowTimer;
};

} // namespace

ModelRepository::ModelRepository(const QString &root, QObject *parent)
    : QObject(parent)
    , m_root(root)
{
    connect(
        &m_server, &QSslServer::pendingConnectionAvailable, this, &ModelRepository::onConnection);
    connect(
        &m_unnamed, &QSslServer::pendingConnectionAvailable, this, &ModelRepository::onConnection);
}

bool ModelRepository::listen(const QString &certificateFile, const QString &keyFile, quint16 port)
{
    QFile certFile(certificateFile);
    QFile keyData(keyFile);
    if (!certFile.open(QIODevice::ReadOnly) || !keyData.open(QIODevice::ReadOnly))
        return false;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(QSslCertificate::fromDevice(&certFile, QSsl::Pem));
    config.setPrivateKey(QSslKey(&keyData, QSsl::Rsa, QSsl::Pem));
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server.setSslConfiguration(config);
    m_unnamed.setSslConfiguration(config);
    return m_server.listen(QHostAddress::LocalHost, port)
        && m_unnamed.listen(QHostAddress(QStringLiteral("127.0.0.2")), m_server.serverPort());
}

quint16 ModelRepository::port() const
{
    return m_server.serverPort();
}

void ModelRepository::onConnection()
{
    auto *server = qobject_cast<QSslServer *>(sender());
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        if (auto *ssl = qobject_cast<QSslSocket *>(socket))
            new Connection(ssl, m_root);
    }
}
