// The overlay's X11 side on Qt's own xcb connection: EWMH hints for "every desktop, no taskbar, no
// pager", and the owner of the _NET_WM_CM_S<n> selection, which a compositing manager holds.
// Thread: main thread.
#pragma once

#include "overlay/OverlayWindowSystem.h"

#include <xcb/xcb.h>

#include <memory>
#include <optional>

class QAbstractNativeEventFilter;

namespace selvina::overlay {

class XcbOverlayWindowSystem final : public OverlayWindowSystem {
public:
    // Needs Qt's xcb platform; compositing is asked once here, synchronously.
    XcbOverlayWindowSystem();
    ~XcbOverlayWindowSystem() override;

    void prepare(QWindow& window) override;
    void keepClickThrough(QWindow& window) override;
    bool compositing() override;
    bool compositingNow() override;
    bool passesClicksThrough() override;
    void watchPointer(std::function<void(QPoint)> moved) override;

private:
    xcb_atom_t atom(const char* name);

    xcb_connection_t* m_connection = nullptr;
    xcb_atom_t m_cmSelection = XCB_NONE;
    std::optional<xcb_get_selection_owner_cookie_t> m_pending;
    bool m_compositing = false;
    std::unique_ptr<QAbstractNativeEventFilter> m_pointerFilter;
};

} // namespace selvina::overlay
