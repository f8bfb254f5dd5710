#include "httpconnection.h"

#include "tlssocket.h"

namespace {

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int defaultPort(const QUrl &url)
{
    return url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
        && defaultPort(a) == defaultPort(b);
}

// Whether a comma-separated header holds a token, in any letter case.
bool hasToken(const QByteArray &value, const QByteArray &token)
{
    for (const QByteArray &part : value.split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// A decimal number of digits only, or -1.
qint64 parseDecimal(const QByteArray &text)
{
    const QByteArray digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 18)
        return -1;
    qint64 value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

QNetworkReply::NetworkError errorOfStatus(int status)
{
    switch (status) {
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return status >= 500 ? QNetworkReply::UnknownServerError
                             : QNetworkReply::UnknownContentError;
    }
}

} // namespace

QByteArray httpHeaderValue(const HttpHeaders &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return {};
}

HttpConnection::HttpConnection(QObject *parent)
    : QObject(parent)
    , transferTimer(this)
    , progressTimer(this)
{
    transferTimer.setSingleShot(true);
    connect(&transferTimer, &QTimer::timeout, this, &HttpConnection::onTimeout);
    // Bytes that came after the last word on progress are told once the interval is over.
    progressTimer.setSingleShot(true);
    connect(&progressTimer, &QTimer::timeout, this, [this] {
        if (active)
            tellProgress();
    });
    pieceBuffer.resize(PieceSize);
}

HttpConnection::~HttpConnection()
{
    dropSocket();
}

void HttpConnection::start(const HttpGet &get, const std::shared_ptr<HttpBodySink> &newSink)
{
    if (active)
        cancel(current.id);
    current = get;
    sink = newSink;
    received = 0;
    progressTold.invalidate();
    active = true;
    url = get.url;
    redirectsLeft = MaxRedirects;
    retried = false;
    restartTimer();
    open();
}

void HttpConnection::cancel(quint64 id)
{
    if (!active || id != current.id)
        return;
    active = false;
    phase = Phase::Idle;
    transferTimer.stop();
    progressTimer.stop();
    sink.reset();
    // The rest of its response would come before the next one.
    dropSocket();
}

bool HttpConnection::canReuse(const QUrl &target) const
{
    return socket && socketReusable && socket->isOpen()
        && socketTls == (target.scheme() == QLatin1String("https"))
        && socketHost.compare(target.host(), Qt::CaseInsensitive) == 0
        && socketPort == defaultPort(target);
}

void HttpConnection::open()
{
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http")) {
        fail(QNetworkReply::ProtocolUnknownError,
            QStringLiteral("Protocol \"%1\" is unknown").arg(scheme));
        return;
    }
    if (url.host().isEmpty()) {
        fail(QNetworkReply::HostNotFoundError, QStringLiteral("No host in %1").arg(url.toString()));
        return;
    }
    if (canReuse(url)) {
        reused = true;
        sendRequest();
        return;
    }
    dropSocket();
    reused = false;
    peerClosed = false;
    socketHost = url.host();
    socketPort = defaultPort(url);
    socketTls = scheme == QLatin1String("https");
    // Made afresh for every connection, so that it takes the TLS configuration of the moment.
    socket = new TlsSocket(this);
    inbox.clear();
    connect(socket, &TlsSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(socket, &TlsSocket::failed, this, &HttpConnection::onFailed);
    connect(socket, &TlsSocket::opened, this, [this] {
        restartTimer();
        sendRequest();
    });
    socket->connectToHost(socketHost, quint16(socketPort), socketTls);
}

void HttpConnection::sendRequest()
{
    if (!active)
        return;
    phase = Phase::Head;
    responseStarted = false;
    statusRead = false;
    head = HttpResponseHead();
    headSize = 0;
    remaining = 0;
    closeAfter = false;
    redirectTarget.clear();
    socketReusable = false;

    QByteArray target
        = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.isEmpty())
        target = "/";
    QByteArray host = QUrl::toAce(url.host());
    if (host.isEmpty())
        host = url.host().toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1 && url.port() != (socketTls ? 443 : 80))
        host += ':' + QByteArray::number(url.port());

    QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    for (const auto &header : std::as_const(current.headers)) {
        // A line break in a header would start a header, or a request, of its own.
        if (header.first.contains('\r') || header.first.contains('\n')
            || header.second.contains('\r') || header.second.contains('\n'))
            continue;
        request += header.first + ": " + header.second + "\r\n";
    }
    // No compression: the bytes written must be the file's.
    request
        += "Accept-Encoding: identity\r\nUser-Agent: Quorvane\r\nConnection: keep-alive\r\n\r\n";
    socket->write(request);
    // Bytes of the answer may already wait inside the TLS layer, where the socket cannot see them.
    if (socket->hasPending())
        QMetaObject::invokeMethod(this, &HttpConnection::onReadyRead, Qt::QueuedConnection);
}

void HttpConnection::dropSocket()
{
    if (!socket)
        return;
    socket->disconnect(this);
    socket->deleteLater();
    socket = nullptr;
    socketReusable = false;
    inbox.clear();
}

void HttpConnection::restartTimer()
{
    if (current.transferTimeoutMs > 0)
        transferTimer.start(current.transferTimeoutMs);
}

void HttpConnection::onReadyRead()
{
    if (!socket || (sender() && sender() != socket))
        return;
    // Bytes, or the end, on a connection kept for the next GET: nothing good can come of it.
    if (!active) {
        dropSocket();
        return;
    }
    restartTimer();
    pump();
}

void HttpConnection::onFailed(QNetworkReply::NetworkError error, const QString &text)
{
    if (sender() != socket || !active)
        return;
    if (retryOnFreshConnection())
        return;
    fail(error, text);
}

void HttpConnection::onEnded()
{
    if (!active)
        return;
    if (socket->endError() != QNetworkReply::RemoteHostClosedError) {
        if (retryOnFreshConnection())
            return;
        fail(socket->endError(), socket->endText());
        return;
    }
    peerClosed = true;
    // Without a length the body ends with the connection.
    if (phase == Phase::UntilClose && inbox.isEmpty()) {
        bodyComplete();
        return;
    }
    if (retryOnFreshConnection())
        return;
    fail(QNetworkReply::RemoteHostClosedError,
        QStringLiteral("The server closed the connection before the whole answer came"));
}

// A kept connection that the server closed while it was idle fails the GET sent on it before
// any answer: that GET is sent once more on a new connection.
bool HttpConnection::retryOnFreshConnection()
{
    if (!reused || responseStarted || retried)
        return false;
    retried = true;
    dropSocket();
    open();
    return true;
}

void HttpConnection::onTimeout()
{
    if (!active)
        return;
    fail(QNetworkReply::TimeoutError,
        QStringLiteral("Nothing received for %1 ms").arg(current.transferTimeoutMs));
}

bool HttpConnection::fillInbox()
{
    char bytes[16 * 1024];
    const qint64 n = socket->read(bytes, sizeof bytes);
    if (n > 0) {
        inbox.append(bytes, n);
        return true;
    }
    if (n < 0)
        onEnded();
    return false;
}

bool HttpConnection::takeLine(QByteArray &line)
{
    for (;;) {
        const qsizetype end = inbox.indexOf('\n');
        if (end >= 0) {
            if (end > MaxLineLength)
                break;
            line = inbox.left(end);
            inbox.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            return true;
        }
        if (inbox.size() > MaxLineLength)
            break;
        if (!fillInbox())
            return false;
    }
    fail(QNetworkReply::ProtocolFailure, QStringLiteral("The server sent a line too long"));
    return false;
}

