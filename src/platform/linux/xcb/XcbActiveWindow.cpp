#include "platform/linux/xcb/XcbActiveWindow.h"

#include "platform/linux/xcb/XcbReply.h"

#include <QFile>
#include <QList>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace selvina::platform {

namespace {

using Deadline = std::chrono::steady_clock::time_point;

xcb_atom_t atom(xcb_connection_t* c, const char* name, Deadline deadline)
{
    const auto r = xcbReply<xcb_intern_atom_reply_t>(c, xcb_intern_atom(c, 1, uint16_t(std::strlen(name)), name).sequence,
                                                     deadline).first;
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

XcbPtr<xcb_get_property_reply_t> property(xcb_connection_t* c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type,
                                          std::uint32_t longs, Deadline deadline)
{
    if (property == XCB_ATOM_NONE)
        return nullptr;
    return xcbReply<xcb_get_property_reply_t>(c, xcb_get_property(c, 0, w, property, type, 0, longs).sequence, deadline).first;
}

std::optional<std::uint32_t> cardinal(xcb_connection_t* c, xcb_window_t w, xcb_atom_t name, xcb_atom_t type, Deadline deadline)
{
    const auto r = property(c, w, name, type, 1, deadline);
    if (r && xcb_get_property_value_length(r.get()) >= 4)
        return *static_cast<std::uint32_t*>(xcb_get_property_value(r.get()));
    return std::nullopt;
}

QByteArray bytes(xcb_connection_t* c, xcb_window_t w, xcb_atom_t name, xcb_atom_t type, std::uint32_t longs, Deadline deadline)
{
    const auto r = property(c, w, name, type, longs, deadline);
    return r ? QByteArray(static_cast<const char*>(xcb_get_property_value(r.get())), xcb_get_property_value_length(r.get()))
             : QByteArray();
}

} // namespace

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll()).trimmed() : QString();
}

std::optional<XcbActiveWindow> xcbActiveWindow(xcb_connection_t* c, std::chrono::milliseconds limit)
{
    const Deadline deadline = std::chrono::steady_clock::now() + limit;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const auto active = cardinal(c, root, atom(c, "_NET_ACTIVE_WINDOW", deadline), XCB_ATOM_WINDOW, deadline);
    if (!active || *active == 0)
        return std::nullopt;
    XcbActiveWindow out{*active, std::nullopt, {}};
    if (const auto pid = cardinal(c, *active, atom(c, "_NET_WM_PID", deadline), XCB_ATOM_CARDINAL, deadline))
        out.pid = qint64(*pid);
    // WM_CLASS holds "instance\0Class\0"; the class names the application.
    const QList<QByteArray> wmClass = bytes(c, *active, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 64, deadline).split('\0');
    if (wmClass.size() >= 2 && !wmClass.at(1).isEmpty())
        out.applicationName = QString::fromUtf8(wmClass.at(1));
    else if (out.pid)
        out.applicationName = processName(*out.pid);
    return out;
}

std::optional<XcbActiveWindow> xcbActiveWindow()
{
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (c == nullptr)
        return std::nullopt;
    std::optional<XcbActiveWindow> out;
    if (!xcb_connection_has_error(c))
        out = xcbActiveWindow(c);
    xcb_disconnect(c);
    return out;
}

} // namespace selvina::platform
