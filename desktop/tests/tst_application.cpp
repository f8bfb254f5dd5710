#include "application.h"
#include "chat.h"
#include "chatlist.h"
#include "componentcreatorengine.h"
#include "doclist.h"
#include "docproxylist.h"
#include "llmclient.h"
#include "message.h"
#include "demoprogram.h"

#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QtTest>

#include <csignal>
#include <memory>

#include <sys/types.h>

using namespace UiTestEnvironment;

// The program's start-up in local mode with the demo models, run as the program runs it.
class tst_Application : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void identity();
    void qmlSeesTheContextProperties_data();
    void qmlSeesTheContextProperties();
    void typesAreRegistered();
    void mainWindowOpensOnTheFirstView();
    void reloadUIRebuildsTheMainWindow();
    // Last: it quits the application.
    void quittingEndsTheServerBeforeTheObjectsGo();

private:
    ComponentCreatorEngine *engine = nullptr;
    Chat *chat = nullptr;
    QQuickWindow *window = nullptr;
};

void tst_Application::initTestCase()
{
    engine = qApp->findChild<ComponentCreatorEngine *>();
    QVERIFY(engine);
    chat = engine->findChild<Chat *>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(chat);
    window = mainWindow();
    QVERIFY(window);
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void tst_Application::identity()
{
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Quorvane"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Halvenmor"));
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("6.8.0"));
    QVERIFY(QCoreApplication::testAttribute(Qt::AA_ShareOpenGLContexts));
    QCOMPARE(window->rendererInterface()->graphicsApi(), QSGRendererInterface::OpenGL);
    QVERIFY(!QGuiApplication::windowIcon().isNull());

    // The store the chat facade reads is the one the program's identity names.
    QCOMPARE(QSettings().fileName(),
        QSettings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane")).fileName());
    QVERIFY(chat->localAI());
    QCOMPARE(chat->answerLlm(), QStringLiteral("answer"));
    QCOMPARE(chat->retrieveLlm(), QStringLiteral("retrieval"));
}

void tst_Application::qmlSeesTheContextProperties_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("check");

    QTest::newRow("QmlEngine") << "QmlEngine"
                               << "typeof QmlEngine.clearCache === 'function'";
    QTest::newRow("Chat") << "Chat"
                          << "Chat.mainUser.ID === 0 && Chat.openedChatUser.ID === 1";
    QTest::newRow("isDebug") << "isDebug"
                             << "isDebug === false";
    QTest::newRow("DocsProxy") << "DocsProxy"
                               << "DocsProxy === Chat.DocsProxy";
    QTest::newRow("Docs") << "Docs"
                          << "Docs === Chat.Docs";
}

void tst_Application::qmlSeesTheContextProperties()
{
    QFETCH(QString, name);
    QFETCH(QString, check);

    QVERIFY(engine->rootContext()->contextProperty(name).isValid());
    QQmlExpression expression(engine->rootContext(), nullptr, check);
    bool undefined = true;
    const QVariant result = expression.evaluate(&undefined);
    QVERIFY2(!expression.hasError(), qPrintable(expression.error().toString()));
    QCOMPARE(result, QVariant(true));
}

void tst_Application::typesAreRegistered()
{
    QCOMPARE(QMetaType::fromName("Message*"), QMetaType::fromType<Message *>());

    QQmlComponent reader(engine);
    reader.setData("import QtQml\nimport CustomComponents 1.0\n"
                   "QtObject { property int ingested: Doc.INGESTED; property int fresh: Doc.NEW }",
        QUrl(QStringLiteral("qrc:/tests/DocReader.qml")));
    std::unique_ptr<QObject> object(reader.create());
    QVERIFY2(object, qPrintable(reader.errorString()));
    QCOMPARE(object->property("ingested").toInt(), 1);
    QCOMPARE(object->property("fresh").toInt(), 0);

    // Documents come from the document list only.
    QQmlComponent maker(engine);
    maker.setData("import QtQml\nimport CustomComponents 1.0\nDoc {}",
        QUrl(QStringLiteral("qrc:/tests/DocMaker.qml")));
    std::unique_ptr<QObject> made(maker.create());
    QVERIFY(!made);
}

void tst_Application::mainWindowOpensOnTheFirstView()
{
    QCOMPARE(window->size(), QSize(336, 725));
    QCOMPARE(window->title(), QStringLiteral("Quorvane"));
    QVERIFY(window->isVisible());

    QObject *stack = findObject(window, QStringLiteral("mainStack"));
    QVERIFY(stack);
    QCOMPARE(stack->property("depth").toInt(), 1);
    auto *first = stack->property("currentItem").value<QQuickItem *>();
    QVERIFY(first);
    QCOMPARE(first->objectName(), QStringLiteral("docView"));

    QObject *socket = findObject(window, QStringLiteral("socket"));
    QVERIFY(socket);
    QCOMPARE(socket->property("url").toUrl(), QUrl(QStringLiteral("ws://127.0.0.1:9/connection")));
    QCOMPARE(chat->llmClient()->qmlSocket(), socket);

    saveScreenshot(window, QStringLiteral("startup"));
}

void tst_Application::reloadUIRebuildsTheMainWindow()
{
    QPointer<QObject> oldSocket = findObject(window, QStringLiteral("socket"));
    QPointer<QObject> oldStack = findObject(window, QStringLiteral("mainStack"));
    QVERIFY(oldSocket && oldStack);

    emit engine->reloadUI();

    QTRY_VERIFY(!oldSocket && !oldStack);
    QObject *socket = findObject(window, QStringLiteral("socket"));
    QVERIFY(socket);
    QCOMPARE(chat->llmClient()->qmlSocket(), socket);
    QObject *stack = findObject(window, QStringLiteral("mainStack"));
    QVERIFY(stack);
    QCOMPARE(stack->property("currentItem").value<QQuickItem *>()->objectName(),
        QStringLiteral("docView"));
}

void tst_Application::quittingEndsTheServerBeforeTheObjectsGo()
{
    LLMClient *client = chat->llmClient();
    QProcess *server = client->findChild<QProcess *>();
    QVERIFY(server);
    auto *socket = client->findChild<QLocalSocket *>();
    QVERIFY(socket);
    QTRY_COMPARE_WITH_TIMEOUT(socket->state(), QLocalSocket::ConnectedState, 60000);
    const qint64 pid = server->processId();
    QVERIFY(pid > 0);

    QPointer<LLMClient> clientAlive = client;
    bool serverGoneWhileObjectsLived = false;
    connect(qApp, &QCoreApplication::aboutToQuit, this, [&]() {
        // Connected after the application's own handler, which has stopped the server by now.
        serverGoneWhileObjectsLived
            = clientAlive && server->state() == QProcess::NotRunning && ::kill(pid_t(pid), 0) != 0;
    });
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    QCOMPARE(qApp->exec(), 0);

    QVERIFY(serverGoneWhileObjectsLived);
    QVERIFY(clientAlive);
}

int main(int argc, char **argv)
{
    return runInDemoProgram<tst_Application>(argc, argv, QByteArrayLiteral("ws://127.0.0.1:9/elsewhere"));
}

#include "tst_application.moc"
