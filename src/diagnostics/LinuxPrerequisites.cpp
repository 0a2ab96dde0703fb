#include "diagnostics/LinuxPrerequisites.h"

#include "agent/EngineDetector.h"
#include "agent/SidecarRuntime.h"
#include "core/Paths.h"
#include "core/SidecarLog.h"
#include "platform/linux/SessionType.h"
#include "platform/linux/pulse/PulseAudioDevices.h"
#include "wake/WakeModel.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <xcb/xcb.h>

#include <algorithm>
#include <map>
#include <cstdlib>

namespace selvina::diagnostics {

namespace {

using namespace std::chrono_literals;

// Each question inside a probe answers within this, so the probe stays inside the audit's limit.
constexpr int kCallMs = 1500;
constexpr auto kCommandLimit = 1500ms;

// The bus the environment names; the process's own session bus when it names none.
QDBusConnection busOf(const QProcessEnvironment& environment)
{
    const QString address = environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    if (address.isEmpty() || address == qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"))
        return QDBusConnection::sessionBus();
    return QDBusConnection::connectToBus(address, QStringLiteral("selvina.audit.") + address);
}

QDBusMessage call(const QProcessEnvironment& environment, const QString& service, const QString& path,
                  const QString& interface, const QString& method, const QVariantList& arguments)
{
    QDBusConnection bus = busOf(environment);
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    if (!bus.isConnected())
        return message.createErrorReply(QDBusError::Disconnected, QStringLiteral("no session bus"));
    return bus.call(message, QDBus::Block, kCallMs);
}

// A property's value; none on any error.
std::optional<QVariant> property(const QProcessEnvironment& environment, const QString& service, const QString& path,
                                 const QString& interface, const QString& name)
{
    const QDBusMessage reply = call(environment, service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("Get"), {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().first().value<QDBusVariant>().variant();
}

QString findProgram(const QString& name, const QProcessEnvironment& environment)
{
    // ip lives in /usr/sbin, which a user's PATH may lack.
    QStringList folders = environment.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    folders << QStringLiteral("/usr/sbin") << QStringLiteral("/sbin");
    return QStandardPaths::findExecutable(name, folders);
}

struct Ran {
    int exitCode = -1;
    QByteArray output; // standard output and error together
};

// None when it could not start or outlived the limit (it is killed then).
std::optional<Ran> runCommand(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(int(kCommandLimit.count())))
        return std::nullopt;
    if (!process.waitForFinished(int(kCommandLimit.count()))) {
        process.kill();
        process.waitForFinished(500);
        return std::nullopt;
    }
    return Ran{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAll()};
}

// The default source or sink: there, not a sink's monitor standing in for a microphone, not muted.
std::optional<bool> soundDevice(bool input, const QProcessEnvironment& environment)
{
    {
        platform::PulseAudioDevices devices(QStringLiteral("Selvina Voice"));
        if (!(input ? devices.defaultInputFormat() : devices.defaultOutputFormat()))
            return false;
    }
    const QString pactl = findProgram(QStringLiteral("pactl"), environment);
    if (pactl.isEmpty())
        return std::nullopt;
    if (input) {
        const auto name = runCommand(pactl, {QStringLiteral("get-default-source")}, environment);
        if (!name || name->exitCode != 0)
            return std::nullopt;
        if (name->output.trimmed().endsWith(".monitor"))
            return false;
    }
    const auto mute = runCommand(pactl, input ? QStringList{QStringLiteral("get-source-mute"), QStringLiteral("@DEFAULT_SOURCE@")}
                                              : QStringList{QStringLiteral("get-sink-mute"), QStringLiteral("@DEFAULT_SINK@")},
                                 environment);
    if (!mute || mute->exitCode != 0)
        return std::nullopt;
    const QByteArray said = mute->output.trimmed();
    if (said.endsWith("yes"))
        return false;
    if (said.endsWith("no"))
        return true;
    return std::nullopt;
}

const QString kA11yBus = QStringLiteral("org.a11y.Bus");
const QString kA11yPath = QStringLiteral("/org/a11y/bus");
const QString kA11yStatus = QStringLiteral("org.a11y.Status");

std::optional<bool> accessibilityEnabled(const QProcessEnvironment& environment)
{
    const auto enabled = property(environment, kA11yBus, kA11yPath, kA11yStatus, QStringLiteral("IsEnabled"));
    if (!enabled)
        return false; // no accessibility bus at all
    if (enabled->toBool())
        return true;
    const auto reader = property(environment, kA11yBus, kA11yPath, kA11yStatus, QStringLiteral("ScreenReaderEnabled"));
    return reader && reader->toBool();
}

// What a screen reader does when it starts: toolkits started from now on expose their windows.
std::optional<bool> enableAccessibility(const QProcessEnvironment& environment)
{
    const QDBusMessage reply = call(environment, kA11yBus, kA11yPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("Set"),
                                    {kA11yStatus, QStringLiteral("IsEnabled"), QVariant::fromValue(QDBusVariant(true))});
    const bool done = reply.type() == QDBusMessage::ReplyMessage;
    logLine(done ? QStringLiteral("[uprawnienia] włączono magistralę dostępności — aplikacje uruchomione wcześniej "
                                  "trzeba uruchomić ponownie")
                 : QStringLiteral("[uprawnienia] nie udało się włączyć magistrali dostępności: ") + reply.errorMessage());
    return done;
}

bool waylandSession(const QProcessEnvironment& environment)
{
    return platform::waylandSession(environment.value(QStringLiteral("XDG_SESSION_TYPE")),
                                    environment.value(QStringLiteral("WAYLAND_DISPLAY")));
}

// X11: one pixel of the root window. Wayland: the answer the screenshot portal has stored, none
// before it first asked.
std::optional<bool> screenCapture(const QProcessEnvironment& environment)
{
    if (waylandSession(environment)) {
        const QDBusMessage reply = call(environment, QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
                                        QStringLiteral("/org/freedesktop/impl/portal/PermissionStore"),
                                        QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
                                        QStringLiteral("Lookup"), {QStringLiteral("screenshot"), QStringLiteral("screenshot")});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return std::nullopt;
        QMap<QString, QStringList> answers;
        reply.arguments().first().value<QDBusArgument>() >> answers;
        const QStringList answer = answers.value(QString());
        if (answer.contains(u"yes"))
            return true;
        if (answer.contains(u"no"))
            return false;
        return std::nullopt;
    }
    const QByteArray display = environment.value(QStringLiteral("DISPLAY")).toLocal8Bit();
    if (display.isEmpty())
        return false;
    xcb_connection_t* c = xcb_connect(display.constData(), nullptr);
    bool captured = false;
    if (xcb_connection_has_error(c) == 0) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_get_image_reply_t* image =
            xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, 0, 0, 1, 1, ~0u), nullptr);
        captured = image != nullptr;
        std::free(image);
    }
    xcb_disconnect(c);
    return captured;
}

std::optional<bool> trayHost(const QProcessEnvironment& environment)
{
    const auto registered = property(environment, QStringLiteral("org.kde.StatusNotifierWatcher"),
                                     QStringLiteral("/StatusNotifierWatcher"), QStringLiteral("org.kde.StatusNotifierWatcher"),
                                     QStringLiteral("IsStatusNotifierHostRegistered"));
    return registered && registered->toBool();
}

// The Secret Service answers and its default collection is unlocked. A service that does not
// answer in time counts as missing: the keys cannot be read from it either.
std::optional<bool> keyringUnlocked(const QProcessEnvironment& environment)
{
    const QString service = QStringLiteral("org.freedesktop.secrets");
    const QDBusMessage alias = call(environment, service, QStringLiteral("/org/freedesktop/secrets"),
                                    QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"),
                                    {QStringLiteral("default")});
    if (alias.type() != QDBusMessage::ReplyMessage || alias.arguments().isEmpty())
        return false;
    const QString collection = alias.arguments().first().value<QDBusObjectPath>().path();
    if (collection.isEmpty() || collection == u"/")
        return false;
    const auto locked = property(environment, service, collection, QStringLiteral("org.freedesktop.Secret.Collection"),
                                 QStringLiteral("Locked"));
    return locked && !locked->toBool();
}

// Node.js new enough for the agent layer, and the layer itself built.
std::optional<bool> agentLayer(const QStringList& sidecarDirectories, const QProcessEnvironment& environment)
{
    if (!agent::SidecarLocator::resolveEntryPoint(sidecarDirectories))
        return false;
    const agent::SidecarLocator::NodeCommand node = agent::SidecarLocator::resolveNodeExecutable();
    const auto version = runCommand(node.executable, node.leadingArguments + QStringList{QStringLiteral("--version")}, environment);
    if (!version || version->exitCode != 0)
        return false;
    static const QRegularExpression numbers(QStringLiteral("^v?(\\d+)\\.(\\d+)"));
    const auto match = numbers.match(QString::fromUtf8(version->output.trimmed()));
    if (!match.hasMatch())
        return false;
    const int major = match.captured(1).toInt();
    const int minor = match.captured(2).toInt();
    return major > 18 || (major == 18 && minor >= 19);
}

std::optional<bool> agentLoggedIn(const QProcessEnvironment& environment, const QString& home)
{
    const agent::EngineDetector detector(environment, home);
    return detector.checkClaude().available || detector.checkCodex().available;
}

// The calendar tool itself, over today: an "error" object means the store could not be read.
std::optional<bool> calendarStore(const QString& program, const QProcessEnvironment& environment)
{
    QString tool = program;
    if (tool.isEmpty()) {
        const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("selvina-calendar"));
        tool = QFileInfo(beside).isExecutable() ? beside : findProgram(QStringLiteral("selvina-calendar"), environment);
    }
    if (tool.isEmpty())
        return false;
    const auto listed = runCommand(tool, {}, environment);
    if (!listed)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(listed->output);
    return document.isObject() && !document.object().contains(QStringLiteral("error"));
}

