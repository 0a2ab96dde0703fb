// LaunchPreferences: how the assistant may be called up (wake phrase, invocation shortcut and its
// combination) and whether it starts at login. DeveloperPreferences: the run-preview switch.
// One instance each, created by the application; every change is written back at once and
// announced only when the value really changed.
// Thread: main thread; the run-log switch is read from any thread.
#pragma once

#include "activation/HotkeyCombo.h"
#include "core/Result.h"

#include <QObject>

#include <functional>
#include <optional>

namespace selvina::platform {
class LoginItem;
class Preferences;
}

namespace selvina::settings {

// Why start at login could not be switched.
class AutostartError {
public:
    enum class Kind { notSwitched };
    // `reason`: what the login item reported, in Polish.
    static AutostartError notSwitched(QString reason) { return AutostartError(std::move(reason)); }

    Kind kind() const { return Kind::notSwitched; }
    QString description() const; // the sentence for the settings pane
    bool operator==(const AutostartError&) const = default;

private:
    explicit AutostartError(QString reason) : m_reason(std::move(reason)) {}
    QString m_reason;
};

class LaunchPreferences : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kZawolanie = "pl.korlund.selvinavoice.zawolanie";
    static constexpr const char* kSkrotWlaczony = "pl.korlund.selvinavoice.skrot.wlaczony";
    static constexpr const char* kSkrotKlawisz = "pl.korlund.selvinavoice.skrot.klawisz";
    static constexpr const char* kSkrotModyfikatory = "pl.korlund.selvinavoice.skrot.modyfikatory";

    // Reads the store and the login item now.
    LaunchPreferences(platform::Preferences& store, platform::LoginItem& loginItem, QObject* parent = nullptr);

    bool zawolanie() const { return m_zawolanie; }
    bool skrotWlaczony() const { return m_skrotWlaczony; }
    activation::HotkeyCombo skrot() const { return m_skrot; }
    bool autostart() const { return m_autostart; }

    void setZawolanie(bool on);
    void setSkrotWlaczony(bool on);
    void setSkrot(const activation::HotkeyCombo& combo);
    // Either way autostart() is then the state read back from the desktop, not the one asked for.
    Status<AutostartError> ustawAutostart(bool on);

Q_SIGNALS:
    void zawolanieChanged(bool on);
    void skrotWlaczonyChanged(bool on);
    void skrotChanged(const selvina::activation::HotkeyCombo& combo);
    void autostartChanged(bool on);

private:
    platform::Preferences& m_store;
    platform::LoginItem& m_loginItem;
    bool m_zawolanie;
    bool m_skrotWlaczony;
    activation::HotkeyCombo m_skrot;
    bool m_autostart;
};

class DeveloperPreferences : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kShowDebugPanel = "pl.korlund.selvinavoice.debug";
    // Appends one marker line to the run-log file; called on the main thread.
    using MarkerWriter = std::function<void(const QString& marker)>;

    DeveloperPreferences(platform::Preferences& store, MarkerWriter writeMarker, QObject* parent = nullptr);

    bool showDebugPanel() const { return m_showDebugPanel; }
    void setShowDebugPanel(bool on);
    // "12,3 KB" in the locale's style; none when the run-log file is missing or empty.
    static std::optional<QString> logSize(const QString& runLogPath);

    // The process-wide switch the run log writes under.
    static bool runLogEnabled();

Q_SIGNALS:
    void showDebugPanelChanged(bool on);

private:
    void applyRunLogSwitch();

    platform::Preferences& m_store;
    MarkerWriter m_writeMarker;
    bool m_showDebugPanel;
};

} // namespace selvina::settings
