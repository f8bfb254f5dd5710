#include "componentcreatorengine.h"

#include <QDebug>
#include <QUrl>

#ifndef QUORVANE_DEFAULT_SERVICE_URL
#define QUORVANE_DEFAULT_SERVICE_URL "wss://assistant.halvenmor.example/connection"
#endif

ComponentCreatorEngine::ComponentCreatorEngine(QObject *parent)
    : QQmlApplicationEngine(parent)
{ }

void ComponentCreatorEngine::clearCache()
{
    clearComponentCache();
}

QString ComponentCreatorEngine::serviceUrl()
{
    const QUrl fallback(QStringLiteral(QUORVANE_DEFAULT_SERVICE_URL));
    QUrl url = fallback;
    const QString configured = qEnvironmentVariable("QUORVANE_SERVICE_URL");
    if (!configured.isEmpty()) {
        url = QUrl(configured, QUrl::StrictMode);
        const QString scheme = url.scheme();
        if (!url.isValid() || url.host().isEmpty()
            || (scheme != QLatin1String("ws") && scheme != QLatin1String("wss"))) {
            qWarning() << "QUORVANE_SERVICE_URL is not a ws:// or wss:// address, using"
                       << fallback.toString();
            url = fallback;
        }
    }
    url.setPath(QStringLiteral("/connection"));
    return url.toString();
}
