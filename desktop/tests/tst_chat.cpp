#include "chat.h"
#include "chatlist.h"
#include "doc.h"
#include "llmclient.h"
#include "message.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QQmlEngine>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <csignal>

using namespace TestEnvironment;

namespace {

QStringList g_log;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    g_log.append(text);
    g_previousHandler(type, context, text);
}

int countLogged(const QString &text)
{
    return int(g_log.count(text));
}

QVariant stored(const QString &key)
{
    QSettings settings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"));
    return settings.contains(key) ? settings.value(key) : QVariant();
}

ChatList *conversation(const Chat &chat)
{
    return chat.openedChatUser()->messages();
}

QStringList contents(const Chat &chat)
{
    QStringList result;
    for (int i = 0; i < conversation(chat)->count(); ++i)
        result.append(conversation(chat)->at(i)->contents());
    return result;
}

QList<bool> loadingFlags(const Chat &chat)
{
    QList<bool> result;
    for (int i = 0; i < conversation(chat)->count(); ++i)
        result.append(conversation(chat)->at(i)->loading());
    return result;
}

QList<int> sourceCounts(const Chat &chat)
{
    QList<int> result;
    for (int i = 0; i < conversation(chat)->count(); ++i)
        result.append(int(conversation(chat)->at(i)->sources().size()));
    return result;
}

QProcess *serverProcess(const Chat &chat)
{
    return chat.llmClient()->findChild<QProcess *>();
}

bool serverConnected(const Chat &chat)
{
    const auto *socket = chat.llmClient()->findChild<QLocalSocket *>();
    return socket && socket->state() == QLocalSocket::ConnectedState;
}

QStringList names(const Chat &chat)
{
    QStringList result;
    for (int row = 0; row < chat.docs()->rowCount(); ++row)
        result.append(chat.docs()->index(row).data(DocList::DocNameRole).toString());
    return result;
}

QString json(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString reply(const char *type, const char *key = nullptr, const QJsonValue &value = {})
{
    QJsonObject object { { QStringLiteral("type"), QLatin1String(type) } };
    if (key)
        object.insert(QLatin1String(key), value);
    return json(object);
}

QJsonObject source(const QString &doc, int page)
{
    return { { QStringLiteral("metadata"),
        QJsonObject { { QStringLiteral("doc"), doc }, { QStringLiteral("page"), page },
            { QStringLiteral("x"), 1 }, { QStringLiteral("y"), 2 }, { QStringLiteral("width"), 3 },
            { QStringLiteral("height"), 4 } } } };
}

// One round trip through the online service: once the empty batch sent now is acknowledged,
// everything the chat sent before it has reached the service, and every reply the service sent
// before its acknowledgement has been handled by the chat (one socket keeps the order).
bool roundTrip(Chat &chat, const Online &online)
{
    QSignalSpy replies(online.socket, SIGNAL(textMessageReceived(QString)));
    chat.llmClient()->sendOnline({ { QStringLiteral("type"), QStringLiteral("chunks") },
        { QStringLiteral("chunks"), QJsonArray() } });
    return QTest::qWaitFor(
        [&] {
            for (const QList<QVariant> &args : std::as_const(replies)) {
                const QJsonObject object
                    = QJsonDocument::fromJson(args.first().toString().toUtf8()).object();
                if (object.value(QStringLiteral("type")).toString() == QLatin1String("ACK"))
                    return true;
            }
            return false;
        },
        10000);
}

QString answerSentence()
{
    QFile answer(QDir(modelsDir()).filePath(QStringLiteral("answer.txt")));
    return answer.open(QIODevice::ReadOnly) ? QString::fromUtf8(answer.readAll()).trimmed()
                                            : QString();
}

} // namespace

class tst_Chat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void firstStartIsOnlineWithCacheFolder();
    void modelFolderListsGgufFilesOnly();
    void modelChoice_data();
    void modelChoice();
    void oraculdDirChangeResetsChoices_data();
    void oraculdDirChangeResetsChoices();
    void storedModelsStartServer_data();
    void storedModelsStartServer();
    void downloadedModelReachesServer();
    void modelsChosenInLocalModeStartTheServer_data();
    void modelsChosenInLocalModeStartTheServer();
    void modeSwitches();
    void questionsByMode();
    void dispatch_data();
    void dispatch();
    void parseSources_data();
    void parseSources();
    void deleteAcksMatchThePathSent();
    void documentsGoWithTheirBackEnd();
    void serverEndEndsPendingAnswer_data();
    void serverEndEndsPendingAnswer();
    void localAnswerRefersToTheParagraph();
    void onlineEndMidAnswerFreesTheInput_data();
    void onlineEndMidAnswerFreesTheInput();
    void repliesOfTheOtherBackEndAreDropped_data();
    void repliesOfTheOtherBackEndAreDropped();
    void emptyReplyEndsTheAnswer();
    void questionWaitsForTheLoadingServer();
    void questionRightAfterAModeSwitchIsAnswered_data();
    void questionRightAfterAModeSwitchIsAnswered();
    void unreachableBackEndSaysSo_data();
    void unreachableBackEndSaysSo();
    void deleteBusyPaneComesDown_data();
    void deleteBusyPaneComesDown();
    void ingestionFollowsTheBackEnd_data();
    void ingestionFollowsTheBackEnd();

private:
    void useLocalModels(bool local);
    // The local models with an answer model that never stops talking.
    bool useEndlessAnswerModel(bool local);
    std::unique_ptr<Chat> startLocal();
    QStringList ingest(Chat &chat, const QStringList &urls);

    QTemporaryDir m_root;
    QString m_models;
};

void tst_Chat::initTestCase()
{
    QVERIFY(m_root.isValid());
    isolate(m_root);
    g_previousHandler = qInstallMessageHandler(recordMessage);
    m_models = makeModelFolder(m_root.path());
}

void tst_Chat::init()
{
    clearSettings();
    g_log.clear();
}

void tst_Chat::useLocalModels(bool local)
{
    storeSetting(QStringLiteral("localAI"), local);
    storeSetting(QStringLiteral("oraculdDir"), QDir::toNativeSeparators(m_models));
    storeSetting(QStringLiteral("ansLLM"), QStringLiteral("answer"));
    storeSetting(QStringLiteral("retLLM"), QStringLiteral("retrieval"));
}

