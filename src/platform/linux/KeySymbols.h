// The stored key codes as X keysyms and their XKB names, for the X11 grabs and the portal's
// trigger strings.
// Thread: any.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace selvina::platform {

struct KeySymbol {
    std::uint32_t keysym;
    const char* name; // XKB keysym name: "space", "Escape", "a", "F5", …
};

// None for a code with no key on this desktop.
std::optional<KeySymbol> keySymbolFor(std::uint32_t keyCode);

// "CTRL+ALT+SHIFT+LOGO+" (each when set) + the key's name, as the shortcuts portal takes them.
QString portalTrigger(std::uint32_t keyCode, std::uint32_t modifiers);

} // namespace selvina::platform
