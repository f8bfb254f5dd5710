#include "tlssocket.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpSocket>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

TlsSocket::TlsSocket(QObject *parent)
    : QObject(parent)
{ }

TlsSocket::~TlsSocket()
{
    release();
}

void TlsSocket::connectToHost(const QString &host, quint16 port, bool tls)
{
    hostName = host;
    useTls = tls;
    tcp = new QTcpSocket(this);
    connect(tcp, &QTcpSocket::connected, this, &TlsSocket::onConnected);
    connect(tcp, &QTcpSocket::errorOccurred, this, &TlsSocket::onTcpError);
    tcp->connectToHost(host, port);
}

bool TlsSocket::isOpen() const
{
    return open && !ended;
}

void TlsSocket::onTcpError()
{
    if (!tcp || ended)
        return;
    QNetworkReply::NetworkError error = QNetworkReply::UnknownNetworkError;
    switch (tcp->error()) {
    case QAbstractSocket::ConnectionRefusedError:
        error = QNetworkReply::ConnectionRefusedError;
        break;
    case QAbstractSocket::HostNotFoundError:
        error = QNetworkReply::HostNotFoundError;
        break;
    case QAbstractSocket::RemoteHostClosedError:
        error = QNetworkReply::RemoteHostClosedError;
        break;
    case QAbstractSocket::SocketTimeoutError:
        error = QNetworkReply::TimeoutError;
        break;
    default:
        break;
    }
    const QString text = tcp->error() == QAbstractSocket::HostNotFoundError
        ? QStringLiteral("Host %1 not found").arg(hostName)
        : tcp->errorString();
    end(error, text);
    emit failed(error, text);
}

void TlsSocket::onConnected()
{
    // The descriptor is taken over: a second one to the same connection, then Qt's socket goes
    // without a word to the server (closing one of two descriptors ends nothing).
    fd = ::dup(int(tcp->socketDescriptor()));
    tcp->disconnect(this);
    tcp->abort();
    tcp->deleteLater();
    tcp = nullptr;
    if (fd < 0) {
        end(QNetworkReply::UnknownNetworkError, QString::fromLocal8Bit(strerror(errno)));
        emit failed(endCode, why);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // As curl does: a request is sent at once, not held back to join later bytes.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(readNotifier, &QSocketNotifier::activated, this, &TlsSocket::onReadable);
    connect(writeNotifier, &QSocketNotifier::activated, this, &TlsSocket::onWritable);
    if (!useTls) {
        open = true;
        emit opened();
        return;
    }

    context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        end(QNetworkReply::SslHandshakeFailedError, tlsErrorText());
        emit failed(endCode, why);
        return;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // The system's authorities, and those the program's TLS configuration adds or lists.
    SSL_CTX_set_default_verify_paths(context);
    X509_STORE *store = SSL_CTX_get_cert_store(context);
    const QList<QSslCertificate> authorities
        = QSslConfiguration::defaultConfiguration().caCertificates();
    for (const QSslCertificate &authority : authorities) {
        const QByteArray der = authority.toDer();
        const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
        if (X509 *certificate = d2i_X509(nullptr, &bytes, long(der.size()))) {
            X509_STORE_add_cert(store, certificate);
            X509_free(certificate);
        }
    }
    ERR_clear_error();
    ssl = SSL_new(context);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_fd(ssl, fd);
    const QByteArray host = hostName.toUtf8();
    if (QHostAddress(hostName).isNull()) {
        SSL_set_tlsext_host_name(ssl, host.constData());
        SSL_set1_host(ssl, host.constData());
    } else {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.constData());
    }
    SSL_set_connect_state(ssl);
    handshaking = true;
    handshake();
}

void TlsSocket::handshake()
{
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl);
    if (result == 1) {
        handshaking = false;
        writeNotifier->setEnabled(!outbox.isEmpty());
        open = true;
        emit opened();
        return;
    }
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        writeNotifier->setEnabled(error == SSL_ERROR_WANT_WRITE);
        return;
    }
    const long verified = SSL_get_verify_result(ssl);
    const QString text = verified != X509_V_OK
        ? QString::fromLatin1(X509_verify_cert_error_string(verified))
        : tlsErrorText();
    end(QNetworkReply::SslHandshakeFailedError, QStringLiteral("SSL handshake failed: ") + text);
    emit failed(endCode, why);
}

