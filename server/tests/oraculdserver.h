#ifndef ORACULDSERVER_H
#define ORACULDSERVER_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The built oraculd as a child process with a temporary folder of its own, so its "MySocket"
// never meets another test's. Clients reach it through socketPath().
class OraculdServer
{
public:
    OraculdServer();
    ~OraculdServer();

    // A file of the test models folder.
    static QString model(const QString &fileName);
    // The exact text an answer model says (answer.txt beside answer.gguf).
    static QString modelAnswer(const QString &textFileName);

    // Starts oraculd with `arguments`; true once it listens. `temporaryFolder` replaces the
    // server's own folder (for a folder that cannot hold a socket).
    bool start(const QStringList &arguments, const QString &temporaryFolder = QString());
    QString socketPath() const;
    // How long start() waits for the models to load (30 s unless set); benchmarks load larger
    // models on a busy machine.
    void setStartTimeout(int milliseconds) { startTimeoutMs = milliseconds; }

    // The most descriptors the server may hold open (its RLIMIT_NOFILE), for the next start.
    void setDescriptorLimit(int limit);

    // Waits for the process to end by itself.
    bool waitForExit(int timeoutMs = 30000);
    int exitCode() const;
    // The server's process id while it runs, 0 otherwise.
    qint64 processId() const { return process.processId(); }
    QProcess::ExitStatus exitStatus() const;
    // Everything the server wrote on standard error so far.
    QString errorOutput();

    void stop();

private:
    QTemporaryDir folder;
    QString temporaryFolder;
    QProcess process;
    QByteArray errors;
    int startTimeoutMs = 30000;
};

#endif // ORACULDSERVER_H