bool tst_Chat::useEndlessAnswerModel(bool local)
{
    const QString endless = QDir(m_models).filePath(QStringLiteral("endless.gguf"));
    if (!QFile::exists(endless)
        && !QFile::copy(QDir(modelsDir()).filePath(QStringLiteral("answer-endless.gguf")), endless))
        return false;
    useLocalModels(local);
    storeSetting(QStringLiteral("ansLLM"), QStringLiteral("endless"));
    return true;
}

std::unique_ptr<Chat> tst_Chat::startLocal()
{
    useLocalModels(true);
    auto chat = std::make_unique<Chat>();
    if (!QTest::qWaitFor([&] { return serverConnected(*chat); }, 30000))
        return nullptr;
    return chat;
}

QStringList tst_Chat::ingest(Chat &chat, const QStringList &urls)
{
    chat.docs()->addDataList(urls);
    if (!QTest::qWaitFor([&] { return !chat.docs()->isIngesting(); }, 60000))
        return { QStringLiteral("ingestion did not end") };
    return names(chat);
}

void tst_Chat::firstStartIsOnlineWithCacheFolder()
{
    Chat chat;
    QCOMPARE(chat.localAI(), false);
    const QString cache
        = QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
    QCOMPARE(stored(QStringLiteral("oraculdDir")).toString(), cache);
    QCOMPARE(chat.oraculdDir(), cache);
    QCOMPARE(chat.answerLlm(), QString());
    QCOMPARE(chat.retrieveLlm(), QString());
    QCOMPARE(serverProcess(chat)->state(), QProcess::NotRunning);
    QVERIFY(!stored(QStringLiteral("localAI")).isValid());
}

void tst_Chat::modelFolderListsGgufFilesOnly()
{
    QTemporaryDir folder;
    for (const char *name : { "m1.q8.gguf", "M2.GGUF", "notes.txt" }) {
        QFile file(folder.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("m3.gguf")));
    storeSetting(QStringLiteral("oraculdDir"), folder.path());

    Chat chat;
    QStringList expected;
    // The order is the folder's own listing order.
    for (const QString &name : QDir(folder.path()).entryList(QDir::Files, QDir::Unsorted)) {
        if (name != QLatin1String("notes.txt"))
            expected.append(QFileInfo(name).completeBaseName());
    }
    QCOMPARE(chat.llms(), expected);
    QCOMPARE(QSet<QString>(expected.begin(), expected.end()),
        QSet<QString>({ QStringLiteral("m1.q8"), QStringLiteral("M2") }));
}

void tst_Chat::modelChoice_data()
{
    QTest::addColumn<bool>("retrieval");
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QVariant>("storedValue");
    QTest::addColumn<int>("signalCount");
    for (const bool retrieval : { false, true }) {
        const QString model = retrieval ? QStringLiteral("retrieval") : QStringLiteral("answer");
        const char *kind = retrieval ? "retrieval" : "answer";
        QTest::addRow("%s: listed", kind)
            << retrieval << "" << model << model << QVariant(model) << 1;
        QTest::addRow("%s: unchanged", kind)
            << retrieval << model << model << model << QVariant(model) << 0;
        QTest::addRow("%s: not listed", kind) << retrieval << model << "missing"
                                              << "" << QVariant() << 1;
        QTest::addRow("%s: other case", kind)
            << retrieval << model << model.toUpper() << "" << QVariant() << 1;
    }
}

void tst_Chat::modelChoice()
{
    QFETCH(bool, retrieval);
    QFETCH(QString, initial);
    QFETCH(QString, given);
    QFETCH(QString, choice);
    QFETCH(QVariant, storedValue);
    QFETCH(int, signalCount);
    const QString key = retrieval ? QStringLiteral("retLLM") : QStringLiteral("ansLLM");
    storeSetting(QStringLiteral("oraculdDir"), m_models);
    if (!initial.isEmpty())
        storeSetting(key, initial);

    Chat chat;
    QCOMPARE(retrieval ? chat.retrieveLlm() : chat.answerLlm(), initial);
    QSignalSpy changed(&chat, retrieval ? &Chat::retrieveLlmChanged : &Chat::answerLlmChanged);
    if (retrieval)
        chat.setRetrieveLlm(given);
    else
        chat.setAnswerLlm(given);
    QCOMPARE(retrieval ? chat.retrieveLlm() : chat.answerLlm(), choice);
    QCOMPARE(stored(key), storedValue);
    QCOMPARE(changed.size(), signalCount);
    // The signal carries the name as it was given, also when it was refused.
    if (signalCount)
        QCOMPARE(changed.first().first().toString(), given);
}

void tst_Chat::oraculdDirChangeResetsChoices_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("reset");
    QTest::newRow("same folder") << "" << false;
    QTest::newRow("same folder, trailing separator") << "/" << true;
    QTest::newRow("another folder") << "/other" << true;
}

void tst_Chat::oraculdDirChangeResetsChoices()
{
    QFETCH(QString, folder);
    QFETCH(bool, reset);
    useLocalModels(false);
    Chat chat;
    QCOMPARE(chat.answerLlm(), QStringLiteral("answer"));
    QSignalSpy answerChanged(&chat, &Chat::answerLlmChanged);
    QSignalSpy retrievalChanged(&chat, &Chat::retrieveLlmChanged);

    QTemporaryDir other;
    const QString target = folder == QLatin1String("/other") ? other.path() : m_models + folder;
    chat.setOraculdDir(target);
    QCOMPARE(chat.answerLlm().isEmpty(), reset);
    QCOMPARE(chat.retrieveLlm().isEmpty(), reset);
    QCOMPARE(answerChanged.size(), reset ? 1 : 0);
    QCOMPARE(retrievalChanged.size(), reset ? 1 : 0);
    QCOMPARE(stored(QStringLiteral("ansLLM")).isValid(), !reset);
}

void tst_Chat::storedModelsStartServer_data()
{
    QTest::addColumn<bool>("retrievalPresent");
    QTest::newRow("both models") << true;
    QTest::newRow("retrieval model missing") << false;
}

