#include "llmclient.h"

#include "jsonstreamsplitter.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

#ifndef QUORVANE_SERVER_LIBRARY_DIR
#define QUORVANE_SERVER_LIBRARY_DIR ""
#endif

namespace {
const QString SocketName = QStringLiteral("MySocket");
const QString ServerName = QStringLiteral("oraculd");
constexpr int RetryMs = 500;
constexpr int KillDelayMs = 3000;
constexpr int TerminateWaitMs = 3000;
constexpr int KillWaitMs = 30000;
// The line the server writes on standard error for a model of its command line that it refuses:
// the prefix, "ansmodel" or "retmodel", ": " and the reason.
const QByteArray RefusalLinePrefix = QByteArrayLiteral("Model refused: ");
} // namespace

LLMClient::LLMClient(QObject *parent)
    : QObject(parent)
    , serverProcess(new QProcess(this))
    , localSocket(new QLocalSocket(this))
    , m_retryTimer(new QTimer(this))
    , m_killTimer(new QTimer(this))
    , m_splitter(std::make_unique<JsonStreamSplitter>())
{
    qRegisterMetaType<LLMClient::QmlWebSocketStatus>("LLMClient::QmlWebSocketStatus");

    const QString libraryDir = QStringLiteral(QUORVANE_SERVER_LIBRARY_DIR);
    if (!libraryDir.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString oldPath = env.value(QStringLiteral("PATH"));
        QString path = QDir::toNativeSeparators(libraryDir);
        // An empty PATH element would mean the working folder, so none is left at the end.
        if (!oldPath.isEmpty())
            path += QDir::listSeparator() + oldPath;
        env.insert(QStringLiteral("PATH"), path);
        serverProcess->setProcessEnvironment(env);
    }
    // Standard output goes to ours as it is; standard error is read, and passed on as well.
    serverProcess->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    serverProcess->setReadChannel(QProcess::StandardError);
    connect(serverProcess, &QProcess::readyReadStandardError, this, &LLMClient::readErrorOutput);
#ifdef Q_OS_LINUX
    // A desktop program that dies without quitting must not leave its server holding the socket.
    serverProcess->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif

    // Coarse timers may fire up to 5 % early; these delays are the least the server is given.
    m_retryTimer->setTimerType(Qt::PreciseTimer);
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setInterval(RetryMs);
    connect(m_retryTimer, &QTimer::timeout, this, &LLMClient::connectToServer);

    m_killTimer->setTimerType(Qt::PreciseTimer);
    m_killTimer->setSingleShot(true);
    m_killTimer->setInterval(KillDelayMs);
    connect(m_killTimer, &QTimer::timeout, this, [this] {
        if (serverProcess->state() != QProcess::NotRunning)
            serverProcess->kill();
    });

    connect(localSocket, &QLocalSocket::connected, this, [this] {
        qDebug() << "Client connected to server.";
        // What the server said about its models while it started comes first.
        while (serverProcess->waitForReadyRead(0)) { }
        readErrorOutput();
        *m_splitter = JsonStreamSplitter();
        emit serverConnected();
    });
    connect(localSocket, &QLocalSocket::readyRead, this, &LLMClient::onReadyRead);
    connect(localSocket, &QLocalSocket::errorOccurred, this,
        [this](QLocalSocket::LocalSocketError error) {
            qDebug() << "LocalSocketError:" << error;
            scheduleConnect();
        });
    connect(serverProcess, &QProcess::stateChanged, this, &LLMClient::onProcessStateChanged);
}

LLMClient::~LLMClient()
{
    // Nothing may call back into this object while the server is taken down.
    disconnect(serverProcess, nullptr, this, nullptr);
    disconnect(localSocket, nullptr, this, nullptr);
    stopServer();
}

void LLMClient::setLocal(bool local)
{
    m_local = local;
    if (local) {
        // A run that is being stopped must end before the next one starts, so that the pending
        // kill can only ever hit the run it was meant for.
        if (m_stopping && serverProcess->state() != QProcess::NotRunning)
            m_restartPending = true;
        else
            startServer();
        return;
    }
    m_restartPending = false;
    if (serverProcess->state() == QProcess::Running && !m_stopping) {
        m_stopping = true;
        serverProcess->terminate();
        m_killTimer->start();
    }
}

void LLMClient::startServer()
{
    if (serverProcess->state() != QProcess::NotRunning)
        return;
    QStringList arguments;
    if (!ansModelPath.isEmpty())
        arguments << QStringLiteral("-ma") << ansModelPath;
    if (!retModelPath.isEmpty())
        arguments << QStringLiteral("-mr") << retModelPath;
    QString program = serverProgramPath();
    if (program.isEmpty()) {
        qWarning() << "Server program not found:" << ServerName;
        // Starting it by name fails in QProcess, which reports the end like any other.
        program = ServerName;
    }
    m_stopping = false;
    serverProcess->start(program, arguments, QIODevice::ReadWrite);
}

void LLMClient::stopServer()
{
    m_restartPending = false;
    m_killTimer->stop();
    if (serverProcess->state() == QProcess::NotRunning)
        return;
    m_stopping = true;
    serverProcess->terminate();
    if (!serverProcess->waitForFinished(TerminateWaitMs)) {
        serverProcess->kill();
        serverProcess->waitForFinished(KillWaitMs);
    }
}

void LLMClient::sendLocal(const QJsonObject &message)
{
    if (!isServerConnected())
        return;
    localSocket->write(QJsonDocument(message).toJson(QJsonDocument::Compact));
    localSocket->flush();
}

