#include "oraculdclient.h"
#include "oraculdserver.h"

#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace {

const QString KeptDoc = QStringLiteral("file:///docs/kept.pdf");

QString binary()
{
    return QDir(qEnvironmentVariable("QUORVANE_BIN_DIR")).filePath(QStringLiteral("oraculd"));
}

// Processes that still run (zombies are gone in all but name) whose parent is `parent`.
QList<qint64> liveChildrenOf(qint64 parent)
{
    QList<qint64> children;
#ifdef Q_OS_LINUX
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[0] != "Z" && fields[1].toLongLong() == parent)
            children << pid;
    }
#else
    Q_UNUSED(parent);
#endif
    return children;
}

} // namespace

// A model file that makes llama.cpp end the process is tried in a child process of the server's
// own first: the file is refused, the server and its store stay, and nothing of the trial is
// left running.
class tst_ModelCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void triesAModelInItsOwnProcess_data();
    void triesAModelInItsOwnProcess();
    void refusesAModelThatCrashesLlamaAtRunTime_data();
    void refusesAModelThatCrashesLlamaAtRunTime();
    void refusesAModelThatCrashesLlamaAtStartUp_data();
    void refusesAModelThatCrashesLlamaAtStartUp();

private:
    // Every process left of a check: children of the servers, and processes orphaned below
    // this test (it adopts them), except the servers themselves.
    QList<qint64> leftovers(const QList<qint64> &servers) const;

    QTemporaryDir privateTemp;
    std::unique_ptr<OraculdServer> server;
};

void tst_ModelCheck::initTestCase()
{
    QVERIFY(privateTemp.isValid());
    qputenv("TMPDIR", privateTemp.path().toLocal8Bit());
#ifdef Q_OS_LINUX
    // Orphans below this test become its children instead of init's, so none can hide.
    QCOMPARE(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
#endif
    server = std::make_unique<OraculdServer>();
    QVERIFY2(server->start({ "-ma", OraculdServer::model("answer.gguf"), "-mr",
                 OraculdServer::model("retrieval.gguf") }),
        qPrintable(server->errorOutput()));
}

QList<qint64> tst_ModelCheck::leftovers(const QList<qint64> &servers) const
{
    QList<qint64> found;
    for (const qint64 pid : servers)
        found << liveChildrenOf(pid);
#ifdef Q_OS_LINUX
    for (const qint64 pid : liveChildrenOf(getpid())) {
        if (!servers.contains(pid))
            found << pid;
    }
#endif
    return found;
}

void tst_ModelCheck::triesAModelInItsOwnProcess_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("role");
    QTest::addColumn<bool>("usable");

    QTest::newRow("answer model") << "answer.gguf"
                                  << "answer" << true;
    QTest::newRow("retrieval model") << "retrieval.gguf"
                                     << "retrieval" << true;
    QTest::newRow("answer model as the retrieval model") << "answer.gguf"
                                                         << "retrieval" << true;
    QTest::newRow("answer model without layers") << "answer-no-layers.gguf"
                                                 << "answer" << false;
    QTest::newRow("answer model with a negative epsilon") << "answer-negative-epsilon.gguf"
                                                          << "answer" << false;
    QTest::newRow("retrieval model without layers") << "retrieval-no-layers.gguf"
                                                    << "retrieval" << false;
    QTest::newRow("retrieval model with an unknown pooling type")
        << "retrieval-unknown-pooling.gguf"
        << "retrieval" << false;
    QTest::newRow("ranking model as the retrieval model") << "ranking.gguf"
                                                          << "retrieval" << false;
}

void tst_ModelCheck::triesAModelInItsOwnProcess()
{
    QFETCH(QString, file);
    QFETCH(QString, role);
    QFETCH(bool, usable);

    QProcess check;
    check.start(binary(), { "--check-model", OraculdServer::model(file), "--role", role });
    QVERIFY(check.waitForFinished(60000));
    const QByteArray errors = check.readAllStandardError();
    QCOMPARE(check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0, usable);
    // No debugger was forked to print a backtrace of the failing check, and nothing is left.
    QVERIFY2(!errors.contains("backtrace") && !errors.contains("#0 "), errors.right(2000));
    QCOMPARE(leftovers({ server->processId() }), QList<qint64>());
}

