#ifndef HTTPCONNECTION_H
#define HTTPCONNECTION_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

class TlsSocket;

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// The value of the first header of that name, in any letter case; empty when there is none.
QByteArray httpHeaderValue(const HttpHeaders &headers, const QByteArray &name);

// One GET to send.
struct HttpGet
{
    quint64 id = 0;
    QUrl url;
    HttpHeaders headers;
    // Nothing received for this long ends the request; 0 waits for ever.
    int transferTimeoutMs = 0;
};

// The status line and headers of the response a GET ended with, after any redirects.
struct HttpResponseHead
{
    int status = 0;
    QByteArray reason;
    HttpHeaders headers;
    // The announced length of the body; -1 when none was.
    qint64 contentLength = -1;
};

// Takes the body of a GET, on the connection's thread, as it comes: bytes written where they were
// decrypted cost a fraction of bytes handed to another thread first.
class HttpBodySink
{
public:
    virtual ~HttpBodySink() = default;
    // The head of the final response came; false ends the GET, as a cancel does.
    virtual bool begin(const HttpResponseHead &head) = 0;
    // The next body bytes; false ends the GET, as a cancel does.
    virtual bool take(const char *data, qint64 size) = 0;
    // Called on the thread of whoever started the GET: once it returns no take runs any more.
    virtual void stop() = 0;
};

// Speaks HTTP/1.1 over one socket, TLS or plain, one GET at a time, on the thread it lives on.
// Follows redirects, keeps the connection for the next GET to the same server and gives the
// body to the GET's sink. The signals, tagged with the GET's id, tell of its progress and end.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    // Largest piece of body given to the sink at once: small enough to stay in the processor's
    // cache between its decryption and its use.
    static constexpr qint64 PieceSize = 64 * 1024;
    // Progress is told at most this often.
    static constexpr int ProgressIntervalMs = 50;
    static constexpr int MaxRedirects = 50;
    static constexpr qint64 MaxLineLength = 16 * 1024;
    static constexpr qint64 MaxHeadSize = 64 * 1024;
    // A redirect's body longer than this is not read: the connection is given up instead.
    static constexpr qint64 MaxDiscardedBody = 64 * 1024;

    explicit HttpConnection(QObject *parent = nullptr);
    ~HttpConnection() override;

    // Ends any GET under way without a word and sends this one.
    void start(const HttpGet &get, const std::shared_ptr<HttpBodySink> &sink);
    // Ends the GET without a word; its connection is not kept.
    void cancel(quint64 id);

signals:
    // Body bytes received so far.
    void progress(quint64 id, qint64 bytesReceived);
    // error is a QNetworkReply::NetworkError; 0 when the whole response came.
    void finished(quint64 id, int error, const QString &errorString);

private:
    enum class Phase {
        Idle,
        Head,
        Body,
        UntilClose,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailer,
    };

    void open();
    void sendRequest();
    void dropSocket();
    bool canReuse(const QUrl &url) const;

    void onReadyRead();
    void onFailed(QNetworkReply::NetworkError error, const QString &text);
    // The socket's read found the connection ended.
    void onEnded();
    void onTimeout();
    void restartTimer();

    // Reads what the socket holds, as far as the phase allows.
    void pump();
    bool takeLine(QByteArray &line);
    bool fillInbox();
    bool readHeadLine(const QByteArray &line);
    void headComplete();
    // Gives the sink (or drops, for a redirect) up to limit body bytes; false when none could be.
    bool passBody(qint64 limit);
    void tellProgress();
    void bodyComplete();
    void followRedirect();
    bool retryOnFreshConnection();
    void fail(QNetworkReply::NetworkError error, const QString &text);
    void finish(QNetworkReply::NetworkError error, const QString &text);

    TlsSocket *socket = nullptr;
    // Bytes read while looking for the end of a line, not yet taken.
    QByteArray inbox;
    QString socketHost;
    int socketPort = -1;
    bool socketTls = false;
    // The socket ended its last response cleanly and the server did not ask to close.
    bool socketReusable = false;
    // The running GET went out on a connection that served one before.
    bool reused = false;
    bool retried = false;
    bool peerClosed = false;

    HttpGet current;
    std::shared_ptr<HttpBodySink> sink;
    bool active = false;
    QUrl url;
    int redirectsLeft = MaxRedirects;
    QTimer transferTimer;
    qint64 received = 0;
    QElapsedTimer progressTold;
    QTimer progressTimer;
    QByteArray pieceBuffer;

    Phase phase = Phase::Idle;
    bool responseStarted = false;
    bool statusRead = false;
    int httpMinor = 1;
    HttpResponseHead head;
    qint64 headSize = 0;
    qint64 remaining = 0;
    bool closeAfter = false;
    // Set while the body of a redirect is read and dropped.
    QUrl redirectTarget;
};

#endif // HTTPCONNECTION_H
