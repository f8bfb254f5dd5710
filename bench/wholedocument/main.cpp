// One PDF from the drop to the listed row: the desktop core (Chat and its DocList, no window)
// with the real scrivex and the real oraculd, in local mode.
//   bench-wholedocument PDF MODEL-FOLDER ANSWER-NAME RETRIEVAL-NAME
// Prints "key value" lines: the time from the drop to the row, the longest stretch the event
// loop was held, and the peak resident memory of this program and of the server.
#include "chat.h"
#include "doclist.h"
#include "llmclient.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <ctime>

namespace {

// CPU time of the calling thread: a long gap in which the GUI thread did little work was the
// machine's doing (the thread waited for a CPU), not the program's.
qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 peakKb(const QString &statusFile)
{
    QFile status(statusFile);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

int fail(const QString &what)
{
    QTextStream(stderr) << "bench-wholedocument: " << what << Qt::endl;
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return fail(QStringLiteral("usage: PDF MODEL-FOLDER ANSWER-NAME RETRIEVAL-NAME"));
    const QString pdf = QFileInfo(args.at(1)).absoluteFilePath();
    {
        QSettings settings(QStringLiteral("Halvenmor"), QStringLiteral("Quorvane"));
        settings.clear();
        settings.setValue(QStringLiteral("localAI"), true);
        settings.setValue(QStringLiteral("oraculdDir"), QDir::toNativeSeparators(args.at(2)));
        settings.setValue(QStringLiteral("ansLLM"), args.at(3));
        settings.setValue(QStringLiteral("retLLM"), args.at(4));
    }

    Chat chat;
    DocList *docs = chat.docs();
    QProcess *server = chat.llmClient()->findChild<QProcess *>();
    QElapsedTimer clock;
    clock.start();
    while (!chat.llmClient()->isServerConnected()) {
        if (clock.elapsed() > 120000 || server->state() == QProcess::NotRunning)
            return fail(QStringLiteral("the server did not come up"));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    const qint64 serverPid = server->processId();

    // A precise 5 ms tick: the longest time between two ticks is how long the loop was held.
    QElapsedTimer sinceTick;
    QElapsedTimer run;
    qint64 longestGap = 0;
    qint64 longestGapEnd = 0;
    qint64 cpuAtTick = 0;
    qint64 longestWork = 0;
    int gapsOver20 = 0;
    int gapsOver50 = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 cpu = threadCpuNs();
        longestWork = qMax(longestWork, cpu - cpuAtTick);
        cpuAtTick = cpu;
        gapsOver20 += sinceTick.nsecsElapsed() > 20000000 ? 1 : 0;
        gapsOver50 += sinceTick.nsecsElapsed() > 50000000 ? 1 : 0;
        if (sinceTick.nsecsElapsed() > longestGap) {
            longestGap = sinceTick.nsecsElapsed();
            longestGapEnd = run.nsecsElapsed();
        }
        sinceTick.restart();
    });

    qint64 listedNs = -1;
    qint64 serverPeak = -1;
    qint64 dropNs = -1;
    QObject::connect(docs, &QAbstractItemModel::rowsInserted, [&] {
        listedNs = run.nsecsElapsed();
        serverPeak = peakKb(QStringLiteral("/proc/%1/status").arg(serverPid));
        QCoreApplication::quit();
    });
    QTimer::singleShot(0, [&] {
        sinceTick.start();
        cpuAtTick = threadCpuNs();
        tick.start();
        run.start();
        docs->addDataList({ QUrl::fromLocalFile(pdf).toString() });
        dropNs = run.nsecsElapsed();
    });
    QTimer::singleShot(3600 * 1000, [] { QCoreApplication::exit(2); });
    if (app.exec() != 0 || listedNs < 0)
        return fail(QStringLiteral("the document was not listed"));

    QTextStream out(stdout);
    out << "listed_ms " << listedNs / 1000000 << '\n'
        << "longest_gap_ms " << double(longestGap) / 1e6 << '\n'
        << "longest_gap_ended_at_ms " << longestGapEnd / 1000000 << '\n'
        << "drop_call_ms " << double(dropNs) / 1e6 << '\n'
        << "gaps_over_20_ms " << gapsOver20 << '\n'
        << "longest_work_ms " << double(longestWork) / 1e6 << '\n'
        << "gaps_over_50_ms " << gapsOver50 << '\n'
        << "program_peak_kb " << peakKb(QStringLiteral("/proc/self/status")) << '\n'
        << "server_peak_kb " << serverPeak << Qt::endl;
    return 0;
}
