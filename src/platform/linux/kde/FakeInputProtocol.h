// KWin's fake-input Wayland protocol (org_kde_kwin_fake_input; version 4 brings keyboard keys),
// written out here: its XML is installed only with KDE's development packages.
#pragma once

#include <wayland-client.h>

#include <cstdint>

namespace selvina::platform::fake_input {

// Requests in the protocol's order; it has no events.
inline const wl_message kRequests[] = {
    {"authenticate", "ss", nullptr},
    {"pointer_motion", "ff", nullptr},
    {"button", "uu", nullptr},
    {"axis", "uf", nullptr},
    {"touch_down", "2uff", nullptr},
    {"touch_motion", "2uff", nullptr},
    {"touch_up", "2u", nullptr},
    {"touch_cancel", "2", nullptr},
    {"touch_frame", "2", nullptr},
    {"pointer_motion_absolute", "3ff", nullptr},
    {"keyboard_key", "4uu", nullptr},
};
inline const wl_interface kInterface = {"org_kde_kwin_fake_input", 4, 11, kRequests, 0, nullptr};
// authenticate(application, reason); keyboard_key(evdev code, 1 pressed / 0 released).
constexpr std::uint32_t kAuthenticate = 0, kKeyboardKey = 10;

} // namespace selvina::platform::fake_input
