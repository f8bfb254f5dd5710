#ifndef TIMESLICEDSEARCHMODEL_H
#define TIMESLICEDSEARCHMODEL_H

#include <QPdfSearchModel>
#include <QPointer>

// A QPdfSearchModel that searches its document in time slices: as many pages as fit into
// SliceBudgetMs, then back to the event loop, until every page is done. All documents that search
// share one slice per turn of the event loop, taking a page each in turn, so the window answers
// as quickly with many documents as with one. The stock model searches one page per 100 ms
// tick, which lists the last hit of a thousand-page manual minutes late.
// Hits still arrive page by page through rowsInserted, and the rows are the stock model's own.
// The text around each hit comes mended of the flaws QtPdf 6.4 leaves in it.
class TimeSlicedSearchModel : public QPdfSearchModel
{
    Q_OBJECT

public:
    // Long enough to search several ordinary pages per slice, short enough that input and paint
    // events between the slices keep the window responsive.
    static constexpr int SliceBudgetMs = 15;

    explicit TimeSlicedSearchModel(QObject *parent = nullptr);
    ~TimeSlicedSearchModel() override;

    // The text around a hit comes mended (see mendHitContext); every other role as QtPdf has it.
    QVariant data(const QModelIndex &index, int role) const override;

    // True while pages of the current search text are still to be searched.
    bool isSearching() const;
    // Abandons the rest of the current search; the hits found so far stay.
    void stopSearching();
    // Every model whose pages are still to be searched, in the order their searches started.
    static QList<TimeSlicedSearchModel *> searchingModels();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    friend class SearchSlices;

    void restart();
    void followDocument();
    // Searches the next page; false when no page is left.
    bool searchNextPage();

    QPointer<QPdfDocument> m_followedDocument;
    QMetaObject::Connection m_pageCountConnection;
    int m_nextPage = 0;
};

#endif // TIMESLICEDSEARCHMODEL_H