// The programs the desktop's voice speaks through, in the order the assistant tries them.
std::optional<bool> speechOutsideConversation(const QProcessEnvironment& environment)
{
    return !findProgram(QStringLiteral("spd-say"), environment).isEmpty()
        || !findProgram(QStringLiteral("espeak-ng"), environment).isEmpty();
}

// The gateway answers a ping. What cannot be decided (no gateway, no ping, a ping that is not
// permitted or goes unanswered) is logged and left undecided.
std::optional<bool> gatewayAnswers(const QProcessEnvironment& environment)
{
    const QString ip = findProgram(QStringLiteral("ip"), environment);
    const auto routes = ip.isEmpty() ? std::nullopt
                                     : runCommand(ip, {QStringLiteral("route"), QStringLiteral("show"), QStringLiteral("default")},
                                                  environment);
    const QString gateway = routes ? gatewayIn(routes->output) : QString();
    if (gateway.isEmpty()) {
        logLine(QStringLiteral("[siec] nie udało się ustalić bramy domyślnej"));
        return std::nullopt;
    }
    const QString ping = findProgram(QStringLiteral("ping"), environment);
    const auto answer = ping.isEmpty() ? std::nullopt
                                       : runCommand(ping, {QStringLiteral("-n"), QStringLiteral("-c"), QStringLiteral("1"),
                                                           QStringLiteral("-W"), QStringLiteral("1"), gateway},
                                                    environment);
    if (answer && answer->exitCode == 0)
        return true;
    const QString said = answer ? QString::fromLocal8Bit(answer->output).toLower() : QString();
    if (said.contains(u"unreachable") || said.contains(u"no route to host") || said.contains(u"host is down"))
        return false;
    logLine(QStringLiteral("[siec] ping do bramy ") + gateway + QStringLiteral(" bez rozstrzygnięcia (kod ")
            + (ping.isEmpty() ? QStringLiteral("brak polecenia ping") : QString::number(answer ? answer->exitCode : -1))
            + QStringLiteral(")"));
    return std::nullopt;
}

