// HotkeyCombo: a key combination in the stored codes (a virtual key code and a modifier mask),
// with its printed and spoken names.
// Thread: any (a value type).
#pragma once

#include <QString>

#include <cstdint>

namespace selvina::activation {

struct HotkeyCombo {
    static constexpr std::uint32_t kSuper = 0x100;
    static constexpr std::uint32_t kShift = 0x200;
    static constexpr std::uint32_t kAlt = 0x800;
    static constexpr std::uint32_t kControl = 0x1000;
    static constexpr std::uint32_t kSpace = 49;
    static constexpr std::uint32_t kEscape = 53;

    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;

    // Control + Alt + Super + Space.
    static HotkeyCombo invocationDefault() { return {kSpace, kControl | kAlt | kSuper}; }

    // "Spacja", "Esc", "F5", … ; "klawisz N" for a code without a name.
    static QString nazwaKlawisza(std::uint32_t keyCode);
    // "Ctrl+Alt+Shift+Super+" in that order, each when set, then the key: "Ctrl+Alt+Spacja".
    QString displayName() const;
    // "Control plus Alt plus Shift plus Super plus Spacja", same order and condition.
    QString spokenName() const;

    friend bool operator==(const HotkeyCombo&, const HotkeyCombo&) = default;
};

} // namespace selvina::activation
