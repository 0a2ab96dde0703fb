// SettingsWindowController: the one settings window of the process, made on first use and brought
// forward (focused, past focus-stealing prevention) each time it is asked for; and its view dump.
// Thread: main thread.
#pragma once

#include "settingswindow/InfoPanes.h"
#include "settingswindow/PermissionsPane.h"
#include "settingswindow/SettingsNavigation.h"
#include "settingswindow/SettingsWindow.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>

namespace selvina::activation {
class GlobalHotkey;
}
namespace selvina::platform {
class Preferences;
}
namespace selvina::settings {
class DeveloperPreferences;
class LaunchPreferences;
}

namespace selvina::settingswindow {


class SettingsWindowController : public QObject {
    Q_OBJECT
public:
    struct Options {
        platform::Preferences* preferences = nullptr; // the window's geometry
        settings::LaunchPreferences* launch = nullptr;
        settings::DeveloperPreferences* developer = nullptr;
        activation::GlobalHotkey* hotkeys = nullptr; // given back to the desktop while a shortcut is recorded
        PermissionsPane::AuditFactory makeAudit;       // none: the permissions pane stays a placeholder
        std::function<void()> restart;                 // starts this program anew; none: no restart button
        QString runLogPath;
        AboutInfo about;
    };
    using PaneFactory = std::function<QWidget*()>;

    explicit SettingsWindowController(Options options, QObject* parent = nullptr);
    ~SettingsWindowController() override;

    // A pane made by another part of the application, put in when the window is made (at once
    // when it exists already).
    void setPaneFactory(Pane pane, PaneFactory factory);
    // Makes the window on first use, shows it, raises and focuses it. `activationToken`: the one
    // handed over by a second start (XDG activation or startup notification), empty when none.
    void show(const QString& activationToken = QString());
    // The window's flags and its widget tree with each widget's accessible role and name, to the
    // application log; "okno nie istnieje" before the window is made.
    void dumpViewTree() const;

    SettingsWindow* window() const { return m_window; }
    NawigacjaUstawien& nawigacja() { return m_nawigacja; }

private:
    void create();
    // The window's title, the pane and the focused control, as one sentence.
    void announceOpening();
    void refocus();

    Options m_options;
    NawigacjaUstawien m_nawigacja;
    std::map<Pane, PaneFactory> m_factories;
    QPointer<SettingsWindow> m_window;
    bool m_waitingForBridge = false;
};

// Lines of the view dump of `root` (exposed for the tests).
QStringList viewTreeLines(QWidget* root);

// Starts this program again once this process has ended and released its bus name.
void startAgainAfterExit();

} // namespace selvina::settingswindow
