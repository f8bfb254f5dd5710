#ifndef DOCDROP_H
#define DOCDROP_H

#include <QList>
#include <QPointF>
#include <QUrl>

class QQuickItem;
class QQuickWindow;

// Files dragged from a file manager and dropped onto an item of the real window, as the window
// system delivers them: drag enter, drag move and drop, each carrying URL mime data.
namespace DocDrop {

// Returns whether the window accepted the drop.
bool dropUrls(QQuickWindow *window, QQuickItem *target, const QList<QUrl> &urls);

// Clicks, or double-clicks, the centre of an item.
void click(QQuickWindow *window, QQuickItem *item);
void doubleClick(QQuickWindow *window, QQuickItem *item);

} // namespace DocDrop

#endif // DOCDROP_H
