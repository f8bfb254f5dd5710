#include "httprangeclient.h"

HttpRangeReply::HttpRangeReply(quint64 id, const QUrl &url, int transferTimeoutMs,
    const std::shared_ptr<HttpBodySink> &sink, HttpRangeClient *client)
    : QObject(client)
    , id(id)
    , requestUrl(url)
    , timeoutMs(transferTimeoutMs)
    , sink(sink)
    , client(client)
{ }

HttpRangeReply::~HttpRangeReply()
{
    if (done)
        return;
    sink->stop();
    if (client)
        client->cancel(id);
}

QUrl HttpRangeReply::url() const
{
    return requestUrl;
}

int HttpRangeReply::transferTimeout() const
{
    return timeoutMs;
}

bool HttpRangeReply::isFinished() const
{
    return done;
}

QNetworkReply::NetworkError HttpRangeReply::error() const
{
    return failure;
}

QString HttpRangeReply::errorString() const
{
    return failureText;
}

void HttpRangeReply::abort()
{
    if (done)
        return;
    // The sink may be taking bytes on the connection's thread right now: this waits for that.
    sink->stop();
    if (client)
        client->cancel(id);
    onFinished(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
}

void HttpRangeReply::onFinished(QNetworkReply::NetworkError error, const QString &text)
{
    if (done)
        return;
    done = true;
    failure = error;
    failureText = text;
    emit finished();
    if (client)
        emit client->finished(this);
}

HttpRangeClient::HttpRangeClient(QObject *parent)
    : QObject(parent)
    , connection(new HttpConnection)
{
    thread.setObjectName(QStringLiteral("HTTP"));
    connection->moveToThread(&thread);
    connect(&thread, &QThread::finished, connection, &QObject::deleteLater);
    connect(connection, &HttpConnection::progress, this, [this](quint64 id, qint64 bytes) {
        if (current && current->id == id && !current->done)
            emit current->downloadProgress(bytes, -1);
    });
    connect(connection, &HttpConnection::finished, this,
        [this](quint64 id, int error, const QString &text) {
            if (current && current->id == id)
                current->onFinished(QNetworkReply::NetworkError(error), text);
        });
    thread.start();
}

HttpRangeClient::~HttpRangeClient()
{
    // Replies are children: none may call back into a client half gone.
    for (HttpRangeReply *reply : findChildren<HttpRangeReply *>(Qt::FindDirectChildrenOnly)) {
        if (!reply->done)
            reply->sink->stop();
        reply->client = nullptr;
    }
    thread.quit();
    thread.wait();
}

HttpRangeReply *HttpRangeClient::get(const QUrl &url, const HttpHeaders &headers,
    int transferTimeoutMs, const std::shared_ptr<HttpBodySink> &sink)
{
    if (current && !current->done)
        current->abort();
    HttpGet get;
    get.id = ++lastId;
    get.url = url;
    get.headers = headers;
    get.transferTimeoutMs = transferTimeoutMs;
    auto *reply = new HttpRangeReply(get.id, url, transferTimeoutMs, sink, this);
    current = reply;
    QMetaObject::invokeMethod(
        connection, [connection = connection, get, sink] { connection->start(get, sink); },
        Qt::QueuedConnection);
    return reply;
}

void HttpRangeClient::cancel(quint64 id)
{
    QMetaObject::invokeMethod(
        connection, [connection = connection, id] { connection->cancel(id); },
        Qt::QueuedConnection);
}
