#include "modelrepositoryprocess.h"

#include <QSslConfiguration>

namespace {
const QString certificates = QStringLiteral(QUORVANE_MODEL_REPOSITORY_CERTS);
}

ModelRepositoryProcess::ModelRepositoryProcess(const QString &folder, QObject *parent)
    : QObject(parent)
    , m_server(QStringLiteral(QUORVANE_MODEL_REPOSITORY_PROGRAM),
          { folder, QStringLiteral("--cert"), certificates + QStringLiteral("/server.pem"),
              QStringLiteral("--key"), certificates + QStringLiteral("/server.key") })
{ }

bool ModelRepositoryProcess::isListening() const
{
    return m_server.isListening();
}

QString ModelRepositoryProcess::url(const QString &owner, const QString &file) const
{
    return m_server.address() + QLatin1Char('/') + owner + QStringLiteral("/models/resolve/main/")
        + file;
}

QStringList ModelRepositoryProcess::requests() const
{
    return m_server.lines();
}

void ModelRepositoryProcess::clearRequests()
{
    m_server.clearLines();
}

void ModelRepositoryProcess::trustTestAuthority()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(certificateAuthorityFile());
    QSslConfiguration::setDefaultConfiguration(config);
}

QString ModelRepositoryProcess::certificateAuthorityFile()
{
    return certificates + QStringLiteral("/ca.pem");
}
