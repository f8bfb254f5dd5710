#ifndef LOOPGAPMETER_H
#define LOOPGAPMETER_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// The longest time the event loop of this thread went without running a timer that asks to run
// every few milliseconds: how long the window was frozen.
class LoopGapMeter : public QObject
{
public:
    explicit LoopGapMeter(QObject *parent = nullptr)
        : QObject(parent)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_longest = qMax(m_longest, m_sinceLast.restart());
            ++m_ticks;
        });
        m_sinceLast.start();
        m_timer.start();
    }

    qint64 longestGapMs() const { return qMax(m_longest, m_sinceLast.elapsed()); }
    int ticks() const { return m_ticks; }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceLast;
    qint64 m_longest = 0;
    int m_ticks = 0;
};

#endif // LOOPGAPMETER_H
