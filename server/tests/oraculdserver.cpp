#include "oraculdserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

OraculdServer::OraculdServer()
{
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardOutputFile(QProcess::nullDevice());
}

OraculdServer::~OraculdServer()
{
    stop();
}

QString OraculdServer::model(const QString &fileName)
{
    return QDir(qEnvironmentVariable("QUORVANE_MODELS_DIR")).filePath(fileName);
}

QString OraculdServer::modelAnswer(const QString &textFileName)
{
    QFile file(model(textFileName));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool OraculdServer::start(const QStringList &arguments, const QString &folderOverride)
{
    temporaryFolder = folderOverride.isEmpty() ? folder.path() : folderOverride;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), temporaryFolder);
    process.setProcessEnvironment(environment);
    process.start(
        QDir(qEnvironmentVariable("QUORVANE_BIN_DIR")).filePath(QStringLiteral("oraculd")),
        arguments);
    if (!process.waitForStarted(10000))
        return false;
    // The socket file appears when the server listens, after both models have loaded.
    const QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired()) {
        if (QFileInfo(socketPath()).exists())
            return true;
        if (process.waitForFinished(20))
            return false;
    }
    return false;
}

void OraculdServer::setDescriptorLimit(int limit)
{
#ifdef Q_OS_UNIX
    process.setChildProcessModifier([limit] {
        const rlimit descriptors { rlim_t(limit), rlim_t(limit) };
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    });
#else
    Q_UNUSED(limit);
#endif
}

QString OraculdServer::socketPath() const
{
    return QDir(temporaryFolder).filePath(QStringLiteral("MySocket"));
}

bool OraculdServer::waitForExit(int timeoutMs)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}

int OraculdServer::exitCode() const
{
    return process.exitCode();
}

QProcess::ExitStatus OraculdServer::exitStatus() const
{
    return process.exitStatus();
}

QString OraculdServer::errorOutput()
{
    errors += process.readAllStandardError();
    return QString::fromUtf8(errors);
}

void OraculdServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}
