#include "oraculdclient.h"
#include "oraculdserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using Bytes = QList<QByteArray>;

namespace {

QByteArray deleteRequest(int index, const QByteArray &doc = "none")
{
    return R"({"type":"delete","doc":")" + doc + R"(","index":)" + QByteArray::number(index) + "}";
}

QByteArray delack(int index)
{
    return R"({"index":)" + QByteArray::number(index) + R"(,"type":"DELACK"})";
}

const QByteArray Sentinel = deleteRequest(424242);
const QString LoadFailed
    = QStringLiteral("LlamaBackend::loadModel: llama_model_load_from_file() failed");
const QByteArray NoSources = R"({"sources":[],"type":"ANSREFS"})";

// A GGUF file in good order whose architecture llama.cpp does not know: it passes every check of
// the file and fails only in the loader.
QByteArray unknownArchitectureModel()
{
    QByteArray bytes("GGUF");
    const auto u32
        = [&bytes](quint32 value) { bytes.append(reinterpret_cast<const char *>(&value), 4); };
    const auto u64
        = [&bytes](quint64 value) { bytes.append(reinterpret_cast<const char *>(&value), 8); };
    const auto text = [&](const QByteArray &value) {
        u64(quint64(value.size()));
        bytes += value;
    };
    u32(3); // version
    u64(0); // tensors
    u64(1); // keys
    text("general.architecture");
    u32(8); // string
    text("nonsense");
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QJsonObject replyObject(const QByteArray &reply)
{
    return QJsonDocument::fromJson(reply).object();
}

// The READYACK to a model request that refused `role`: its reason, or a note of what came.
QString refusalReason(const QByteArray &reply, const QString &role)
{
    const QJsonObject object = replyObject(reply);
    if (object.value("type") != QLatin1String("READYACK") || object.value("refused") != role
        || object.contains("loaded"))
        return QStringLiteral("<not a refusal of %1: %2>").arg(role, QString::fromUtf8(reply));
    return object.value("reason").toString();
}

QByteArray loadedReply(const QString &role)
{
    return R"({"loaded":")" + role.toUtf8() + R"(","type":"READYACK"})";
}

QJsonObject chunkOf(const QString &doc, const QString &text)
{
    return QJsonObject { { "type", "chunk" }, { "doc", doc }, { "index", 0 }, { "page", 3 },
        { "text", text } };
}

} // namespace

// The built server over its real socket: start-up, greeting, framing, the replies of the message
// catalogue byte for byte, and input it must survive.
class tst_Oraculd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void greetsEachConnectionAndAnswersTheNewest();
    void repliesWithExactBytes_data();
    void repliesWithExactBytes();
    void answersNothingToWhatItCannotHandle_data();
    void answersNothingToWhatItCannotHandle();
    void deliversEveryMessageOnceAndInOrder_data();
    void deliversEveryMessageOnceAndInOrder();
    void survivesRandomBytesOnAConnection();
    void handlesWhatAClosedConnectionSent();

    void startsFromItsCommandLine_data();
    void startsFromItsCommandLine();
    void reportsASocketItCannotListenOn();
    void listensAgainAfterRunningOutOfDescriptors();
    void keepsItsAnswerModelWhenAnotherCannotBeLoaded_data();
    void keepsItsAnswerModelWhenAnotherCannotBeLoaded();
    void keepsItsAnswerModelWhenItsFileIsGone();
    void freesTheConnectionsItsClientsClose();
    void refusesARetrievalModelThatCannotEmbed_data();
    void refusesARetrievalModelThatCannotEmbed();
    void emptiesItsStoreWhateverBecomesOfARetrievalModel_data();
    void emptiesItsStoreWhateverBecomesOfARetrievalModel();

private:
    int parseWarnings();
    QString tempFile(const QString &name) const;

    QTemporaryDir privateTemp;
    std::unique_ptr<OraculdServer> server;
    std::unique_ptr<OraculdClient> client;
};