void LLMClient::sendOnline(const QJsonObject &message)
{
    if (!m_qmlSocket || message.isEmpty())
        return;
    bool ok = false;
    const int status = m_qmlSocket->property("status").toInt(&ok);
    if (!ok || static_cast<QmlWebSocketStatus>(status) != Open)
        return;
    const QString text = QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
    QMetaObject::invokeMethod(
        m_qmlSocket.data(), "sendTextMessage", Qt::AutoConnection, Q_ARG(QString, text));
}

void LLMClient::setAnswerModelPath(const QString &path)
{
    ansModelPath = path;
}

void LLMClient::setRetrievalModelPath(const QString &path)
{
    retModelPath = path;
}

void LLMClient::setQmlSocket(QObject *qmlSocket)
{
    m_qmlSocket = qmlSocket;
}

QObject *LLMClient::qmlSocket() const
{
    return m_qmlSocket.data();
}

bool LLMClient::isServerConnected() const
{
    // A run that is being stopped answers nothing more.
    return localSocket->state() == QLocalSocket::ConnectedState && !m_stopping;
}

bool LLMClient::isServerStarting() const
{
    if (!m_local || isServerConnected())
        return false;
    return serverProcess->state() != QProcess::NotRunning || m_restartPending;
}

bool LLMClient::lastRunHadBothModels() const
{
    const QStringList arguments = serverProcess->arguments();
    return arguments.contains(QStringLiteral("-ma")) && arguments.contains(QStringLiteral("-mr"));
}

QString LLMClient::runModelPath(bool answerModel) const
{
    const QStringList arguments = serverProcess->arguments();
    const int option = arguments.indexOf(answerModel ? QStringLiteral("-ma") : QStringLiteral("-mr"));
    return option >= 0 ? arguments.value(option + 1) : QString();
}

void LLMClient::readErrorOutput()
{
    const QByteArray bytes = serverProcess->readAllStandardError();
    if (!bytes.isEmpty()) {
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::fflush(stderr);
    }
    m_errorLine += bytes;
    qsizetype end;
    while ((end = m_errorLine.indexOf('\n')) >= 0) {
        const QByteArray line = m_errorLine.left(end);
        m_errorLine.remove(0, end + 1);
        const qsizetype start = line.indexOf(RefusalLinePrefix);
        if (start < 0)
            continue;
        const QByteArray rest = line.mid(start + RefusalLinePrefix.size());
        const qsizetype colon = rest.indexOf(": ");
        const QByteArray role = rest.left(colon);
        if (colon > 0 && (role == "ansmodel" || role == "retmodel"))
            emit modelRefusedAtStart(role == "ansmodel", QString::fromUtf8(rest.mid(colon + 2)));
    }
    // A line that never ends is not one of the server's.
    if (m_errorLine.size() > 65536)
        m_errorLine.clear();
}

QString LLMClient::serverProgramPath()
{
    QString name = ServerName;
#ifdef Q_OS_WIN
    name += QStringLiteral(".exe");
#endif
    const QFileInfo beside(QDir(QCoreApplication::applicationDirPath()).filePath(name));
    if (beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(ServerName);
}

void LLMClient::connectToServer()
{
    // A second attempt while one is under way only raises another error, and with it another
    // retry; a server that is not running cannot be listening.
    if (localSocket->state() != QLocalSocket::UnconnectedState
        || serverProcess->state() != QProcess::Running)
        return;
    localSocket->connectToServer(SocketName, QIODevice::ReadWrite);
}

void LLMClient::scheduleConnect()
{
    if (serverProcess->state() == QProcess::Running)
        m_retryTimer->start();
}

void LLMClient::onReadyRead()
{
    const QByteArray bytes = localSocket->readAll();
    // What a run that is being stopped still writes belongs to questions already given up.
    if (m_stopping)
        return;
    const QList<QByteArray> messages = m_splitter->feed(bytes);
    for (const QByteArray &message : messages)
        emit messageReceived(message);
}

void LLMClient::onProcessStateChanged(QProcess::ProcessState state)
{
    switch (state) {
    case QProcess::Starting:
        break;
    case QProcess::Running:
        if (!m_local) {
            // Local mode was switched off while the process was still starting.
            setLocal(false);
            break;
        }
        qDebug() << "Client: Server process is running, trying to connect to it...";
        connectToServer();
        break;
    case QProcess::NotRunning: {
        // The server's last words, a refusal among them, before its end is told.
        readErrorOutput();
        m_errorLine.clear();
        m_retryTimer->stop();
        m_killTimer->stop();
        // Replies the server wrote before it ended are delivered before its end is told.
        if (localSocket->state() == QLocalSocket::ConnectedState && !m_stopping) {
            while (localSocket->waitForReadyRead(0)) { }
        }
        localSocket->abort();
        *m_splitter = JsonStreamSplitter();
        const bool unexpected = m_local && !m_stopping && !m_restartPending;
        m_stopping = false;
        // QProcess is still taking the old run down while it reports the state: a new start, or
        // a receiver that starts one, must wait until it is done. Until then the restart stays
        // pending, so that a question asked meanwhile waits for the new run.
        QMetaObject::invokeMethod(
            this,
            [this, unexpected] {
                const bool restart = m_restartPending;
                m_restartPending = false;
                if (restart && m_local)
                    startServer();
                else if (unexpected)
                    emit serverEnded();
            },
            Qt::QueuedConnection);
        break;
    }
    }
}