// The settings panels a remedy opens, per desktop; each program is in a Debian package of that
// desktop (gnome-control-center, systemsettings, mate-control-center or mate-media, xfce4-settings,
// pavucontrol, network-manager-gnome).
enum class Panel { sound, accessibility, keyboard, network, accounts };

QStringList panel(Desktop desktop, Panel which)
{
    static const std::map<std::pair<Desktop, Panel>, QStringList> panels{
        {{Desktop::gnome, Panel::sound}, {"gnome-control-center", "sound"}},
        {{Desktop::gnome, Panel::accessibility}, {"gnome-control-center", "universal-access"}},
        {{Desktop::gnome, Panel::keyboard}, {"gnome-control-center", "keyboard"}},
        {{Desktop::gnome, Panel::network}, {"gnome-control-center", "network"}},
        {{Desktop::gnome, Panel::accounts}, {"gnome-control-center", "online-accounts"}},
        {{Desktop::kde, Panel::sound}, {"systemsettings", "kcm_pulseaudio"}},
        {{Desktop::kde, Panel::accessibility}, {"systemsettings", "kcm_access"}},
        {{Desktop::kde, Panel::keyboard}, {"systemsettings", "kcm_keys"}},
        {{Desktop::kde, Panel::network}, {"systemsettings", "kcm_networkmanagement"}},
        {{Desktop::mate, Panel::sound}, {"mate-volume-control"}},
        {{Desktop::mate, Panel::accessibility}, {"mate-at-properties"}},
        {{Desktop::mate, Panel::keyboard}, {"mate-keybinding-properties"}},
        {{Desktop::mate, Panel::network}, {"nm-connection-editor"}},
        {{Desktop::xfce, Panel::sound}, {"pavucontrol"}},
        {{Desktop::xfce, Panel::accessibility}, {"xfce4-accessibility-settings"}},
        {{Desktop::xfce, Panel::keyboard}, {"xfce4-keyboard-settings"}},
        {{Desktop::xfce, Panel::network}, {"nm-connection-editor"}},
    };
    const auto found = panels.find({desktop, which});
    return found == panels.end() ? QStringList() : found->second;
}

