// The accessibility tree of the Linux desktop over AT-SPI 2 (libatspi), with the foreground window
// found through EWMH (_NET_ACTIVE_WINDOW and its _NET_WM_PID) and AT-SPI's own active state.
// Thread: one serial worker thread for every call (libatspi is not thread-safe); each D-Bus call
// waits 0.35 s at most. Nothing else in the process may iterate the default GLib main context:
// Qt's main loop must run without GLib (QT_NO_GLIB=1).
#pragma once

#include "platform/Accessibility.h"

#include <QString>

namespace selvina::platform {

class AtspiDesktop final : public AccessibilityDesktop {
public:
    AtspiDesktop();
    ~AtspiDesktop() override;

    bool isTrusted() override;
    std::vector<ForegroundCandidate> candidates() override;
    AXElementRef window(const ForegroundCandidate& candidate) override;

    // The translation tables, open to tests: AT-SPI role name → AX role (and subrole), action name → AX action.
    struct RoleMapping {
        QString role;
        QString subrole;
    };
    static RoleMapping mapRole(int atspiRole, bool multiLine, bool editable);
    static QString mapAction(const QString& atspiActionName); // empty when it has no AX equivalent

private:
    bool ensureInitialised();
    void dispatchPending();
    std::optional<qint64> activeWindowPid();

    bool m_initialised = false;
    bool m_available = false;
};

} // namespace selvina::platform