void tst_Oraculd::initTestCase()
{
    QVERIFY(privateTemp.isValid());
    qputenv("TMPDIR", privateTemp.path().toLocal8Bit());

    // Model files that cannot be loaded, each in its own way.
    QFile answer(OraculdServer::model("answer.gguf"));
    QVERIFY(answer.open(QIODevice::ReadOnly));
    const QByteArray model = answer.readAll();
    QVERIFY(writeFile(tempFile("truncated.gguf"), model.left(model.size() - 4096)));
    QFile retrieval(OraculdServer::model("retrieval.gguf"));
    QVERIFY(retrieval.open(QIODevice::ReadOnly));
    const QByteArray embedder = retrieval.readAll();
    QVERIFY(writeFile(tempFile("retrieval-cut.gguf"), embedder.left(embedder.size() / 2)));
    QVERIFY(writeFile(tempFile("not-a-model.gguf"), "GGUF, but not really a model"));
    QVERIFY(writeFile(tempFile("unknown-architecture.gguf"), unknownArchitectureModel()));
    QVERIFY(QDir().mkpath(tempFile("folder.gguf")));
#ifdef Q_OS_UNIX
    // Nothing ever writes to it: a loader that opens it waits for ever.
    QCOMPARE(::mkfifo(QFile::encodeName(tempFile("fifo.gguf")).constData(), 0600), 0);
#endif

    server = std::make_unique<OraculdServer>();
    QVERIFY2(server->start({ "-ma", OraculdServer::model("answer.gguf"), "-mr",
                 OraculdServer::model("retrieval.gguf") }),
        qPrintable(server->errorOutput()));
}

void tst_Oraculd::init()
{
    client = std::make_unique<OraculdClient>();
    QVERIFY(client->connectTo(server->socketPath()));
}

void tst_Oraculd::cleanup()
{
    client.reset();
}

QString tst_Oraculd::tempFile(const QString &name) const
{
    return QDir(privateTemp.path()).filePath(name);
}

int tst_Oraculd::parseWarnings()
{
    return server->errorOutput().count(QLatin1String("Failed to parse JSON:"));
}

void tst_Oraculd::greetsEachConnectionAndAnswersTheNewest()
{
    OraculdClient newer;
    QVERIFY(newer.connectTo(server->socketPath()));

    // What the older connection still sends is handled, but answered on the newer one.
    client->send(deleteRequest(11));
    QCOMPARE(newer.nextReply(), delack(11));
    newer.send(deleteRequest(12));
    QCOMPARE(newer.nextReply(), delack(12));
    QCOMPARE(client->nextReply(200), QByteArray());
}

void tst_Oraculd::repliesWithExactBytes_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");

    QTest::newRow("delete") << deleteRequest(3) << delack(3);
    QTest::newRow("delete without index")
        << QByteArray(R"({"type":"delete","doc":"none"})") << delack(-1);
    QTest::newRow("delete without doc")
        << QByteArray(R"({"index":8,"type":"delete"})") << delack(8);
    QTest::newRow("index with a fraction")
        << QByteArray(R"({"type":"delete","doc":"none","index":2.5})") << delack(0);
    QTest::newRow("index beyond int")
        << QByteArray(R"({"type":"delete","doc":"none","index":3000000000})") << delack(0);
    QTest::newRow("index far beyond int")
        << QByteArray(R"({"type":"delete","doc":"none","index":1.5e300})") << delack(0);
    QTest::newRow("index as text")
        << QByteArray(R"({"type":"delete","doc":"none","index":"7"})") << delack(0);
    QTest::newRow("largest index") << deleteRequest(2147483647) << delack(2147483647);
    QTest::newRow("empty chunks") << QByteArray(R"({"type":"chunks","chunks":[]})")
                                  << QByteArray(R"({"type":"ACK"})");
    QTest::newRow("chunks without member")
        << QByteArray(R"({"type":"chunks"})") << QByteArray(R"({"type":"ACK"})");
    QTest::newRow("chunks that are no chunks")
        << QByteArray(R"({"type":"chunks","chunks":[{"type":"Chunk","text":"t"},5,"x"]})")
        << QByteArray(R"({"type":"ACK"})");
    QTest::newRow("chunks not an array")
        << QByteArray(R"({"type":"chunks","chunks":{"type":"chunk"}})")
        << QByteArray(R"({"type":"ACK"})");
    QTest::newRow("model request without a path")
        << QByteArray(R"({"type":"retmodel"})") << QByteArray(R"({"type":"READYACK"})");
    QTest::newRow("answer model request without a path") << QByteArray(
        R"({"type":"ansmodel","retmodel_":"x"})") << QByteArray(R"({"type":"READYACK"})");
}