void TlsSocket::onReadable()
{
    if (ended)
        return;
    if (handshaking) {
        handshake();
        return;
    }
    emit readyRead();
}

void TlsSocket::onWritable()
{
    if (ended)
        return;
    if (handshaking) {
        handshake();
        return;
    }
    flush();
}

qint64 TlsSocket::read(char *data, qint64 maxSize)
{
    if (ended)
        return -1;
    if (!open || maxSize <= 0)
        return 0;
    const int size = int(qMin<qint64>(maxSize, 1 << 30));
    if (!useTls) {
        const ssize_t n = ::recv(fd, data, size_t(size), 0);
        if (n > 0)
            return n;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        end(n == 0 ? QNetworkReply::RemoteHostClosedError : QNetworkReply::UnknownNetworkError,
            n == 0 ? QStringLiteral("The remote host closed the connection")
                   : QString::fromLocal8Bit(strerror(errno)));
        return -1;
    }
    ERR_clear_error();
    const int n = SSL_read(ssl, data, size);
    if (n > 0)
        return n;
    const int error = SSL_get_error(ssl, n);
    if (error == SSL_ERROR_WANT_READ)
        return 0;
    if (error == SSL_ERROR_WANT_WRITE) {
        writeNotifier->setEnabled(true);
        return 0;
    }
    // A close, with the TLS farewell or without it (as many servers do), or a failure.
    const bool closed = error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && errno == 0)
        || ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
    if (closed)
        end(QNetworkReply::RemoteHostClosedError,
            QStringLiteral("The remote host closed the connection"));
    else
        end(QNetworkReply::UnknownNetworkError, tlsErrorText());
    return -1;
}

bool TlsSocket::hasPending() const
{
    return ssl && !ended && SSL_pending(ssl) > 0;
}

void TlsSocket::write(const QByteArray &data)
{
    if (ended)
        return;
    outbox += data;
    if (open)
        flush();
}

void TlsSocket::flush()
{
    while (!outbox.isEmpty() && !ended) {
        const int size = int(qMin<qsizetype>(outbox.size(), 1 << 20));
        if (useTls) {
            ERR_clear_error();
            const int n = SSL_write(ssl, outbox.constData(), size);
            if (n <= 0) {
                const int error = SSL_get_error(ssl, n);
                if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
                    writeNotifier->setEnabled(error == SSL_ERROR_WANT_WRITE);
                    return;
                }
                end(QNetworkReply::RemoteHostClosedError, tlsErrorText());
                return;
            }
            outbox.remove(0, n);
        } else {
            const ssize_t n = ::send(fd, outbox.constData(), size_t(size), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    writeNotifier->setEnabled(true);
                    return;
                }
                end(QNetworkReply::RemoteHostClosedError, QString::fromLocal8Bit(strerror(errno)));
                return;
            }
            outbox.remove(0, n);
        }
    }
    if (writeNotifier)
        writeNotifier->setEnabled(false);
}

QNetworkReply::NetworkError TlsSocket::endError() const
{
    return endCode;
}

QString TlsSocket::endText() const
{
    return why;
}

void TlsSocket::end(QNetworkReply::NetworkError error, const QString &text)
{
    if (ended)
        return;
    ended = true;
    open = false;
    endCode = error;
    why = text;
    if (readNotifier)
        readNotifier->setEnabled(false);
    if (writeNotifier)
        writeNotifier->setEnabled(false);
}

QString TlsSocket::tlsErrorText() const
{
    const unsigned long error = ERR_peek_last_error();
    if (error == 0)
        return QStringLiteral("The TLS connection failed");
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return QString::fromLatin1(text);
}

void TlsSocket::release()
{
    delete readNotifier;
    readNotifier = nullptr;
    delete writeNotifier;
    writeNotifier = nullptr;
    if (ssl)
        SSL_free(ssl);
    ssl = nullptr;
    if (context)
        SSL_CTX_free(context);
    context = nullptr;
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
