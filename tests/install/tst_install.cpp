#include "oraculdclient.h"
#include "oraculdserver.h"
#include "x11windows.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString BuildDir = QStringLiteral(QUORVANE_BUILD_DIR);
const QString BinDir = QStringLiteral(QUORVANE_INSTALL_BINDIR);
const QString LibDir = QStringLiteral(QUORVANE_INSTALL_LIBDIR);

// The environment a user's session would give the program: nothing that names the build tree,
// and folders of its own for settings, temporary files and the server's socket.
QProcessEnvironment userEnvironment(const QString &root)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "QUORVANE_BIN_DIR", "QUORVANE_MODELS_DIR", "LD_LIBRARY_PATH" })
        environment.remove(QLatin1String(name));
    QStringList path = environment.value(QStringLiteral("PATH")).split(QLatin1Char(':'));
    path.removeIf([](const QString &entry) { return entry.startsWith(BuildDir); });
    environment.insert(QStringLiteral("PATH"), path.join(QLatin1Char(':')));
    for (const char *sub : { "tmp", "home", "config", "cache", "data", "runtime" })
        QDir(root).mkpath(QLatin1String(sub));
    QFile::setPermissions(root + QStringLiteral("/runtime"),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    environment.insert(QStringLiteral("TMPDIR"), root + QStringLiteral("/tmp"));
    environment.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/runtime"));
    return environment;
}

QString run(const QString &program, const QStringList &arguments, int *exitCode = nullptr)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(120000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromLocal8Bit(process.readAll());
}

// The RUNPATH (or RPATH) entries of an ELF file.
QStringList runPath(const QString &file)
{
    static const QRegularExpression entry(QStringLiteral(R"(\((?:RUNPATH|RPATH)\).*\[(.*)\])"));
    QStringList entries;
    auto match = entry.globalMatch(run(QStringLiteral("readelf"), { QStringLiteral("-d"), file }));
    while (match.hasNext())
        entries += match.next().captured(1).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    return entries;
}

// Every library the loader would load for the file, by name, with the file it finds.
QMap<QString, QString> loadedLibraries(const QString &file)
{
    static const QRegularExpression line(
        QStringLiteral(R"(^\s*(\S+) => (.*?)(?: \(0x[0-9a-f]+\))?$)"),
        QRegularExpression::MultilineOption);
    QMap<QString, QString> libraries;
    auto match = line.globalMatch(run(QStringLiteral("ldd"), { file }));
    while (match.hasNext()) {
        const auto found = match.next();
        libraries.insert(found.captured(1), found.captured(2));
    }
    return libraries;
}

// The processes whose parent is pid.
QList<qint64> childProcesses(qint64 pid)
{
    QList<qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isNumber = false;
        const qint64 child = entry.toLongLong(&isNumber);
        if (!isNumber)
            continue;
        QFile status(QStringLiteral("/proc/%1/status").arg(child));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &field : status.readAll().split('\n')) {
            if (field.startsWith("PPid:") && field.mid(5).trimmed().toLongLong() == pid)
                children.append(child);
        }
    }
    return children;
}

// The files of the build tree that the process has mapped: libraries, plugins, models.
QStringList buildFilesMapped(qint64 pid)
{
    QStringList found;
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return { QStringLiteral("(no maps of process %1)").arg(pid) };
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const qsizetype path = line.indexOf('/');
        if (path >= 0 && line.mid(path).startsWith(QFile::encodeName(BuildDir + '/')))
            found.append(QString::fromLocal8Bit(line.mid(path)));
    }
    found.removeDuplicates();
    return found;
}

bool isRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // The state follows the parenthesised name; a zombie has ended already.
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) != "Z";
}

// A window that has drawn its views holds many colours; a blank one holds one.
bool isPainted(const QImage &picture)
{
    if (picture.isNull())
        return false;
    QSet<QRgb> colours;
    for (int y = 0; y < picture.height(); y += 4) {
        for (int x = 0; x < picture.width(); x += 4)
            colours.insert(picture.pixel(x, y));
    }
    return colours.size() >= 8;
}

} // namespace