// Where the desktop's own settings for sound and for key bindings are, in words.
QString soundPlace(Desktop desktop)
{
    switch (desktop) {
    case Desktop::gnome: return QStringLiteral("w Ustawieniach, w części Dźwięk");
    case Desktop::kde: return QStringLiteral("w Ustawieniach systemowych, w części Dźwięk");
    case Desktop::mate: return QStringLiteral("w programie Preferencje dźwięku (mate-volume-control)");
    case Desktop::xfce: return QStringLiteral("w programie pavucontrol (pakiet pavucontrol)");
    case Desktop::other: break;
    }
    return QStringLiteral("w ustawieniach dźwięku albo w programie pavucontrol (pakiet pavucontrol)");
}

QString keyboardPlace(Desktop desktop)
{
    switch (desktop) {
    case Desktop::gnome: return QStringLiteral("w Ustawieniach, w części Klawiatura, Skróty klawiszowe");
    case Desktop::kde: return QStringLiteral("w Ustawieniach systemowych, w części Skróty");
    case Desktop::mate: return QStringLiteral("w programie Skróty klawiszowe (mate-keybinding-properties)");
    case Desktop::xfce: return QStringLiteral("w Ustawieniach, w części Klawiatura, na karcie Skróty aplikacji");
    case Desktop::other: break;
    }
    return QStringLiteral("w ustawieniach klawiatury pulpitu");
}

QString keyringRemedy(Desktop desktop)
{
    if (desktop == Desktop::kde)
        return QStringLiteral("Odblokuj portfel KDE w programie Menedżer portfeli (pakiet kwalletmanager) albo "
                              "zainstaluj gnome-keyring poleceniem sudo apt install gnome-keyring i zaloguj się ponownie.");
    return QStringLiteral("Odblokuj pęk kluczy w programie Hasła i klucze (pakiet seahorse) albo zainstaluj go "
                          "poleceniem sudo apt install gnome-keyring i zaloguj się ponownie.");
}

bool anyExists(const QStringList& paths)
{
    return std::any_of(paths.cbegin(), paths.cend(), [](const QString& p) { return QFileInfo::exists(p); });
}

} // namespace

Desktop desktopOf(const QProcessEnvironment& environment)
{
    const QStringList names = environment.value(QStringLiteral("XDG_CURRENT_DESKTOP")).toUpper().split(QLatin1Char(':'));
    if (names.contains(QStringLiteral("GNOME")))
        return Desktop::gnome;
    if (names.contains(QStringLiteral("KDE")))
        return Desktop::kde;
    if (names.contains(QStringLiteral("MATE")))
        return Desktop::mate;
    if (names.contains(QStringLiteral("XFCE")))
        return Desktop::xfce;
    return Desktop::other;
}

