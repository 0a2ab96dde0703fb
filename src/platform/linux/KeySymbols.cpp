#include "platform/linux/KeySymbols.h"

#include <QStringList>

namespace selvina::platform {

namespace {

struct Row {
    std::uint32_t code;
    KeySymbol symbol;
};

// The stored codes are the US-layout virtual key codes; letters, digits and punctuation map to
// the keysym of the same character.
constexpr Row kRows[] = {
    {0, {'a', "a"}}, {1, {'s', "s"}}, {2, {'d', "d"}}, {3, {'f', "f"}}, {4, {'h', "h"}}, {5, {'g', "g"}},
    {6, {'z', "z"}}, {7, {'x', "x"}}, {8, {'c', "c"}}, {9, {'v', "v"}}, {11, {'b', "b"}}, {12, {'q', "q"}},
    {13, {'w', "w"}}, {14, {'e', "e"}}, {15, {'r', "r"}}, {16, {'y', "y"}}, {17, {'t', "t"}},
    {18, {'1', "1"}}, {19, {'2', "2"}}, {20, {'3', "3"}}, {21, {'4', "4"}}, {22, {'6', "6"}},
    {23, {'5', "5"}}, {24, {'=', "equal"}}, {25, {'9', "9"}}, {26, {'7', "7"}}, {27, {'-', "minus"}},
    {28, {'8', "8"}}, {29, {'0', "0"}}, {30, {']', "bracketright"}}, {31, {'o', "o"}}, {32, {'u', "u"}},
    {33, {'[', "bracketleft"}}, {34, {'i', "i"}}, {35, {'p', "p"}}, {36, {0xff0d, "Return"}},
    {37, {'l', "l"}}, {38, {'j', "j"}}, {39, {'\'', "apostrophe"}}, {40, {'k', "k"}},
    {41, {';', "semicolon"}}, {42, {'\\', "backslash"}}, {43, {',', "comma"}}, {44, {'/', "slash"}},
    {45, {'n', "n"}}, {46, {'m', "m"}}, {47, {'.', "period"}}, {48, {0xff09, "Tab"}},
    {49, {' ', "space"}}, {50, {'`', "grave"}}, {51, {0xff08, "BackSpace"}}, {53, {0xff1b, "Escape"}},
    {96, {0xffc2, "F5"}}, {97, {0xffc3, "F6"}}, {98, {0xffc4, "F7"}}, {99, {0xffc0, "F3"}},
    {100, {0xffc5, "F8"}}, {101, {0xffc6, "F9"}}, {103, {0xffc8, "F11"}}, {105, {0xffca, "F13"}},
    {107, {0xffcb, "F14"}}, {109, {0xffc7, "F10"}}, {111, {0xffc9, "F12"}}, {113, {0xffcc, "F15"}},
    {114, {0xff63, "Insert"}}, {115, {0xff50, "Home"}}, {116, {0xff55, "Prior"}}, {117, {0xffff, "Delete"}},
    {118, {0xffc1, "F4"}}, {119, {0xff57, "End"}}, {120, {0xffbf, "F2"}}, {121, {0xff56, "Next"}},
    {122, {0xffbe, "F1"}}, {123, {0xff51, "Left"}}, {124, {0xff53, "Right"}}, {125, {0xff54, "Down"}},
    {126, {0xff52, "Up"}},
};

} // namespace

std::optional<KeySymbol> keySymbolFor(std::uint32_t keyCode)
{
    for (const Row& row : kRows)
        if (row.code == keyCode)
            return row.symbol;
    return std::nullopt;
}

QString portalTrigger(std::uint32_t keyCode, std::uint32_t modifiers)
{
    const auto symbol = keySymbolFor(keyCode);
    if (!symbol)
        return {};
    QStringList parts;
    if (modifiers & 0x1000)
        parts << QStringLiteral("CTRL");
    if (modifiers & 0x800)
        parts << QStringLiteral("ALT");
    if (modifiers & 0x200)
        parts << QStringLiteral("SHIFT");
    if (modifiers & 0x100)
        parts << QStringLiteral("LOGO");
    parts << QLatin1String(symbol->name);
    return parts.join(QLatin1Char('+'));
}

} // namespace selvina::platform