void HttpConnection::pump()
{
    while (active && socket) {
        QByteArray line;
        switch (phase) {
        case Phase::Idle:
            return;
        case Phase::Head:
            if (!takeLine(line))
                return;
            responseStarted = true;
            if (!readHeadLine(line))
                return;
            break;
        case Phase::Body:
            if (!passBody(remaining))
                return;
            if (remaining == 0)
                bodyComplete();
            break;
        case Phase::UntilClose:
            if (!passBody(PieceSize))
                return;
            break;
        case Phase::ChunkSize: {
            if (!takeLine(line))
                return;
            const QByteArray size = line.split(';').value(0).trimmed();
            bool ok = false;
            const qint64 n = size.toLongLong(&ok, 16);
            if (!ok || n < 0 || size.isEmpty() || size.size() > 15) {
                fail(QNetworkReply::ProtocolFailure,
                    QStringLiteral("The server sent a damaged chunk"));
                return;
            }
            remaining = n;
            phase = n == 0 ? Phase::Trailer : Phase::ChunkData;
            break;
        }
        case Phase::ChunkData:
            if (!passBody(remaining))
                return;
            if (remaining == 0)
                phase = Phase::ChunkEnd;
            break;
        case Phase::ChunkEnd:
            if (!takeLine(line))
                return;
            if (!line.isEmpty()) {
                fail(QNetworkReply::ProtocolFailure,
                    QStringLiteral("The server sent a damaged chunk"));
                return;
            }
            phase = Phase::ChunkSize;
            break;
        case Phase::Trailer:
            if (!takeLine(line))
                return;
            if (line.isEmpty())
                bodyComplete();
            break;
        }
    }
}

bool HttpConnection::readHeadLine(const QByteArray &line)
{
    headSize += line.size() + 2;
    if (headSize > MaxHeadSize) {
        fail(QNetworkReply::ProtocolFailure, QStringLiteral("The server sent too long a head"));
        return false;
    }
    if (!statusRead) {
        // "HTTP/1.1 206 Partial Content"
        const QList<QByteArray> parts = line.split(' ');
        const qint64 status = parts.size() >= 2 ? parseDecimal(parts.at(1)) : -1;
        if (!line.startsWith("HTTP/1.") || line.size() < 8 || status < 100 || status > 999) {
            fail(QNetworkReply::ProtocolFailure,
                QStringLiteral("The server's answer is not HTTP/1.1"));
            return false;
        }
        httpMinor = line.at(7) == '0' ? 0 : 1;
        head.status = int(status);
        head.reason = line.mid(parts.at(0).size() + parts.at(1).size() + 2).trimmed();
        statusRead = true;
        return true;
    }
    if (line.isEmpty()) {
        headComplete();
        return true;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) {
        fail(QNetworkReply::ProtocolFailure, QStringLiteral("The server sent a damaged header"));
        return false;
    }
    head.headers.append({ line.left(colon).trimmed(), line.mid(colon + 1).trimmed() });
    return true;
}

