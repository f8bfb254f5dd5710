#include "onlineservice.h"

#include <QJsonDocument>
#include <QPointer>
#include <QTextStream>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {
const QString ConnectionPath = QStringLiteral("/connection");

void logLine(const QString &line)
{
    static QTextStream out(stdout);
    out << line << Qt::endl;
}
} // namespace

OnlineService::OnlineService(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_server(new QWebSocketServer(
          QStringLiteral("onlineservice"), QWebSocketServer::NonSecureMode, this))
{
    connect(m_server, &QWebSocketServer::newConnection, this, &OnlineService::onNewConnection);
}

bool OnlineService::listen(quint16 port)
{
    return m_server->listen(QHostAddress::LocalHost, port);
}

QString OnlineService::url() const
{
    return QStringLiteral("ws://127.0.0.1:%1%2").arg(m_server->serverPort()).arg(ConnectionPath);
}

void OnlineService::onNewConnection()
{
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->requestUrl().path() != ConnectionPath) {
            logLine(QStringLiteral("refused %1").arg(socket->requestUrl().path()));
            socket->close(
                QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("unknown path"));
            continue;
        }
        logLine(QStringLiteral("connected"));
        connect(socket, &QWebSocket::textMessageReceived, this,
            [this, socket](const QString &text) { onTextMessage(socket, text); });
    }
}

void OnlineService::onTextMessage(QWebSocket *socket, const QString &text)
{
    logLine(QStringLiteral("<< ") + text);
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString type = message.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("chunks")) {
        const QJsonArray chunks = message.value(QStringLiteral("chunks")).toArray();
        for (const QJsonValue &value : chunks) {
            const QJsonObject chunk = value.toObject();
            const QString doc = chunk.value(QStringLiteral("doc")).toString();
            if (!m_chunks.contains(doc))
                m_docOrder.append(doc);
            m_chunks[doc].append(chunk);
        }
        send(socket, { { QStringLiteral("type"), QStringLiteral("ACK") } });
    } else if (type == QLatin1String("delete")) {
        const QString doc = message.value(QStringLiteral("doc")).toString();
        m_chunks.remove(doc);
        m_docOrder.removeAll(doc);
        const QJsonValue index = message.value(QStringLiteral("index"));
        send(socket,
            { { QStringLiteral("type"), QStringLiteral("DELACK") },
                { QStringLiteral("index"), index.isDouble() ? index.toInt() : -1 } });
    } else if (type == QLatin1String("delall")) {
        m_chunks.clear();
        m_docOrder.clear();
    } else if (type == QLatin1String("query")) {
        answerQuery(socket);
    }
}

void OnlineService::answerQuery(QWebSocket *socket)
{
    QList<QJsonObject> replies;
    if (m_options.embedPart)
        replies.append({ { QStringLiteral("type"), QStringLiteral("EMBEDPART") } });
    if (m_options.whole) {
        replies.append({ { QStringLiteral("type"), QStringLiteral("ANS") },
            { QStringLiteral("answer"), m_options.answer },
            { QStringLiteral("sources"), sources() } });
        sendLater(socket, replies);
        return;
    }
    if (m_options.progress) {
        replies.append({ { QStringLiteral("type"), QStringLiteral("PROGRESS") },
            { QStringLiteral("message"), QStringLiteral("Condensing topic 1 of 1") } });
        replies.append({ { QStringLiteral("type"), QStringLiteral("PROGRESS") },
            { QStringLiteral("message"), QString() } });
    }
    // Pieces as a model streams them: each word with the space before it.
    // An empty answer streams no piece at all, as a model whose reply is empty.
    const QStringList words
        = m_options.answer.isEmpty() ? QStringList() : m_options.answer.split(QLatin1Char(' '));
    for (int i = 0; i < words.size(); ++i) {
        replies.append({ { QStringLiteral("type"), QStringLiteral("ANSPART") },
            { QStringLiteral("answer"), i == 0 ? words.at(i) : QLatin1Char(' ') + words.at(i) } });
    }
    replies.append({ { QStringLiteral("type"), QStringLiteral("ANSREFS") },
        { QStringLiteral("sources"), sources() } });
    if (m_options.closeAfter >= 0 && m_options.closeAfter < replies.size()) {
        // A service that goes away in the middle of an answer.
        replies = replies.mid(0, m_options.closeAfter);
        sendLater(socket, replies);
        QPointer<QWebSocket> guard(socket);
        QTimer::singleShot((replies.size() + 1) * m_options.pieceDelayMs, this, [guard] {
            if (guard)
                guard->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("gone"));
        });
        return;
    }
    sendLater(socket, replies);
}

void OnlineService::sendLater(QWebSocket *socket, const QList<QJsonObject> &messages)
{
    if (m_options.pieceDelayMs <= 0) {
        for (const QJsonObject &message : messages)
            send(socket, message);
        return;
    }
    QPointer<QWebSocket> guard(socket);
    for (int i = 0; i < messages.size(); ++i) {
        QTimer::singleShot(
            (i + 1) * m_options.pieceDelayMs, this, [this, guard, message = messages.at(i)] {
                if (guard)
                    send(guard, message);
            });
    }
}

void OnlineService::send(QWebSocket *socket, const QJsonObject &message)
{
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    logLine(QStringLiteral(">> ") + text);
    socket->sendTextMessage(text);
}

QJsonArray OnlineService::sources() const
{
    QJsonArray result;
    for (const QString &doc : m_docOrder) {
        for (const QJsonValue &value : m_chunks.value(doc)) {
            if (result.size() >= m_options.maxSources)
                return result;
            const QJsonObject chunk = value.toObject();
            const QJsonObject box = chunk.value(QStringLiteral("bbox")).toObject();
            QJsonObject metadata { { QStringLiteral("doc"), doc },
                { QStringLiteral("page"), chunk.value(QStringLiteral("page")).toInt() } };
            for (const char *key : { "x", "y", "width", "height" })
                metadata.insert(QLatin1String(key), box.value(QLatin1String(key)).toDouble());
            result.append(QJsonObject { { QStringLiteral("metadata"), metadata } });
        }
    }
    return result;
}
