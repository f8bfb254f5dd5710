#include "qcustompdfview.h"

#include "pdflinkmodel.h"

#include <QClipboard>
#include <QDebug>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfPageNavigator>
#include <QPdfSearchModel>
#include <QScreen>
#include <QScrollBar>
#include <QWheelEvent>

namespace {

const QColor overlayColor(0, 0, 255, 100);
// QPdfView's default document margins: the layout scales them with the zoom and hands the
// scaled ones to QPdfView, so both place the pages alike.
constexpr int marginLeft = 6;
constexpr int marginTop = 6;
constexpr int marginRight = 6;
constexpr int marginBottom = 6;
constexpr double zoomStep = 0.1;
// Below this the pages shrink to nothing and the scale turns zero or negative.
constexpr double minimumZoom = 0.1;

} // namespace

QCustomPdfView::QCustomPdfView(QWidget *parent)
    : QPdfView(parent)
    , screen(QGuiApplication::primaryScreen())
    , logicalDpi(screen ? screen->logicalDotsPerInch() : 1.0)
    , selecting(false)
    , linkModel(new PdfLinkModel(this))
{
    // However the zoom changes, the pages QPdfView draws and the overlays move together.
    connect(this, &QPdfView::zoomFactorChanged, this, &QCustomPdfView::updateDocumentLayout);
    connect(this, &QPdfView::zoomModeChanged, this, &QCustomPdfView::updateDocumentLayout);
    applyScaledMargins();
}

QCustomPdfView::~QCustomPdfView() = default;

void QCustomPdfView::open(QPdfDocument *document)
{
    // Selections and search hits are text of the document they were made on: shown over
    // another document they would mark, and copy, words that are not there.
    const bool another = document != this->document();
    if (another)
        dropDocumentText();
    disconnect(documentStatusConnection);
    disconnect(documentDestroyedConnection);
    setDocument(document);
    linkModel->setDocument(document);
    textFrames.setDocument(document);
    if (document) {
        // A document loaded again, or closed, shows other text or none; either way it gets
        // QPdfView's new layout, and ours too.
        documentStatusConnection = connect(
            document, &QPdfDocument::statusChanged, this, [this](QPdfDocument::Status status) {
                if (status != QPdfDocument::Status::Ready)
                    dropDocumentText();
                updateDocumentLayout();
            });
        documentDestroyedConnection
            = connect(document, &QObject::destroyed, this, &QCustomPdfView::dropDocumentText);
    }
    updateDocumentLayout();
    // QPdfView keeps the offset of the document before, which lands anywhere in this one.
    if (another) {
        horizontalScrollBar()->setValue(0);
        verticalScrollBar()->setValue(0);
    }
}

void QCustomPdfView::dropDocumentText()
{
    selections.clear();
    searchResults.clear();
    viewport()->update();
}

QMargins QCustomPdfView::scaledMargins() const
{
    const double scale = logicalDpi / 72.0 * zoomFactor();
    const auto scaled = [scale](int margin) { return qMax(0, int(margin * scale)); };
    // The right margin takes what truncating the sum of both sides leaves, so that the total
    // width, and with it the horizontal centring, comes from that one truncated sum.
    const int left = scaled(marginLeft);
    return QMargins(left, scaled(marginTop), qMax(0, scaled(marginLeft + marginRight) - left),
        scaled(marginBottom));
}

void QCustomPdfView::applyScaledMargins()
{
    const QMargins margins = scaledMargins();
    if (documentMargins() != margins)
        setDocumentMargins(margins);
}

void QCustomPdfView::updateDocumentLayout()
{
    // QPdfView places its pages with its own margins taken as pixels; given the scaled ones it
    // draws the pages where this layout puts them.
    applyScaledMargins();
    pageGeometries.clear();
    const QPdfDocument *doc = document();
    if (!doc || doc->status() != QPdfDocument::Status::Ready)
        return;

    const double r = logicalDpi / 72.0;
    const double z = zoomFactor();
    const QMargins margins = documentMargins();
    const int spacing = pageSpacing();
    const QSize viewportSize = viewport()->size();
    const int availableWidth = viewportSize.width() - margins.left() - margins.right();

    int widest = 0;
    for (int i = 0; i < doc->pageCount(); ++i) {
        const QSizeF points = doc->pagePointSize(i);
        QSize size;
        switch (zoomMode()) {
        case ZoomMode::Custom:
            size = (points * r * z).toSize();
            break;
        case ZoomMode::FitToWidth: {
            const QSize base = (points * r).toSize();
            size = base.width() > 0
                ? (QSizeF(base) * (double(availableWidth) / base.width())).toSize()
                : base;
            break;
        }
        case ZoomMode::FitInView:
            size = (points * r)
                       .toSize()
                       .scaled(QSize(availableWidth, viewportSize.height() - spacing),
                           Qt::KeepAspectRatio);
            break;
        }
        widest = qMax(widest, size.width());
        pageGeometries.insert(i, QRect(QPoint(0, 0), size));
    }

    const int totalWidth = widest + margins.left() + margins.right();
    int y = margins.top();
    for (int i = 0; i < doc->pageCount(); ++i) {
        QRect &geometry = pageGeometries[i];
        const int x = (qMax(totalWidth, viewportSize.width()) - geometry.width()) / 2;
        geometry.moveTopLeft(QPoint(x, y));
        y += geometry.height() + spacing;
    }
}

