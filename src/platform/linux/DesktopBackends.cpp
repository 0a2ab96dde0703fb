#include "platform/linux/DesktopBackends.h"

#include "platform/linux/SessionType.h"
#include "platform/linux/dbus/PortalScreenshot.h"
#include "platform/linux/dbus/PortalShortcuts.h"
#include "platform/linux/xcb/XcbHotkeys.h"
#include "platform/linux/xcb/XcbScreenCapture.h"

#include <xcb/xcb.h>

namespace selvina::platform {

bool prepareDisplay()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const bool reachable = c != nullptr && xcb_connection_has_error(c) == 0;
    if (c != nullptr)
        xcb_disconnect(c);
    // The overlay's and the hot-keys' X11 code needs the GUI on xcb, Xwayland included.
    if (reachable && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    return reachable;
}

std::unique_ptr<HotkeySource> makeHotkeySource()
{
    // Through Xwayland a grab fires only while an X11 window has the focus: on Wayland the
    // portal is the only way.
    if (waylandSession())
        return std::make_unique<PortalShortcuts>();
    return XcbHotkeys::onQtConnection();
}

std::unique_ptr<capture::ScreenCaptureProvider> makeScreenCaptureProvider(qint64 ownPid)
{
    // Xwayland's root shows only the X11 clients, so on Wayland the portal it is.
    if (waylandSession())
        return std::make_unique<PortalScreenshot>();
    return std::make_unique<XcbScreenCapture>(ownPid);
}

} // namespace selvina::platform
