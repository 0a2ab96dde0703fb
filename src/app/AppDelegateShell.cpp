// The desktop half of the delegate: the launch steps around the conversation, the status item,
// the invocation shortcut and Escape, hand-over between instances, and quitting.
#include "app/AppDelegate.h"

#include "activation/GlobalHotkey.h"
#include "activation/VoiceEnrolment.h"
#include "activation/WakeWord.h"
#include "agent/AgentBridge.h"
#include "app/ConversationInstructions.h"
#include "app/SingleInstance.h"
#include "app/StatusItem.h"
#include "core/Paths.h"
#include "core/SidecarLog.h"
#include "diagnostics/Diagnostics.h"
#include "diagnostics/LinuxPrerequisites.h"
#include "overlay/OverlayController.h"
#include "platform/linux/gnome/GnomeCustomShortcut.h"
#include "settingspanes/ApiKeyField.h"
#include "settingspanes/PluginsPane.h"
#include "settingspanes/ReasoningPane.h"
#include "settingspanes/SettingsServices.h"
#include "settingspanes/SpeechPane.h"
#include "plugins/PluginStore.h"
#include "settings/LaunchPreferences.h"
#include "platform/DesktopSession.h"
#include "tools/ToolRegistry.h"
#include "update/UpdateController.h"

#include <QCoreApplication>
#include <QDir>
#include <QApplication>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotimer.h>