void tst_Oraculd::repliesWithExactBytes()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    client->send(request);
    QCOMPARE(client->nextReply(), reply);
    client->send(Sentinel);
    QCOMPARE(client->nextReply(), delack(424242));
}

void tst_Oraculd::answersNothingToWhatItCannotHandle_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("parseWarning");

    QTest::newRow("online reply type") << QByteArray(R"({"type":"ANS","answer":"x"})") << false;
    QTest::newRow("empty object") << QByteArray("{}") << false;
    QTest::newRow("type not a string") << QByteArray(R"({"type":2,"index":1})") << false;
    QTest::newRow("array") << QByteArray(R"([{"type":"delete","index":1}])") << true;
    QTest::newRow("garbage") << QByteArray("hello, server") << true;
    QTest::newRow("top-level string holding a brace") << QByteArray(R"("{")") << true;
    QTest::newRow("top-level string holding braces both ways") << QByteArray(R"("a}b{c")") << true;
    QTest::newRow("invalid UTF-8 in a string")
        << QByteArray("{\"type\":\"delete\",\"doc\":\"\xff\xc3\",\"index\":5}") << true;
    QTest::newRow("number out of range")
        << QByteArray(R"({"type":"delete","doc":"none","index":1e999})") << true;
    QTest::newRow("10000 levels of nesting") << QByteArray(R"({"type":"delete","index":1,"deep":)"
        + QByteArray(10000, '[') + QByteArray(10000, ']') + "}")
                                             << true;

    // Bytes that open no value: everything is dropped as garbage.
    QRandomGenerator random(7);
    QByteArray noise(65536, '\0');
    for (char &byte : noise) {
        do
            byte = char(random.bounded(256));
        while (byte == '{' || byte == '[');
    }
    QTest::newRow("random bytes that open no value") << noise << true;
}

void tst_Oraculd::answersNothingToWhatItCannotHandle()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, parseWarning);

    const int warningsBefore = parseWarnings();
    client->send(bytes);
    client->send(Sentinel);
    QCOMPARE(client->nextReply(), delack(424242));
    if (parseWarning)
        QTRY_VERIFY(parseWarnings() > warningsBefore);
}

void tst_Oraculd::deliversEveryMessageOnceAndInOrder_data()
{
    QTest::addColumn<Bytes>("writes");
    QTest::addColumn<Bytes>("replies");

    QTest::newRow("two in one write")
        << Bytes { deleteRequest(1) + deleteRequest(2) } << Bytes { delack(1), delack(2) };
    QTest::newRow("split across writes")
        << Bytes { R"({"type":"del)", R"(ete","doc":"a","index":4})" } << Bytes { delack(4) };
    QTest::newRow("braces inside a string, split between them") << Bytes {
        QByteArray("{\"type\":\"delete\",\"doc\":\"} {\\\"}"), QByteArray(" {\",\"index\":5}")
    } << Bytes { delack(5) };
    QTest::newRow("whole, half, rest and another") << Bytes {
        deleteRequest(7) + R"({"type":"delete",)", R"("doc":"x","index":8})" + deleteRequest(9)
    } << Bytes { delack(7), delack(8), delack(9) };
    QTest::newRow("garbage before a message")
        << Bytes { "not json at all " + deleteRequest(6) } << Bytes { delack(6) };
    QTest::newRow("20 MB message")
        << Bytes { deleteRequest(10, QByteArray(20 * 1024 * 1024, 'x')) } << Bytes { delack(10) };
    // Past the 64 MiB that one message may take: it is dropped, and what follows is read.
    QTest::newRow("65 MiB message dropped, the next one answered")
        << Bytes { R"({"type":"query","query":")" + QByteArray(65 * 1024 * 1024, '{') + "\"}"
               + deleteRequest(13) }
        << Bytes { delack(13) };

    Bytes many;
    QByteArray burst;
    for (int i = 0; i < 200; ++i) {
        burst += deleteRequest(1000 + i);
        many << delack(1000 + i);
    }
    QTest::newRow("200 in one write") << Bytes { burst } << many;
}

