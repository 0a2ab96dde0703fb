// selvina-voice: the assistant's entry point.
// Thread: main thread.
#include "activation/ClassifierRecognizer.h"
#include "activation/DeviceWakeInput.h"
#include "activation/GlobalHotkey.h"
#include "activation/VoiceEnrolment.h"
#include "activation/WakeWord.h"
#include "agent/AgentBridge.h"
#include "app/AppDelegate.h"
#include "app/SingleInstance.h"
#include "settings/Configuration.h"
#include "app/SessionDump.h"
#include "core/LagProbe.h"
#include "core/Paths.h"
#include "core/SidecarLog.h"
#include "core/WriteFailure.h"
#include "overlay/RunLog.h"
#include "platform/linux/DesktopBackends.h"
#include "platform/linux/atspi/AtspiDesktop.h"
#include "platform/linux/autostart/XdgAutostart.h"
#include "platform/linux/dbus/DBusNotificationBus.h"
#include "platform/linux/dbus/DesktopSessionBus.h"
#include "platform/linux/journal/JournalSystemLog.h"
#include "platform/linux/pulse/PulseAudioDevices.h"
#include "platform/linux/secret/LibsecretStore.h"
#include "platform/linux/speech/CommandSpeech.h"
#include "platform/linux/settings/IniPreferences.h"
#include "plugins/PluginOverview.h"
#include "settings/LaunchPreferences.h"
#include "settings/SpeechPreferences.h"
#include "wake/Enrolment.h"
#include "wake/WakeModel.h"

