// The AT-SPI roles and action names in the AX vocabulary the screen tools speak ("AXButton",
// "AXPress", …), so that the tools read the same whatever toolkit drew the window.
// Thread: any (pure functions).
#pragma once

#include <atspi/atspi-constants.h>

#include <QString>

namespace selvina::platform::atspi {

// AT-SPI states as one bit each (there are fewer than 64).
using States = quint64;
inline bool hasState(States states, AtspiStateType state) { return (states >> state) & 1; }

struct RoleMapping {
    QString role;
    QString subrole; // empty when the role has none
};
// The states refine text fields (multi-line: a text area) and combo boxes (editable: a combo box,
// else a pop-up button).
RoleMapping roleMapping(AtspiRole role, States states);
// Empty when the action has no AX equivalent.
QString actionName(const QString& atspiActionName);

} // namespace selvina::platform::atspi