void tst_Oraculd::deliversEveryMessageOnceAndInOrder()
{
    QFETCH(Bytes, writes);
    QFETCH(Bytes, replies);

    for (const QByteArray &bytes : writes) {
        client->send(bytes);
        // Give the server a read of its own for each write.
        QTest::qWait(50);
    }
    Bytes received;
    for (int i = 0; i < replies.size(); ++i)
        received << client->nextReply(20000);
    QCOMPARE(received, replies);
    client->send(Sentinel);
    QCOMPARE(client->nextReply(), delack(424242));
}

void tst_Oraculd::survivesRandomBytesOnAConnection()
{
    // Random bytes can open a value that never closes; that holds up only their own connection.
    QRandomGenerator random(11);
    QByteArray noise(256 * 1024, '\0');
    for (char &byte : noise)
        byte = char(random.bounded(256));
    client->send(noise);

    OraculdClient fresh;
    QVERIFY(fresh.connectTo(server->socketPath()));
    fresh.send(deleteRequest(77));
    QCOMPARE(fresh.nextReply(), delack(77));
}

void tst_Oraculd::handlesWhatAClosedConnectionSent()
{
    const QStringList docs { "file:///docs/gone-1.pdf", "file:///docs/gone-2.pdf",
        "file:///docs/gone-3.pdf" };
    QByteArray batches;
    for (const QString &doc : docs) {
        batches += QJsonDocument(QJsonObject { { "type", "chunks" },
                                     { "chunks",
                                         QJsonArray { chunkOf(doc,
                                             "Volcanoes erupted near the glacier lagoon.") } } })
                       .toJson(QJsonDocument::Compact);
    }
    // Written and closed at once, and taken by the worker while no connection is there to be
    // answered on: the server logs each message it takes.
    const qsizetype taken = server->errorOutput().count(QLatin1String("Processing"));
    client->send(batches);
    client->socket().disconnectFromServer();
    client.reset();
    QTRY_VERIFY_WITH_TIMEOUT(
        server->errorOutput().count(QLatin1String("Processing")) >= taken + 3, 60000);

    OraculdClient next;
    QVERIFY(next.connectTo(server->socketPath()));
    next.send(R"({"type":"query","query":"Which volcanoes erupted near the glacier lagoon?"})");
    const QByteArray refs = next.collectAnswer().refs;
    for (const QString &doc : docs)
        QVERIFY2(refs.contains(doc.toUtf8()), refs.constData());

    for (const QString &doc : docs) {
        next.send(QJsonObject { { "type", "delete" }, { "doc", doc }, { "index", 1 } });
        QCOMPARE(next.nextReply(), delack(1));
    }
}

