// Keys typed into the focused window of a GNOME Wayland session through mutter's remote-desktop
// interface on the session bus: there the accessibility registry's synthesised keys (XTEST) reach
// X11 clients only. While a session is open GNOME shows its remote-control indicator in the top bar;
// each typing opens one and closes it.
// Thread: any but the main thread (the calls wait for mutter's answers).
#pragma once

#include <QString>

namespace selvina::platform {

class MutterKeyboard {
public:
    // mutter's interface is on the session bus (GNOME on Wayland).
    static bool available();
    // Types `text` (a new line as Return) into what has the keyboard focus; `replacing`: selects all
    // first (Control+A), and with an empty text deletes it. False when mutter refused a step.
    static bool type(const QString& text, bool replacing);
};

} // namespace selvina::platform
