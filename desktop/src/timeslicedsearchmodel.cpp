#include "timeslicedsearchmodel.h"

#include "hitcontext.h"

#include <QElapsedTimer>
#include <QPdfDocument>
#include <QTimerEvent>

TimeSlicedSearchModel::TimeSlicedSearchModel(QObject *parent)
    : QPdfSearchModel(parent)
{
    // A new search text resets the model; a new document or a reloaded one starts over as well.
    connect(this, &QAbstractItemModel::modelReset, this, &TimeSlicedSearchModel::restart);
    connect(this, &QPdfSearchModel::documentChanged, this, [this]() {
        followDocument();
        restart();
    });
}

QVariant TimeSlicedSearchModel::data(const QModelIndex &index, int role) const
{
    const int before = int(Role::ContextBefore);
    const int after = int(Role::ContextAfter);
    if (role != before && role != after)
        return QPdfSearchModel::data(index, role);
    if (!index.isValid())
        return {};
    const HitContext context = mendHitContext(QPdfSearchModel::data(index, before).toString(),
        QPdfSearchModel::data(index, after).toString(), searchString());
    return role == before ? context.before : context.after;
}

bool TimeSlicedSearchModel::isSearching() const
{
    return m_sliceTimer.isActive();
}

void TimeSlicedSearchModel::stopSearching()
{
    m_sliceTimer.stop();
}

void TimeSlicedSearchModel::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_sliceTimer.timerId()) {
        searchSlice();
        return;
    }
    // Any other timer of this object is the stock page-per-tick timer, started anew by every
    // search: the slices do its work, so it goes at its first tick (it would never stop alone).
    killTimer(event->timerId());
}

void TimeSlicedSearchModel::restart()
{
    m_nextPage = 0;
    if (searchString().isEmpty() || !document() || document()->pageCount() == 0) {
        m_sliceTimer.stop();
        return;
    }
    // A zero interval: the next slice runs as soon as the pending events are handled.
    m_sliceTimer.start(0, this);
}

void TimeSlicedSearchModel::followDocument()
{
    disconnect(m_pageCountConnection);
    m_followedDocument = document();
    if (m_followedDocument) {
        // The stock model drops its results when the page count changes (a load or a close).
        m_pageCountConnection = connect(m_followedDocument, &QPdfDocument::pageCountChanged, this,
            &TimeSlicedSearchModel::restart);
    }
}

void TimeSlicedSearchModel::searchSlice()
{
    const int pages = document() ? document()->pageCount() : 0;
    QElapsedTimer slice;
    slice.start();
    // At least one page per slice, however slow that page is.
    do {
        if (m_nextPage >= pages) {
            m_sliceTimer.stop();
            return;
        }
        updatePage(m_nextPage++);
    } while (m_sliceTimer.isActive() && !slice.hasExpired(SliceBudgetMs));
    if (m_nextPage >= pages)
        m_sliceTimer.stop();
}
