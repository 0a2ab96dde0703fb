// Whether this login session's desktop runs on Wayland or on X11: it picks the hot-key and screen
// capture backends, the way keys are synthesised and what the audit checks.
#pragma once

#include <QString>

namespace selvina::platform {

// The login manager's session type (XDG_SESSION_TYPE) decides. A Wayland session sets DISPLAY too,
// for Xwayland, whose key grabs fire only while an X11 window has the focus and whose root window
// shows only X11 clients: the portals serve it. An X11 session can hold a WAYLAND_DISPLAY left over
// (a nested compositor started from a terminal, a variable exported for every login), for which no
// portal of the desktop answers: the X server serves it. Without a session type (a start from a
// text console, a script that dropped it) a Wayland socket name means Wayland.
inline bool waylandSession(const QString& sessionType, const QString& waylandDisplay)
{
    if (sessionType == u"wayland")
        return true;
    if (sessionType == u"x11")
        return false;
    return !waylandDisplay.isEmpty();
}

inline bool waylandSession()
{
    return waylandSession(qEnvironmentVariable("XDG_SESSION_TYPE"), qEnvironmentVariable("WAYLAND_DISPLAY"));
}

} // namespace selvina::platform
