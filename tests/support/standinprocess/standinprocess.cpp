#include "standinprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>

StandInProcess::StandInProcess(
    const QString &program, const QStringList &arguments, QObject *parent)
    : QObject(parent)
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
        m_partialLine += m_process.readAllStandardOutput();
        qsizetype end;
        while ((end = m_partialLine.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(m_partialLine.left(end));
            m_partialLine.remove(0, end + 1);
            if (m_address.isEmpty() && line.startsWith(QLatin1String("listening ")))
                m_address = line.mid(10);
            else
                m_lines.append(line);
        }
    });
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(program, arguments);
    waitFor([this] { return !m_address.isEmpty() || m_process.state() == QProcess::NotRunning; },
        10000);
    if (m_address.isEmpty())
        qWarning().noquote() << QFileInfo(program).fileName() << "did not start";
}

StandInProcess::~StandInProcess()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool StandInProcess::isListening() const
{
    return !m_address.isEmpty();
}

QString StandInProcess::address() const
{
    return m_address;
}

QStringList StandInProcess::lines() const
{
    return m_lines;
}

void StandInProcess::clearLines()
{
    m_lines.clear();
}

bool StandInProcess::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        m_process.waitForReadyRead(5);
    }
    return true;
}
