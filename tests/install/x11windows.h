#ifndef X11WINDOWS_H
#define X11WINDOWS_H

#include <QImage>
#include <QList>

#include <xcb/xcb.h>

// The top-level windows that another process shows on the X display, read through the X
// server, and pictures of them.
class X11Windows
{
public:
    // Connects to $DISPLAY.
    X11Windows();
    ~X11Windows();
    X11Windows(const X11Windows &) = delete;
    X11Windows &operator=(const X11Windows &) = delete;

    bool isConnected() const;
    // The mapped top-level windows whose _NET_WM_PID is pid.
    QList<xcb_window_t> shownWindows(qint64 pid);
    // The window's contents as the X server holds them; null when it cannot be read.
    QImage grab(xcb_window_t window);

private:
    qint64 windowPid(xcb_window_t window);

    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t pidAtom = XCB_ATOM_NONE;
};

#endif // X11WINDOWS_H
