// AppDelegate: what lives as long as the process — the session model, at most one open
// conversation, the text channel and the cues — and how a conversation is opened and closed.
// Thread: main thread.
#pragma once

#include "app/ChatChannel.h"
#include "app/Composition.h"
#include "diagnostics/PermissionAudit.h"
#include "platform/NotificationBus.h"
#include "platform/SpeechSynthesizer.h"
#include "settingspanes/SettingsServices.h"
#include "settingswindow/SettingsWindowController.h"
#include "voice/audio/Sounds.h"

#include <QObject>

#include <chrono>
#include <memory>
#include <optional>

namespace selvina::activation {
class GlobalHotkey;
class VoiceEnrolment;
class WakeWord;
}
namespace selvina::platform {
class InstanceLock;
class TrayHostWatch;
}
namespace selvina::settings {
class DeveloperPreferences;
class LaunchPreferences;
}
namespace selvina::plugins {
class PluginCatalog;
class PluginStore;
}
namespace selvina::overlay {
class AudioLevelSimulator;
class DebugFileLog;
class DebugLog;
class OverlayController;
}

namespace selvina::settingspanes {
class ApiKeyField;
}

namespace selvina::update {
class UpdateController;
}

namespace selvina::app {

class SingleInstance;
class StatusItem;
struct WakeRequest;

class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Services {
        CompositionContext composition;
        platform::NotificationBus* bus = nullptr;
        platform::SpeechSynthesizer* speech = nullptr;
        voice::CuePlayer* cues = nullptr; // none: no cues (text channel)
        // The desktop shell; each may be absent (no display, no bus, tests).
        activation::GlobalHotkey* hotkeys = nullptr;
        settings::LaunchPreferences* launch = nullptr;
        settings::DeveloperPreferences* developer = nullptr;
        platform::InstanceLock* instanceLock = nullptr;
        platform::TrayHostWatch* trayHost = nullptr;
        settings::CachedSecretStore* keys = nullptr; // the keyring the settings save keys into; none: no keyring
        QString statusIcon{}; // the icon file used when the theme has none
        overlay::DebugFileLog* runLogFile = nullptr; // none: the run log stays in memory
        plugins::PluginCatalog* pluginCatalog = nullptr; // none: no plug-in store (tests)
        plugins::PluginStore* pluginStore = nullptr;
        // Builds the wake-phrase listener, once, with the call that opens a conversation; none: no listener.
        // `unavailable` is told once why the phrase cannot be recognised; `profileSkipped`, while it is
        // built, why the user's recorded voice is not used (the listener then works without it).
        std::function<std::unique_ptr<activation::WakeWord>(std::function<void()> wake,
                                                            std::function<void(const QString&)> unavailable,
                                                            std::function<void(const QString&)> profileSkipped)>
            makeWakeWord{};
        // Builds the guided recording of the user's phrase; fills in the steps that check the recordings
        // and keep the profile. None: the detector cannot learn a voice.
        std::function<std::unique_ptr<activation::VoiceEnrolment>(std::function<void(const QString&, std::function<void()>)> say,
                                                                  std::function<void()> startSignal,
                                                                  std::function<void(bool kept)> finished)>
            makeVoiceEnrolment{};
    };

    explicit AppDelegate(Services services, QObject* parent = nullptr);
    ~AppDelegate() override;

    // A conversation opened by a typed question skips the greeting: the question is its first words.
    enum class Greeting { greet, skip };

    // Queued by main once the event loop runs: hands over to a running instance, or brings up the
    // tray, the shortcut and the first conversation.
    void applicationDidFinishLaunching();
    void beginSession(Greeting greeting = Greeting::greet);
    // Whether the end cue still has to sound: not when the goodbye was already heard.
    enum class EndCue { play, alreadyHeard };
    void endSession(EndCue cue);
    QCoro::Task<> escapePressed();
    // Closes the open conversation and waits for it to end; 5 s at most.
    QCoro::Task<> shutdown();

    // A sentence about the assistant itself, not about the conversation (a file it cannot write).
    void announce(const QString& sentence) { speak(sentence); }

    SessionModel& session() { return m_session; }
    conversation::Coordinator* coordinator() const { return m_coordinator.get(); }
    overlay::DebugLog& debugLog() { return *m_debugLog; }

    // The desktop shell (AppDelegateShell.cpp).
    void wakeRequested(const WakeRequest& request);
    // The shortcut's action: opens a conversation, or closes the open one.
    void toggleConversation();
    void openSettings();
    void openPermissionSettings();
    void addServicePanes(); // the reasoning and speech panes, once the window exists
    void przypnijSkrotWywolania();
    void buildStatusItem();
    void refreshStatusItem();
    void startWakeWordListening();
    void wakePhraseUnavailable(const QString& reason);
    void wakeProfileSkipped(const QString& reason);
    void refreshDebugPanel();
    void przelaczZawolanie();
    void learnVoice();
    void menuQuit();
    // Quitting (the menu, a termination signal, the session's logout) waits for the sidecar's
    // shutdown, 5 s at most, and is confirmed once.
    void applicationShouldTerminate();
    void applicationWillTerminate();
    // A second start of the program woke this one through the instance lock.
    bool applicationShouldHandleReopen();

