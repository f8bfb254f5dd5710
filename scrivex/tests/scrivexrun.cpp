#include "scrivexrun.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>

ScrivexRun::ScrivexRun(QObject *parent)
    : QObject(parent)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &ScrivexRun::readOutput);
    connect(&m_process, &QProcess::readyReadStandardError, this,
        [this] { m_errors += m_process.readAllStandardError(); });
    connect(&m_process, &QProcess::finished, this, [this] {
        readOutput();
        m_errors += m_process.readAllStandardError();
        m_finished = true;
    });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            m_errors += "failed to start " + program().toUtf8();
            m_finished = true;
        }
    });
}

QString ScrivexRun::program()
{
    return qEnvironmentVariable("QUORVANE_BIN_DIR") + QStringLiteral("/scrivex/scrivex");
}

void ScrivexRun::start(
    const QStringList &arguments, bool acknowledgeEach, const QProcessEnvironment &environment)
{
    m_acknowledgeEach = acknowledgeEach;
    m_process.setProcessEnvironment(environment);
    m_process.start(program(), arguments, QIODevice::ReadWrite);
}

void ScrivexRun::acknowledge()
{
    m_process.write("ACK\n");
}

void ScrivexRun::closeInput()
{
    m_process.closeWriteChannel();
}

bool ScrivexRun::waitForFinished(int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!m_finished && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return m_finished;
}

ScrivexRun *ScrivexRun::runToEnd(
    const QStringList &arguments, QObject *parent, const QProcessEnvironment &environment)
{
    auto *run = new ScrivexRun(parent);
    run->start(arguments, true, environment);
    run->waitForFinished();
    return run;
}

void ScrivexRun::readOutput()
{
    for (const QByteArray &segment : m_splitter.feed(m_process.readAllStandardOutput())) {
        const QJsonDocument document = QJsonDocument::fromJson(segment);
        if (document.isObject())
            m_objects.append(document.object());
        else
            m_malformed.append(segment);
        if (m_acknowledgeEach)
            acknowledge();
    }
}
