// What the overlay needs from the window system beyond Qt: pinning a window to every desktop out
// of the taskbar and the pager, and knowing whether a compositing manager draws the screen (without
// one, transparent pixels come out black).
// Thread: main thread.
#pragma once

#include <QPoint>

#include <functional>
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

    // Whether the desktop lets a click through where the window's input shape is empty. Under
    // Xwayland it does not: the compositor picks the whole surface, and the click is lost on it.
    virtual bool passesClicksThrough() { return true; }
    // Where the desktop does not, `moved` hears where the pointer goes over the windows (global
    // device pixels), so that they can step aside before the click.
    virtual void watchPointer(std::function<void(QPoint)> moved) { (void)moved; }
    // The X11 backend on xcb; elsewhere one that assumes a compositor and pins nothing.
    static std::unique_ptr<OverlayWindowSystem> forThisDisplay();
};

} // namespace selvina::overlay