class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installsTheProgramsAndTheirLibraries();
    void runPathsStayInThePrefix_data();
    void runPathsStayInThePrefix();
    void installedProgramShowsItsWindow();
    void installedServerAnswersReady();

private:
    QString installed(const QString &relative) const;

    QTemporaryDir prefixRoot;
    QString prefix;
};

QString tst_Install::installed(const QString &relative) const
{
    return QDir(prefix).filePath(relative);
}

void tst_Install::initTestCase()
{
    QVERIFY(prefixRoot.isValid());
    prefix = QFileInfo(prefixRoot.path()).canonicalFilePath() + QStringLiteral("/prefix");
    int exitCode = 0;
    const QString log = run(QStringLiteral(QUORVANE_CMAKE),
        { QStringLiteral("--install"), BuildDir, QStringLiteral("--prefix"), prefix }, &exitCode);
    QVERIFY2(exitCode == 0, qPrintable(log));
}

// The programs and the libraries they load, and nothing the tests or the build use.
void tst_Install::installsTheProgramsAndTheirLibraries()
{
    QStringList files;
    QDirIterator it(prefix, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(prefix).relativeFilePath(it.next()));
    files.sort();
    QStringList expected { BinDir + QStringLiteral("/Quorvane"),
        BinDir + QStringLiteral("/oraculd"), BinDir + QStringLiteral("/scrivex/scrivex"),
        LibDir + QStringLiteral("/libfolioscope.so"), LibDir + QStringLiteral("/libtessellum.so") };
    expected.sort();
    QCOMPARE(files, expected);
}

void tst_Install::runPathsStayInThePrefix_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("ownLibraries");

    const QStringList both { QStringLiteral("libtessellum.so"),
        QStringLiteral("libfolioscope.so") };
    QTest::newRow("Quorvane") << BinDir + QStringLiteral("/Quorvane") << both;
    QTest::newRow("oraculd") << BinDir + QStringLiteral("/oraculd") << QStringList();
    QTest::newRow("scrivex") << BinDir + QStringLiteral("/scrivex/scrivex") << QStringList();
    QTest::newRow("folioscope") << LibDir + QStringLiteral("/libfolioscope.so")
                                << QStringList { QStringLiteral("libtessellum.so") };
    QTest::newRow("tessellum") << LibDir + QStringLiteral("/libtessellum.so") << QStringList();
}

void tst_Install::runPathsStayInThePrefix()
{
    QFETCH(QString, file);
    QFETCH(QStringList, ownLibraries);
    const QString path = installed(file);
    QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));

    const QStringList entries = runPath(path);
    QVERIFY(!entries.isEmpty());
    for (const QString &entry : entries) {
        // Relative to the installed file, so the prefix can move.
        QVERIFY2(entry.startsWith(QLatin1String("$ORIGIN")), qPrintable(entry));
        const QString folder
            = QDir::cleanPath(QFileInfo(path).absolutePath() + entry.mid(int(strlen("$ORIGIN"))));
        QVERIFY2(
            folder == prefix || folder.startsWith(prefix + QLatin1Char('/')), qPrintable(folder));
    }

    const QMap<QString, QString> libraries = loadedLibraries(path);
    QVERIFY(!libraries.isEmpty());
    for (auto it = libraries.cbegin(); it != libraries.cend(); ++it) {
        QVERIFY2(it.value() != QLatin1String("not found"), qPrintable(it.key() + " not found"));
        QVERIFY2(!it.value().startsWith(BuildDir), qPrintable(it.key() + " => " + it.value()));
    }
    for (const QString &own : ownLibraries)
        QCOMPARE(QDir::cleanPath(libraries.value(own)), installed(LibDir + QLatin1Char('/') + own));
}

