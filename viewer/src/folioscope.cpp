#include "folioscope/folioscope.h"

#include "qcustompdfview.h"

#include <QCoreApplication>
#include <QPdfDocument>
#include <QPdfSearchModel>
#include <QResizeEvent>

Folioscope::Folioscope(QWidget *parent)
    : QWidget(parent)
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("Folioscope"));
    resize(398, 308);
    setWindowTitle(QCoreApplication::translate("Folioscope", "Form", nullptr));
    QMetaObject::connectSlotsByName(this);

    view = new QCustomPdfView(this);
    view->setPageMode(QPdfView::PageMode::MultiPage);
    connect(view, &QPdfView::documentChanged, this, &Folioscope::onViewDocumentChange);
}

Folioscope::~Folioscope() = default;

void Folioscope::open(QPdfDocument *document)
{
    view->open(document);
}

void Folioscope::setHighlight(const Chunk &chunk)
{
    view->setHighlight(chunk);
}

void Folioscope::clearHighlights()
{
    view->clearHighlights();
}

void Folioscope::jumpToHighlights()
{
    view->jumpToHighlights();
}

void Folioscope::setSearchHighlights(QPdfSearchModel *model, int index)
{
    view->setSearchResults(model);
    // A negative index is outside the model; reading it from the model is not safe.
    if (!model || index < 0)
        return;
    const QPdfLink hit = model->resultAtIndex(index);
    const QPdfDocument *shown = view->document();
    if (!shown || hit.page() < 0 || hit.page() >= shown->pageCount() || hit.rectangles().isEmpty())
        return;
    view->scrollToPageRect(hit.page(), view->textRectOnPage(hit.page(), hit.rectangles().first()));
}

void Folioscope::closeDocument(const QPdfDocument *document)
{
    if (!document || document != view->document())
        return;
    clearHighlights();
    close();
}

void Folioscope::closeOpenDocument()
{
    clearHighlights();
    close();
}

void Folioscope::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    view->setGeometry(0, 0, width(), height());
}

void Folioscope::onViewDocumentChange(QPdfDocument *document)
{
    Q_UNUSED(document);
    setCursor(Qt::ArrowCursor);
    resize(view->preferredSize());
}