#include <QApplication>
#include <QDir>
#include <QSessionManager>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace selvina;

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP end the process the orderly way: the conversation is closed first.
void quitOnTerminationSignals(app::AppDelegate& delegate)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &delegate);
    QObject::connect(notifier, &QSocketNotifier::activated, &delegate, [&delegate, notifier] {
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(g_signalPipe[0], &byte, 1);
        notifier->setEnabled(false);
        logLine(QStringLiteral("[koniec] sygnał zakończenia — zamykam rozmowę"));
        delegate.applicationShouldTerminate();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    // The accessibility backend owns the default GLib main context on its worker thread; Qt's own
    // loop must not iterate it on the main thread at the same time.
    qputenv("QT_NO_GLIB", "1");
    // Qt asks whether a screen reader runs only at start-up (it cannot watch the setting change), so
    // without this a reader started later, or the accessibility that the permission audit switches
    // on, would find our windows dark until a restart.
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    // The tray, the hot-keys and the windows need a display; without one the assistant still
    // serves the text channel.
    const bool display = platform::prepareDisplay();
    std::unique_ptr<QCoreApplication> application =
        display ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("selvina-voice"));
    // First: whatever holds the main thread from here on, start-up included, shows as lateness.
    const std::unique_ptr<LagProbe> lagProbe = LagProbe::fromEnvironment();
    if (display) {
        QGuiApplication::setApplicationDisplayName(QStringLiteral("Selvina Voice"));
        QGuiApplication::setDesktopFileName(QStringLiteral("selvina-voice"));
        QApplication::setQuitOnLastWindowClosed(false);
    }
    SystemClock clock; // the process's one clock: every wait of the conversation runs on it
    if (const auto code = plugins::runCommandLine(QCoreApplication::arguments(), clock))
        return *code;

    platform::LibsecretStore secrets;
    WriteFailureNotice writeFailures; // said once the delegate is there
    platform::IniPreferences preferences(paths::configFile(QStringLiteral("preferences.ini")), &writeFailures);
    settings::SpeechPreferences speech(preferences);

    if (qgetenv("SELVINA_DUMP_SESSION") == "1") {
        settings::ConfigurationSources sources{paths::configDirectory(), &secrets, &preferences};
        const QByteArray dump = app::sessionDump(speech.snapshot(), settings::Configuration::resolveOpenAIKey(sources).source);
        std::fwrite(dump.constData(), 1, size_t(dump.size()), stdout);
        std::fflush(stdout);
        return 0;
    }

    settings::CachedSecretStore keys(secrets); // the keyring is read on its own thread from here on
    const bool textChannel = app::ChatChannel::isEnabled();
    platform::DBusNotificationBus bus;
    platform::JournalSystemLog systemLog;
    platform::CommandSpeech speechOutput;
    // The text channel never touches the sound server.
    std::unique_ptr<platform::PulseAudioDevices> audio;
    std::unique_ptr<voice::CuePlayer> cues;
    if (!textChannel) {
        audio = std::make_unique<platform::PulseAudioDevices>(QStringLiteral("Selvina Voice"));
        cues = std::make_unique<voice::CuePlayer>(*audio, systemLog, paths::resourceDirectory());
    }

    tools::ElementRegistry elements; // the screen tools' identifiers, counted for the whole run
    app::AppDelegate::Services services;
    services.composition.clock = &clock;
    services.composition.sources = settings::ConfigurationSources{paths::configDirectory(), &keys, &preferences};
    services.composition.systemLog = &systemLog;
    services.composition.audioDevices = audio.get();
    services.composition.speech = &speech;
    services.composition.workSound = voice::workSoundLoop();
    services.composition.accessibility = std::make_shared<tools::AccessibilityAccess>(
        std::make_unique<platform::AtspiDesktop>(), elements, QCoreApplication::applicationPid());
    services.composition.writeFailures = &writeFailures;
    services.composition.screenCapture = std::make_shared<capture::ScreenCapture>(
        platform::makeScreenCaptureProvider(QCoreApplication::applicationPid()));
    agent::SidecarRuntime::Options sidecarOptions;
    sidecarOptions.addCredentials = settings::Configuration::agentCredentials(services.composition.sources);
    agent::ClaudeAgentBridge agentBridge(clock, std::move(sidecarOptions));
    services.composition.agent = &agentBridge;
    plugins::PluginCatalog pluginCatalog;
    plugins::PluginStore::Options storeOptions;
    storeOptions.tasksRunning = [&agentBridge] { return agentBridge.runtime().liveTaskCount() > 0; };
    plugins::PluginStore pluginStore(clock, pluginCatalog, std::move(storeOptions));
    QObject::connect(&pluginCatalog, &plugins::PluginCatalog::restartForPluginChange, &agentBridge.runtime(),
                     &agent::SidecarRuntime::renewForNextTask);
    // Queued: the runtime says it from inside a task's last event.
    QObject::connect(&agentBridge.runtime(), &agent::SidecarRuntime::idle, &pluginStore, &plugins::PluginStore::runDeferred,
                     Qt::QueuedConnection);
    services.pluginCatalog = &pluginCatalog;
    services.pluginStore = &pluginStore;
    services.bus = &bus;
    services.speech = &speechOutput;
    services.cues = cues.get();

    // The desktop shell.
    overlay::DebugFileLog runLog(paths::logFile(QStringLiteral("debug.log")), &settings::DeveloperPreferences::runLogEnabled,
                                 &writeFailures);
    // The entry outlives this build: an update removes the build's own folder.
    platform::XdgAutostart loginItem(paths::stableProgram(QCoreApplication::applicationFilePath(), QDir::homePath()));
    settings::LaunchPreferences launch(preferences, loginItem);
    settings::DeveloperPreferences developer(preferences, [&runLog](const QString& marker) { runLog.appendMarker(marker); });
    platform::DBusInstanceLock instanceLock(app::SingleInstance::kBusName);
    std::unique_ptr<platform::HotkeySource> hotkeySource = platform::makeHotkeySource();
    std::unique_ptr<activation::GlobalHotkey> hotkeys;
    if (hotkeySource)
        hotkeys = std::make_unique<activation::GlobalHotkey>(*hotkeySource, systemLog);
    else
        logLine(QStringLiteral("[skrót] brak ekranu i sesji Wayland — skróty globalne niedostępne"));
    std::unique_ptr<platform::StatusNotifierHostWatch> trayHost;
    if (display)
        trayHost = std::make_unique<platform::StatusNotifierHostWatch>();
    services.hotkeys = hotkeys.get();
    services.launch = &launch;
    services.developer = &developer;
    services.runLogFile = &runLog;
    services.instanceLock = &instanceLock;
    services.trayHost = trayHost.get();
    services.keys = &keys;
    services.statusIcon = paths::resourceDirectory() + QStringLiteral("/icons/64/selvina-voice.png");

    if (audio) {
        services.makeWakeWord = [&audio, &clock](std::function<void()> wake, std::function<void(const QString&)> unavailable,
                                                 const std::function<void(const QString&)>& profileSkipped) {
            const settings::WakeTuning tuning = settings::WakeTuning::load(paths::configDirectory());
            auto recognizer = activation::ClassifierRecognizer::load(
                {paths::wakeModelFile(), paths::wakeProfileFile(), tuning.threshold, tuning.windows});
            if (!recognizer->profileProblem().isEmpty()) {
                logLine(QStringLiteral("[wybudzanie] nagranie głosu użytkownika pominięte: ") + recognizer->profileProblem());
                profileSkipped(recognizer->profileProblem());
            }
            activation::WakeWord::Options options;
            options.traceHeardText = qgetenv("SELVINA_TRACE") == "1";
            options.onUnavailable = std::move(unavailable);
            return std::make_unique<activation::WakeWord>(std::move(recognizer),
                                                          std::make_unique<activation::DeviceWakeInput>(*audio), clock,
                                                          std::move(wake), std::move(options));
        };
    }

    if (audio) {
        services.makeVoiceEnrolment = [&audio, &clock](auto say, auto startSignal, auto finished)
            -> std::unique_ptr<activation::VoiceEnrolment> {
            auto loaded = wake::WakeModel::load(paths::wakeModelFile());
            if (!loaded)
                return nullptr;
            std::shared_ptr<const wake::WakeModel> model = loaded.value();
            activation::VoiceEnrolment::Steps steps;
            steps.say = std::move(say);
            steps.startSignal = std::move(startSignal);
            steps.finished = std::move(finished);
            steps.check = [model](const activation::VoiceEnrolment::Recording& recording, int number) -> std::optional<QString> {
                if (auto problem = wake::checkRecording(*model, recording, number))
                    return problem->description();
                return std::nullopt;
            };
            steps.adapt = [model](const std::vector<activation::VoiceEnrolment::Recording>& set) -> std::optional<QString> {
                auto profile = wake::enrol(*model, set);
                if (!profile)
                    return profile.error().description();
                if (auto saved = profile.value().save(paths::wakeProfileFile()); !saved)
                    return saved.error().description();
                return std::nullopt;
            };
            return std::make_unique<activation::VoiceEnrolment>(std::make_unique<activation::DeviceWakeInput>(*audio), clock,
                                                                std::move(steps));
        };
    }

    app::AppDelegate delegate(services);
    writeFailures.setSay([&delegate](const QString& sentence) { delegate.announce(sentence); });
    quitOnTerminationSignals(delegate);
    if (display) {
        // Logging out asks running applications to save their data; the assistant quits instead.
        QObject::connect(qApp, &QGuiApplication::commitDataRequest, &delegate, [&delegate](QSessionManager& manager) {
            manager.setRestartHint(QSessionManager::RestartNever);
            delegate.applicationShouldTerminate();
        });
    }
    QMetaObject::invokeMethod(&delegate, [&delegate] { delegate.applicationDidFinishLaunching(); }, Qt::QueuedConnection);
    const int code = QCoreApplication::exec();
    SidecarLog::shared().flush();
    return code;
}