void tst_Oraculd::startsFromItsCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    // -2: serves on its socket; otherwise the exit code.
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("errorText");

    const QString answer = OraculdServer::model("answer.gguf");
    const QString retrieval = OraculdServer::model("retrieval.gguf");
    const QString missing = QDir(privateTemp.path()).filePath("missing.gguf");
    const QString refused = QStringLiteral("Answer model \"%1\" %2");

    QTest::newRow("answer first") << QStringList { "-ma", answer, "-mr", retrieval } << -2
                                  << QString();
    QTest::newRow("retrieval first")
        << QStringList { "-mr", retrieval, "-ma", answer } << -2 << QString();
    QTest::newRow("later -mr wins") << QStringList { "-mr", missing, "--verbose", "-ma", answer,
        "-mr", retrieval } << -2 << QString();
    QTest::newRow("missing retrieval model keeps serving")
        << QStringList { "-mr", retrieval, "-ma", answer, "-mr", missing } << -2
        << QStringLiteral("Retrieval model \"%1\" could not be loaded").arg(missing);
    QTest::newRow("-ma -mr takes -mr as the answer model")
        << QStringList { "-ma", "-mr", retrieval } << 1 << refused.arg("-mr", "cannot be opened");
    QTest::newRow("missing answer model") << QStringList { "-ma", missing, "-mr", retrieval } << 1
                                          << refused.arg(missing, "cannot be opened");
    QTest::newRow("truncated answer model") << QStringList { "-ma", tempFile("truncated.gguf"),
        "-mr", retrieval } << 1 << refused.arg(tempFile("truncated.gguf"), "is truncated");
    QTest::newRow("answer model llama.cpp cannot load")
        << QStringList { "-ma", tempFile("unknown-architecture.gguf"), "-mr", retrieval } << 1
        << refused.arg(tempFile("unknown-architecture.gguf"), "cannot be loaded: " + LoadFailed);
    QTest::newRow("answer model as the retrieval model embeds")
        << QStringList { "-ma", answer, "-mr", answer } << -2 << QString();
    const QString ranking = OraculdServer::model("ranking.gguf");
    QTest::newRow("ranking model refused as the retrieval model")
        << QStringList { "-ma", answer, "-mr", ranking } << -2
        << QStringLiteral("Retrieval model \"%1\" could not be loaded").arg(ranking);
    QTest::newRow("unknown chat template rendered from its text") << QStringList {
        "-ma", OraculdServer::model("answer-unknown-template.gguf"), "-mr", retrieval
    } << -2 << "is not one llama.cpp knows by name";
    QTest::newRow("broken chat template falls back to chatml") << QStringList {
        "-ma", OraculdServer::model("answer-broken-template.gguf"), "-mr", retrieval
    } << -2 << "prompts are formatted as chatml";
#ifdef Q_OS_UNIX
    QTest::newRow("FIFO as the retrieval model")
        << QStringList { "-ma", answer, "-mr", tempFile("fifo.gguf") } << -2
        << QStringLiteral("Retrieval model \"%1\" could not be loaded").arg(tempFile("fifo.gguf"));
    QTest::newRow("FIFO as the answer model") << QStringList { "-ma", tempFile("fifo.gguf"), "-mr",
        retrieval } << 1 << refused.arg(tempFile("fifo.gguf"), "is not a regular file");
#endif
    QTest::newRow("only -ma") << QStringList { "-ma", answer } << 255 << "Usage: oraculd";
    QTest::newRow("-mr without a value")
        << QStringList { "-ma", answer, "-mr" } << 255 << "Usage: oraculd";
    QTest::newRow("options in other letter case")
        << QStringList { "-MA", answer, "-MR", retrieval } << 255 << "Usage: oraculd";
    QTest::newRow("no arguments") << QStringList() << 255 << "Usage: oraculd";
}

void tst_Oraculd::startsFromItsCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, outcome);
    QFETCH(QString, errorText);

    OraculdServer other;
    const bool listening = other.start(arguments);
    if (outcome == -2) {
        QVERIFY2(listening, qPrintable(other.errorOutput()));
        OraculdClient greeted;
        QVERIFY(greeted.connectTo(other.socketPath()));
        greeted.send(R"({"type":"chunks","chunks":[{"type":"chunk","doc":"d","text":"lava"}]})");
        QCOMPARE(greeted.nextReply(), QByteArray(R"({"type":"ACK"})"));
        greeted.send(R"({"type":"query","query":"hello"})");
        const OraculdClient::Answer reply = greeted.collectAnswer();
        QVERIFY(!reply.refs.isEmpty());
        QCOMPARE(reply.text(), OraculdServer::modelAnswer("answer.txt"));
        if (errorText.isEmpty())
            QVERIFY(!other.errorOutput().contains("could not be loaded"));
        else
            QCOMPARE(other.errorOutput().count(errorText), 1);
    } else {
        QVERIFY(!listening);
        QVERIFY(other.waitForExit());
        QCOMPARE(other.exitStatus(), QProcess::NormalExit);
        QCOMPARE(other.exitCode(), outcome);
        // The library's own failure is named only when the library was asked.
        QCOMPARE(other.errorOutput().contains(LoadFailed), errorText.contains(LoadFailed));
    }
    if (!errorText.isEmpty())
        QVERIFY2(other.errorOutput().contains(errorText), qPrintable(other.errorOutput()));
}

