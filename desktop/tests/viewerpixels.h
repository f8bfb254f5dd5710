#ifndef VIEWERPIXELS_H
#define VIEWERPIXELS_H

#include <QRect>
#include <QRectF>
#include <QRgb>

class QPdfView;
class QWidget;

// Where the viewer window draws a spot of a Letter page, at 96 DPI and zoom 1, and what its pixels
// look like: translucent blue for highlights and hits, dark for text.
namespace ViewerPixels {

constexpr double scale = 96.0 / 72.0;

// Top of a page in document pixels: 6 points of margin scaled, pages 3 pixels apart.
int pageTop(int page);
bool isBluish(QRgb c);
bool isInk(QRgb c);
// A rectangle in PDF points on a page, in the pixels of the viewer window that holds the view.
QRect inViewer(const QWidget *viewer, const QPdfView *view, int page, const QRectF &points);

} // namespace ViewerPixels

#endif // VIEWERPIXELS_H