QRect QCustomPdfView::pageRect(int page) const
{
    return pageGeometries.value(page, QRect(0, 0, 0, 0));
}

int QCustomPdfView::pageAt(const QPoint &point) const
{
    if (pageGeometries.isEmpty())
        return -1;
    const int count = pageGeometries.size();
    for (int i = 0; i < count; ++i) {
        if (pageRect(i).top() > point.y())
            return i - 1;
    }
    return count - 1;
}

QPointF QCustomPdfView::viewToPagePoint(const QPoint &point, const QRect &pageRect) const
{
    const int dx = point.x() - pageRect.left();
    const int dy = point.y() - pageRect.top();
    if (!screen)
        return QPointF(dx, dy);
    const QSizeF scale = pixelsPerPoint(pageGeometries.key(pageRect, -1));
    return QPointF(dx / scale.width(), dy / scale.height());
}

QSizeF QCustomPdfView::pixelsPerPoint(int page) const
{
    const double s = zoomFactor() * logicalDpi / 72.0;
    // The fit modes leave the zoom factor as it was: there the scale is the page's drawn size.
    const QPdfDocument *doc = document();
    if (zoomMode() == ZoomMode::Custom || !doc || !pageGeometries.contains(page))
        return QSizeF(s, s);
    const QSizeF points = doc->pagePointSize(page);
    const QSize pixels = pageGeometries.value(page).size();
    if (points.isEmpty() || pixels.isEmpty())
        return QSizeF(s, s);
    return QSizeF(pixels.width() / points.width(), pixels.height() / points.height());
}

QRect QCustomPdfView::toDocumentPixels(int page, const QRectF &rect) const
{
    const QSizeF s = pixelsPerPoint(page);
    const QPoint corner = pageRect(page).topLeft();
    return QRectF(corner.x() + rect.x() * s.width(), corner.y() + rect.y() * s.height(),
        rect.width() * s.width(), rect.height() * s.height())
        .toRect();
}

QRectF QCustomPdfView::textRectOnPage(int page, const QRectF &rect) const
{
    return textFrames.textToPage(page).mapRect(rect);
}

QPdfSelection QCustomPdfView::selectOnPage(int page, const QPointF &start, const QPointF &end) const
{
    const QTransform toText = textFrames.textToPage(page).inverted();
    return document()->getSelection(page, toText.map(start), toText.map(end));
}

void QCustomPdfView::scrollToPageRect(int page, const QRectF &rect)
{
    const QPdfDocument *doc = document();
    if (!doc || page < 0 || page >= doc->pageCount())
        return;
    verticalScrollBar()->setValue(toDocumentPixels(page, rect).top());
}

void QCustomPdfView::jumpToHighlights()
{
    if (highlights.isEmpty())
        return;
    const Chunk *lowest = &highlights.first();
    for (const Chunk &chunk : highlights) {
        if (chunk.rect().y() > lowest->rect().y())
            lowest = &chunk;
    }
    scrollToPageRect(lowest->page(), lowest->rect());
}

int QCustomPdfView::documentWidth() const
{
    // The width the layout gives the pages and their margins at the current zoom.
    const QPdfDocument *doc = document();
    const double r = logicalDpi / 72.0;
    const double z = zoomFactor();
    int widest = 0;
    for (int i = 0; i < doc->pageCount(); ++i)
        widest = qMax(widest, (doc->pagePointSize(i) * r * z).toSize().width());
    const QMargins margins = scaledMargins();
    return widest + margins.left() + margins.right();
}

QSize QCustomPdfView::preferredSize() const
{
    const QPdfDocument *doc = document();
    if (!doc || doc->pageCount() < 1)
        return QSize(300, 400);
    const QSize firstPage = (doc->pagePointSize(0) * (logicalDpi / 72.0) * zoomFactor()).toSize();
    // Wide enough for the pages beside the vertical scroll bar, so that no horizontal one
    // shows and no page edge lies under the vertical one.
    const int width = documentWidth() + verticalScrollBar()->sizeHint().width() + 2 * frameWidth();
    return QSize(width, firstPage.height() + marginTop + marginBottom);
}

// The overlays change on screen at once: a new highlight may need no scroll, and nothing else
// would paint the view again.
void QCustomPdfView::setHighlight(const Chunk &chunk)
{
    highlights = { chunk };
    viewport()->update();
}

void QCustomPdfView::clearHighlights()
{
    highlights.clear();
    viewport()->update();
}

void QCustomPdfView::setSearchResults(QPdfSearchModel *model)
{
    searchResults.clear();
    viewport()->update();
    if (!model || !model->document())
        return;
    const int pages = model->document()->pageCount();
    for (int page = 0; page < pages; ++page)
        searchResults.append(model->resultsOnPage(page));
}

