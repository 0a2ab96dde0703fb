// Picks the desktop backends of the shell for this session: the display to run the GUI on and
// the source of global hot-keys (X11 grabs, the shortcuts portal on Wayland, or none).
// Thread: main thread.
#pragma once

#include "platform/HotkeySource.h"

#include <memory>

namespace selvina::platform {

// Before the application object: true when an X display is reachable (on Wayland through
// Xwayland, which the GUI then uses).
bool prepareDisplay();
// After it; none when there is neither an X display nor a Wayland session.
std::unique_ptr<HotkeySource> makeHotkeySource();

} // namespace selvina::platform
