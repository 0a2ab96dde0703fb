// GlobalHotkey: system-wide key combinations with an action each, run on the main thread in
// press order whichever application is in front.
// Thread: main thread.
#pragma once

#include "activation/HotkeyCombo.h"
#include "platform/HotkeySource.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace selvina::platform {
class SystemLog;
}

namespace selvina::activation {

class GlobalHotkey : public QObject {
    Q_OBJECT
public:
    using Id = std::uint32_t;
    // `delay`: from the key press to the action running on the main thread.
    using Action = std::function<void(std::chrono::milliseconds delay)>;
    using WhenTaken = platform::HotkeySource::WhenTaken;

    GlobalHotkey(platform::HotkeySource& source, platform::SystemLog& systemLog, QObject* parent = nullptr);
    ~GlobalHotkey() override; // unregisters what is still registered

    // The new id, or none when the desktop refused the combination (logged here; the caller
    // decides what the user hears). Ids are never reused within the process.
    std::optional<Id> registerCombo(const HotkeyCombo& combo, Action action, WhenTaken whenTaken = WhenTaken::refuse);
    void unregister(Id id);
    void unregisterAll();
    // While suspended no combination is held, so that the keys reach this process's own windows
    // (a shortcut being recorded); resume() grabs again what is registered then. Registrations
    // made meanwhile are grabbed on resume; a refusal then comes as refusedLater().
    void suspend();
    void resume();

    QString frontmostApplication() { return m_source.frontmostApplication(); }
    // The refusal of the last failed registration, none before the first.
    const std::optional<platform::HotkeyError>& lastRefusal() const { return m_lastRefusal; }

Q_SIGNALS:
    // A registration that the desktop refused after registerCombo() had returned its id; the id
    // is no longer registered. `sentence` is the refusal's description.
    void refusedLater(selvina::activation::GlobalHotkey::Id id, const QString& sentence);

private:
    void logRefusal(const HotkeyCombo& combo, const platform::HotkeyError& refusal);
    void dispatch(Id id, std::chrono::steady_clock::time_point pressedAt);

    platform::HotkeySource& m_source;
    platform::SystemLog& m_systemLog;
    std::map<Id, HotkeyCombo> m_registrations;
    std::map<Id, WhenTaken> m_whenTaken;
    bool m_suspended = false;
    std::optional<platform::HotkeyError> m_lastRefusal;
};

} // namespace selvina::activation