void tst_Oraculd::reportsASocketItCannotListenOn()
{
    // A socket path longer than a local socket address can hold cannot be listened on.
    const QString longFolder = QDir(privateTemp.path()).filePath(QString(120, QLatin1Char('a')));
    QVERIFY(QDir().mkpath(longFolder));
    OraculdServer other;
    QVERIFY(!other.start({ "-ma", OraculdServer::model("answer.gguf"), "-mr",
                             OraculdServer::model("retrieval.gguf") },
        longFolder));
    QVERIFY(other.waitForExit());
    QCOMPARE(other.exitStatus(), QProcess::NormalExit);
    QCOMPARE(other.exitCode(), 255);
    QVERIFY(other.errorOutput().contains("Failed to listen on socket: MySocket"));
}

void tst_Oraculd::listensAgainAfterRunningOutOfDescriptors()
{
#ifndef Q_OS_UNIX
    QSKIP("sets a descriptor limit with setrlimit");
#else
    QTemporaryDir folder;
    OraculdServer limited;
    limited.setDescriptorLimit(64);
    QVERIFY2(limited.start({ "-ma", OraculdServer::model("answer.gguf"), "-mr",
                 OraculdServer::model("retrieval.gguf") },
                 folder.path()),
        qPrintable(limited.errorOutput()));

    // Each connection holds a descriptor of the server: well before 200 of them, one is refused.
    std::vector<std::unique_ptr<OraculdClient>> clients;
    bool refused = false;
    while (!refused && clients.size() < 200) {
        clients.push_back(std::make_unique<OraculdClient>());
        refused = !clients.back()->connectTo(limited.socketPath(), 5000);
    }
    QVERIFY(refused);
    QTRY_VERIFY_WITH_TIMEOUT(
        limited.errorOutput().contains("Stopped listening on socket MySocket"), 30000);

    clients.clear();
    OraculdClient later;
    QVERIFY2(later.connectTo(limited.socketPath()), qPrintable(limited.errorOutput()));
    later.send(Sentinel);
    QCOMPARE(later.nextReply(), delack(424242));
#endif
}

void tst_Oraculd::keepsItsAnswerModelWhenAnotherCannotBeLoaded_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("file");
    // What the warning says after the file's name.
    QTest::addColumn<QString>("reason");

    QTest::newRow("truncated copy") << "ansmodel" << tempFile("truncated.gguf") << "is truncated";
    QTest::newRow("missing file") << "ansmodel" << tempFile("missing.gguf") << "cannot be opened";
    QTest::newRow("folder") << "ansmodel" << tempFile("folder.gguf") << "is a folder";
    QTest::newRow("not a model") << "ansmodel" << tempFile("not-a-model.gguf")
                                 << "is not a GGUF model file";
    QTest::newRow("unknown architecture")
        << "ansmodel" << tempFile("unknown-architecture.gguf") << "cannot be loaded: " + LoadFailed;
#ifdef Q_OS_UNIX
    QTest::newRow("FIFO") << "ansmodel" << tempFile("fifo.gguf") << "is not a regular file";
#endif
    QTest::newRow("answer half of a retrieval model message")
        << "retmodel" << tempFile("truncated.gguf") << "is truncated";
    // It loads and runs, but what it "generates" is noise.
    QTest::newRow("retrieval model") << "ansmodel" << OraculdServer::model("retrieval.gguf")
                                     << "cannot be loaded: LlamaBackend::loadModel: it is an "
                                        "embedding model (its attention is not causal), so it "
                                        "cannot generate text";
}