QString trayRemedy(Desktop desktop)
{
    switch (desktop) {
    case Desktop::gnome:
        return QStringLiteral("Zainstaluj rozszerzenie AppIndicator: sudo apt install gnome-shell-extension-appindicator, "
                              "zaloguj się ponownie i włącz je poleceniem gnome-extensions enable "
                              "ubuntu-appindicators@ubuntu.com albo w programie Rozszerzenia.");
    case Desktop::kde:
        return QStringLiteral("Dodaj do panelu element Zasobnik systemowy.");
    case Desktop::mate:
        return QStringLiteral("Dodaj do panelu aplet Obszar powiadomień: menu panelu, Dodaj do panelu.");
    case Desktop::xfce:
        return QStringLiteral("Dodaj do panelu element zasobnika (Status Tray Plugin): Ustawienia, Panel, karta Elementy.");
    case Desktop::other:
        break;
    }
    return QStringLiteral("Dodaj do panelu zasobnik systemowy, który pokazuje ikony StatusNotifierItem.");
}

QString gatewayIn(const QByteArray& ipRouteOutput)
{
    for (const QByteArray& line : ipRouteOutput.split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        const qsizetype via = words.indexOf("via");
        if (!words.isEmpty() && words.first() == "default" && via > 0 && via + 1 < words.size())
            return QString::fromLatin1(words[via + 1]);
    }
    return {};
}

