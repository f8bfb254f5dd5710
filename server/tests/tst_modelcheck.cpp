#include "oraculdclient.h"
#include "oraculdserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#ifdef Q_OS_LINUX
#include <csignal>
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

// One letter of /proc/<pid>/stat: R, S, T (stopped), Z (zombie)...; 0 when it is gone.
char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end < 0 || end + 2 >= line.size() ? 0 : line.at(end + 2);
}

#ifdef Q_OS_LINUX
bool isModelCheck(qint64 pid)
{
    // Until the child has started the check program it is a copy of the server.
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return commandLine.open(QIODevice::ReadOnly) && commandLine.readAll().contains("--check-model");
}

// A model check of `server` caught running and stopped (SIGSTOP), so that it cannot end; 0 if
// none.
qint64 stopChildOf(qint64 server)
{
    const QStringList tasks = QDir(QStringLiteral("/proc/%1/task").arg(server)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile children(QStringLiteral("/proc/%1/task/%2/children").arg(server).arg(task));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &entry : children.readAll().split(' ')) {
            const qint64 pid = entry.trimmed().toLongLong();
            if (pid <= 0 || !isModelCheck(pid) || ::kill(pid_t(pid), SIGSTOP) != 0)
                continue;
            // A child that had already ended takes the signal as a zombie.
            QDeadlineTimer stopping(10000);
            char state = processState(pid);
            while (state != 'T' && state != 't' && state != 'Z' && state != 0 && !stopping.hasExpired())
                state = processState(pid);
            if (state == 'T' || state == 't')
                return pid;
        }
    }
    return 0;
}
#endif

// Sends `request` until the model check it starts is caught and stopped before it ends (a
// check of a small model takes milliseconds); returns the stopped check, or 0. The replies to
// requests whose check ended first are taken.
qint64 sendWithStoppedCheck(OraculdClient &client, qint64 server, const QJsonObject &request)
{
#ifdef Q_OS_LINUX
    for (int attempt = 0; attempt < 100; ++attempt) {
        client.send(request);
        const QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired()) {
            if (const qint64 check = stopChildOf(server))
                return check;
            // Reads what the servers log: a full pipe would block them.
            QCoreApplication::processEvents();
            if (client.socket().bytesAvailable() > 0 || client.socket().waitForReadyRead(0))
                break;
        }
        client.nextReply();
    }
#else
    Q_UNUSED(client);
    Q_UNUSED(server);
    Q_UNUSED(request);
#endif
    return 0;
}

QJsonObject readyAck(const QByteArray &reply)
{
    return QJsonDocument::fromJson(reply).object();
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
    void loadsTheFileItChecked();
    void refusesACheckThatNeverEnds();
    void endsItsCheckWhenItEnds_data();
    void endsItsCheckWhenItEnds();

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
    QTest::newRow("retrieval model as the answer model") << "retrieval.gguf"
                                                         << "answer" << false;
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
    const QByteArray ready = client.nextReply(60000);
    QCOMPARE(readyAck(ready).value("refused").toString(), type);
    QVERIFY2(readyAck(ready).value("reason").toString().contains("llama.cpp"), ready.constData());
    QCOMPARE(leftovers({ server->processId() }), QList<qint64>());
    QTRY_COMPARE(server->errorOutput().count(warning), warningsBefore + 1);

    // The models the server had answer; the store is emptied by any change of retrieval model,
    // as the desktop program empties its list for it.
    client.send(R"({"type":"query","query":"Which volcanoes erupted near the glacier lagoon?"})");
    const OraculdClient::Answer reply = client.collectAnswer();
    QCOMPARE(reply.text(), OraculdServer::modelAnswer("answer.txt"));
    QCOMPARE(reply.refs.contains(KeptDoc.toUtf8()), type == QLatin1String("ansmodel"));

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
        // The line from which the desktop program learns it.
        QVERIFY(other.errorOutput().contains(QStringLiteral("Model refused: retmodel: ")));
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
        QVERIFY(other.errorOutput().contains(
            QStringLiteral("Model refused: ansmodel: makes llama.cpp fail")));
        QCOMPARE(leftovers({ server->processId() }), QList<qint64>());
    }
}