void tst_ModelCheck::refusesAModelThatCrashesLlamaAtRunTime_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("warning");

    const QString answer = QStringLiteral("Answer model \"%1\" makes llama.cpp fail");
    const QString retrieval = QStringLiteral("Retrieval model \"%1\" could not be loaded");
    for (const char *file : { "answer-no-layers.gguf", "answer-negative-epsilon.gguf" })
        QTest::newRow(file) << "ansmodel" << OraculdServer::model(file)
                            << answer.arg(OraculdServer::model(file));
    for (const char *file : { "retrieval-no-layers.gguf", "retrieval-unknown-pooling.gguf" })
        QTest::newRow(file) << "retmodel" << OraculdServer::model(file)
                            << retrieval.arg(OraculdServer::model(file));
}

void tst_ModelCheck::refusesAModelThatCrashesLlamaAtRunTime()
{
    QFETCH(QString, type);
    QFETCH(QString, file);
    QFETCH(QString, warning);

    OraculdClient client;
    QVERIFY(client.connectTo(server->socketPath()));
    client.send(QJsonObject { { "type", "chunks" },
        { "chunks",
            QJsonArray { QJsonObject { { "type", "chunk" }, { "doc", KeptDoc }, { "index", 0 },
                { "page", 2 }, { "text", "Volcanoes erupted near the glacier lagoon." } } } } });
    QCOMPARE(client.nextReply(), QByteArray(R"({"type":"ACK"})"));

    const int warningsBefore = server->errorOutput().count(warning);
    client.send(QJsonObject { { "type", type }, { type, file } });
    QCOMPARE(client.nextReply(60000), QByteArray(R"({"type":"READYACK"})"));
    QCOMPARE(leftovers({ server->processId() }), QList<qint64>());
    QTRY_COMPARE(server->errorOutput().count(warning), warningsBefore + 1);

    // The models and the store the server had answer a question about what it acknowledged.
    client.send(R"({"type":"query","query":"Which volcanoes erupted near the glacier lagoon?"})");
    const OraculdClient::Answer reply = client.collectAnswer();
    QCOMPARE(reply.text(), OraculdServer::modelAnswer("answer.txt"));
    QVERIFY2(reply.refs.contains(KeptDoc.toUtf8()), reply.refs.constData());

    client.send(QJsonObject { { "type", "delete" }, { "doc", KeptDoc }, { "index", 0 } });
    QCOMPARE(client.nextReply(), QByteArray(R"({"index":0,"type":"DELACK"})"));
}

void tst_ModelCheck::refusesAModelThatCrashesLlamaAtStartUp_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("serves");

    QTest::newRow("answer model without layers") << "-ma"
                                                 << "answer-no-layers.gguf" << false;
    QTest::newRow("answer model with a negative epsilon")
        << "-ma"
        << "answer-negative-epsilon.gguf" << false;
    QTest::newRow("retrieval model without layers") << "-mr"
                                                    << "retrieval-no-layers.gguf" << true;
    QTest::newRow("retrieval model with an unknown pooling type")
        << "-mr"
        << "retrieval-unknown-pooling.gguf" << true;
}

void tst_ModelCheck::refusesAModelThatCrashesLlamaAtStartUp()
{
    QFETCH(QString, option);
    QFETCH(QString, file);
    QFETCH(bool, serves);

    const QString path = OraculdServer::model(file);
    QStringList arguments { "-ma", OraculdServer::model("answer.gguf"), "-mr",
        OraculdServer::model("retrieval.gguf") };
    arguments[arguments.indexOf(option) + 1] = path;

    OraculdServer other;
    other.setStartTimeout(60000);
    const bool listening = other.start(arguments);
    if (serves) {
        QVERIFY2(listening, qPrintable(other.errorOutput()));
        QVERIFY(other.errorOutput().contains(
            QStringLiteral("Retrieval model \"%1\" could not be loaded").arg(path)));
        // Without retrieval, a question is answered as general chat.
        OraculdClient client;
        QVERIFY(client.connectTo(other.socketPath()));
        client.send(R"({"type":"query","query":"hello"})");
        const OraculdClient::Answer reply = client.collectAnswer();
        QCOMPARE(reply.text(), OraculdServer::modelAnswer("answer.txt"));
        QCOMPARE(leftovers({ server->processId(), other.processId() }), QList<qint64>());
    } else {
        QVERIFY(!listening);
        QVERIFY(other.waitForExit());
        QCOMPARE(other.exitStatus(), QProcess::NormalExit);
        QCOMPARE(other.exitCode(), 1);
        QVERIFY2(other.errorOutput().contains(
                     QStringLiteral("Answer model \"%1\" makes llama.cpp fail").arg(path)),
            qPrintable(other.errorOutput()));
        QCOMPARE(leftovers({ server->processId() }), QList<qint64>());
    }
}

QTEST_GUILESS_MAIN(tst_ModelCheck)
#include "tst_modelcheck.moc"
