// Picks the desktop backends of the shell for this session: the display to run the GUI on and
// the source of global hot-keys (X11 grabs, the shortcuts portal on Wayland, or none), and of screen capture.
// Thread: main thread.
#pragma once

#include "capture/ScreenCaptureProvider.h"
#include "platform/HotkeySource.h"

#include <memory>

namespace selvina::platform {

// Before the application object: true when an X display is reachable (on Wayland through
// Xwayland, which the GUI then uses).
bool prepareDisplay();
// After it; none when there is neither an X display nor a Wayland session.
std::unique_ptr<HotkeySource> makeHotkeySource();
// The screenshot portal on Wayland (whole screen only), else the X display; `ownPid`'s windows are
// never offered.
std::unique_ptr<capture::ScreenCaptureProvider> makeScreenCaptureProvider(qint64 ownPid);

} // namespace selvina::platform
