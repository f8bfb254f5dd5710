// Fetches one large file from the model repository stand-in over loopback HTTPS, in turns with
// curl asking for the same 8 MiB ranges on one connection, and prints the throughputs, their
// ratio, the processor times and the peak memory the downloader needed above idle.
#include "chat.h"
#include "filedownloader.h"
#include "modelrepositoryprocess.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <QMap>

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr qint64 WindowSize = 8388608;

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts a new peak: VmHWM falls back to the present resident size.
bool resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// Processor time, user and system, in milliseconds: of this process, or of its ended children.
qint64 cpuMs(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// Processor time of each thread of this process by name, in milliseconds.
QMap<QString, qint64> threadCpuMs()
{
    QMap<QString, qint64> result;
    const long ticks = sysconf(_SC_CLK_TCK);
    for (const QString &task :
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype open = line.indexOf('(');
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        // utime and stime are the 14th and 15th fields, the 12th and 13th after the name.
        const qint64 ms
            = (fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000 / ticks;
        result[QString::fromUtf8(line.mid(open + 1, close - open - 1))] += ms;
    }
    return result;
}

double mibPerSecond(qint64 bytes, qint64 ms)
{
    return ms > 0 ? bytes / 1048576.0 / (ms / 1000.0) : 0;
}

} // namespace

int main(int argc, char **argv)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    QTemporaryDir work;
    for (const char *sub : { "home", "config", "cache" })
        QDir(work.path()).mkpath(QString::fromLatin1(sub));
    qputenv("HOME", QFile::encodeName(work.filePath("home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.filePath("config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(work.filePath("cache")));
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);

    const qint64 size = argc > 1 ? QByteArray(argv[1]).toLongLong() : qint64(1) << 30;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 2;
    const QString served = work.filePath("served");
    const QString models = work.filePath("models");
    QDir().mkpath(served);
    QDir().mkpath(models);
    {
        // Random content, so that nothing on the way can take a short cut.
        QFile file(served + "/big.gguf");
        QFile random(QStringLiteral("/dev/urandom"));
        if (!file.open(QIODevice::WriteOnly) || !random.open(QIODevice::ReadOnly))
            return 1;
        file.write("GGUF");
        for (qint64 left = size - 4; left > 0;) {
            const QByteArray block = random.read(qMin<qint64>(left, 1 << 22));
            file.write(block);
            left -= block.size();
        }
    }

    ModelRepositoryProcess repository(served);
    if (!repository.isListening()) {
        err << "FAILED: the model repository stand-in did not start" << Qt::endl;
        return 1;
    }
    ModelRepositoryProcess::trustTestAuthority();
    const QString url = repository.url("bench", "big.gguf");

    {
        QSettings settings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"));
        settings.setValue(QStringLiteral("localAI"), false);
        settings.setValue(QStringLiteral("oraculdDir"), models);
    }
    Chat chat;
    FileDownloader *downloader = chat.modelDownloader();
    ModelInfo model;
    model.name = QStringLiteral("big");
    model.displayName = model.name;
    model.url = url;
    model.fileName = QStringLiteral("big.gguf");
    model.expectedSize = size;
    model.type = QStringLiteral("other");
    downloader->setCatalogue({ model });

    qint64 bestCurl = -1;
    qint64 bestOurs = -1;
    qint64 peakAboveIdleKiB = 0;
    qint64 bestCurlCpu = -1;
    qint64 bestOursCpu = -1;
    for (int round = 0; round < rounds; ++round) {
        // curl: the same windows, one connection, written to a file as it arrives.
        QStringList arguments;
        for (qint64 from = 0; from < size; from += WindowSize) {
            if (from > 0)
                arguments << QStringLiteral("--next");
            arguments << "-s"
                      << "--fail"
                      << "--cacert" << ModelRepositoryProcess::certificateAuthorityFile() << "-r"
                      << QStringLiteral("%1-%2").arg(from).arg(qMin(from + WindowSize, size) - 1)
                      << url;
        }
        const QString curlFile = work.filePath("curl.out");
        QProcess curl;
        curl.setStandardOutputFile(curlFile);
        QElapsedTimer timer;
        const qint64 childCpuBefore = cpuMs(RUSAGE_CHILDREN);
        timer.start();
        curl.start(QStringLiteral("curl"), arguments);
        while (curl.state() != QProcess::NotRunning)
            curl.waitForFinished(10);
        const qint64 curlMs = timer.elapsed();
        const qint64 curlCpuMs = cpuMs(RUSAGE_CHILDREN) - childCpuBefore;
        if (curl.exitCode() != 0 || QFileInfo(curlFile).size() != size) {
            err << "FAILED: curl exited with " << curl.exitCode() << " after "
                << QFileInfo(curlFile).size() << " bytes" << Qt::endl;
            return 1;
        }
        QFile::remove(curlFile);

        // Ours, with the program otherwise idle.
        downloader->deleteModel(model.name);
        app.processEvents();
        const qint64 idleKiB = statusKiB("VmRSS:");
        if (!resetPeak())
            err << "cannot reset the peak memory; it includes the start" << Qt::endl;
        QEventLoop loop;
        bool completed = false;
        QObject::connect(downloader, &FileDownloader::downloadCompleted, &loop, [&] {
            completed = true;
            loop.quit();
        });
        QObject::connect(downloader, &FileDownloader::downloadingChanged, &loop, [&] {
            if (!downloader->isDownloading())
                loop.quit();
        });
        const QMap<QString, qint64> threadsBefore = threadCpuMs();
        const qint64 cpuBefore = cpuMs(RUSAGE_SELF);
        timer.restart();
        downloader->startDownload(model.name);
        loop.exec();
        const qint64 oursMs = timer.elapsed();
        const qint64 oursCpuMs = cpuMs(RUSAGE_SELF) - cpuBefore;
        const qint64 peakKiB = statusKiB("VmHWM:");
        const QMap<QString, qint64> threadsAfter = threadCpuMs();
        QStringList byThread;
        for (auto it = threadsAfter.cbegin(); it != threadsAfter.cend(); ++it) {
            const qint64 ms = it.value() - threadsBefore.value(it.key());
            if (ms > 0)
                byThread << QStringLiteral("%1 %2 ms").arg(it.key()).arg(ms);
        }
        if (!completed || QFileInfo(models + "/big.gguf").size() != size) {
            err << "FAILED: our download did not complete (state "
                << downloader->modelList()->models().at(0).state << ", "
                << QFileInfo(models + "/big.gguf").size() << " bytes)" << Qt::endl;
            return 1;
        }
        out << QStringLiteral("round %1: curl %2 ms (processor %3 ms), ours %4 ms (processor %5 "
                              "ms), peak %6 MiB above idle\n")
                   .arg(round + 1)
                   .arg(curlMs)
                   .arg(curlCpuMs)
                   .arg(oursMs)
                   .arg(oursCpuMs)
                   .arg((peakKiB - idleKiB) / 1024.0, 0, 'f', 1);
        out << QStringLiteral("  processor time by thread: %1\n")
                   .arg(byThread.join(QStringLiteral(", ")));
        bestCurlCpu = bestCurlCpu < 0 ? curlCpuMs : qMin(bestCurlCpu, curlCpuMs);
        bestOursCpu = bestOursCpu < 0 ? oursCpuMs : qMin(bestOursCpu, oursCpuMs);
        bestCurl = bestCurl < 0 ? curlMs : qMin(bestCurl, curlMs);
        bestOurs = bestOurs < 0 ? oursMs : qMin(bestOurs, oursMs);
        peakAboveIdleKiB = qMax(peakAboveIdleKiB, peakKiB - idleKiB);
        downloader->deleteModel(model.name);
    }

    const double curlRate = mibPerSecond(size, bestCurl);
    const double oursRate = mibPerSecond(size, bestOurs);
    const double ratio = oursRate / curlRate;
    const double peakMiB = peakAboveIdleKiB / 1024.0;
    out << QStringLiteral("file %1 MiB in %2 windows of 8 MiB, best of %3 rounds\n")
               .arg(size / 1048576.0, 0, 'f', 0)
               .arg((size + WindowSize - 1) / WindowSize)
               .arg(rounds);
    out << QStringLiteral("curl: %1 MiB/s\nours: %2 MiB/s\nratio ours/curl: %3 (goal >= 0.8)\n")
               .arg(curlRate, 0, 'f', 1)
               .arg(oursRate, 0, 'f', 1)
               .arg(ratio, 0, 'f', 3);
    // Processor time is less at the mercy of other work on the machine than elapsed time.
    const double cpuRatio = double(bestOursCpu) / bestCurlCpu;
    out << QStringLiteral("processor time: curl %1 ms, ours %2 ms, ratio ours/curl %3 (goal <= "
                          "1.5)\n")
               .arg(bestCurlCpu)
               .arg(bestOursCpu)
               .arg(cpuRatio, 0, 'f', 3);
    out << QStringLiteral("peak memory above idle: %1 MiB (goal < 64 MiB)\n")
               .arg(peakMiB, 0, 'f', 1);
    bool ok = true;
    if (ratio < 0.8) {
        out << "FAILED: throughput ratio below 0.8\n";
        ok = false;
    }
    if (cpuRatio > 1.5) {
        out << "FAILED: processor time above 1.5 times curl's\n";
        ok = false;
    }
    if (peakMiB >= 64) {
        out << "FAILED: peak memory 64 MiB or more above idle\n";
        ok = false;
    }
    return ok ? 0 : 1;
}
