// What the overlay needs from the window system beyond Qt: pinning a window to every desktop out
// of the taskbar and the pager, and knowing whether a compositing manager draws the screen (without
// one, transparent pixels come out black).
// Thread: main thread.
#pragma once

#include <memory>

class QWindow;

namespace selvina::overlay {

class OverlayWindowSystem {
public:
    virtual ~OverlayWindowSystem() = default;
    // Before the window is first shown.
    virtual void prepare(QWindow& window) = 0;
    // Once the window manager has framed the window: its frame must let clicks through as well.
    // A reparenting window manager copies the window's input shape to the frame only when told
    // the shape changed after it took the window on, so the (empty) shape is set again.
    virtual void keepClickThrough(QWindow& window) = 0;
    // As last seen; cheap, may lag a change by one call.
    virtual bool compositing() = 0;
    // Asked now and waited for (one round trip): for windows made after a quiet spell, when the
    // last answer may be long out of date.
    virtual bool compositingNow() = 0;

    // The X11 backend on xcb; elsewhere one that assumes a compositor and pins nothing.
    static std::unique_ptr<OverlayWindowSystem> forThisDisplay();
};

} // namespace selvina::overlay
