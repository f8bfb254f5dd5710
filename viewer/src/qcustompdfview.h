#ifndef QCUSTOMPDFVIEW_H
#define QCUSTOMPDFVIEW_H

#include "pdftextframes.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QMargins>
#include <QPdfLink>
#include <QPdfSelection>
#include <QPdfView>
#include <QPoint>
#include <QRect>

#include <tessellum/chunk.h>

class PdfLinkModel;
class QPdfSearchModel;
class QScreen;

// The page view of the viewer window. QPdfView renders the pages; this view keeps its own
// layout of the pages in document pixels to draw chunk highlights, search hits, the mouse
// selection and link underlines over them, and keeps QPdfView's margins in step with it.
class QCustomPdfView : public QPdfView
{
    Q_OBJECT

public:
    explicit QCustomPdfView(QWidget *parent = nullptr);
    ~QCustomPdfView() override;

    void open(QPdfDocument *document);
    void updateDocumentLayout();
    int pageAt(const QPoint &point) const;
    QPointF viewToPagePoint(const QPoint &point, const QRect &pageRect) const;
    void scrollToPageRect(int page, const QRectF &rect);
    void jumpToHighlights();
    QSize preferredSize() const;

    void setHighlight(const Chunk &chunk);
    void clearHighlights();
    void setSearchResults(QPdfSearchModel *model);
    void copySelectionToClipboard();

    // A rectangle of QtPdf's text geometry (a search hit) placed on the shown page.
    QRectF textRectOnPage(int page, const QRectF &rect) const;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QMargins scaledMargins() const;
    int documentWidth() const;
    void dropDocumentText();
    void applyScaledMargins();
    QSizeF pixelsPerPoint(int page) const;
    QRect pageRect(int page) const;
    QRect toDocumentPixels(int page, const QRectF &rect) const;
    QPdfSelection selectOnPage(int page, const QPointF &start, const QPointF &end) const;

    QList<QPdfLink> searchResults;
    QScreen *screen;
    double logicalDpi;
    QList<Chunk> highlights;
    // Ordered by page, so painting and copying go through the pages from first to last.
    QMap<int, QPdfSelection> selections;
    QPoint selectionStart;
    QPoint selectionEnd;
    bool selecting;
    QHash<int, QRect> pageGeometries;
    PdfLinkModel *linkModel;
    PdfTextFrames textFrames;
    QMetaObject::Connection documentStatusConnection;
    QMetaObject::Connection documentDestroyedConnection;

    friend class tst_QCustomPdfView;
};

#endif // QCUSTOMPDFVIEW_H
