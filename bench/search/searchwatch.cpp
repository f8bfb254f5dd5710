#include "searchwatch.h"

#include <QAbstractItemModel>
#include <QQuickWindow>

#include <cstdio>
#include <ctime>

namespace {

// The watch after the search, in slices of SampleMs; a slice in which the thread ran for more
// than BusyShare of it counts as busy.
constexpr int DefaultWatchMs = 4000;
constexpr int SampleMs = 100;
constexpr double BusyShare = 0.1;

qint64 threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

SearchWatch::SearchWatch(QAbstractItemModel *tree, QQuickWindow *window, bool shownView,
    std::function<bool()> searching, QObject *parent)
    : QObject(parent)
    , m_window(window)
    , m_shownView(shownView)
    , m_searching(std::move(searching))
    , m_watchMs(qEnvironmentVariableIsSet("BENCH_SEARCH_WATCH_MS")
              ? qEnvironmentVariableIntValue("BENCH_SEARCH_WATCH_MS")
              : DefaultWatchMs)
{
    connect(tree, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &parent) {
        if (!parent.isValid() || !m_clock.isValid())
            return;
        m_figures.lastHit = m_clock.elapsed();
        if (m_figures.firstHit < 0)
            m_figures.firstHit = m_figures.lastHit;
        m_figures.shown = -1;
    });
    connect(window, &QQuickWindow::frameSwapped, this, [this] {
        if (m_figures.shown < 0 && m_figures.lastHit >= 0)
            m_figures.shown = m_clock.elapsed();
    });
    m_heartbeat.setInterval(0);
    connect(&m_heartbeat, &QTimer::timeout, this, [this] {
        const qint64 now = m_clock.elapsed();
        const qint64 gap = now - m_previousTurn;
        m_figures.longestGap = qMax(m_figures.longestGap, gap);
        m_figures.gapsOver50 += gap > 50;
        m_previousTurn = now;
    });
    m_poll.setInterval(20);
    connect(&m_poll, &QTimer::timeout, this, &SearchWatch::pollSearch);
    m_watch.setInterval(SampleMs);
    connect(&m_watch, &QTimer::timeout, this, &SearchWatch::sample);
}

void SearchWatch::start()
{
    m_clock.start();
    m_heartbeat.start();
    // From the next turn on: the search starts when the text is set, right after this.
    QTimer::singleShot(0, &m_poll, qOverload<>(&QTimer::start));
}

void SearchWatch::pollSearch()
{
    if (m_searching())
        return;
    if (m_shownView && m_figures.shown < 0) {
        // A last hit below the rows in sight changes no pixel and brings no frame alone.
        m_window->update();
        return;
    }
    m_poll.stop();
    // The heartbeat turns the loop without end; the watch needs it quiet.
    m_heartbeat.stop();
    m_watchStart = m_clock.elapsed();
    m_sliceStart = m_watchStart;
    m_sliceCpu = threadCpuMs();
    // What ran between the last hit and now counts as busy.
    m_lastBusyEnd = m_watchStart;
    m_watch.start();
}

void SearchWatch::sample()
{
    const qint64 now = m_clock.elapsed();
    const qint64 cpu = threadCpuMs();
    if (double(cpu - m_sliceCpu) > BusyShare * double(now - m_sliceStart))
        m_lastBusyEnd = now;
    m_sliceStart = now;
    m_sliceCpu = cpu;
    if (now - m_watchStart < m_watchMs)
        return;
    m_watch.stop();
    // Busy in the last slice: it had not calmed down by the end of the watch.
    if (m_lastBusyEnd < now) {
        m_figures.idleAfterLast = qMax<qint64>(
            0, (m_lastBusyEnd < 0 ? m_watchStart : m_lastBusyEnd) - m_figures.lastHit);
    }
    const QString picture = qEnvironmentVariable("BENCH_SEARCH_SCREENSHOT");
    if (!picture.isEmpty())
        m_window->grabWindow().save(picture);
    emit finished();
}

void printSearchFigures(const SearchFigures &figures, int hits, int pages)
{
    std::printf("%lld %lld %lld %lld %d %lld %d %d\n", figures.firstHit, figures.lastHit,
        figures.shown, figures.longestGap, figures.gapsOver50, figures.idleAfterLast, hits, pages);
}

int hitsIn(const QAbstractItemModel *tree)
{
    int hits = 0;
    for (int file = 0; file < tree->rowCount(); ++file)
        hits += tree->rowCount(tree->index(file, 0));
    return hits;
}

void keepOnlyCriticalMessages()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
}
