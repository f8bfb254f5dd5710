#ifndef STANDINPROCESS_H
#define STANDINPROCESS_H

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

// A stand-in for an outside service run as a child process that prints "listening <address>" as
// its first line on standard output and then one line per thing it logs. Killed when destroyed.
class StandInProcess : public QObject
{
    Q_OBJECT

public:
    // Starts the program and waits up to ten seconds for its address.
    StandInProcess(const QString &program, const QStringList &arguments, QObject *parent = nullptr);
    ~StandInProcess() override;

    bool isListening() const;
    QString address() const;
    // Every line after the address, in order.
    QStringList lines() const;
    void clearLines();
    // Runs the event loop until done() holds; false when timeoutMs passed first.
    bool waitFor(const std::function<bool()> &done, int timeoutMs);

private:
    QProcess m_process;
    QString m_address;
    QStringList m_lines;
    QByteArray m_partialLine;
};

#endif // STANDINPROCESS_H
