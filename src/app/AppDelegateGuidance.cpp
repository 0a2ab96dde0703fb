// The first day: the key fields of the settings, the menu's way to them, and the sentences of a
// launch that say what still stands in the way of a conversation and where it is mended.
#include "app/AppDelegate.h"

#include "activation/GlobalHotkey.h"
#include "agent/AgentBridge.h"
#include "app/StatusItem.h"
#include "core/Paths.h"
#include "core/SidecarLog.h"
#include "diagnostics/LinuxPrerequisites.h"
#include "platform/DesktopSession.h"
#include "platform/Preferences.h"
#include "platform/linux/SessionType.h"
#include "platform/linux/gnome/GnomeCustomShortcut.h"
#include "settings/LaunchPreferences.h"
#include "settingspanes/ApiKeyField.h"

#include <QDir>
#include <QGuiApplication>
#include <QFutureWatcher>

#include <qcoro/qcorofuture.h>

namespace selvina::app {

namespace {

// Preference keys: the greeting of the very first launch, and the advice for a tray that never came.
const QString kGreeted = QStringLiteral("pl.korlund.selvinavoice.powitanie");
const QString kTrayAdviceSaid = QStringLiteral("pl.korlund.selvinavoice.brakZasobnika");
// GNOME on Wayland: what Escape and the shortcut cannot do there, and the question about GNOME's
// keybinding, said at the first launch in such a session.
const QString kGnomeWaylandSaid = QStringLiteral("pl.korlund.selvinavoice.gnomeWayland");
// Any other Wayland desktop: that Escape does not interrupt there, said at the first launch in one.
const QString kWaylandEscapeSaid = QStringLiteral("pl.korlund.selvinavoice.waylandEscape");
// A panel that starts with the session has registered its tray host well before this.
constexpr auto kTrayGrace = std::chrono::seconds(45);

std::optional<bool> stateOf(const std::vector<diagnostics::Permission>& audit, const QString& name)
{
    for (const diagnostics::Permission& p : audit)
        if (p.name == name)
            return p.granted;
    return std::nullopt;
}

} // namespace

bool AppDelegate::keysRead() const
{
    return m_services.keys == nullptr || m_services.keys->ready().isFinished();
}

void AppDelegate::whenKeysRead(std::function<void()> then)
{
    if (keysRead()) {
        then();
        return;
    }
    // The keyring's first answer is bounded by its own time limit (a few seconds).
    m_services.keys->ready().then(this, [self = QPointer<AppDelegate>(this), then = std::move(then)] {
        if (self)
            then();
    });
}

bool AppDelegate::openAIKeyMissing() const
{
    return !settings::Configuration::resolveOpenAIKey(m_services.composition.sources).value.has_value();
}

settingspanes::ApiKeyField* AppDelegate::makeKeyField(const char* account)
{
    const bool openAI = QLatin1String(account) == QLatin1String(platform::kOpenAIAccount);
    const settings::ConfigurationSources sources = m_services.composition.sources;
    settingspanes::ApiKeyField::Services field;
    field.provider = openAI ? QStringLiteral("OpenAI") : QStringLiteral("Anthropic");
    field.configFile = QDir(sources.directory).filePath(QStringLiteral("config.json"));
    field.fileKey = openAI ? QStringLiteral("openai_api_key") : QStringLiteral("anthropic_api_key");
    field.showsSummary = !openAI; // the speech pane shows the key in use above the field
    field.current = [sources, openAI] {
        return openAI ? settings::Configuration::resolveOpenAIKey(sources) : settings::Configuration::load(sources).anthropicKey;
    };
    // The catalogue lives as long as the delegate, longer than the settings window and its fields.
    if (settings::ModelCatalog* catalog = m_settingsServices ? m_settingsServices->catalog.get() : nullptr; openAI && catalog)
        field.check = [catalog](QString key) { return catalog->checkKey(std::move(key)); };
    settings::CachedSecretStore* keys = m_services.keys;
    field.store = [keys, account = QString::fromLatin1(account)](const QString& value) {
        if (keys == nullptr)
            return QtFuture::makeReadyFuture(platform::SecretOutcome::noService);
        return value.isEmpty() ? keys->eraseLater(account) : keys->storeLater(value, account);
    };
    auto* widget = new settingspanes::ApiKeyField(std::move(field));
    widget->setObjectName(QString::fromLatin1(account));
    connect(widget, &settingspanes::ApiKeyField::keyChanged, this, [self = QPointer<AppDelegate>(this)] {
        if (!self)
            return;
        logLine(QStringLiteral("[klucze] klucz zmieniony w ustawieniach"));
        self->refreshStatusItem();
        // The agents log in with the keys their process started with: the next task gets a new one.
        if (auto* bridge = dynamic_cast<agent::ClaudeAgentBridge*>(self->m_services.composition.agent))
            bridge->runtime().renewForNextTask();
    });
    if (openAI)
        m_openAIKeyField = widget;
    return widget;
}

void AppDelegate::enterOpenAIKey()
{
    openSettings();
    if (!m_settingsWindow)
        return;
    m_settingsWindow->nawigacja().idzDo(settingswindow::Miejsce::panel(settingswindow::Pane::speech));
    // The pane is made by the navigation's change: the field exists from the next turn on.
    QMetaObject::invokeMethod(this, [self = QPointer<AppDelegate>(this)] {
        if (self && self->m_openAIKeyField)
            self->m_openAIKeyField->focusField();
    }, Qt::QueuedConnection);
}

QCoro::Task<> AppDelegate::guideAtLaunch(QPointer<AppDelegate> self, std::vector<diagnostics::Permission> audit)
{
    if (!self)
        co_return;
    if (self->m_services.keys != nullptr)
        co_await self->m_services.keys->ready();
    // A conversation opened at launch greets the user itself, and says what fails in it.
    if (!self || self->m_coordinator)
        co_return;
    QStringList sentences;
    platform::Preferences* preferences = self->m_services.composition.sources.preferences;
    settings::LaunchPreferences* launch = self->m_services.launch;
    if (preferences != nullptr && !preferences->value(kGreeted).toBool()) {
        preferences->setValue(kGreeted, true);
        QStringList ways;
        if (self->m_invokeRegistration && launch != nullptr)
            ways << QStringLiteral("skrótem ") + launch->skrot().spokenName();
        if (launch == nullptr || launch->zawolanie())
            ways << QStringLiteral("mówiąc „hej Selvina”");
        ways << QStringLiteral("uruchamiając Selvina Voice z menu aplikacji jeszcze raz");
        sentences << QStringLiteral("Selvina działa w tle. Rozmowę otworzysz ") + ways.join(QStringLiteral(", albo "))
                         + QStringLiteral(".");
    }

    // A Wayland session without Xwayland: the process runs without a display (the GUI needs
    // xcb), so the user would find no window, tray item or mark, and nothing would say why.
    const QProcessEnvironment& environment = self->m_services.composition.sources.environment;
    const bool windows = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    if (!windows && !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
        sentences << QStringLiteral("W tej sesji Wayland nie działa Xwayland, więc Selvina nie pokaże okna ustawień, ikony w "
                                    "zasobniku ani znacznika na ekranie; rozmowa działa. Zainstaluj pakiet xwayland "
                                    "poleceniem sudo apt install xwayland i zaloguj się ponownie.");
    // The question points to the settings window, which needs a display.
    if (preferences != nullptr && launch != nullptr && windows && platform::GnomeCustomShortcut::offered(environment)
        && !preferences->value(kGnomeWaylandSaid).toBool()) {
        preferences->setValue(kGnomeWaylandSaid, true);
        sentences << QStringLiteral("W GNOME na Waylandzie klawisz Escape nie przerwie Selviny — przerwiesz ją, zaczynając "
                                    "mówić. Pulpit nie pozwala też aplikacji samej zająć skrótu. Czy dopisać skrót %1 do "
                                    "ustawień klawiatury GNOME? Jeśli tak, wybierz w ustawieniach Selviny: Uruchamianie, "
                                    "przycisk Dodaj skrót do GNOME.")
                         .arg(launch->skrot().spokenName());
    }
    // On Wayland the hot-keys come from the shortcuts portal alone, which never takes a key without
    // modifiers (see makeHotkeySource): no desktop there lets Escape reach Selvina. GNOME's sentence
    // above says it already.
    const bool wayland = platform::waylandSession(environment.value(QStringLiteral("XDG_SESSION_TYPE")),
                                                  environment.value(QStringLiteral("WAYLAND_DISPLAY")));
    if (preferences != nullptr && wayland && !preferences->value(kGnomeWaylandSaid).toBool()
        && !preferences->value(kWaylandEscapeSaid).toBool()) {
        preferences->setValue(kWaylandEscapeSaid, true);
        sentences << QStringLiteral("Na tym pulpicie w sesji Wayland klawisz Escape nie przerwie Selviny, bo pulpit nie "
                                    "pozwala aplikacjom go przechwycić — przerwiesz ją, zaczynając mówić.");
    }

    // What stands in the way of a conversation, each with the place where it is mended.
    QStringList blockers;
    if (self->openAIKeyMissing()) {
        blockers << QStringLiteral("brakuje klucza OpenAI — wpisz go w: ") + keyPlace();
        if (stateOf(audit, QStringLiteral("Pęk kluczy")) == false)
            blockers << QStringLiteral("pęk kluczy systemu jest niedostępny albo zablokowany — zobacz: Ustawienia, "
                                       "Uprawnienia, pozycja Pęk kluczy");
    }
    if (stateOf(audit, QStringLiteral("Mikrofon")) == false)
        blockers << QStringLiteral("nie ma mikrofonu albo jest wyciszony — zobacz: Ustawienia, Uprawnienia, pozycja Mikrofon");
    if (stateOf(audit, QStringLiteral("Głośniki")) == false)
        blockers << QStringLiteral("nie ma głośników albo są wyciszone — zobacz: Ustawienia, Uprawnienia, pozycja Głośniki");
    if (stateOf(audit, QStringLiteral("Skróty globalne")) == false && stateOf(audit, QStringLiteral("Zasobnik systemowy")) == false)
        blockers << QStringLiteral("skrót nie działa, a ikony w zasobniku nie ma — rozmowę otworzysz, uruchamiając "
                                   "Selvina Voice z menu aplikacji; zobacz: Ustawienia, Uprawnienia, pozycja Skróty globalne");
    if (!blockers.isEmpty() && blockers != self->m_saidBlockers)
        sentences << QStringLiteral("Rozmowa jeszcze nie ruszy: ") + blockers.join(QStringLiteral("; "))
                         + QStringLiteral(". Ustawienia otworzysz z menu ikony Selvina albo z menu aplikacji: Selvina "
                                          "Voice, Ustawienia.");
    self->m_saidBlockers = blockers;
    // One utterance: two at once would talk over each other.
    if (!sentences.isEmpty())
        self->speak(sentences.join(QLatin1Char(' ')), ChatCopy::alreadySent);
    self->watchForTray();
}

void AppDelegate::watchForTray()
{
    platform::Preferences* preferences = m_services.composition.sources.preferences;
    if (m_trayCheck || m_services.trayHost == nullptr || preferences == nullptr)
        return;
    m_trayCheck = clock().after(kTrayGrace, [self = QPointer<AppDelegate>(this), preferences] {
        if (!self || (self->m_statusItem && self->m_statusItem->isShown()))
            return;
        if (preferences->value(kTrayAdviceSaid).toBool())
            return; // said once already; the permissions pane keeps it
        preferences->setValue(kTrayAdviceSaid, true);
        const auto desktop = diagnostics::desktopOf(self->m_services.composition.sources.environment);
        self->speak(QStringLiteral("Ikona Selvina nie pojawiła się w zasobniku systemowym. ") + diagnostics::trayRemedy(desktop)
                        + QStringLiteral(" Bez niej działa skrót i uruchamianie Selvina Voice z menu aplikacji."),
                    ChatCopy::alreadySent);
    });
    // A tray that comes later, even in another session, earns the advice again when it goes.
    m_services.trayHost->whenReady([preferences] { preferences->remove(kTrayAdviceSaid); });
}

QCoro::Task<> AppDelegate::recountPermissions(QPointer<AppDelegate> self)
{
    if (!self || self->m_recounting || ChatChannel::isEnabled())
        co_return;
    self->m_recounting = true;
    const std::shared_ptr<diagnostics::PermissionAudit> audit = self->makeAudit(ShortcutCheck::heldNow);
    const std::vector<diagnostics::Permission> found = co_await audit->check();
    if (!self)
        co_return;
    self->m_recounting = false;
    self->m_audit = audit;
    const int missing = diagnostics::PermissionAudit::missingCount(found);
    self->m_missingPermissions = missing > 0 ? std::optional<int>(missing) : std::nullopt;
    self->refreshStatusItem();
}

} // namespace selvina::app