void HttpConnection::headComplete()
{
    // An interim answer ("100 Continue") is followed by the real one.
    if (head.status >= 100 && head.status < 200) {
        statusRead = false;
        head = HttpResponseHead();
        return;
    }
    const QByteArray connection = httpHeaderValue(head.headers, "Connection");
    closeAfter
        = hasToken(connection, "close") || (httpMinor == 0 && !hasToken(connection, "keep-alive"));

    const bool chunked = hasToken(httpHeaderValue(head.headers, "Transfer-Encoding"), "chunked");
    qint64 length = -1;
    for (const auto &header : std::as_const(head.headers)) {
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        const qint64 value = parseDecimal(header.second);
        if (value < 0 || (length >= 0 && value != length)) {
            fail(
                QNetworkReply::ProtocolFailure, QStringLiteral("The server sent a damaged length"));
            return;
        }
        length = value;
    }
    head.contentLength = length;

    if (isRedirect(head.status) && !httpHeaderValue(head.headers, "Location").isEmpty()) {
        const QUrl target = url.resolved(
            QUrl::fromEncoded(httpHeaderValue(head.headers, "Location"), QUrl::StrictMode));
        if (!target.isValid()) {
            fail(QNetworkReply::ProtocolFailure,
                QStringLiteral("The server redirected to a damaged address"));
            return;
        }
        if (redirectsLeft <= 0) {
            fail(QNetworkReply::TooManyRedirectsError, QStringLiteral("Too many redirects"));
            return;
        }
        if (url.scheme() == QLatin1String("https") && target.scheme() != QLatin1String("https")) {
            fail(QNetworkReply::InsecureRedirectError,
                QStringLiteral("Insecure redirect to %1").arg(target.toString()));
            return;
        }
        redirectTarget = target;
        // A body of its own is read and dropped when short, so that the connection can serve
        // the next GET; anything else ends the connection.
        if (chunked || length < 0 || length > MaxDiscardedBody) {
            closeAfter = true;
            bodyComplete();
            return;
        }
    } else if (!sink->begin(head)) {
        fail(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
        return;
    }

    if (head.status == 204 || head.status == 304) {
        bodyComplete();
    } else if (chunked) {
        phase = Phase::ChunkSize;
    } else if (length >= 0) {
        remaining = length;
        phase = Phase::Body;
        if (length == 0)
            bodyComplete();
    } else {
        // Without a length the body ends with the connection.
        closeAfter = true;
        phase = Phase::UntilClose;
    }
}

bool HttpConnection::passBody(qint64 limit)
{
    if (limit <= 0)
        return false;
    const qint64 n = qMin(limit, PieceSize);
    // Bytes read with the head come first; the rest is read straight into the piece.
    const bool fromInbox = !inbox.isEmpty();
    const char *data = fromInbox ? inbox.constData() : pieceBuffer.constData();
    qint64 passed = 0;
    if (fromInbox) {
        passed = qMin<qint64>(n, inbox.size());
    } else {
        passed = socket->read(pieceBuffer.data(), n);
        if (passed < 0) {
            onEnded();
            return false;
        }
        if (passed == 0)
            return false;
    }
    const bool taken = redirectTarget.isValid() || sink->take(data, passed);
    if (fromInbox)
        inbox.remove(0, passed);
    if (!taken) {
        received += passed;
        tellProgress();
        fail(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
        return false;
    }
    if (!redirectTarget.isValid()) {
        received += passed;
        if (!progressTold.isValid() || progressTold.elapsed() >= ProgressIntervalMs)
            tellProgress();
        else if (!progressTimer.isActive())
            progressTimer.start(int(ProgressIntervalMs - progressTold.elapsed()));
    }
    if (phase != Phase::UntilClose)
        remaining -= passed;
    return active;
}

void HttpConnection::tellProgress()
{
    progressTimer.stop();
    progressTold.start();
    emit progress(current.id, received);
}

void HttpConnection::bodyComplete()
{
    phase = Phase::Idle;
    // Bytes past the body would be taken for the next answer.
    socketReusable = !closeAfter && !peerClosed && inbox.isEmpty() && !socket->hasPending();
    if (!socketReusable)
        dropSocket();
    if (redirectTarget.isValid()) {
        followRedirect();
        return;
    }
    const int status = head.status;
    if (status >= 400) {
        finish(errorOfStatus(status),
            QStringLiteral("Error transferring %1 - server replied: %2")
                .arg(url.toString(), QString::fromLatin1(head.reason)));
    } else {
        finish(QNetworkReply::NoError, QString());
    }
}

void HttpConnection::followRedirect()
{
    const QUrl target = redirectTarget;
    redirectTarget.clear();
    --redirectsLeft;
    // The repository's access token is for the repository, not for wherever it sends us.
    if (!sameOrigin(url, target)) {
        current.headers.removeIf([](const QPair<QByteArray, QByteArray> &header) {
            return header.first.compare("Authorization", Qt::CaseInsensitive) == 0;
        });
    }
    url = target;
    retried = false;
    open();
}

void HttpConnection::fail(QNetworkReply::NetworkError error, const QString &text)
{
    dropSocket();
    finish(error, text);
}

void HttpConnection::finish(QNetworkReply::NetworkError error, const QString &text)
{
    if (!active)
        return;
    active = false;
    phase = Phase::Idle;
    transferTimer.stop();
    if (progressTimer.isActive())
        tellProgress();
    sink.reset();
    emit finished(current.id, int(error), text);
}
