#ifndef COMPONENTCREATORENGINE_H
#define COMPONENTCREATORENGINE_H

#include <QQmlApplicationEngine>
#include <QString>

// The program's QML engine. It also tells the main window where the online service listens.
class ComponentCreatorEngine : public QQmlApplicationEngine
{
    Q_OBJECT
    Q_PROPERTY(QString serviceUrl READ serviceUrl CONSTANT)

public:
    explicit ComponentCreatorEngine(QObject *parent = nullptr);

    Q_INVOKABLE void clearCache();

    // The online service's WebSocket address: QUORVANE_SERVICE_URL when set, else the build's
    // default; the path is always "/connection".
    static QString serviceUrl();

signals:
    void reloadUI();
};

#endif // COMPONENTCREATORENGINE_H