void QCustomPdfView::copySelectionToClipboard()
{
    if (selections.isEmpty())
        return;
    QStringList texts;
    for (const QPdfSelection &selection : std::as_const(selections)) {
        if (selection.isValid())
            texts.append(selection.text());
        else
            qDebug() << "Invalid selection. No text to copy.";
    }
    if (texts.isEmpty())
        return;
    const QString text = texts.join(QLatin1Char('\n'));
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
    qDebug() << "Text copied to clipboard:" << text;
}

void QCustomPdfView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    selectionStart = event->position().toPoint();
    selectionEnd = selectionStart;
    selecting = true;
}

void QCustomPdfView::mouseMoveEvent(QMouseEvent *event)
{
    if (!selecting)
        return;
    selectionEnd = event->position().toPoint();
    // Not normalised: the press point keeps the start role whichever way the drag goes.
    const QRect area
        = QRect(selectionStart, selectionEnd)
              .translated(horizontalScrollBar()->value(), verticalScrollBar()->value());
    const int startPage = pageAt(area.topLeft());
    const int endPage = pageAt(area.bottomRight());
    const QRect startRect = pageRect(startPage);
    const QRect endRect = pageRect(endPage);
    const QPointF start = viewToPagePoint(area.topLeft(), startRect);
    const QPointF end = viewToPagePoint(area.bottomRight(), endRect);

    selections.clear();
    if (document()) {
        if (startPage == endPage) {
            selections.insert(startPage, selectOnPage(startPage, start, end));
        } else {
            selections.insert(startPage,
                selectOnPage(
                    startPage, start, viewToPagePoint(startRect.bottomRight(), startRect)));
            selections.insert(
                endPage, selectOnPage(endPage, viewToPagePoint(endRect.topLeft(), endRect), end));
        }
    }
    viewport()->update();
}

void QCustomPdfView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (event->position().toPoint() == selectionStart && !selections.isEmpty()) {
        selections.clear();
        viewport()->update();
    }
    selecting = false;
}

void QCustomPdfView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        qDebug() << "Mouse double-clicked at position:" << event->position();
    QWidget::mouseDoubleClickEvent(event);
}

void QCustomPdfView::wheelEvent(QWheelEvent *event)
{
    if (!(event->modifiers() & Qt::ControlModifier)) {
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    event->accept();
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    const double zoom = zoomFactor();
    if (delta > 0) {
        setZoomFactor(zoom + zoomStep); // the layout follows the zoomFactorChanged signal
        qDebug() << "Zooming in. New zoom factor:" << zoomFactor();
    } else {
        setZoomFactor(zoom <= minimumZoom ? zoom : qMax(zoom - zoomStep, minimumZoom));
        qDebug() << "Zooming out. New zoom factor:" << zoomFactor();
    }
}

void QCustomPdfView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_C && event->modifiers() == Qt::ControlModifier)
        copySelectionToClipboard();
    QAbstractScrollArea::keyPressEvent(event);
}

void QCustomPdfView::paintEvent(QPaintEvent *event)
{
    QPdfView::paintEvent(event);

    QPainter painter(viewport());
    painter.setBrush(overlayColor);
    painter.setPen(Qt::NoPen);
    const QPoint scroll(horizontalScrollBar()->value(), verticalScrollBar()->value());

    for (const QPdfLink &hit : std::as_const(searchResults)) {
        for (const QRectF &rect : hit.rectangles()) {
            painter.drawRect(
                toDocumentPixels(hit.page(), textRectOnPage(hit.page(), rect)).translated(-scroll));
        }
    }
    for (const Chunk &chunk : std::as_const(highlights))
        painter.drawRect(toDocumentPixels(chunk.page(), chunk.rect()).translated(-scroll));
    for (auto it = selections.cbegin(); it != selections.cend(); ++it) {
        for (const QPolygonF &polygon : it.value().bounds()) {
            painter.drawRect(
                toDocumentPixels(it.key(), textRectOnPage(it.key(), polygon.boundingRect()))
                    .translated(-scroll));
        }
    }

    const QPdfPageNavigator *navigator = pageNavigator();
    const int page = navigator ? navigator->currentPage() : -1;
    if (document() && page >= 0) {
        linkModel->setPage(page);
        painter.setPen(QPen(Qt::red, 1, Qt::SolidLine));
        for (int row = 0; row < linkModel->rowCount(); ++row) {
            const QRectF rect
                = linkModel->index(row).data(int(PdfLinkModel::Role::Rectangle)).toRectF();
            const QRect line = toDocumentPixels(page, rect).translated(-scroll);
            painter.drawLine(line.bottomLeft(), line.bottomRight());
        }
    }
}

void QCustomPdfView::resizeEvent(QResizeEvent *event)
{
    QPdfView::resizeEvent(event);
    updateDocumentLayout();
    qDebug() << "Viewport size changed. New size:" << event->size();
}
