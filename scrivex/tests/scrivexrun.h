#ifndef SCRIVEXRUN_H
#define SCRIVEXRUN_H

#include "jsonstreamsplitter.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>

// Runs the built scrivex the way the desktop program does: its output is cut into objects by
// the shared stream splitter and, unless told otherwise, each object is answered "ACK\n".
class ScrivexRun : public QObject
{
    Q_OBJECT

public:
    explicit ScrivexRun(QObject *parent = nullptr);

    static QString program();

    void start(const QStringList &arguments, bool acknowledgeEach = true,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    void acknowledge();
    // From now on, answers each further object as it arrives.
    void setAcknowledgeEach(bool acknowledgeEach) { m_acknowledgeEach = acknowledgeEach; }
    void closeInput();
    // Spins the event loop until the program ends; false when it is still running.
    bool waitForFinished(int milliseconds = 30000);

    // Starts, acknowledges every object and waits for the end.
    static ScrivexRun *runToEnd(const QStringList &arguments, QObject *parent,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

    const QList<QJsonObject> &objects() const { return m_objects; }
    const QList<QByteArray> &malformed() const { return m_malformed; }
    QString errorText() const { return QString::fromUtf8(m_errors); }
    bool isFinished() const { return m_finished; }
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    qint64 bytesWaiting() { return m_process.bytesAvailable(); }

private:
    void readOutput();

    QProcess m_process;
    JsonStreamSplitter m_splitter;
    QList<QJsonObject> m_objects;
    QList<QByteArray> m_malformed;
    QByteArray m_errors;
    bool m_acknowledgeEach = true;
    bool m_finished = false;
};

#endif // SCRIVEXRUN_H
