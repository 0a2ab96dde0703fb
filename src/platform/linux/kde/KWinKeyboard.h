// Keys typed into the focused window of a KDE Plasma Wayland session through KWin's fake-input
// protocol (org_kde_kwin_fake_input, version 4 for keyboard keys): there the accessibility
// registry's synthesised keys (XTEST) reach X11 clients only. KWin offers the protocol only to a
// program whose desktop file names it in X-KDE-Wayland-Interfaces and whose Exec is the program's
// absolute path; our installed desktop file does both.
//
// The protocol carries key codes, not characters: each character is looked up in the keyboard
// layout KWin uses (its keymap, as every Wayland client receives it, in the layout that is active),
// and pressed with Shift or AltGr as that layout wants.
// Thread: any but the main thread (each typing waits for KWin's round trips).
#pragma once

#include <QString>

namespace selvina::platform {

class KWinKeyboard {
public:
    enum class Result {
        typed,
        notOffered,       // no KWin here, or KWin does not let this program use the protocol
        missingCharacter, // a character of the text is on no key of the active layout (nothing was typed)
        failed,           // the connection broke on the way
    };
    // Types `text` (a new line as Return) into what has the keyboard focus; `replacing`: selects all
    // first (Control+A), and with an empty text deletes it.
    static Result type(const QString& text, bool replacing);
};

} // namespace selvina::platform
