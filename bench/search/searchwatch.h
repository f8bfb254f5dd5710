#ifndef SEARCHWATCH_H
#define SEARCHWATCH_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class QAbstractItemModel;
class QQuickWindow;

// What the search benches print, in milliseconds from the moment the text is set: the first hit in
// the tree, the last hit in the tree, the first frame after it, the longest time the event loop
// went without a turn while the search ran and how many such gaps were over 50 ms; then how long
// after the last hit the GUI thread went idle for good (-1: still busy when the watch ended).
struct SearchFigures
{
    qint64 firstHit = -1;
    qint64 lastHit = -1;
    qint64 shown = -1;
    qint64 longestGap = 0;
    int gapsOver50 = 0;
    qint64 idleAfterLast = -1;
};

// Watches one search from start() on: hits as the tree's rows under a file item, frames of the
// window, turns of the event loop, and, once searching() turns false and the last hit is on
// screen, the GUI thread's time for BENCH_SEARCH_WATCH_MS (4 s by default). Emits finished then.
class SearchWatch : public QObject
{
    Q_OBJECT

public:
    SearchWatch(QAbstractItemModel *tree, QQuickWindow *window, bool shownView,
        std::function<bool()> searching, QObject *parent = nullptr);

    // Call right before the search text is set.
    void start();
    SearchFigures figures() const { return m_figures; }

signals:
    void finished();

private:
    void pollSearch();
    void sample();

    QQuickWindow *m_window;
    bool m_shownView;
    std::function<bool()> m_searching;
    int m_watchMs;
    QElapsedTimer m_clock;
    SearchFigures m_figures;
    qint64 m_previousTurn = 0;
    QTimer m_heartbeat;
    QTimer m_poll;
    QTimer m_watch;
    qint64 m_watchStart = 0;
    qint64 m_sliceStart = 0;
    qint64 m_sliceCpu = 0;
    qint64 m_lastBusyEnd = -1;
};

// The line both benches end with: the figures, then the hits and pages of all documents.
void printSearchFigures(const SearchFigures &figures, int hits, int pages);
// Every hit under every file item of the tree.
int hitsIn(const QAbstractItemModel *tree);
// QtPdf warns about every hit whose context differs from the word in letter case, and each batch
// is logged; neither is what is measured, and writing them out would be.
void keepOnlyCriticalMessages();

#endif // SEARCHWATCH_H
