// The window the window manager calls active (EWMH _NET_ACTIVE_WINDOW on the root window) and the
// process that owns it (its _NET_WM_PID), for whatever needs the foreground window on X11: the
// accessibility backend, screen capture, the hot-keys' frontmost application.
// Thread: any; each call uses only the connection it is given, or one of its own.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

struct xcb_connection_t;

namespace selvina::platform {

struct XcbActiveWindow {
    std::uint32_t window = 0;
    std::optional<qint64> pid; // none when the client does not state it
    QString applicationName;   // the class of WM_CLASS, else the process's name; may be empty
};

// The name the kernel gives the process (/proc/<pid>/comm); empty when it is gone.
QString processName(qint64 pid);

// A server that does not answer within this long is taken to have no active window.
inline constexpr std::chrono::milliseconds kActiveWindowLimit{10'000};

// On `connection`, for its first screen; none when the window manager names no active window or
// the server has not answered all of it within `limit`.
std::optional<XcbActiveWindow> xcbActiveWindow(xcb_connection_t* connection,
                                               std::chrono::milliseconds limit = kActiveWindowLimit);
// On a connection of its own to $DISPLAY, opened for this one question; none without a display.
std::optional<XcbActiveWindow> xcbActiveWindow();

} // namespace selvina::platform
