// SingleInstance: one assistant per session. A start that finds another one running hands over
// to it through the wake notification and ends; the first one opens a conversation (or its
// settings window) on each such request.
// Thread: main thread.
#pragma once

#include "platform/DesktopSession.h"
#include "platform/NotificationBus.h"

#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

namespace selvina::app {

struct WakeRequest {
    bool settings = false;   // the second start asked for the settings window
    bool shortcut = false;   // the second start came from a desktop keybinding: it acts as the shortcut
    QString activationToken; // lets the window be raised past focus-stealing prevention
};

class SingleInstance {
public:
    static const QString kWakeNotification; // "pl.korlund.selvinavoice.wake"
    static const QString kBusName;           // "pl.korlund.selvinavoice"

    // "--ustawienia" among the arguments, or SELVINA_SETTINGS=1.
    static bool settingsAsked(const QStringList& arguments, const QProcessEnvironment& environment);
    // "--skrot" among the arguments: a desktop keybinding (GNOME's, on Wayland) started this one.
    static bool shortcutAsked(const QStringList& arguments);
    // {"settings": "1"} when asked, {"shortcut": "1"} for a keybinding's start; {"activation_token": …}
    // from XDG_ACTIVATION_TOKEN, else DESKTOP_STARTUP_ID.
    static QVariantMap wakePayload(bool settings, const QProcessEnvironment& environment, bool shortcut = false);
    static WakeRequest wakeRequestFrom(const QVariantMap& payload);

    enum class Outcome {
        first,      // this process is the one; wake requests reach `onWake` from now on
        handedOver, // another one runs and has been woken: end this process with 0
        alone,      // no session bus: no hand-over either way
    };

    SingleInstance(platform::InstanceLock& lock, platform::NotificationBus& bus);
    ~SingleInstance();

    Outcome start(std::function<void(const WakeRequest&)> onWake, const QVariantMap& payloadIfSecond);
    // An update gives the name up for the build that takes over, and takes it back when that build
    // could not be started: this process goes on and must stay the one a second start finds.
    void release();
    void reclaim();

private:
    platform::InstanceLock& m_lock;
    platform::NotificationBus& m_bus;
    int m_subscription = 0;
};

} // namespace selvina::app
