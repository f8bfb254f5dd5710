#ifndef TLSSOCKET_H
#define TLSSOCKET_H

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTcpSocket;
struct ssl_ctx_st;
struct ssl_st;

// A client connection, TLS or plain, that reads straight from the kernel into the caller's
// buffer: OpenSSL decrypts each record where it is read, as curl does, with no buffer of the
// socket's own on the way. Qt connects it (name lookup, connection errors); then it works on the
// descriptor. The server is verified against the certificate authorities of the TLS
// configuration of the moment and the system's, for the host name asked for.
class TlsSocket : public QObject
{
    Q_OBJECT

public:
    explicit TlsSocket(QObject *parent = nullptr);
    ~TlsSocket() override;

    void connectToHost(const QString &host, quint16 port, bool tls);
    // Connected and, for TLS, past the handshake, and not ended.
    bool isOpen() const;
    // Bytes read into data; 0 when none are there now (readyRead tells of more); -1 once the
    // connection ended: endError() and endText() say how.
    qint64 read(char *data, qint64 maxSize);
    void write(const QByteArray &data);
    // Decrypted bytes already read from the kernel and not yet taken.
    bool hasPending() const;
    // QNetworkReply::RemoteHostClosedError when the server closed the connection.
    QNetworkReply::NetworkError endError() const;
    QString endText() const;

signals:
    void opened();
    void readyRead();
    // The connection could not be made, or failed before it was open.
    void failed(QNetworkReply::NetworkError error, const QString &text);

private:
    void onConnected();
    void onTcpError();
    void handshake();
    void onReadable();
    void onWritable();
    void flush();
    void end(QNetworkReply::NetworkError error, const QString &text);
    QString tlsErrorText() const;
    void release();

    QTcpSocket *tcp = nullptr;
    int fd = -1;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    ssl_ctx_st *context = nullptr;
    ssl_st *ssl = nullptr;
    QString hostName;
    bool useTls = false;
    bool open = false;
    bool ended = false;
    bool handshaking = false;
    QByteArray outbox;
    QNetworkReply::NetworkError endCode = QNetworkReply::NoError;
    QString why;
};

#endif // TLSSOCKET_H
