#include "activation/HotkeyCombo.h"

#include <QStringList>

namespace selvina::activation {

namespace {

struct ModifierName {
    std::uint32_t bit;
    const char* printed;
    const char* spoken;
};

constexpr ModifierName kModifierNames[] = {
    {HotkeyCombo::kControl, "Ctrl", "Control"},
    {HotkeyCombo::kAlt, "Alt", "Alt"},
    {HotkeyCombo::kShift, "Shift", "Shift"},
    {HotkeyCombo::kSuper, "Super", "Super"},
};

QStringList parts(const HotkeyCombo& combo, bool spoken)
{
    QStringList out;
    for (const ModifierName& m : kModifierNames)
        if (combo.modifiers & m.bit)
            out.append(QLatin1String(spoken ? m.spoken : m.printed));
    out.append(HotkeyCombo::nazwaKlawisza(combo.keyCode));
    return out;
}

} // namespace

QString HotkeyCombo::nazwaKlawisza(std::uint32_t keyCode)
{
    switch (keyCode) {
    case 0: return QStringLiteral("A");
    case 1: return QStringLiteral("S");
    case 2: return QStringLiteral("D");
    case 6: return QStringLiteral("Z");
    case 36: return QStringLiteral("Return");
    case 48: return QStringLiteral("Tab");
    case 49: return QStringLiteral("Spacja");
    case 53: return QStringLiteral("Esc");
    case 96: return QStringLiteral("F5");
    case 97: return QStringLiteral("F6");
    case 111: return QStringLiteral("F12");
    case 120: return QStringLiteral("F2");
    case 122: return QStringLiteral("F1");
    default: return QStringLiteral("klawisz %1").arg(keyCode);
    }
}

QString HotkeyCombo::displayName() const
{
    return parts(*this, false).join(QLatin1Char('+'));
}

QString HotkeyCombo::spokenName() const
{
    return parts(*this, true).join(QStringLiteral(" plus "));
}

} // namespace selvina::activation