namespace selvina::app {

namespace {

constexpr auto kTerminationLimit = std::chrono::seconds(5);
constexpr auto kBusyMainThread = std::chrono::milliseconds(151);

QString yesNo(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace

// --- launch steps ---

void AppDelegate::startPluginMaintenance()
{
    if (m_services.pluginStore == nullptr)
        return;
    // A removal that waited for the end of a task is said when it is done, with the settings
    // window open or closed by then.
    connect(m_services.pluginStore, &plugins::PluginStore::outcome, this,
            [this](const QString& command, const QString& name, const std::optional<QString>& failure) {
                if (command == QLatin1String("usun-po-zadaniu"))
                    speak(failure ? QStringLiteral("Usuwanie wtyczki %1 po zadaniu nie powiodło się. %2")
                                        .arg(settingspanes::nazwaCzytelna(name), *failure)
                                  : QStringLiteral("Zadanie się skończyło, więc usunęłam wtyczkę %1.")
                                        .arg(settingspanes::nazwaCzytelna(name)),
                          ChatCopy::alreadySent);
            });
    m_services.pluginStore->bootstrapIfNeeded();
    m_services.pluginStore->autoUpdate();
}

bool AppDelegate::handOverToRunningInstance()
{
    if (m_services.instanceLock == nullptr || m_services.bus == nullptr)
        return false;
    m_instance = std::make_unique<SingleInstance>(*m_services.instanceLock, *m_services.bus);
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QVariantMap payload =
        SingleInstance::wakePayload(SingleInstance::settingsAsked(QCoreApplication::arguments(), environment), environment,
                                    SingleInstance::shortcutAsked(QCoreApplication::arguments()));
    QPointer<AppDelegate> self(this);
    const SingleInstance::Outcome outcome = m_instance->start(
        [self](const WakeRequest& request) {
            if (self)
                self->wakeRequested(request);
        },
        payload);
    if (outcome != SingleInstance::Outcome::handedOver)
        return false;
    QCoreApplication::exit(0);
    return true;
}

bool AppDelegate::runDiagnosticsIfAsked()
{
    // SELVINA_DIAGNOSTICS: the start-up report is printed here and the process ends.
    if (qgetenv("SELVINA_DIAGNOSTICS") != "1")
        return false;
    printDiagnostics(QPointer<AppDelegate>(this));
    return true;
}

std::shared_ptr<diagnostics::PermissionAudit> AppDelegate::makeAudit(ShortcutCheck shortcut)
{
    diagnostics::LinuxAuditOptions options;
    options.environment = m_services.composition.sources.environment;
    options.addCredentials = settings::Configuration::agentCredentials(m_services.composition.sources);
    options.shortcut = [self = QPointer<AppDelegate>(this), shortcut]() -> std::optional<bool> {
        if (!self)
            return std::nullopt;
        auto* hotkeys = self->m_services.hotkeys;
        auto* launch = self->m_services.launch;
        if (hotkeys == nullptr)
            return false;
        if (launch == nullptr || !launch->skrotWlaczony())
            return std::nullopt;
        if (shortcut == ShortcutCheck::heldNow)
            return self->m_invokeRegistration.has_value();
        const auto id = hotkeys->registerCombo(launch->skrot(), [](std::chrono::milliseconds) {});
        if (id)
            hotkeys->unregister(*id);
        return id.has_value();
    };
    return std::make_shared<diagnostics::PermissionAudit>(diagnostics::linuxPrerequisites(options), options.environment);
}

QCoro::Task<> AppDelegate::printDiagnostics(QPointer<AppDelegate> self)
{
    if (self->m_services.keys != nullptr) // the report names where the key comes from
        co_await self->m_services.keys->ready();
    if (!self)
        co_return;
    const std::shared_ptr<diagnostics::PermissionAudit> audit = self->makeAudit(ShortcutCheck::tryNow);
    diagnostics::Diagnostics::Inputs inputs;
    inputs.audit = audit.get();
    inputs.sources = self->m_services.composition.sources;
    const CompositionContext& composition = self->m_services.composition;
    inputs.tools = [accessibility = composition.accessibility, screenCapture = composition.screenCapture,
                    clock = composition.clock](const settings::Configuration& configuration) {
        tools::ToolRegistry registry;
        registry.registerTools(
            Composition::tools(nullptr, configuration, {}, {}, accessibility, nullptr, screenCapture, *clock));
        return registry.definitions();
    };
    inputs.instructions = conversationInstructions();
    inputs.buildInfo = QDir(paths::resourceDirectory()).filePath(QStringLiteral("build-info"));
    inputs.buildTree = paths::runsFromBuildTree();
    inputs.logDirectory = paths::logDirectory();
    inputs.clock = &self->clock();
    const diagnostics::Diagnostics::Result report = co_await diagnostics::Diagnostics::run(std::move(inputs));
    for (const QString& line : report.lines) {
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    }
    std::fflush(stdout);
    QCoreApplication::exit(0);
}

void AppDelegate::openSettingsIfAsked()
{
    if (qgetenv("SELVINA_DUMP_VIEWS") == "1") {
        openSettings();
        m_dumpViews = clock().after(std::chrono::milliseconds(2500), [this] {
            if (m_settingsWindow)
                m_settingsWindow->dumpViewTree();
            else
                logLine(QStringLiteral("okno nie istnieje"));
            SidecarLog::shared().flush();
            QCoreApplication::exit(0);
        });
    } else if (SingleInstance::settingsAsked(QCoreApplication::arguments(), QProcessEnvironment::systemEnvironment())) {
        logLine(QStringLiteral("[ustawienia] otwieram okno"));
        openSettings();
    }
}

bool AppDelegate::showStatePreviewIfAsked()
{
    const QString name = qEnvironmentVariable("SELVINA_STATE");
    if (name.isEmpty())
        return false;
    const std::optional<SessionState> state = sessionStateFromName(name);
    overlay::OverlayController* mark = state ? overlay() : nullptr;
    if (!state || mark == nullptr) {
        logLine(QStringLiteral("[podgląd] SELVINA_STATE=%1: %2 — uruchamiam normalnie")
                    .arg(name, state ? QStringLiteral("brak ekranu") : QStringLiteral("nieznany stan")));
        return false;
    }
    mark->show();
    m_session.setState(*state);
    m_session.setWorking(*state == SessionState::thinking);
    m_session.setCompact(*state == SessionState::thinking && qgetenv("SELVINA_COMPACT") == "1");
    logLine(QStringLiteral("[podgląd] znak w stanie ") + sessionStateName(*state));
    refreshStatusItem();
    refreshDebugPanel();
    return true;
}

void AppDelegate::startUpdates()
{
    update::UpdateServices updates;
    updates.clock = &clock();
    updates.preferences = m_services.composition.sources.preferences;
    updates.location = update::InstallLocation::of(QCoreApplication::applicationDirPath());
    updates.releaseInstance = [this] { if (m_instance) m_instance->release(); };
    updates.reclaimInstance = [this] { if (m_instance) m_instance->reclaim(); };
    updates.quit = [self = QPointer<AppDelegate>(this)] { if (self) self->applicationShouldTerminate(); };
    updates.failedBuild = qEnvironmentVariable("SELVINA_UPDATE_FAILED");
    if (updates.preferences == nullptr)
        return;
    m_updates = std::make_unique<update::UpdateController>(std::move(updates), [this] { return !m_coordinator && m_closing == 0; },
        [this](const QString& text) { speak(text, ChatCopy::alreadySent); });
    m_updates->start();
}

void AppDelegate::subscribeToPreferences()
{
    // The stores announce real changes only: no first value, no repeats.
    if (auto* launch = m_services.launch) {
        connect(launch, &settings::LaunchPreferences::skrotChanged, this, [this] { przypnijSkrotWywolania(); });
        connect(launch, &settings::LaunchPreferences::skrotWlaczonyChanged, this, [this] { przypnijSkrotWywolania(); });
        connect(launch, &settings::LaunchPreferences::zawolanieChanged, this, [this](bool on) {
            if (on) {
                startWakeWordListening();
            } else {
                logLine(QStringLiteral("[wybudzanie] wyłączone przez użytkownika"));
                if (m_wakeWord)
                    m_wakeWord->stop();
            }
            refreshStatusItem();
        });
    }
    if (auto* developer = m_services.developer)
        connect(developer, &settings::DeveloperPreferences::showDebugPanelChanged, this, [this] { refreshDebugPanel(); });
    connect(&m_session, &SessionModel::compactChanged, this, [this] { refreshDebugPanel(); });
    // The local-network probe starts here.
}

void AppDelegate::requestMissingPermissions()
{
    // The text channel never touches the sound server, which the audit probes.
    if (!ChatChannel::isEnabled())
        auditAtLaunch(QPointer<AppDelegate>(this));
}

// Fixes what the assistant may fix itself (the accessibility bus), then logs the report and shows
// the count of what is still missing in the menu.
QCoro::Task<> AppDelegate::auditAtLaunch(QPointer<AppDelegate> self)
{
    const std::shared_ptr<diagnostics::PermissionAudit> audit = self->makeAudit(ShortcutCheck::heldNow);
    self->m_audit = audit;
    co_await audit->request();
    const QStringList lines = co_await audit->lines();
    for (const QString& line : lines)
        if (!line.isEmpty())
            logLine(QStringLiteral("[uprawnienia] ") + line);
    if (!self)
        co_return;
    const int missing = diagnostics::PermissionAudit::missingCount(audit->lastCheck());
    self->m_missingPermissions = missing > 0 ? std::optional<int>(missing) : std::nullopt;
    self->refreshStatusItem();
    guideAtLaunch(self, audit->lastCheck());
}

// --- hand-over, settings, reopening ---

void AppDelegate::wakeRequested(const WakeRequest& request)
{
    if (!request.activationToken.isEmpty())
        m_activationToken = request.activationToken;
    if (request.settings) {
        openSettings();
        return;
    }
    // A desktop keybinding in place of our own shortcut does what the shortcut does.
    if (request.shortcut) {
        toggleConversation();
        return;
    }
    applicationShouldHandleReopen();
}

void AppDelegate::toggleConversation()
{
    if (m_coordinator)
        endSession(EndCue::play);
    else
        beginSession();
}

bool AppDelegate::applicationShouldHandleReopen()
{
    if (!m_coordinator)
        beginSession();
    return true;
}

void AppDelegate::openSettings()
{
    // Opening the window leaves an open conversation as it is: only the focus moves.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        logLine(QStringLiteral("[ustawienia] brak ekranu — okno ustawień niedostępne"));
        return;
    }
    if (!m_settingsWindow) {
        settingswindow::SettingsWindowController::Options options;
        options.preferences = m_services.composition.sources.preferences;
        options.launch = m_services.launch;
        options.developer = m_services.developer;
        options.hotkeys = m_services.hotkeys;
        options.makeAudit = [this] {
            auto audit = makeAudit(ShortcutCheck::heldNow);
            // What the permissions pane finds is what the menu counts.
            audit->setOnChecked([self = QPointer<AppDelegate>(this)](const std::vector<diagnostics::Permission>& found) {
                if (!self)
                    return;
                const int missing = diagnostics::PermissionAudit::missingCount(found);
                self->m_missingPermissions = missing > 0 ? std::optional<int>(missing) : std::nullopt;
                self->refreshStatusItem();
            });
            return audit;
        };
        options.restart = [this] {
            settingswindow::startAgainAfterExit();
            applicationShouldTerminate();
        };
        options.runLogPath = paths::logFile(QStringLiteral("debug.log"));
        options.about = settingswindow::AboutInfo::ofThisBuild(QDir(paths::resourceDirectory()).filePath(QStringLiteral("build-info")));
        if (const auto feed = update::feedAddress())
            options.about.updateFeed = feed->toString();
        options.about.taskProvider = [this] {
            using Engine = settings::ReasoningPreferences::Engine;
            const bool codex = m_settingsServices && m_settingsServices->reasoning->activeEngine() == Engine::codex;
            return codex ? QStringLiteral("OpenAI") : QStringLiteral("Anthropic");
        };
        // True only while the keyring answers (the last audit) and holds every key in use.
        options.about.keysInKeyring = [this] {
            const settings::Configuration now = settings::Configuration::load(m_services.composition.sources);
            const auto inKeyring = [](const settings::ResolvedKey& k) { return !k.value || k.source == settings::KeySource::keyring; };
            const auto& found = m_audit ? m_audit->lastCheck() : std::vector<diagnostics::Permission>{};
            const bool answers = std::any_of(found.begin(), found.end(), [](const diagnostics::Permission& p) {
                return p.name == u"Pęk kluczy" && p.granted == true;
            });
            return m_services.keys != nullptr && answers && inKeyring(now.openAIKey) && inKeyring(now.anthropicKey);
        };
        m_settingsWindow = std::make_unique<settingswindow::SettingsWindowController>(std::move(options));
        addServicePanes();
    }
    m_settingsWindow->show(std::exchange(m_activationToken, QString()));
}

void AppDelegate::addServicePanes()
{
    const CompositionContext& c = m_services.composition;
    if (c.sources.preferences == nullptr || c.audioDevices == nullptr || c.systemLog == nullptr || c.speech == nullptr)
        return; // the placeholders stay
    m_settingsServices = std::make_unique<settingspanes::SettingsServices>(
        settingspanes::makeSettingsServices(c.sources, *c.audioDevices, *c.systemLog, clock()));
    settingspanes::SettingsServices& services = *m_settingsServices;
    // A new model for the agents takes effect in a new sidecar.
    if (auto* bridge = dynamic_cast<agent::ClaudeAgentBridge*>(c.agent))
        connect(services.reasoning.get(), &settings::ReasoningPreferences::sidecarRestartNeeded, this,
                [bridge] { bridge->runtime().renewForNextTask(); });
    connect(services.reasoning.get(), &settings::ReasoningPreferences::writeReported, this,
            [this](const QString& sentence) { speak(sentence, ChatCopy::alreadySent); });
    const QString codex = settings::ReasoningPreferences::codexFolder(QProcessEnvironment::systemEnvironment(), QDir::homePath());
    m_settingsWindow->setPaneFactory(settingswindow::Pane::reasoning, [this, &services, codex] {
        auto* pane = new settingspanes::ReasoningPane(*services.reasoning, *services.catalog, codex);
        pane->setKeyField(makeKeyField(platform::kAnthropicAccount));
        return pane;
    });
    const settings::ConfigurationSources sources = c.sources;
    m_settingsWindow->setPaneFactory(settingswindow::Pane::speech, [this, &services, speech = c.speech, sources] {
        auto* pane = new settingspanes::SpeechPane(*speech, *services.catalog, *services.preview,
                                                   [sources] { return settings::Configuration::resolveOpenAIKey(sources).value; });
        pane->setKeyField(makeKeyField(platform::kOpenAIAccount));
        return pane;
    });
    if (m_services.pluginCatalog != nullptr && m_services.pluginStore != nullptr)
        m_settingsWindow->setPaneFactory(settingswindow::Pane::plugins, [this, &services] {
            return new settingspanes::PluginsPane(*m_services.pluginCatalog, *m_services.pluginStore, *services.reasoning,
                                                  m_settingsWindow->nawigacja());
        });
}

void AppDelegate::openPermissionSettings()
{
    openSettings();
    if (m_settingsWindow)
        m_settingsWindow->nawigacja().idzDo(settingswindow::Miejsce::panel(settingswindow::Pane::privacy));
}

// --- status item ---

void AppDelegate::buildStatusItem()
{
    if (m_statusItem || m_services.trayHost == nullptr)
        return;
    // The menu may outlive the delegate for a moment at exit: each entry checks it is still there.
    auto guarded = [self = QPointer<AppDelegate>(this)](void (AppDelegate::*method)()) {
        return [self, method] {
            if (self)
                (self.data()->*method)();
        };
    };
    StatusItem::Actions actions;
    actions.openSettings = guarded(&AppDelegate::openSettings);
    actions.openPermissionSettings = guarded(&AppDelegate::openPermissionSettings);
    actions.enterOpenAIKey = guarded(&AppDelegate::enterOpenAIKey);
    actions.aboutToShow = [self = QPointer<AppDelegate>(this)] { recountPermissions(self); };
    actions.przelaczZawolanie = guarded(&AppDelegate::przelaczZawolanie);
    actions.learnVoice = guarded(&AppDelegate::learnVoice);
    actions.quit = guarded(&AppDelegate::menuQuit);
    m_statusItem = std::make_unique<StatusItem>(*m_services.trayHost, m_services.statusIcon, std::move(actions));
    refreshStatusItem();
}

void AppDelegate::refreshStatusItem()
{
    if (!m_statusItem)
        return;
    StatusItem::Entries entries;
    entries.settings = qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; // the window needs a screen
    entries.zawolanie = m_services.launch == nullptr || m_services.launch->zawolanie();
    entries.voiceEnrolment = bool(m_services.makeVoiceEnrolment);
    entries.missingPermissions = m_missingPermissions;
    entries.openAIKeyMissing = entries.settings && keysRead() && openAIKeyMissing();
    m_statusItem->refresh(entries);
}

void AppDelegate::przelaczZawolanie()
{
    if (m_services.launch == nullptr)
        return;
    // The store announces the change; the subscription refreshes the menu.
    m_services.launch->setZawolanie(!m_services.launch->zawolanie());
    refreshStatusItem();
}

void AppDelegate::learnVoice()
{
    if (m_enrolment || !m_services.makeVoiceEnrolment)
        return;
    if (m_coordinator || m_waitingForMicrophone) {
        speak(QStringLiteral("Naukę głosu zacznę, gdy zakończysz rozmowę. Wybierz ją wtedy jeszcze raz z menu."));
        return;
    }
    QPointer<AppDelegate> self(this);
    m_wakeAfterEcho.reset();
    m_enrolment = m_services.makeVoiceEnrolment(
        [self](const QString& sentence, std::function<void()> done) {
            if (!self)
                return;
            self->speak(sentence);
            // The desktop's voice gives no sign when it has finished; the microphone opens after it.
            self->m_enrolmentSpeech = self->clock().after(kSpokenCharacter * int(sentence.size()) + std::chrono::milliseconds(500),
                                                          std::move(done));
        },
        [self] {
            if (self)
                self->playCue(voice::Cue::interrupted);
        },
        [self](bool kept) {
            if (!self)
                return;
            logLine(kept ? QStringLiteral("[wybudzanie] głos użytkownika zapisany — przebudowuję nasłuch")
                         : QStringLiteral("[wybudzanie] nauka głosu bez zmian"));
            // The enrolment is still on the stack of this call: it goes on the next turn.
            QMetaObject::invokeMethod(self.data(), [self, kept] {
                if (!self)
                    return;
                self->m_enrolment.reset();
                if (kept)
                    self->m_wakeWord.reset(); // the next listener reads the new profile
                self->startWakeWordListening();
            }, Qt::QueuedConnection);
        });
    if (!m_enrolment) {
        speak(QStringLiteral("Nie nauczę się Twojego głosu: rozpoznawanie zawołania nie działa. Sprawdź je w "
                             "Ustawieniach, w części Uprawnienia."));
        return;
    }
    logLine(QStringLiteral("[wybudzanie] nauka głosu użytkownika"));
    const auto begin = [self] {
        if (self && self->m_enrolment)
            self->m_enrolment->start();
    };
    if (m_wakeWord) {
        m_wakeWord->stop();
        m_wakeWord->whenReleased(this, begin);
    } else {
        begin();
    }
}

void AppDelegate::refreshDebugPanel()
{
    const bool wanted = m_services.developer != nullptr && m_services.developer->showDebugPanel() && m_session.compact();
    if (!wanted) {
        if (m_overlay)
            m_overlay->hideDebugPanel();
        return;
    }
    if (auto* mark = overlay())
        mark->showDebugPanel(*m_debugLog);
}

overlay::OverlayController* AppDelegate::overlay()
{
    if (!m_overlay && qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        m_overlay = std::make_unique<overlay::OverlayController>(m_session, clock(),
                                                                 overlay::OverlayWindowSystem::forThisDisplay());
        // The mark is never in a picture of the screen.
        if (const auto& capture = m_services.composition.screenCapture) {
            QPointer<AppDelegate> self(this);
            capture->setOverlayHook({[self] {
                                         return self && self->m_overlay ? self->m_overlay->withdrawForCapture()
                                                                        : std::vector<capture::WithdrawnWindow>{};
                                     },
                                     [self] {
                                         if (self && self->m_overlay)
                                             self->m_overlay->restoreAfterCapture();
                                     }});
        }
    }
    return m_overlay.get();
}

// --- wake phrase ---

void AppDelegate::startWakeWordListening()
{
    if (m_services.launch != nullptr && !m_services.launch->zawolanie()) {
        logLine(QStringLiteral("[wybudzanie] pomijam — wyłączone w ustawieniach"));
        return;
    }
    if (qgetenv("SELVINA_WAKE") == "0") {
        logLine(QStringLiteral("[wybudzanie] wyłączone przez SELVINA_WAKE=0"));
        return;
    }
    if (m_enrolment) {
        logLine(QStringLiteral("[wybudzanie] pomijam — trwa nauka głosu"));
        return;
    }
    if (m_coordinator || ChatChannel::isEnabled()) {
        logLine(QStringLiteral("[wybudzanie] pomijam (sesja: %1, tekst: %2)")
                    .arg(yesNo(m_coordinator != nullptr), yesNo(ChatChannel::isEnabled())));
        return;
    }
    if (!m_wakeWord) {
        if (!m_services.makeWakeWord) {
            logLine(QStringLiteral("[wybudzanie] brak nasłuchu w tym uruchomieniu"));
            return;
        }
        logLine(QStringLiteral("[wybudzanie] uruchamiam nasłuch"));
        QPointer<AppDelegate> self(this);
        m_wakeWord = m_services.makeWakeWord(
            [self] {
                if (self)
                    self->beginSession();
            },
            [self](const QString& reason) {
                if (self)
                    self->wakePhraseUnavailable(reason);
            },
            [self](const QString& reason) {
                if (self)
                    self->wakeProfileSkipped(reason);
            });
    }
    m_wakeWord->start();
}

void AppDelegate::wakePhraseUnavailable(const QString& reason)
{
    // Without a registered shortcut, a second start of the program is what wakes the first.
    QString hint = QStringLiteral("Rozmowę otworzysz, uruchamiając polecenie selvina-voice jeszcze raz.");
    if (m_invokeRegistration && m_services.launch != nullptr)
        hint = QStringLiteral("Rozmowę otworzysz skrótem ") + m_services.launch->skrot().spokenName() + QStringLiteral(".");
    speak(QStringLiteral("Nie rozpoznam zawołania „hej Selvina”. ") + reason + QStringLiteral(" ") + hint);
}

// A profile of an earlier detector (every update of the model file makes one) would otherwise leave the
// user wondering why the phrase is heard less well than before.
void AppDelegate::wakeProfileSkipped(const QString& reason)
{
    speak(QStringLiteral("Zawołanie „hej Selvina” rozpoznaję teraz bez nauki twojego głosu. ") + reason
          + QStringLiteral(" Służy do tego polecenie menu asystenta „Naucz się, jak wołam »hej Selvina«…”."));
}

// --- hot-keys ---

void AppDelegate::przypnijSkrotWywolania()
{
    auto* hotkeys = m_services.hotkeys;
    if (hotkeys == nullptr || m_services.launch == nullptr)
        return;
    if (m_invokeRegistration)
        hotkeys->unregister(*std::exchange(m_invokeRegistration, std::nullopt));
    if (!m_services.launch->skrotWlaczony()) {
        logLine(QStringLiteral("[skrót] wywołanie skrótem wyłączone przez użytkownika"));
        return;
    }
    const activation::HotkeyCombo combo = m_services.launch->skrot();
    QPointer<AppDelegate> self(this);
    m_invokeRegistration = hotkeys->registerCombo(combo, [self](std::chrono::milliseconds) {
        if (self)
            self->toggleConversation();
    });
    const auto failed = [this, combo](const QString& sentence) {
        // GNOME on Wayland has no portal for it: the first launch there asks once whether to add
        // GNOME's own keybinding instead, and a refusal at every start would only repeat that.
        if (platform::GnomeCustomShortcut::offered(m_services.composition.sources.environment)) {
            logLine(QStringLiteral("[skrót] GNOME na Waylandzie: portal nie przypisze skrótu; zostaje skrót GNOME z "
                                   "panelu Uruchamianie"));
            return;
        }
        speak(QStringLiteral("Nie udało się przypisać skrótu ") + combo.spokenName() + QStringLiteral(". ") + sentence);
    };
    if (!m_invokeRegistration) {
        failed(hotkeys->lastRefusal() ? hotkeys->lastRefusal()->description() : platform::HotkeyError::taken({}).description());
        return;
    }
    logLine(QStringLiteral("[skrót] wywołanie: ") + combo.displayName());
    // A portal may refuse after the fact.
    const std::uint32_t id = *m_invokeRegistration;
    disconnect(hotkeys, &activation::GlobalHotkey::refusedLater, this, nullptr);
    connect(hotkeys, &activation::GlobalHotkey::refusedLater, this, [this, id, failed](std::uint32_t refused, const QString& sentence) {
        if (m_invokeRegistration != refused || refused != id)
            return;
        m_invokeRegistration.reset();
        failed(sentence);
    });
}

void AppDelegate::registerEscape()
{
    if (m_services.hotkeys == nullptr || m_escapeRegistration)
        return;
    QPointer<AppDelegate> self(this);
    m_escapeRegistration = m_services.hotkeys->registerCombo(
        {activation::HotkeyCombo::kEscape, 0},
        [self](std::chrono::milliseconds delay) {
            if (self)
                self->onEscapeKey(delay);
        },
        activation::GlobalHotkey::WhenTaken::observe);
}

void AppDelegate::releaseEscape()
{
    if (m_services.hotkeys != nullptr && m_escapeRegistration)
        m_services.hotkeys->unregister(*m_escapeRegistration);
    m_escapeRegistration.reset();
}

void AppDelegate::onEscapeKey(std::chrono::milliseconds delay)
{
    const QString front = m_services.hotkeys->frontmostApplication();
    logLine(QStringLiteral("[esc] klawisz doszedł, na wierzchu: ") + (front.isEmpty() ? QStringLiteral("?") : front));
    if (delay >= kBusyMainThread)
        logLine(QStringLiteral("[esc] wątek główny był zajęty %1 ms").arg(delay.count()));
    escapePressed();
}

// --- quitting ---

void AppDelegate::menuQuit()
{
    applicationShouldTerminate();
}

void AppDelegate::applicationShouldTerminate()
{
    if (m_odpowiedzianoOZamknieciu) {
        QCoreApplication::quit();
        return;
    }
    if (std::exchange(m_terminating, true))
        return;
    // A sidecar that hangs never holds quitting up for longer than the limit.
    QTimer::singleShot(kTerminationLimit, this, [this] { answerTermination(); });
    terminateAfterShutdown(QPointer<AppDelegate>(this));
}

QCoro::Task<> AppDelegate::terminateAfterShutdown(QPointer<AppDelegate> self)
{
    co_await self->shutdown();
    // A cue still sounding (the end cue of the conversation just closed) plays out first: its
    // stream must not outlive the sound server connection torn down at exit.
    while (self && self->m_cuesPlaying > 0)
        co_await QCoro::sleepFor(std::chrono::milliseconds(20));
    if (self)
        self->answerTermination();
}

QCoro::Task<> AppDelegate::trackCue(QPointer<AppDelegate> self, QCoro::Task<> playing)
{
    if (self)
        ++self->m_cuesPlaying;
    co_await playing;
    if (self)
        --self->m_cuesPlaying;
}

void AppDelegate::answerTermination()
{
    if (std::exchange(m_odpowiedzianoOZamknieciu, true))
        return;
    applicationWillTerminate();
    QCoreApplication::quit();
}

void AppDelegate::applicationWillTerminate()
{
    if (m_services.hotkeys != nullptr)
        m_services.hotkeys->unregisterAll();
    m_invokeRegistration.reset();
    m_escapeRegistration.reset();
}

} // namespace selvina::app
