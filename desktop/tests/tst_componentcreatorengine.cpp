#include "componentcreatorengine.h"

#include <QtTest>

class tst_ComponentCreatorEngine : public QObject
{
    Q_OBJECT

private slots:
    void serviceUrl_data();
    void serviceUrl();
};

void tst_ComponentCreatorEngine::serviceUrl_data()
{
    QTest::addColumn<QByteArray>("configured");
    QTest::addColumn<QString>("url");

    // An empty expectation stands for the build's default endpoint.
    const QString fallback;
    QTest::newRow("unset") << QByteArray() << fallback;
    QTest::newRow("stand-in on localhost") << QByteArray("ws://127.0.0.1:47613/connection")
                                           << QStringLiteral("ws://127.0.0.1:47613/connection");
    QTest::newRow("no path") << QByteArray("wss://service.test:8443")
                             << QStringLiteral("wss://service.test:8443/connection");
    QTest::newRow("another path") << QByteArray("ws://localhost:9000/socket")
                                  << QStringLiteral("ws://localhost:9000/connection");
    QTest::newRow("not a WebSocket scheme")
        << QByteArray("http://127.0.0.1:80/connection") << fallback;
    QTest::newRow("no host") << QByteArray("ws:///connection") << fallback;
    QTest::newRow("not a URL") << QByteArray("ws://exa mple/connection") << fallback;
}

void tst_ComponentCreatorEngine::serviceUrl()
{
    QFETCH(QByteArray, configured);
    QFETCH(QString, url);

    qunsetenv("QUORVANE_SERVICE_URL");
    const QUrl fallback(ComponentCreatorEngine::serviceUrl());
    QCOMPARE(fallback.scheme(), QStringLiteral("wss"));
    QCOMPARE(fallback.path(), QStringLiteral("/connection"));
    QVERIFY(!fallback.host().isEmpty());

    if (!configured.isNull())
        qputenv("QUORVANE_SERVICE_URL", configured);
    QCOMPARE(ComponentCreatorEngine::serviceUrl(), url.isEmpty() ? fallback.toString() : url);
}

QTEST_GUILESS_MAIN(tst_ComponentCreatorEngine)

#include "tst_componentcreatorengine.moc"
