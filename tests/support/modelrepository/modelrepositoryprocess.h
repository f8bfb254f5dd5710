#ifndef MODELREPOSITORYPROCESS_H
#define MODELREPOSITORYPROCESS_H

#include "standinprocess.h"

#include <QObject>
#include <QString>
#include <QStringList>

// The model repository stand-in as a child process serving one folder, for the tests and
// benchmarks of the downloader.
class ModelRepositoryProcess : public QObject
{
    Q_OBJECT

public:
    explicit ModelRepositoryProcess(const QString &folder, QObject *parent = nullptr);

    bool isListening() const;
    // The address of a served file; the owner picks the server's behaviour (see ModelRepository).
    QString url(const QString &owner, const QString &file) const;
    // "GET <path> range=<Range> auth=<Authorization>" for every request so far.
    QStringList requests() const;
    void clearRequests();

    // Adds the test certificate authority that signed the server's certificate to the trusted
    // certificates of every later TLS connection of this process.
    static void trustTestAuthority();
    static QString certificateAuthorityFile();

private:
    StandInProcess m_server;
};

#endif // MODELREPOSITORYPROCESS_H