std::vector<Prerequisite> linuxPrerequisites(const LinuxAuditOptions& options)
{
    using Runs = Prerequisite::Runs;
    const QProcessEnvironment env = options.environment;
    const Desktop desktop = desktopOf(env);
    const QStringList sound = panel(desktop, Panel::sound);
    const QString wakeModel = options.wakeModel.isEmpty() ? paths::wakeModelFile() : options.wakeModel;
    const bool wayland = waylandSession(env);
    const bool graphical = wayland || !env.value(QStringLiteral("DISPLAY")).isEmpty();
    const bool atspiInstalled = anyExists(options.accessibilityLaunchers.isEmpty()
                                              ? QStringList{QStringLiteral("/usr/libexec/at-spi-bus-launcher"),
                                                            QStringLiteral("/usr/lib/at-spi2-core/at-spi-bus-launcher")}
                                              : options.accessibilityLaunchers);

    std::vector<Prerequisite> out;
    out.push_back({QStringLiteral("Mikrofon"),
                   QStringLiteral("Podłącz mikrofon i wyłącz jego wyciszenie ") + soundPlace(desktop) + QLatin1Char('.'),
                   QStringLiteral("asystent nie słyszy niczego — cisza wygląda wtedy jak awaria"),
                   [env] { return soundDevice(true, env); }, Runs::onWorker, {}, sound});
    out.push_back({QStringLiteral("Głośniki"),
                   QStringLiteral("Podłącz głośniki albo słuchawki i wyłącz wyciszenie ") + soundPlace(desktop) + QLatin1Char('.'),
                   QStringLiteral("asystent odpowiada, ale nic nie słychać"),
                   [env] { return soundDevice(false, env); }, Runs::onWorker, {}, sound});
    out.push_back({QStringLiteral("Dostępność"),
                   atspiInstalled ? QStringLiteral("Włącz czytnik ekranu Orca albo pozwól asystentowi włączyć dostępność; "
                                                   "aplikacje uruchomione wcześniej trzeba uruchomić ponownie.")
                                  : QStringLiteral("Zainstaluj usługę dostępności poleceniem sudo apt install at-spi2-core "
                                                   "i zaloguj się ponownie."),
                   QStringLiteral("asystent nie odczyta interfejsu innych aplikacji ani nie kliknie w nim"),
                   [env] { return accessibilityEnabled(env); }, Runs::onWorker,
                   [env] { return enableAccessibility(env); }, panel(desktop, Panel::accessibility)});
    out.push_back({QStringLiteral("Nagrywanie ekranu"),
                   wayland ? QStringLiteral("Gdy pulpit zapyta o zgodę na zrzuty ekranu, wybierz Zezwól; odmowę cofa "
                                            "polecenie flatpak permission-remove screenshot screenshot.")
                           : QStringLiteral("Uruchom asystenta w sesji graficznej z serwerem X, ze zmienną DISPLAY."),
                   QStringLiteral("asystent nie opisze, co jest na ekranie"), [env] { return screenCapture(env); }, Runs::onWorker, {}, {}});
    out.push_back({QStringLiteral("Skróty globalne"),
                   graphical ? QStringLiteral("Zwolnij tę kombinację ") + keyboardPlace(desktop)
                                   + QStringLiteral(" albo dodaj tam skrót, który uruchamia polecenie selvina-voice.")
                             : QStringLiteral("Uruchom asystenta w sesji graficznej: bez ekranu nie ma skrótów globalnych."),
                   QStringLiteral("skrót nie przywoła asystenta"), options.shortcut, Runs::onMainThread, {},
                   graphical ? panel(desktop, Panel::keyboard) : QStringList()});
    out.push_back({QStringLiteral("Zasobnik systemowy"), trayRemedy(desktop),
                   QStringLiteral("nie ma ikony ani menu asystenta: nie da się z niego wyłączyć nasłuchu ani zakończyć programu"),
                   [env] { return trayHost(env); }, Runs::onWorker, {}, {}});
    out.push_back({QStringLiteral("Pęk kluczy"),
                   keyringRemedy(desktop),
                   QStringLiteral("klucze zapisane w pęku kluczy są nieczytelne — rozmowa ruszy tylko z kluczem w pliku "
                                  "config.json albo w zmiennej OPENAI_API_KEY"),
                   [env] { return keyringUnlocked(env); }, Runs::onWorker, {}, {}});
    out.push_back({QStringLiteral("Rozpoznawanie zawołania"),
                   (options.buildTree ? QStringLiteral("Zbuduj asystenta ponownie poleceniem scripts/run")
                             : QStringLiteral("Zainstaluj asystenta ponownie"))
                       + QStringLiteral(": brakuje modelu zawołania share/selvina-voice/wake/hej-selvina.model albo "
                                        "jest uszkodzony."),
                   QStringLiteral("asystent nie usłyszy „hej Selvina” — rozmowę otwiera wtedy tylko skrót klawiszowy"),
                   [wakeModel]() -> std::optional<bool> { return bool(wake::WakeModel::load(wakeModel)); },
                   Runs::onWorker, {}, {}});
    out.push_back({QStringLiteral("Warstwa agentowa"),
                   options.buildTree ? QStringLiteral("Zainstaluj Node.js 18.19 lub nowszy poleceniem sudo apt install nodejs i "
                                             "zbuduj warstwę poleceniem scripts/build-sidecar.")
                            : QStringLiteral("Zainstaluj Node.js 18.19 lub nowszy poleceniem sudo apt install nodejs; "
                                             "jeśli już jest, zainstaluj asystenta ponownie."),
                   QStringLiteral("asystent nie przekaże dłuższego zadania agentowi"),
                   [dirs = options.sidecarDirectories, env] { return agentLayer(dirs, env); }, Runs::onWorker, {}, {}});
    out.push_back({QStringLiteral("Agent zalogowany"),
                   QStringLiteral("Wpisz klucz Anthropic w: Ustawienia, Inteligencja, pole Klucz Anthropic, albo zaloguj "
                                  "się: wykonaj w terminalu polecenie claude albo codex login."),
                   QStringLiteral("warstwa agentowa nie ma czym wykonać zadania"),
                   [env, home = options.home, add = options.addCredentials] {
                       QProcessEnvironment withKeys = env;
                       if (add)
                           add(withKeys);
                       return agentLoggedIn(withKeys, home);
                   },
                   Runs::onWorker, {}, {}});
    out.push_back({QStringLiteral("Kalendarz"),
                   QStringLiteral("Zainstaluj Evolution Data Server poleceniem sudo apt install evolution-data-server."),
                   QStringLiteral("nie da się powiedzieć, co jest zaplanowane"),
                   [program = options.calendarProgram, env] { return calendarStore(program, env); }, Runs::onWorker, {},
                   panel(desktop, Panel::accounts)});
    out.push_back({QStringLiteral("Mowa poza rozmową"),
                   QStringLiteral("Zainstaluj syntezator mowy poleceniem sudo apt install speech-dispatcher espeak-ng."),
                   QStringLiteral("komunikaty poza rozmową, na przykład o aktualizacji, nie zabrzmią"),
                   [env] { return speechOutsideConversation(env); }, Runs::onWorker, {}, {}});
    out.push_back({QStringLiteral("Sieć lokalna"),
                   QStringLiteral("Sprawdź połączenie sieciowe w ustawieniach sieci albo poleceniem ip route."),
                   QStringLiteral("brama sieci nie odpowiada — urządzenia w Twojej sieci i usługa rozmowy mogą być "
                                  "nieosiągalne"),
                   [env] { return gatewayAnswers(env); }, Runs::onWorker, {},
                   panel(desktop, Panel::network)});
    return out;
}

} // namespace selvina::diagnostics
