#ifndef HTTPRANGECLIENT_H
#define HTTPRANGECLIENT_H

#include "httpconnection.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QUrl>

#include <memory>

class HttpRangeClient;

// One GET of an HttpRangeClient, seen from the thread that started it. Its body goes to the sink
// it was started with; this tells of the progress and the end, whatever it was.
class HttpRangeReply : public QObject
{
    Q_OBJECT

public:
    ~HttpRangeReply() override;

    QUrl url() const;
    int transferTimeout() const;
    bool isFinished() const;
    QNetworkReply::NetworkError error() const;
    QString errorString() const;
    // Ends the GET at once: its sink takes nothing more, and finished is emitted before this
    // returns.
    void abort();

signals:
    // Body bytes received so far; bytesTotal is not known here and is -1.
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void finished();

private:
    friend class HttpRangeClient;
    HttpRangeReply(quint64 id, const QUrl &url, int transferTimeoutMs,
        const std::shared_ptr<HttpBodySink> &sink, HttpRangeClient *client);

    void onFinished(QNetworkReply::NetworkError error, const QString &text);

    quint64 id;
    QUrl requestUrl;
    int timeoutMs;
    std::shared_ptr<HttpBodySink> sink;
    QPointer<HttpRangeClient> client;
    bool done = false;
    QNetworkReply::NetworkError failure = QNetworkReply::NoError;
    QString failureText;
};

// Sends GET requests over HTTP/1.1, one at a time, with the socket, the TLS and the body's sink on
// a thread of its own, so that a transfer of gigabytes costs this thread a word on progress now
// and then. The connection is kept for the next GET to the same server.
class HttpRangeClient : public QObject
{
    Q_OBJECT

public:
    explicit HttpRangeClient(QObject *parent = nullptr);
    ~HttpRangeClient() override;

    // A new GET whose body goes to sink; the reply is this client's child, to be released with
    // deleteLater. A GET still running is ended first.
    HttpRangeReply *get(const QUrl &url, const HttpHeaders &headers, int transferTimeoutMs,
        const std::shared_ptr<HttpBodySink> &sink);

signals:
    // Every reply, when it finished.
    void finished(HttpRangeReply *reply);

private:
    friend class HttpRangeReply;
    void cancel(quint64 id);

    QThread thread;
    HttpConnection *connection;
    quint64 lastId = 0;
    QPointer<HttpRangeReply> current;
};

#endif // HTTPRANGECLIENT_H