void tst_ModelCheck::loadsTheFileItChecked()
{
#ifndef Q_OS_LINUX
    QSKIP("stops the check with a signal");
#else
    // A damaged model moved over the file while its check runs: the server loads what it
    // checked, and that answers.
    const QString chosen = QDir(privateTemp.path()).filePath("chosen.gguf");
    const QString damaged = QDir(privateTemp.path()).filePath("damaged.gguf");
    QVERIFY(QFile::copy(OraculdServer::model("answer-utf8.gguf"), chosen));
    QVERIFY(QFile::copy(OraculdServer::model("answer-negative-epsilon.gguf"), damaged));
    OraculdClient client;
    QVERIFY(client.connectTo(server->socketPath()));

    const qint64 check = sendWithStoppedCheck(
        client, server->processId(), QJsonObject { { "type", "ansmodel" }, { "ansmodel", chosen } });
    QVERIFY(check > 0);
    QVERIFY(::rename(QFile::encodeName(damaged).constData(), QFile::encodeName(chosen).constData()) == 0);
    QCOMPARE(::kill(pid_t(check), SIGCONT), 0);
    QCOMPARE(client.nextReply(60000), QByteArray(R"({"loaded":"ansmodel","type":"READYACK"})"));

    client.send(R"({"type":"query","query":"hello"})");
    QCOMPARE(client.collectAnswer().text(), OraculdServer::modelAnswer("answer-utf8.txt"));
    client.send(QJsonObject { { "type", "ansmodel" }, { "ansmodel", OraculdServer::model("answer.gguf") } });
    QCOMPARE(client.nextReply(60000), QByteArray(R"({"loaded":"ansmodel","type":"READYACK"})"));
#endif
}

void tst_ModelCheck::refusesACheckThatNeverEnds()
{
#ifndef Q_OS_LINUX
    QSKIP("stops the check with a signal");
#else
    const int limitMs = 3000;
    qputenv("ORACULD_MODEL_CHECK_TIMEOUT_MS", QByteArray::number(limitMs));
    OraculdServer other;
    const bool listening = other.start({ "-ma", OraculdServer::model("answer.gguf"), "-mr",
        OraculdServer::model("retrieval.gguf") });
    qunsetenv("ORACULD_MODEL_CHECK_TIMEOUT_MS");
    QVERIFY2(listening, qPrintable(other.errorOutput()));
    OraculdClient client;
    QVERIFY(client.connectTo(other.socketPath()));

    QElapsedTimer clock;
    clock.start();
    const qint64 check = sendWithStoppedCheck(client, other.processId(),
        QJsonObject { { "type", "ansmodel" }, { "ansmodel", OraculdServer::model("answer-utf8.gguf") } });
    QVERIFY(check > 0);
    const qint64 caughtMs = clock.elapsed();
    // Waited for with the event loop running: it reads what the server logs, whose pipe would
    // otherwise fill and block the server.
    QByteArray reply;
    const auto replied = [&] {
        if (reply.isEmpty())
            reply = client.nextReply(20);
        return !reply.isEmpty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(replied(), 60000);
    const QJsonObject ready = readyAck(reply);
    const qint64 repliedMs = clock.elapsed();
    QCOMPARE(ready.value("refused").toString(), QStringLiteral("ansmodel"));
    QVERIFY2(ready.value("reason").toString().contains("took more than 3 s"),
        qPrintable(ready.value("reason").toString()));
    // Not before the limit (counted from the request whose check was stopped), and not long
    // after it on a loaded machine.
    QVERIFY2(repliedMs >= limitMs - 100, qPrintable(QString::number(repliedMs)));
    QVERIFY2(repliedMs - caughtMs <= limitMs + 10000, qPrintable(QString::number(repliedMs)));
    QTRY_VERIFY(processState(check) == 0 || processState(check) == 'Z');

    // The worker goes on, with the model it had.
    client.send(R"({"type":"query","query":"hello"})");
    QCOMPARE(client.collectAnswer().text(), OraculdServer::modelAnswer("answer.txt"));
    QCOMPARE(leftovers({ server->processId(), other.processId() }), QList<qint64>());
#endif
}

void tst_ModelCheck::endsItsCheckWhenItEnds_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("terminated") << int(SIGTERM);
    QTest::newRow("killed") << int(SIGKILL);
}

void tst_ModelCheck::endsItsCheckWhenItEnds()
{
#ifndef Q_OS_LINUX
    QSKIP("stops the check with a signal");
#else
    QFETCH(int, signalNumber);
    OraculdServer other;
    QVERIFY2(other.start({ "-ma", OraculdServer::model("answer.gguf"), "-mr",
                 OraculdServer::model("retrieval.gguf") }),
        qPrintable(other.errorOutput()));
    OraculdClient client;
    QVERIFY(client.connectTo(other.socketPath()));
    // A check that hangs: stopped, it would never end by itself.
    const qint64 check = sendWithStoppedCheck(client, other.processId(),
        QJsonObject { { "type", "retmodel" }, { "retmodel", OraculdServer::model("retrieval.gguf") } });
    QVERIFY(check > 0);
    QCOMPARE(::kill(pid_t(other.processId()), signalNumber), 0);
    QVERIFY(other.waitForExit());
    const auto gone = [check] { return processState(check) == 0 || processState(check) == 'Z'; };
    QTRY_VERIFY_WITH_TIMEOUT(gone(), 10000);
    if (!gone())
        ::kill(pid_t(check), SIGKILL);
    QCOMPARE(leftovers({ server->processId() }), QList<qint64>());
#endif
}

QTEST_GUILESS_MAIN(tst_ModelCheck)
#include "tst_modelcheck.moc"
