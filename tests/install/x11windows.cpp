#include "x11windows.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// xcb hands out replies allocated with malloc.
template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> owned(Reply *reply)
{
    return ReplyPtr<Reply>(reply, &std::free);
}

} // namespace

X11Windows::X11Windows()
{
    int screenNumber = 0;
    connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection))
        return;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem > 0)
        root = screens.data->root;
    const char name[] = "_NET_WM_PID";
    const auto atom = owned(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr));
    if (atom)
        pidAtom = atom->atom;
}

X11Windows::~X11Windows()
{
    xcb_disconnect(connection);
}

bool X11Windows::isConnected() const
{
    return !xcb_connection_has_error(connection) && root != 0 && pidAtom != XCB_ATOM_NONE;
}

QList<xcb_window_t> X11Windows::shownWindows(qint64 pid)
{
    QList<xcb_window_t> found;
    if (!isConnected())
        return found;
    const auto tree
        = owned(xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr));
    if (!tree)
        return found;
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < count; ++i) {
        const auto attributes = owned(xcb_get_window_attributes_reply(
            connection, xcb_get_window_attributes(connection, children[i]), nullptr));
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE
            && windowPid(children[i]) == pid)
            found.append(children[i]);
    }
    return found;
}

QImage X11Windows::grab(xcb_window_t window)
{
    const auto geometry
        = owned(xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr));
    if (!geometry || geometry->depth < 24)
        return QImage();
    const auto image = owned(xcb_get_image_reply(connection,
        xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, geometry->width,
            geometry->height, ~0u),
        nullptr));
    if (!image)
        return QImage();
    // Depth 24 and 32 come as 32 bits a pixel, blue first, as QImage::Format_RGB32 lays them out
    // on a little-endian machine.
    const int length = xcb_get_image_data_length(image.get());
    if (length < geometry->width * geometry->height * 4)
        return QImage();
    return QImage(xcb_get_image_data(image.get()), geometry->width, geometry->height,
        geometry->width * 4, QImage::Format_RGB32)
        .copy();
}

qint64 X11Windows::windowPid(xcb_window_t window)
{
    const auto property = owned(xcb_get_property_reply(connection,
        xcb_get_property(connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 4)
        return -1;
    return *static_cast<const quint32 *>(xcb_get_property_value(property.get()));
}
