#include "viewerpixels.h"

#include <QPdfView>
#include <QScrollBar>

namespace ViewerPixels {

namespace {
constexpr int pageWidth = 816;
constexpr int totalWidth = 832;
} // namespace

int pageTop(int page)
{
    return 8 + page * (1056 + 3);
}

bool isBluish(QRgb c)
{
    return qBlue(c) - qRed(c) > 50 && qBlue(c) - qGreen(c) > 50;
}

bool isInk(QRgb c)
{
    return qRed(c) < 110 && qGreen(c) < 110 && qBlue(c) < 110;
}

QRect inViewer(const QWidget *viewer, const QPdfView *view, int page, const QRectF &points)
{
    const QPoint corner = view->viewport()->mapTo(viewer, QPoint(0, 0))
        + QPoint((qMax(totalWidth, view->viewport()->width()) - pageWidth) / 2, pageTop(page))
        - QPoint(view->horizontalScrollBar()->value(), view->verticalScrollBar()->value());
    return QRectF(corner.x() + points.x() * scale, corner.y() + points.y() * scale,
        points.width() * scale, points.height() * scale)
        .toRect();
}

} // namespace ViewerPixels