void tst_Oraculd::keepsItsAnswerModelWhenAnotherCannotBeLoaded()
{
    QFETCH(QString, type);
    QFETCH(QString, file);
    QFETCH(QString, reason);

    const QString doc = QStringLiteral("file:///docs/kept.pdf");
    client->send(QJsonObject { { "type", "chunks" },
        { "chunks", QJsonArray { chunkOf(doc, "Volcanoes erupted near the glacier lagoon.") } } });
    QCOMPARE(client->nextReply(), QByteArray(R"({"type":"ACK"})"));

    const QString warning = QStringLiteral("Answer model \"%1\" %2").arg(file, reason);
    const int warningsBefore = server->errorOutput().count(warning);
    const int failuresBefore = server->errorOutput().count(LoadFailed);
    client->send(QJsonObject { { "type", type }, { "ansmodel", file } });
    // The reply says that the model was refused and why, as the log does.
    const QString replied = refusalReason(client->nextReply(), "ansmodel");
    QVERIFY2(replied.startsWith(reason), qPrintable(replied));
    QTRY_COMPARE(server->errorOutput().count(warning), warningsBefore + 1);
    // The library's own failure is named only when the library was asked.
    QCOMPARE(server->errorOutput().count(LoadFailed),
        failuresBefore + (reason.contains(LoadFailed) ? 1 : 0));

    // The same model answers, from the same store.
    client->send(R"({"type":"query","query":"Which volcanoes erupted near the glacier lagoon?"})");
    const OraculdClient::Answer reply = client->collectAnswer();
    QCOMPARE(reply.text(), OraculdServer::modelAnswer("answer.txt"));
    QVERIFY2(reply.refs.contains(doc.toUtf8()), reply.refs.constData());

    client->send(QJsonObject { { "type", "delete" }, { "doc", doc }, { "index", 0 } });
    QCOMPARE(client->nextReply(), delack(0));
}

void tst_Oraculd::keepsItsAnswerModelWhenItsFileIsGone()
{
    // The model the server started with is gone from disk when a bad one is chosen: the bad
    // one is refused before the loaded model is released, so it keeps answering.
    const QString vanishing = tempFile("vanishing.gguf");
    QVERIFY(QFile::copy(OraculdServer::model("answer.gguf"), vanishing));
    OraculdServer other;
    QVERIFY(other.start({ "-ma", vanishing, "-mr", OraculdServer::model("retrieval.gguf") }));
    QVERIFY(QFile::remove(vanishing));
    OraculdClient user;
    QVERIFY(user.connectTo(other.socketPath()));

    user.send(QJsonObject {
        { "type", "ansmodel" }, { "ansmodel", tempFile("unknown-architecture.gguf") } });
    QCOMPARE(refusalReason(user.nextReply(), "ansmodel"), "cannot be loaded: " + LoadFailed);
    user.send(R"({"type":"query","query":"hello"})");
    OraculdClient::Answer reply = user.collectAnswer();
    QCOMPARE(reply.text(), OraculdServer::modelAnswer("answer.txt"));
    QCOMPARE(reply.refs, NoSources);
}

void tst_Oraculd::freesTheConnectionsItsClientsClose()
{
#ifndef Q_OS_LINUX
    QSKIP("reads the server's memory from /proc");
#else
    const auto residentKiB = [this] {
        QFile status(QStringLiteral("/proc/%1/status").arg(server->processId()));
        if (!status.open(QIODevice::ReadOnly))
            return qint64(-1);
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
        return qint64(-1);
    };
    const auto cycles = [this](int count) {
        for (int i = 0; i < count; ++i) {
            OraculdClient passing;
            if (!passing.connectTo(server->socketPath()))
                return false;
            // The server logs each connection: read its output, or its pipe fills and blocks it.
            QCoreApplication::processEvents();
        }
        // Handled after every earlier connection's end has been seen.
        OraculdClient last;
        if (!last.connectTo(server->socketPath()))
            return false;
        last.send(Sentinel);
        return last.nextReply() == delack(424242);
    };

    // The first cycles grow the allocator's pools to their working size.
    QVERIFY(cycles(500));
    const qint64 before = residentKiB();
    QVERIFY(before > 0);
    QVERIFY(cycles(3000));
    // Kept connections cost about 3 KiB each: 3000 of them show well above the tolerance.
    const qint64 toleranceKiB = 2048;
    QTRY_VERIFY2(residentKiB() - before < toleranceKiB,
        qPrintable(QStringLiteral("%1 KiB before, %2 KiB after").arg(before).arg(residentKiB())));
#endif
}