    // The first day (AppDelegateGuidance.cpp): keys entered in the settings, and what the user hears
    // at launch about what still stands in the way of a conversation.
    settingspanes::ApiKeyField* makeKeyField(const char* account);
    void enterOpenAIKey(); // the settings at "Mowa", the focus in the key's field
    // The sentences of a launch: the first one ever, and what blocks a conversation (once per change).
    static QCoro::Task<> guideAtLaunch(QPointer<AppDelegate> self, std::vector<diagnostics::Permission> audit);
    // The permission count of the menu from a fresh check (the menu is about to open, a pane changed).
    static QCoro::Task<> recountPermissions(QPointer<AppDelegate> self);
    // Where the sentence for a missing key sends the user.
    static QString keyPlace() { return QStringLiteral("Ustawienia, Mowa, pole Klucz OpenAI"); }

Q_SIGNALS:
    void conversationClosed();

private:
    static QCoro::Task<> stopAgentLayer(agent::AgentBridge* bridge, std::shared_ptr<bool> done);
    void startVoice(Greeting greeting);
    void startChatChannel();
    void onCommand(const QString& text);
    void attachObserver();
    // Also as "error" on the text channel, unless the conversation has put it there already.
    enum class ChatCopy { send, alreadySent };
    void speak(const QString& text, ChatCopy chat = ChatCopy::send);
    void playCue(voice::Cue cue);
    void onConversationFailure(const conversation::Coordinator::Failure& failure);
    Clock& clock() const;
    static QCoro::Task<> startCoordinator(QPointer<AppDelegate> self, QPointer<conversation::Coordinator> coordinator);
    static QCoro::Task<> stopCoordinator(QPointer<AppDelegate> self,
                                         std::unique_ptr<conversation::Coordinator> coordinator);

    // Launch steps, in their order (AppDelegateShell.cpp).
    void startPluginMaintenance();
    bool handOverToRunningInstance();
    bool runDiagnosticsIfAsked();
    void openSettingsIfAsked();
    bool showStatePreviewIfAsked();
    void startUpdates();
    void subscribeToPreferences();
    void requestMissingPermissions();
    // Made on first use; none without a display.
    overlay::OverlayController* overlay();
    void registerEscape();
    void releaseEscape();
    void onEscapeKey(std::chrono::milliseconds delay);
    void answerTermination();
    // The prerequisite audit: the shortcut is either the one held now, or tried on the spot (the
    // start-up report runs before it is registered).
    enum class ShortcutCheck { heldNow, tryNow };
    std::shared_ptr<diagnostics::PermissionAudit> makeAudit(ShortcutCheck shortcut);
    static QCoro::Task<> printDiagnostics(QPointer<AppDelegate> self);
    static QCoro::Task<> auditAtLaunch(QPointer<AppDelegate> self);
    static QCoro::Task<> terminateAfterShutdown(QPointer<AppDelegate> self);
    static QCoro::Task<> trackCue(QPointer<AppDelegate> self, QCoro::Task<> playing);

    // The desktop's voice gives no sign when it has finished; a Polish sentence takes about this long
    // per character at its usual rate.
    static constexpr std::chrono::milliseconds kSpokenCharacter{70};

    Services m_services;
    SessionModel m_session;
    std::unique_ptr<conversation::Coordinator> m_coordinator;
    std::unique_ptr<ChatChannel> m_chat; // with the text channel: for the whole process
    std::unique_ptr<overlay::DebugLog> m_debugLog;
    std::unique_ptr<overlay::OverlayController> m_overlay;
    std::unique_ptr<overlay::AudioLevelSimulator> m_simulator; // preview mode's level
    int m_closing = 0; // conversations whose stop() is still running
    std::unique_ptr<ScheduledCall> m_endCue; // the end cue, after the sentence that ended a conversation
    std::unique_ptr<activation::WakeWord> m_wakeWord;
    std::unique_ptr<ScheduledCall> m_wakeAfterEcho; // the listener starts once the farewell has died away
    bool m_waitingForMicrophone = false; // a conversation waits for the listener to let the device go
    std::unique_ptr<activation::VoiceEnrolment> m_enrolment; // while the user's phrase is being recorded
    std::unique_ptr<ScheduledCall> m_enrolmentSpeech;        // until its sentence has been heard
    std::unique_ptr<SingleInstance> m_instance;
    std::unique_ptr<update::UpdateController> m_updates;
    std::unique_ptr<StatusItem> m_statusItem;
    std::optional<std::uint32_t> m_invokeRegistration;
    std::optional<std::uint32_t> m_escapeRegistration;
    std::shared_ptr<diagnostics::PermissionAudit> m_audit; // shared with a check still running
    std::optional<int> m_missingPermissions;              // the menu's entry; none when nothing is missing
    QString m_activationToken; // of the last wake request, for raising a window
    std::unique_ptr<settingspanes::SettingsServices> m_settingsServices; // the reasoning and speech panes' stores
    std::unique_ptr<settingswindow::SettingsWindowController> m_settingsWindow; // made on first opening
    std::unique_ptr<ScheduledCall> m_dumpViews; // SELVINA_DUMP_VIEWS: the dump, then the end
    int m_cuesPlaying = 0; // the process must not end under a cue's sound stream
    bool m_terminating = false;
    bool m_odpowiedzianoOZamknieciu = false;
    // The first day.
    void whenKeysRead(std::function<void()> then); // at once when they have been read
    bool keysRead() const;
    void watchForTray();
    bool openAIKeyMissing() const;
    QStringList m_saidBlockers;                 // what the last launch sentence named
    std::unique_ptr<ScheduledCall> m_trayCheck; // whether a tray host has come, some time after launch
    bool m_recounting = false;
    QPointer<settingspanes::ApiKeyField> m_openAIKeyField; // while the speech pane exists
};

} // namespace selvina::app
