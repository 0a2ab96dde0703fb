// The choice between the Wayland and the X11 backends from the session's environment.
#include "platform/linux/SessionType.h"

#include <gtest/gtest.h>

namespace {

TEST(SessionType, TheLoginSessionTypeDecidesAndAWaylandSocketOnlyWithoutOne)
{
    using selvina::platform::waylandSession;
    struct Case {
        const char* sessionType;
        const char* waylandDisplay;
        bool wayland;
    };
    const Case cases[] = {
        {"wayland", "wayland-0", true}, // GNOME or Plasma on Wayland, DISPLAY set for Xwayland
        {"wayland", "", true},          // the socket's name not passed on to this process
        {"x11", "wayland-1", false},    // MATE or Xfce with a nested compositor's variable left over
        {"x11", "", false},
        {"tty", "wayland-0", true},     // a compositor started from a text console
        {"", "wayland-0", true},
        {"", "", false},
        {"mir", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(waylandSession(QString::fromLatin1(c.sessionType), QString::fromLatin1(c.waylandDisplay)), c.wayland)
            << c.sessionType << " / " << c.waylandDisplay;
}

} // namespace