void tst_Oraculd::refusesARetrievalModelThatCannotEmbed_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("refused");

    QTest::newRow("answer model embeds") << OraculdServer::model("answer.gguf") << false;
    QTest::newRow("ranking model") << OraculdServer::model("ranking.gguf") << true;
#ifdef Q_OS_UNIX
    QTest::newRow("FIFO") << tempFile("fifo.gguf") << true;
#endif
}

void tst_Oraculd::refusesARetrievalModelThatCannotEmbed()
{
    QFETCH(QString, file);
    QFETCH(bool, refused);

    const QString warning = QStringLiteral("Retrieval model \"%1\" could not be loaded").arg(file);
    const int warningsBefore = server->errorOutput().count(warning);
    client->send(QJsonObject { { "type", "retmodel" }, { "retmodel", file } });
    const QByteArray ready = client->nextReply();
    if (refused)
        QVERIFY2(!refusalReason(ready, "retmodel").isEmpty(), ready.constData());
    else
        QCOMPARE(ready, loadedReply("retmodel"));

    const QString doc = QStringLiteral("file:///docs/any.pdf");
    client->send(QJsonObject { { "type", "chunks" },
        { "chunks", QJsonArray { chunkOf(doc, "Fishing boats return to the harbour.") } } });
    QCOMPARE(client->nextReply(), QByteArray(R"({"type":"ACK"})"));
    client->send(R"({"type":"query","query":"When do fishing boats return?"})");
    QCOMPARE(client->collectAnswer().text(), OraculdServer::modelAnswer("answer.txt"));
    QTRY_COMPARE(server->errorOutput().count(warning), warningsBefore + (refused ? 1 : 0));

    client->send(QJsonObject {
        { "type", "retmodel" }, { "retmodel", OraculdServer::model("retrieval.gguf") } });
    QCOMPARE(client->nextReply(), loadedReply("retmodel"));
}

void tst_Oraculd::emptiesItsStoreWhateverBecomesOfARetrievalModel_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("loads");

    QTest::newRow("loaded") << OraculdServer::model("retrieval.gguf") << true;
    QTest::newRow("cut copy refused") << tempFile("retrieval-cut.gguf") << false;
}

void tst_Oraculd::emptiesItsStoreWhateverBecomesOfARetrievalModel()
{
    QFETCH(QString, file);
    QFETCH(bool, loads);

    // The desktop program lists no document after a change of retrieval model, whether the
    // server takes the new model or not: a document sent again is then stored once.
    const QString doc = QStringLiteral("file:///docs/lagoon.pdf");
    const QJsonObject chunks { { "type", "chunks" },
        { "chunks", QJsonArray { chunkOf(doc, "Volcanoes erupted near the glacier lagoon.") } } };
    const QByteArray question
        = R"({"type":"query","query":"Which volcanoes erupted near the glacier lagoon?"})";
    client->send(chunks);
    QCOMPARE(client->nextReply(), QByteArray(R"({"type":"ACK"})"));

    client->send(QJsonObject { { "type", "retmodel" }, { "retmodel", file } });
    const QByteArray ready = client->nextReply();
    if (loads)
        QCOMPARE(ready, loadedReply("retmodel"));
    else
        QVERIFY2(!refusalReason(ready, "retmodel").isEmpty(), ready.constData());

    client->send(question);
    OraculdClient::Answer reply = client->collectAnswer();
    QCOMPARE(reply.text(), OraculdServer::modelAnswer("answer.txt"));
    QCOMPARE(reply.refs, NoSources);

    client->send(chunks);
    QCOMPARE(client->nextReply(), QByteArray(R"({"type":"ACK"})"));
    client->send(question);
    reply = client->collectAnswer();
    const QJsonArray sources = replyObject(reply.refs).value("sources").toArray();
    QCOMPARE(sources.size(), 1);
    QCOMPARE(sources.first().toObject().value("metadata").toObject().value("doc").toString(), doc);

    client->send(QJsonObject { { "type", "delete" }, { "doc", doc }, { "index", 0 } });
    QCOMPARE(client->nextReply(), delack(0));
}

QTEST_GUILESS_MAIN(tst_Oraculd)
#include "tst_oraculd.moc"