void tst_Chat::storedModelsStartServer()
{
    QFETCH(bool, retrievalPresent);
    QTemporaryDir folder;
    QVERIFY(QFile::copy(QDir(m_models).filePath(QStringLiteral("answer.gguf")),
        folder.filePath(QStringLiteral("answer.gguf"))));
    if (retrievalPresent) {
        QVERIFY(QFile::copy(QDir(m_models).filePath(QStringLiteral("retrieval.gguf")),
            folder.filePath(QStringLiteral("retrieval.gguf"))));
    }
    useLocalModels(true);
    storeSetting(QStringLiteral("oraculdDir"), QDir::toNativeSeparators(folder.path()));

    Chat chat;
    QCOMPARE(chat.answerLlm(), QStringLiteral("answer"));
    QCOMPARE(chat.retrieveLlm(), retrievalPresent ? QStringLiteral("retrieval") : QString());
    // A stored choice whose file is missing stays stored.
    QCOMPARE(stored(QStringLiteral("retLLM")).toString(), QStringLiteral("retrieval"));

    QStringList arguments { QStringLiteral("-ma"),
        QDir::toNativeSeparators(folder.filePath(QStringLiteral("answer.gguf"))) };
    if (retrievalPresent) {
        arguments << QStringLiteral("-mr")
                  << QDir::toNativeSeparators(folder.filePath(QStringLiteral("retrieval.gguf")));
    }
    QCOMPARE(serverProcess(chat)->arguments(), arguments);
    if (retrievalPresent)
        QTRY_COMPARE_WITH_TIMEOUT(countLogged("Models loaded in the oraculd server"), 1, 30000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(serverProcess(chat)->state(), QProcess::NotRunning, 30000);
}

void tst_Chat::downloadedModelReachesServer()
{
    QFile::remove(QDir(m_models).filePath(QStringLiteral("answer2.gguf")));
    const auto chat = startLocal();
    QVERIFY(chat);
    QTRY_COMPARE_WITH_TIMEOUT(countLogged("Models loaded in the oraculd server"), 1, 10000);
    QVERIFY(!chat->llms().contains(QStringLiteral("answer2")));

    QVERIFY(QFile::copy(QDir(m_models).filePath(QStringLiteral("answer.gguf")),
        QDir(m_models).filePath(QStringLiteral("answer2.gguf"))));
    QSignalSpy listed(chat.get(), &Chat::llmsUpdated);
    chat->onModelDownloadCompleted(QStringLiteral("answer2"), QStringLiteral("generation"));
    QCOMPARE(listed.size(), 1);
    QCOMPARE(chat->answerLlm(), QStringLiteral("answer2"));
    QCOMPARE(stored(QStringLiteral("ansLLM")).toString(), QStringLiteral("answer2"));
    // The running server reloads and greets again.
    QTRY_COMPARE_WITH_TIMEOUT(countLogged("Models loaded in the oraculd server"), 2, 30000);
    QVERIFY(QFile::remove(QDir(m_models).filePath(QStringLiteral("answer2.gguf"))));
}

void tst_Chat::modelsChosenInLocalModeStartTheServer_data()
{
    QTest::addColumn<bool>("byDownload");
    QTest::addColumn<bool>("afterTheFirstEnd");
    QTest::newRow("chosen by the user") << false << true;
    QTest::newRow("chosen by finished downloads") << true << true;
    QTest::newRow("chosen while the first server still starts") << true << false;
}

void tst_Chat::modelsChosenInLocalModeStartTheServer()
{
    QFETCH(bool, byDownload);
    QFETCH(bool, afterTheFirstEnd);
    QTemporaryDir folder;
    storeSetting(QStringLiteral("localAI"), true);
    storeSetting(QStringLiteral("oraculdDir"), QDir::toNativeSeparators(folder.path()));
    Chat chat;
    QSignalSpy ended(chat.llmClient(), &LLMClient::serverEnded);
    // Without its models the server only tells how to start it, and ends.
    QCOMPARE(serverProcess(chat)->arguments(), QStringList());
    if (afterTheFirstEnd)
        QVERIFY(ended.wait(30000));

    for (const char *name : { "answer.gguf", "retrieval.gguf" })
        QVERIFY(QFile::copy(
            QDir(m_models).filePath(QLatin1String(name)), folder.filePath(QLatin1String(name))));
    if (byDownload) {
        chat.onModelDownloadCompleted(QStringLiteral("answer"), QStringLiteral("generation"));
        chat.onModelDownloadCompleted(QStringLiteral("retrieval"), QStringLiteral("retrieval"));
    } else {
        // The list is read again at the end of any download.
        chat.onModelDownloadCompleted(QStringLiteral("other"), QStringLiteral("neither"));
        chat.setAnswerLlm(QStringLiteral("answer"));
        // One model is not enough to start it.
        QCOMPARE(serverProcess(chat)->state(), QProcess::NotRunning);
        chat.setRetrieveLlm(QStringLiteral("retrieval"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(serverConnected(chat), 30000);
    QCOMPARE(serverProcess(chat)->arguments(),
        (QStringList { QStringLiteral("-ma"),
            QDir::toNativeSeparators(folder.filePath(QStringLiteral("answer.gguf"))),
            QStringLiteral("-mr"),
            QDir::toNativeSeparators(folder.filePath(QStringLiteral("retrieval.gguf"))) }));
    QCOMPARE(ended.size(), 1);

    chat.sendMessage(QStringLiteral("Hello, who are you?"));
    QTRY_VERIFY_WITH_TIMEOUT(!chat.isWaitingMsg(), 30000);
    QFile answer(QDir(modelsDir()).filePath(QStringLiteral("answer.txt")));
    QVERIFY(answer.open(QIODevice::ReadOnly));
    QCOMPARE(contents(chat).last(), QString::fromUtf8(answer.readAll()).trimmed());
}

void tst_Chat::modeSwitches()
{
    useLocalModels(false);
    Chat chat;
    // Replies come a minute late: the question stays pending.
    Online online(chat, { QStringLiteral("--piece-delay"), QStringLiteral("60000") });
    QVERIFY(online.open());
    chat.sendMessage(QStringLiteral("Is anyone there?"));
    QVERIFY(chat.isWaitingMsg());
    QVERIFY(online.service.waitForReceived(QStringLiteral("query"), 1));

    QSignalSpy modeChanged(&chat, &Chat::localAIChanged);
    chat.setLocalAI(true);
    QCOMPARE(contents(chat), QStringList { QStringLiteral("Is anyone there?") });
    QVERIFY(!chat.isWaitingMsg());
    QCOMPARE(stored(QStringLiteral("localAI")).toBool(), true);
    QCOMPARE(modeChanged.size(), 1);
    QVERIFY(online.service.waitForReceived(QStringLiteral("delall"), 1));
    QVERIFY(serverProcess(chat)->state() != QProcess::NotRunning);
    QTRY_VERIFY_WITH_TIMEOUT(serverConnected(chat), 30000);

    chat.setLocalAI(false);
    QTRY_COMPARE_WITH_TIMEOUT(serverProcess(chat)->state(), QProcess::NotRunning, 10000);
    QCOMPARE(stored(QStringLiteral("localAI")).toBool(), false);
    QVERIFY(roundTrip(chat, online));
    QCOMPARE(online.service.received(QStringLiteral("delall")).size(), 1);

    // Writing the current mode only asks the client again; nothing is stored or signalled.
    chat.setLocalAI(false);
    QCOMPARE(modeChanged.size(), 2);
}

void tst_Chat::questionsByMode()
{
    Chat chat;
    chat.sendMessage(QStringLiteral("Nobody listens"));
    // A question that could not leave says so and leaves the input free.
    QCOMPARE(conversation(chat)->count(), 2);
    QVERIFY(contents(chat).last().startsWith(
        QStringLiteral("The online service is not connected, so the question was not sent.")));
    QVERIFY(!chat.isWaitingMsg());

    Online online(chat, { QStringLiteral("--piece-delay"), QStringLiteral("60000") });
    QVERIFY(online.open());
    chat.sendMessage(QString());
    QCOMPARE(conversation(chat)->count(), 3);
    QVERIFY(!chat.isWaitingMsg());
    chat.sendMessage(QStringLiteral("What is copper?"));
    QVERIFY(chat.isWaitingMsg());
    QCOMPARE(loadingFlags(chat), (QList<bool> { false, false, false, false, true }));
    QCOMPARE(conversation(chat)->at(3)->userID(), 0);
    QCOMPARE(conversation(chat)->at(4)->userID(), 1);

    QVERIFY(online.service.waitForReceived(QStringLiteral("query"), 1));
    QVERIFY(roundTrip(chat, online));
    const QStringList queries = online.service.received(QStringLiteral("query"));
    QCOMPARE(queries.size(), 1);
    const QJsonObject query = QJsonDocument::fromJson(queries.first().toUtf8()).object();
    QCOMPARE(query.keys(), (QStringList { "model", "query", "type" }));
    QCOMPARE(query.value("model").toString(), QStringLiteral("GPT-3.5 Turbo"));
    QCOMPARE(query.value("query").toString(), QStringLiteral("What is copper?"));
}

void tst_Chat::dispatch_data()
{
    QTest::addColumn<bool>("pending");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QList<bool>>("loading");
    QTest::addColumn<QList<int>>("sources");
    QTest::addColumn<bool>("waiting");

    const QString progress = reply("PROGRESS", "message", QStringLiteral("Condensing"));
    const QString progressCleared = reply("PROGRESS", "message", QString());
    const QString hello = reply("ANSPART", "answer", QStringLiteral("Hello"));
    const QString world = reply("ANSPART", "answer", QStringLiteral(" world"));
    const QString twoRefsOneWithout = reply("ANSREFS", "sources",
        QJsonArray { source(QStringLiteral("file:///a.pdf"), 1),
            QJsonObject { { QStringLiteral("doc"), QStringLiteral("no metadata") } } });
    const QString noRefs = reply("ANSREFS", "sources", QJsonArray());
    const QString whole = json({ { "type", "ANS" }, { "answer", "Whole answer" },
        { "sources", QJsonArray { source("file:///a.pdf", 0) } } });

    QTest::newRow("progress") << true << QStringList { progress } << QStringList { "Condensing" }
                              << QList<bool> { true } << QList<int> { 0 } << true;
    QTest::newRow("progress cleared")
        << true << QStringList { progress, progressCleared } << QStringList { "" }
        << QList<bool> { true } << QList<int> { 0 } << true;
    QTest::newRow("first piece after progress")
        << true << QStringList { progress, progressCleared, hello } << QStringList { "Hello" }
        << QList<bool> { false } << QList<int> { 0 } << true;
    QTest::newRow("pieces and references")
        << true << QStringList { progress, progressCleared, hello, world, twoRefsOneWithout }
        << QStringList { "Hello world" } << QList<bool> { false } << QList<int> { 1 } << false;
    QTest::newRow("references without pieces")
        << true << QStringList { twoRefsOneWithout } << QStringList { "" } << QList<bool> { false }
        << QList<int> { 1 } << false;
    QTest::newRow("pieces after the end")
        << true << QStringList { hello, noRefs, world, world }
        << QStringList { "Hello", " world", " world" } << QList<bool> { false, false, false }
        << QList<int> { 0, 0, 0 } << false;
    QTest::newRow("whole answer replaces pieces")
        << true << QStringList { hello, whole } << QStringList { "Whole answer" }
        << QList<bool> { false } << QList<int> { 1 } << false;
    QTest::newRow("whole answer without pending")
        << false << QStringList { whole } << QStringList { "Whole answer" } << QList<bool> { false }
        << QList<int> { 1 } << false;
    QTest::newRow("pieces without pending")
        << false << QStringList { hello, world } << QStringList { "Hello", " world" }
        << QList<bool> { false, false } << QList<int> { 0, 0 } << false;
    QTest::newRow("progress without pending")
        << false << QStringList { progress } << QStringList { "Condensing" } << QList<bool> { true }
        << QList<int> { 0 } << true;
    QTest::newRow("references without pending")
        << false << QStringList { twoRefsOneWithout } << QStringList {} << QList<bool> {}
        << QList<int> {} << false;
    QTest::newRow("ignored") << true
                             << QStringList { "not json", "{}", "[1,2]",
                                    reply("anspart", "answer", "x"),
                                    reply(" ANSPART", "answer", "x"), reply("ANSPART "),
                                    reply("EMBEDPART"), reply("READYACK"), reply("ACK"),
                                    reply("DELACK", "index", 0), reply("ANS"), reply("ANSPART"),
                                    reply("PROGRESS"), json({ { "type", 5 }, { "answer", "x" } }) }
                             << QStringList { "" } << QList<bool> { true } << QList<int> { 0 }
                             << true;
}

void tst_Chat::dispatch()
{
    QFETCH(bool, pending);
    QFETCH(QStringList, replies);
    QFETCH(QStringList, answers);
    QFETCH(QList<bool>, loading);
    QFETCH(QList<int>, sources);
    QFETCH(bool, waiting);

    Chat chat;
    // Its own replies come a minute late, so only the table's replies reach the dispatcher.
    Online online(chat, { QStringLiteral("--piece-delay"), QStringLiteral("60000") });
    QVERIFY(online.open());
    QStringList expected = answers;
    QList<bool> expectedLoading = loading;
    QList<int> expectedSources = sources;
    if (pending) {
        chat.sendMessage(QStringLiteral("Question"));
        expected.prepend(QStringLiteral("Question"));
        expectedLoading.prepend(false);
        expectedSources.prepend(0);
    }
    for (const QString &text : replies)
        chat.messageReceived(text);
    QCOMPARE(contents(chat), expected);
    QCOMPARE(loadingFlags(chat), expectedLoading);
    QCOMPARE(sourceCounts(chat), expectedSources);
    QCOMPARE(chat.isWaitingMsg(), waiting);
}

void tst_Chat::parseSources_data()
{
    QTest::addColumn<QJsonValue>("entry");
    QTest::addColumn<QString>("doc");
    QTest::addColumn<int>("page");
    QTest::addColumn<QRectF>("rect");
    QTest::newRow("complete") << QJsonValue(QJsonObject { { "metadata",
        QJsonObject { { "doc", "D" }, { "page", 1 }, { "x", 1.5 }, { "y", 2 }, { "width", 3 },
            { "height", 4 } } } })
                              << "D" << 1 << QRectF(1.5, 2, 3, 4);
    QTest::newRow("fractional page") << QJsonValue(
        QJsonObject { { "metadata", QJsonObject { { "doc", "D" }, { "page", 3.5 } } } })
                                     << "D" << 0 << QRectF();
    QTest::newRow("missing members")
        << QJsonValue(QJsonObject { { "metadata", QJsonObject { { "y", 7 } } } }) << "" << 0
        << QRectF(0, 7, 0, 0);
    QTest::newRow("page as text") << QJsonValue(
        QJsonObject { { "metadata", QJsonObject { { "page", "2" } } } })
                                  << "" << 0 << QRectF();
}

void tst_Chat::parseSources()
{
    QFETCH(QJsonValue, entry);
    QFETCH(QString, doc);
    QFETCH(int, page);
    QFETCH(QRectF, rect);
    Chat chat;
    // Entries that are no objects or have no metadata are passed over.
    chat.messageReceived(reply("PROGRESS", "message", QStringLiteral("…")));
    chat.messageReceived(reply("ANSREFS", "sources", QJsonArray { 5, QJsonObject {}, entry }));
    QCOMPARE(conversation(chat)->count(), 1);
    const QList<Chunk> chunks = conversation(chat)->at(0)->sources();
    QCOMPARE(chunks.size(), 1);
    QCOMPARE(chunks.first().doc(), doc);
    QCOMPARE(chunks.first().page(), page);
    QCOMPARE(chunks.first().rect(), rect);
}

void tst_Chat::deleteAcksMatchThePathSent()
{
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    QStringList urls;
    for (const char *name : { "zero.pdf", "one.pdf", "two.pdf", "three.pdf" }) {
        const QString path = m_root.filePath(QLatin1String(name));
        writePdf(path, { { QStringLiteral("A paragraph of %1.").arg(QLatin1String(name)) } });
        urls.append(fileUrl(path));
    }
    QCOMPARE(ingest(chat, urls), (QStringList { "zero.pdf", "one.pdf", "two.pdf", "three.pdf" }));
    QSignalSpy triggered(&chat, &Chat::delDocTriggered);
    QSignalSpy confirmed(&chat, &Chat::docDeletedFromServer);

    // Two quick clicks: the second DELACK names row 1, which by then holds "two.pdf".
    chat.delDoc(0);
    chat.delDoc(1);
    QCOMPARE(triggered.size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(confirmed.size(), 2, 5000);
    QCOMPARE(names(chat), (QStringList { "two.pdf", "three.pdf" }));

    // A DELACK without "index" confirms the delete in flight; the service's own one that
    // follows finds nothing waiting.
    chat.delDoc(1);
    chat.messageReceived(reply("DELACK"));
    QCOMPARE(names(chat), QStringList { QStringLiteral("two.pdf") });
    QVERIFY(online.service.waitForReceived(QStringLiteral("delete"), 3));
    QVERIFY(roundTrip(chat, online));
    QCOMPARE(names(chat), QStringList { QStringLiteral("two.pdf") });

    // A row outside the list has no document: nothing is sent and no busy pane is asked for,
    // and a stray DELACK removes nothing.
    chat.delDoc(5);
    chat.delDoc(-1);
    QCOMPARE(triggered.size(), 3);
    QVERIFY(roundTrip(chat, online));
    QCOMPARE(online.service.received(QStringLiteral("delete")).size(), 3);
    chat.messageReceived(reply("DELACK", "index", 0));
    QCOMPARE(names(chat), QStringList { QStringLiteral("two.pdf") });
    QCOMPARE(confirmed.size(), 3);
}

void tst_Chat::documentsGoWithTheirBackEnd()
{
    useLocalModels(false);
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    const QString path = m_root.filePath(QStringLiteral("kept.pdf"));
    writePdf(path, { { QStringLiteral("A paragraph that is kept for a while.") } });
    QCOMPARE(ingest(chat, { fileUrl(path) }), QStringList { QStringLiteral("kept.pdf") });
    QSignalSpy cleared(chat.docs(), &DocList::docsDeleted);

    // Another retrieval model: the stored chunks no longer fit.
    QVERIFY(QFile::copy(QDir(m_models).filePath(QStringLiteral("retrieval.gguf")),
        QDir(m_models).filePath(QStringLiteral("retrieval2.gguf"))));
    chat.onModelDownloadCompleted(QStringLiteral("retrieval2"), QStringLiteral("retrieval"));
    QVERIFY(QFile::remove(QDir(m_models).filePath(QStringLiteral("retrieval2.gguf"))));
    QCOMPARE(chat.retrieveLlm(), QStringLiteral("retrieval2"));
    QCOMPARE(cleared.size(), 1);
    QCOMPARE(chat.docs()->rowCount(), 0);

    QCOMPARE(ingest(chat, { fileUrl(path) }), QStringList { QStringLiteral("kept.pdf") });
    chat.setLocalAI(true);
    QCOMPARE(cleared.size(), 2);
    QCOMPARE(chat.docs()->rowCount(), 0);
    chat.setLocalAI(false);
}

void tst_Chat::serverEndEndsPendingAnswer_data()
{
    QTest::addColumn<bool>("partly");
    QTest::newRow("no text yet") << false;
    QTest::newRow("partly received") << true;
}

void tst_Chat::serverEndEndsPendingAnswer()
{
    QFETCH(bool, partly);
    QVERIFY(useEndlessAnswerModel(true));
    Chat chat;
    QTRY_VERIFY_WITH_TIMEOUT(serverConnected(chat), 30000);

    chat.sendMessage(QStringLiteral("Tell me a long story"));
    QVERIFY(chat.isWaitingMsg());
    if (partly)
        QTRY_VERIFY_WITH_TIMEOUT(!contents(chat).last().isEmpty(), 10000);
    const qint64 pid = serverProcess(chat)->processId();
    QVERIFY(pid > 0); // kill(0) would hit our own process group
    QVERIFY(::kill(pid_t(pid), SIGKILL) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(!chat.isWaitingMsg(), 10000);
    QCOMPARE(conversation(chat)->count(), 2);
    QCOMPARE(loadingFlags(chat).last(), false);
    // A bubble without text says what happened; a partly received answer keeps its text.
    QCOMPARE(contents(chat).last().startsWith(
                 QStringLiteral("The local server ended before it answered.")),
        !partly);
}

void tst_Chat::localAnswerRefersToTheParagraph()
{
    const auto chat = startLocal();
    QVERIFY(chat);
    const QString path = m_root.filePath(QStringLiteral("harbour.pdf"));
    const QList<QList<Paragraph>> drawn = writePdf(path,
        { { QStringLiteral("The weather report promises rain over the hills.") },
            { QStringLiteral("Our bakery sells bread and cakes every morning."),
                QStringLiteral("Lighthouse keepers polish the brass lantern lens nightly."),
                QStringLiteral("The orchestra rehearses symphonies on Thursday evenings.") } });
    const QString url = fileUrl(path);
    QCOMPARE(ingest(*chat, { url }), QStringList { QStringLiteral("harbour.pdf") });

    chat->sendMessage(QStringLiteral("Who polish the brass lantern lens of the lighthouse?"));
    QTRY_VERIFY_WITH_TIMEOUT(!chat->isWaitingMsg(), 30000);
    QFile answer(QDir(modelsDir()).filePath(QStringLiteral("answer.txt")));
    QVERIFY(answer.open(QIODevice::ReadOnly));
    QCOMPARE(contents(*chat).last(), QString::fromUtf8(answer.readAll()).trimmed());

    const QList<Chunk> references = conversation(*chat)->at(1)->sources();
    QVERIFY(!references.isEmpty());
    const Chunk &reference = references.first();
    QCOMPARE(reference.doc(), url);
    QCOMPARE(reference.page(), 1);
    const QRectF expected = drawn.at(1).at(1).box;
    const QRectF got = reference.rect();
    // Font metrics and the PDF's glyph boxes differ by a little.
    const qreal tolerance = 3;
    QVERIFY2(qAbs(got.left() - expected.left()) < tolerance
            && qAbs(got.top() - expected.top()) < tolerance
            && qAbs(got.right() - expected.right()) < tolerance
            && qAbs(got.bottom() - expected.bottom()) < tolerance,
        qPrintable(QStringLiteral("got %1,%2 %3x%4, drawn %5,%6 %7x%8")
                       .arg(got.x())
                       .arg(got.y())
                       .arg(got.width())
                       .arg(got.height())
                       .arg(expected.x())
                       .arg(expected.y())
                       .arg(expected.width())
                       .arg(expected.height())));
}

void tst_Chat::onlineEndMidAnswerFreesTheInput_data()
{
    QTest::addColumn<int>("messagesBeforeClose");
    QTest::addColumn<QString>("bubble");
    QTest::newRow("before the first piece")
        << 0 << QStringLiteral("The connection to the online service ended before it answered.");
    QTest::newRow("after two pieces") << 2 << QStringLiteral("According to");
}

void tst_Chat::onlineEndMidAnswerFreesTheInput()
{
    QFETCH(int, messagesBeforeClose);
    QFETCH(QString, bubble);
    Chat chat;
    Online online(chat,
        { QStringLiteral("--close-after"), QString::number(messagesBeforeClose),
            QStringLiteral("--piece-delay"), QStringLiteral("50") });
    QVERIFY(online.open());
    chat.sendMessage(QStringLiteral("Are you still there?"));
    QVERIFY(chat.isWaitingMsg());
    QVERIFY(waitForStatus(online.socket, LLMClient::Closed));
    QVERIFY(!chat.isWaitingMsg());
    QCOMPARE(conversation(chat)->count(), 2);
    QVERIFY2(contents(chat).last().startsWith(bubble), qPrintable(contents(chat).last()));
    QCOMPARE(loadingFlags(chat).last(), false);
}

void tst_Chat::repliesOfTheOtherBackEndAreDropped_data()
{
    QTest::addColumn<bool>("askedLocal");
    QTest::newRow("online answer after switching to local") << false;
    QTest::newRow("local answer after switching to online") << true;
}

void tst_Chat::repliesOfTheOtherBackEndAreDropped()
{
    QFETCH(bool, askedLocal);
    QVERIFY(useEndlessAnswerModel(askedLocal));
    Chat chat;
    // Ten pieces after two progress texts, one every 30 ms, then the references.
    Online online(chat,
        { QStringLiteral("--progress"), QStringLiteral("--piece-delay"), QStringLiteral("30"),
            QStringLiteral("--answer"),
            QStringLiteral("one two three four five six seven eight nine ten") });
    QVERIFY(online.open());
    if (askedLocal)
        QTRY_VERIFY_WITH_TIMEOUT(serverConnected(chat), 30000);

    chat.sendMessage(QStringLiteral("Count to ten"));
    if (askedLocal) {
        // The endless answer is streaming when the mode changes.
        QTRY_VERIFY_WITH_TIMEOUT(!contents(chat).last().isEmpty(), 10000);
    }
    chat.setLocalAI(!askedLocal);
    const QStringList kept = contents(chat);
    QCOMPARE(kept.size(), askedLocal ? 2 : 1);
    QVERIFY(!chat.isWaitingMsg());

    // Until the back end no longer asked has said all it had to say: the local server until it
    // has ended, the service until its references have reached the chat.
    if (askedLocal) {
        QTRY_COMPARE_WITH_TIMEOUT(serverProcess(chat)->state(), QProcess::NotRunning, 10000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(
            online.service.log().last().contains(QLatin1String("ANSREFS")), 10000);
        QVERIFY(roundTrip(chat, online));
    }
    QCOMPARE(contents(chat), kept);
    QVERIFY(!chat.isWaitingMsg());

    // Stray replies of the back end no longer asked: no bubble, no pending answer, no row gone.
    const QStringList strays { reply("ANSPART", "answer", QStringLiteral("late")),
        reply("PROGRESS", "message", QStringLiteral("late")),
        reply("ANSREFS", "sources", QJsonArray()),
        json({ { "type", "ANS" }, { "answer", "late" } }), reply("ACK"),
        reply("DELACK", "index", 0) };
    if (askedLocal) {
        for (const QString &text : strays) {
            QVERIFY(QMetaObject::invokeMethod(
                chat.llmClient(), "messageReceived", Q_ARG(QByteArray, text.toUtf8())));
        }
    } else {
        for (const QString &text : strays)
            chat.messageReceived(text);
    }
    QCOMPARE(contents(chat), kept);
    QVERIFY(!chat.isWaitingMsg());
    chat.setLocalAI(false);
}

void tst_Chat::emptyReplyEndsTheAnswer()
{
    Chat chat;
    Online online(chat, { QStringLiteral("--answer"), QString() });
    QVERIFY(online.open());
    chat.sendMessage(QStringLiteral("Say nothing"));
    QVERIFY(online.service.waitForReceived(QStringLiteral("query"), 1));
    QTRY_VERIFY(!chat.isWaitingMsg());
    QCOMPARE(contents(chat), (QStringList { QStringLiteral("Say nothing"), QString() }));
    QCOMPARE(loadingFlags(chat), (QList<bool> { false, false }));
}

void tst_Chat::questionWaitsForTheLoadingServer()
{
    useLocalModels(true);
    Chat chat;
    QVERIFY(!serverConnected(chat));
    chat.sendMessage(QStringLiteral("Who polish the brass lantern lens of the lighthouse?"));
    QVERIFY(chat.isWaitingMsg());
    QCOMPARE(loadingFlags(chat).last(), true);
    QTRY_VERIFY_WITH_TIMEOUT(!chat.isWaitingMsg(), 30000);
    QFile answer(QDir(modelsDir()).filePath(QStringLiteral("answer.txt")));
    QVERIFY(answer.open(QIODevice::ReadOnly));
    QCOMPARE(contents(chat).last(), QString::fromUtf8(answer.readAll()).trimmed());
}

void tst_Chat::questionRightAfterAModeSwitchIsAnswered_data()
{
    QTest::addColumn<int>("switches");
    QTest::newRow("off and on") << 1;
    QTest::newRow("off and on twice") << 2;
}

void tst_Chat::questionRightAfterAModeSwitchIsAnswered()
{
    QFETCH(int, switches);
    const auto chat = startLocal();
    QVERIFY(chat);
    QProcess *process = serverProcess(*chat);
    const qint64 firstRun = process->processId();

    // Asked at once: the run that was there is on its way out and must not take the question.
    for (int i = 0; i < switches; ++i) {
        chat->setLocalAI(false);
        chat->setLocalAI(true);
    }
    chat->sendMessage(QStringLiteral("Who polish the brass lantern lens of the lighthouse?"));
    QVERIFY(chat->isWaitingMsg());
    QCOMPARE(loadingFlags(*chat).last(), true);
    QTRY_VERIFY_WITH_TIMEOUT(!chat->isWaitingMsg(), 60000);
    QCOMPARE(contents(*chat).last(), answerSentence());
    QCOMPARE(loadingFlags(*chat).last(), false);
    QCOMPARE(process->state(), QProcess::Running);
    QVERIFY(process->processId() != firstRun);
}

void tst_Chat::unreachableBackEndSaysSo_data()
{
    QTest::addColumn<bool>("local");
    QTest::addColumn<QString>("bubble");
    QTest::newRow("online service not connected")
        << false
        << QStringLiteral("The online service is not connected, so the question was not sent.");
    QTest::newRow("local server ended")
        << true << QStringLiteral("The local server is not running, so the question was not sent.");
}

void tst_Chat::unreachableBackEndSaysSo()
{
    QFETCH(bool, local);
    QFETCH(QString, bubble);
    // Without models the server ends at once with its usage message; nothing restarts it.
    storeSetting(QStringLiteral("localAI"), local);
    Chat chat;
    if (local)
        QTRY_COMPARE_WITH_TIMEOUT(serverProcess(chat)->state(), QProcess::NotRunning, 10000);
    chat.sendMessage(QStringLiteral("Hello?"));
    QCOMPARE(conversation(chat)->count(), 2);
    QVERIFY2(contents(chat).last().startsWith(bubble), qPrintable(contents(chat).last()));
    QVERIFY(contents(chat).last().contains(QLatin1String("then ask again")));
    QCOMPARE(loadingFlags(chat).last(), false);
    QVERIFY(!chat.isWaitingMsg());
    chat.setLocalAI(false);
}

void tst_Chat::deleteBusyPaneComesDown_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::newRow("mode switched") << "mode";
    QTest::newRow("document cleared before the DELACK") << "retrieval";
}

void tst_Chat::deleteBusyPaneComesDown()
{
    QFETCH(QString, meanwhile);
    useLocalModels(false);
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    const QString path = m_root.filePath(QStringLiteral("removed.pdf"));
    writePdf(path, { { QStringLiteral("A paragraph about to be removed.") } });
    QCOMPARE(ingest(chat, { fileUrl(path) }), QStringList { QStringLiteral("removed.pdf") });
    QSignalSpy triggered(&chat, &Chat::delDocTriggered);
    QSignalSpy confirmed(&chat, &Chat::docDeletedFromServer);

    chat.delDoc(0);
    QCOMPARE(triggered.size(), 1);
    if (meanwhile == QLatin1String("mode")) {
        chat.setLocalAI(true);
    } else {
        const QString other = QDir(m_models).filePath(QStringLiteral("other.gguf"));
        if (!QFile::exists(other))
            QVERIFY(QFile::copy(QDir(m_models).filePath(QStringLiteral("retrieval.gguf")), other));
        chat.onModelDownloadCompleted(QStringLiteral("other"), QStringLiteral("retrieval"));
        QCOMPARE(chat.docs()->rowCount(), 0);
    }
    // The pane comes down with a confirmation that removes no row.
    QTRY_COMPARE_WITH_TIMEOUT(confirmed.size(), 1, 5000);
    QCOMPARE(confirmed.first().first().toInt(), -1);
    QVERIFY(online.service.waitForReceived(QStringLiteral("delete"), 1));
    // The service's own DELACK, handled before the acknowledgement that follows it.
    QVERIFY(roundTrip(chat, online));
    QCOMPARE(confirmed.size(), 1);
    chat.setLocalAI(false);
}

void tst_Chat::ingestionFollowsTheBackEnd_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("whileSending");
    QTest::newRow("online to local while reading") << "mode" << false;
    QTest::newRow("online to local while sending") << "mode" << true;
    QTest::newRow("another retrieval model while sending") << "retrieval" << true;
}

void tst_Chat::ingestionFollowsTheBackEnd()
{
    QFETCH(QString, change);
    QFETCH(bool, whileSending);
    const bool startLocal = change == QLatin1String("retrieval");
    useLocalModels(startLocal);
    Chat chat;
    Online online(chat);
    QVERIFY(online.open());
    if (startLocal)
        QTRY_VERIFY_WITH_TIMEOUT(serverConnected(chat), 30000);
    const QString other = QDir(m_models).filePath(QStringLiteral("retrieval2.gguf"));
    if (!QFile::exists(other))
        QVERIFY(QFile::copy(QDir(m_models).filePath(QStringLiteral("retrieval.gguf")), other));

    // Two batches: 125 paragraphs, one of them the answer.
    QList<QStringList> pages;
    for (int page = 0; page < 5; ++page) {
        QStringList onPage;
        for (int i = 0; i < 25; ++i)
            onPage.append(
                QStringLiteral("Entry %1 on page %2 lists plain tools.").arg(i).arg(page));
        pages.append(onPage);
    }
    pages[3][7] = QStringLiteral("Lighthouse keepers polish the brass lantern lens nightly.");
    const QString path
        = m_root.filePath(QStringLiteral("moved %1.pdf").arg(QTest::currentDataTag()));
    writePdf(path, pages);
    const QString url = fileUrl(path);

    const auto switchBackEnd = [&] {
        if (change == QLatin1String("mode"))
            chat.setLocalAI(true);
        else
            chat.onModelDownloadCompleted(
                QStringLiteral("retrieval2"), QStringLiteral("retrieval"));
    };
    bool switched = false;
    QObject context;
    connect(chat.docs(), &DocList::progressChanged, &context, [&] {
        const int progress = chat.docs()->progress();
        if (whileSending && !switched && progress > 0 && progress < 100) {
            switched = true;
            switchBackEnd();
        }
    });
    chat.docs()->addDataList({ url });
    if (!whileSending) {
        switched = true;
        switchBackEnd();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!chat.docs()->isIngesting(), 60000);
    QVERIFY(switched);
    QCOMPARE(names(chat), QStringList { QFileInfo(path).fileName() });

    // The document is listed because the local server holds its passages: they are the answer's.
    chat.sendMessage(QStringLiteral("Who polish the brass lantern lens of the lighthouse?"));
    QTRY_VERIFY_WITH_TIMEOUT(!chat.isWaitingMsg(), 30000);
    const QList<Chunk> references = conversation(chat)->at(1)->sources();
    QVERIFY(!references.isEmpty());
    QList<int> referencedPages;
    QSet<QString> places;
    for (const Chunk &reference : references) {
        QCOMPARE(reference.doc(), url);
        referencedPages.append(reference.page());
        // Each passage was stored once: a batch of the run the switch ended never arrives.
        const QRectF box = reference.rect();
        const QString place
            = QStringLiteral("%1 %2 %3").arg(reference.page()).arg(box.x()).arg(box.y());
        QVERIFY2(!places.contains(place), qPrintable("given twice: " + place));
        places.insert(place);
    }
    // The paragraph sits in the first batch, which a switch while sending catches in flight.
    QVERIFY2(
        referencedPages.contains(3), qPrintable(QVariant::fromValue(referencedPages).toString()));
    chat.setLocalAI(false);
}

QTEST_MAIN(tst_Chat)
#include "tst_chat.moc"