void tst_Install::installedProgramShowsItsWindow()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QProcessEnvironment environment = userEnvironment(home.path());
    // Nowhere to connect online: the window must show without the service.
    environment.insert(QStringLiteral("QUORVANE_SERVICE_URL"), "ws://127.0.0.1:9/connection");

    // Local mode on copies of the generated models, so the program starts the server installed
    // beside it and nothing it maps comes from the build tree.
    const QString models = home.filePath(QStringLiteral("models"));
    QDir().mkpath(models);
    for (const char *name : { "answer.gguf", "retrieval.gguf" }) {
        QVERIFY(QFile::copy(
            OraculdServer::model(QLatin1String(name)), QDir(models).filePath(QLatin1String(name))));
    }
    {
        QSettings settings(
            home.filePath(QStringLiteral("config/Halvenmor/Quorvane.conf")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("localAI"), true);
        settings.setValue(QStringLiteral("oraculdDir"), models);
        settings.setValue(QStringLiteral("ansLLM"), QStringLiteral("answer"));
        settings.setValue(QStringLiteral("retLLM"), QStringLiteral("retrieval"));
    }

    X11Windows display;
    QVERIFY2(display.isConnected(), "no X display");

    QProcess program;
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.setWorkingDirectory(home.path());
    program.start(installed(BinDir + QStringLiteral("/Quorvane")));
    QVERIFY2(program.waitForStarted(10000), qPrintable(program.errorString()));
    const qint64 pid = program.processId();
    const auto stop = qScopeGuard([&program] {
        program.terminate();
        if (!program.waitForFinished(10000)) {
            program.kill();
            program.waitForFinished(10000);
        }
    });

    QList<xcb_window_t> windows;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     windows = display.shownWindows(pid);
                     return !windows.isEmpty() || program.state() == QProcess::NotRunning;
                 },
                 60000),
        "no window shown");
    QVERIFY2(!windows.isEmpty(), "the installed program ended without a window");

    QImage picture;
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     picture = display.grab(windows.first());
                     return isPainted(picture);
                 },
                 30000),
        "the window stays blank");
    const QString output = qEnvironmentVariable("QUORVANE_TEST_OUTPUT");
    if (!output.isEmpty()) {
        QDir().mkpath(output);
        picture.save(QDir(output).filePath(QStringLiteral("installed-window.png")));
    }

    // The server it starts is the one installed beside it, not the build's.
    const QString server
        = QFileInfo(installed(BinDir + QStringLiteral("/oraculd"))).canonicalFilePath();
    qint64 serverPid = -1;
    QVERIFY2(
        QTest::qWaitFor(
            [&] {
                for (qint64 child : childProcesses(pid)) {
                    if (QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(child)) == server)
                        serverPid = child;
                }
                return serverPid > 0;
            },
            30000),
        "the installed program did not start the installed oraculd");
    QCOMPARE(buildFilesMapped(pid), QStringList());
    // Once the server listens it has loaded its libraries and both models.
    QTRY_VERIFY_WITH_TIMEOUT(
        QFileInfo::exists(home.filePath(QStringLiteral("tmp/MySocket"))), 30000);
    QCOMPARE(buildFilesMapped(serverPid), QStringList());

    program.terminate();
    QVERIFY(program.waitForFinished(20000));
    // The server does not outlive the program that started it.
    QTRY_VERIFY_WITH_TIMEOUT(!isRunning(serverPid), 20000);
}

void tst_Install::installedServerAnswersReady()
{
    qputenv("QUORVANE_BIN_DIR", QFile::encodeName(installed(BinDir)));
    OraculdServer server;
    QVERIFY2(
        server.start({ QStringLiteral("-ma"), OraculdServer::model(QStringLiteral("answer.gguf")),
            QStringLiteral("-mr"), OraculdServer::model(QStringLiteral("retrieval.gguf")) }),
        qPrintable(server.errorOutput()));
    OraculdClient client;
    QVERIFY2(client.connectTo(server.socketPath(), 30000), qPrintable(server.errorOutput()));
}

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
