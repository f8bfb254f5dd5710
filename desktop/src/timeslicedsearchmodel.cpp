#include "timeslicedsearchmodel.h"

#include "hitcontext.h"

#include <QBasicTimer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QPdfDocument>
#include <QTimerEvent>

// The slices of every searching document: one per turn of the event loop, a page of each
// document in turn until the budget is spent.
class SearchSlices : public QObject
{
public:
    // The one of the application, made on first use; null when none is made or it has gone.
    static QPointer<SearchSlices> &current()
    {
        static QPointer<SearchSlices> slices;
        return slices;
    }

    static SearchSlices *instance()
    {
        if (!current())
            current() = new SearchSlices(QCoreApplication::instance());
        return current();
    }

    // A new search goes to the end, and the turn starts again at the front: documents given a
    // new text one after another are searched in that order.
    void add(TimeSlicedSearchModel *model)
    {
        m_models.removeAll(model);
        m_models.append(model);
        m_next = 0;
        // A zero interval: the next slice runs as soon as the pending events are handled.
        if (!m_timer.isActive())
            m_timer.start(0, this);
    }

    void remove(TimeSlicedSearchModel *model)
    {
        m_models.removeAll(model);
        if (m_models.isEmpty())
            m_timer.stop();
    }

    bool contains(const TimeSlicedSearchModel *model) const
    {
        return m_models.contains(const_cast<TimeSlicedSearchModel *>(model));
    }

    QList<TimeSlicedSearchModel *> models() const { return m_models; }

protected:
    void timerEvent(QTimerEvent *event) override
    {
        if (event->timerId() != m_timer.timerId()) {
            QObject::timerEvent(event);
            return;
        }
        QElapsedTimer slice;
        slice.start();
        // At least one page per slice, however slow that page is.
        do {
            if (m_models.isEmpty())
                break;
            m_next %= m_models.size();
            TimeSlicedSearchModel *model = m_models.at(m_next);
            if (model->searchNextPage())
                ++m_next;
            else
                m_models.removeAll(model);
        } while (!slice.hasExpired(TimeSlicedSearchModel::SliceBudgetMs));
        if (m_models.isEmpty())
            m_timer.stop();
    }

private:
    using QObject::QObject;

    QBasicTimer m_timer;
    QList<TimeSlicedSearchModel *> m_models;
    int m_next = 0;
};

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

TimeSlicedSearchModel::~TimeSlicedSearchModel()
{
    stopSearching();
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
        QPdfSearchModel::data(index, after).toString(), searchString(),
        QPdfSearchModel::data(index, int(Role::IndexOnPage)).toInt());
    return role == before ? context.before : context.after;
}

bool TimeSlicedSearchModel::isSearching() const
{
    return SearchSlices::current() && SearchSlices::current()->contains(this);
}

void TimeSlicedSearchModel::stopSearching()
{
    if (SearchSlices::current())
        SearchSlices::current()->remove(this);
}

QList<TimeSlicedSearchModel *> TimeSlicedSearchModel::searchingModels()
{
    return SearchSlices::current() ? SearchSlices::current()->models()
                                   : QList<TimeSlicedSearchModel *>();
}

void TimeSlicedSearchModel::timerEvent(QTimerEvent *event)
{
    // The stock page-per-tick timer, started anew by every search: the slices do its work, so it
    // goes at its first tick (it would never stop alone).
    killTimer(event->timerId());
}

void TimeSlicedSearchModel::restart()
{
    m_nextPage = 0;
    if (searchString().isEmpty() || !document() || document()->pageCount() == 0)
        stopSearching();
    else
        SearchSlices::instance()->add(this);
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

bool TimeSlicedSearchModel::searchNextPage()
{
    const int pages = document() ? document()->pageCount() : 0;
    if (m_nextPage >= pages)
        return false;
    updatePage(m_nextPage++);
    // The hits of that page may have led to a new search, which starts from the first page.
    return m_nextPage < (document() ? document()->pageCount() : 0);
}
