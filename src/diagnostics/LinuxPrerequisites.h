// The prerequisites of the assistant on a Linux desktop, in the order the audit reports them, with
// their probes over the sound server, the session bus, the X display and a few child processes.
// Thread: built on the main thread; the probes run where their entry says.
#pragma once

#include "core/Paths.h"
#include "diagnostics/PermissionAudit.h"

#include <functional>

namespace selvina::diagnostics {

struct LinuxAuditOptions {
    // PATH (the commands probed), the session bus address, the desktop (XDG_CURRENT_DESKTOP), the
    // display and the agents' logins are read from here.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Adds the keys the agents would log in with from the keyring or config.json (none: only the
    // environment's count). Runs on the audit's worker.
    std::function<void(QProcessEnvironment&)> addCredentials;
    QString home;                  // none: the user's
    // Main thread, quick: whether the invocation shortcut can be held; none: it cannot be told.
    Prerequisite::Probe shortcut;
    QStringList sidecarDirectories; // none: where the assistant looks for the agent layer
    QString wakeModel;              // none: paths::wakeModelFile()
    QString calendarProgram;        // none: selvina-calendar beside this program, else on PATH
    // A build tree is mended with the checkout's scripts, an installed program by installing it again.
    bool buildTree = paths::runsFromBuildTree();
    // at-spi2-core's bus launcher (none: where Debian puts it); without it no application is accessible.
    QStringList accessibilityLaunchers;
};

// The desktop (XDG_CURRENT_DESKTOP), which decides the settings panels and the steps a remedy names.
enum class Desktop { gnome, kde, mate, xfce, other };
Desktop desktopOf(const QProcessEnvironment& environment);
// What makes the assistant's tray icon appear on this desktop.
QString trayRemedy(Desktop desktop);

std::vector<Prerequisite> linuxPrerequisites(const LinuxAuditOptions& options);

// The default gateway in the output of `ip route show default`; empty when there is none.
QString gatewayIn(const QByteArray& ipRouteOutput);

} // namespace selvina::diagnostics
