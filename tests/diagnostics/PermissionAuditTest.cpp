// The audit's own rules over stand-in prerequisites, and the Linux entries over a private bus,
// private sound servers and stand-in programs.
#include "AuditFixture.h"
#include "PrivatePulseServer.h"
#include "BareXDisplay.h"
#include "core/Paths.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QLocalServer>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

using namespace selvina;
using namespace selvina::diagnostics;
using namespace std::chrono_literals;
using selvina::testing::runTask;
using Runs = Prerequisite::Runs;

TEST(PermissionAudit, ReportsEveryEntryAndGivesUpOnAProbeThatHangs)
{
    auto released = std::make_shared<std::atomic<bool>>(false);
    std::vector<Prerequisite> entries = {
        {"A", "zrób A", "a", [] { return true; }},
        {"B", "zrób B", "b", [] { return false; }},
        {"C", "", "c", [] { return std::nullopt; }},
        {"D", "zrób D", "d", [released]() -> std::optional<bool> {
             while (!*released)
                 QThread::msleep(5);
             return true;
         }},
        {"E", "zrób E", "e", [] { return true; }, Runs::onMainThread},
    };
    PermissionAudit audit(entries, QProcessEnvironment(), 200ms);
    const QStringList expected = {"OK   A", "BRAK B  → zrób B", "?    C", "?    D  → zrób D", "OK   E"};
    // The second check does not queue behind the probe still hanging from the first.
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(runTask(audit.lines()).value_or(QStringList()), expected);
    EXPECT_EQ(PermissionAudit::missingCount(audit.lastCheck()), 1);
    *released = true;
}

TEST(PermissionAudit, RequestFixesWhatItMayAndTellsTheOutcome)
{
    auto fixed = std::make_shared<std::atomic<bool>>(false);
    std::vector<Prerequisite> entries = {
        {"Fixable", "", "", [fixed] { return fixed->load(); }, Runs::onWorker, [fixed] {
             *fixed = true;
             return true;
         }},
        {"Refused", "", "", [] { return false; }},
        {"Unknown", "", "", [] { return std::nullopt; }},
        {"Pending", "", "", [] { return std::nullopt; }, Runs::onWorker, [] { return std::nullopt; }},
    };
    PermissionAudit audit(entries, QProcessEnvironment(), 1s);
    const std::pair<const char*, Outcome> table[] = {{"Refused", Outcome::denied}, {"Unknown", Outcome::needsSettings},
                                                     {"Pending", Outcome::pending}};
    for (const auto& [name, outcome] : table)
        EXPECT_EQ(runTask(audit.requestOutcome(name)), outcome) << name;
    EXPECT_FALSE(*fixed);
    runTask([](PermissionAudit& a) -> QCoro::Task<bool> { co_await a.request(); co_return true; }(audit));
    EXPECT_TRUE(*fixed);
    EXPECT_EQ(runTask(audit.requestOutcome("Fixable")), Outcome::granted);
}

// What the audit tells the user to do follows the session, how the program was installed and
// whether the accessibility package is there at all.
TEST(LinuxRemedies, FollowTheSessionTheInstallationAndTheAccessibilityPackage)
{
    const auto remedies = [](const LinuxAuditOptions& o) {
        QStringList out;
        for (const Prerequisite& p : linuxPrerequisites(o))
            if (QStringList{"Dostępność", "Skróty globalne", "Rozpoznawanie zawołania", "Warstwa agentowa"}.contains(p.name))
                out << p.name + ": " + p.remedy + (p.panel.isEmpty() ? "" : " [" + p.panel.join(' ') + "]");
        return out;
    };
    LinuxAuditOptions o;
    o.environment = QProcessEnvironment();
    o.environment.insert("XDG_CURRENT_DESKTOP", "GNOME");
    o.environment.insert("DISPLAY", ":7");
    o.buildTree = true;
    o.accessibilityLaunchers = {QCoreApplication::applicationFilePath()};
    EXPECT_EQ(remedies(o),
              (QStringList{"Dostępność: Włącz czytnik ekranu Orca albo pozwól asystentowi włączyć dostępność; aplikacje "
                           "uruchomione wcześniej trzeba uruchomić ponownie. [gnome-control-center universal-access]",
                           "Skróty globalne: Zwolnij tę kombinację w Ustawieniach, w części Klawiatura, Skróty klawiszowe "
                           "albo dodaj tam skrót, który uruchamia polecenie selvina-voice. [gnome-control-center keyboard]",
                           "Rozpoznawanie zawołania: Zbuduj asystenta ponownie poleceniem scripts/run: brakuje modelu "
                           "zawołania share/selvina-voice/wake/hej-selvina.model albo jest uszkodzony.",
                           "Warstwa agentowa: Zainstaluj Node.js 18.19 lub nowszy poleceniem sudo apt install nodejs i "
                           "zbuduj warstwę poleceniem scripts/build-sidecar."}));
    o.environment.remove("DISPLAY");
    o.buildTree = false;
    o.accessibilityLaunchers = {"/nonexistent/at-spi-bus-launcher"};
    EXPECT_EQ(remedies(o),
              (QStringList{"Dostępność: Zainstaluj usługę dostępności poleceniem sudo apt install at-spi2-core i zaloguj "
                           "się ponownie. [gnome-control-center universal-access]",
                           "Skróty globalne: Uruchom asystenta w sesji graficznej: bez ekranu nie ma skrótów globalnych.",
                           "Rozpoznawanie zawołania: Zainstaluj asystenta ponownie: brakuje modelu zawołania "
                           "share/selvina-voice/wake/hej-selvina.model albo jest uszkodzony.",
                           "Warstwa agentowa: Zainstaluj Node.js 18.19 lub nowszy poleceniem sudo apt install nodejs; "
                           "jeśli już jest, zainstaluj asystenta ponownie."}));
    o.environment.insert("XDG_SESSION_TYPE", "wayland"); // a Wayland session has its keyboard settings
    EXPECT_TRUE(remedies(o).at(1).endsWith("[gnome-control-center keyboard]"));
}

TEST_F(LinuxAudit, OpensTheDesktopsOwnPanelOnly)
{
    // The note appears whole (written aside, then renamed), so the wait below never reads it half-written.
    program("gnome-control-center", "echo \"gnome $*\" > \"$HOME/o.tmp\" && /bin/mv \"$HOME/o.tmp\" \"$HOME/opened\"");
    program("systemsettings", "echo \"kde $*\" > \"$HOME/o.tmp\" && /bin/mv \"$HOME/o.tmp\" \"$HOME/opened\"");
    program("mate-volume-control", "echo \"mate $*\" > \"$HOME/o.tmp\" && /bin/mv \"$HOME/o.tmp\" \"$HOME/opened\"");
    program("pavucontrol", "echo \"xfce $*\" > \"$HOME/o.tmp\" && /bin/mv \"$HOME/o.tmp\" \"$HOME/opened\"");
    const std::pair<const char*, const char*> table[] = {{"GNOME", "gnome sound"}, {"ubuntu:GNOME", "gnome sound"},
                                                         {"KDE", "kde kcm_pulseaudio"}, {"MATE", "mate"},
                                                         {"XFCE", "xfce"}, {"LXQt", nullptr}};
    const QString opened = QDir(env.value("HOME")).filePath("opened");
    for (const auto& [desktop, expected] : table) {
        QFile::remove(opened);
        env.insert("XDG_CURRENT_DESKTOP", desktop);
        PermissionAudit audit(linuxPrerequisites(options()), env);
        EXPECT_EQ(audit.hasPanel("Mikrofon"), expected != nullptr) << desktop;
        EXPECT_EQ(audit.openSettings("Głośniki"), expected != nullptr) << desktop;
        EXPECT_FALSE(audit.openSettings("Pęk kluczy"));
        if (expected) {
            selvina::testing::waitFor([&] { return QFile::exists(opened); });
            EXPECT_EQ(selvina::testing::readFile(opened).trimmed(), QByteArray(expected));
        }
    }
}

TEST_F(LinuxAudit, SoundServerWithAndWithoutItsDevices)
{
    const QString both = "load-module module-null-sink sink_name=speakers\nload-module module-null-sink sink_name=room\n"
                         "load-module module-remap-source master=room.monitor source_name=mic\n"
                         "set-default-sink speakers\nset-default-source mic";
    struct Row {
        QString modules;
        std::optional<bool> microphone, speakers;
    } table[] = {
        {both, true, true},
        {both + "\nset-source-mute mic 1", false, true},
        {both + "\nset-sink-mute speakers 1", true, false},
        {"load-module module-null-sink sink_name=speakers", false, true}, // only the speakers' monitor
        {"", false, false},
    };
    for (const Row& row : table) {
        selvina::testing::PrivatePulseServer pulse(row.modules);
        ASSERT_TRUE(pulse.up());
        pulse.useInThisProcess();
        env.insert("PULSE_SERVER", pulse.address());
        EXPECT_EQ(probe("Mikrofon"), row.microphone) << row.modules.toStdString();
        EXPECT_EQ(probe("Głośniki"), row.speakers) << row.modules.toStdString();
    }
    // A server that takes the connection and never answers.
    QLocalServer hung;
    ASSERT_TRUE(hung.listen(QDir(env.value("HOME")).filePath("hung")));
    qputenv("PULSE_SERVER", ("unix:" + hung.fullServerName()).toUtf8());
    env.insert("PULSE_SERVER", "unix:" + hung.fullServerName());
    const auto all = check();
    EXPECT_EQ(all.at("Mikrofon"), std::nullopt);
    EXPECT_EQ(all.at("Głośniki"), std::nullopt);
}

TEST_F(LinuxAudit, AccessibilityBusOffThenSwitchedOnByRequest)
{
    EXPECT_EQ(probe("Dostępność"), false);
    PermissionAudit audit(linuxPrerequisites(options()), env);
    EXPECT_TRUE(audit.isRequestable("Dostępność"));
    EXPECT_FALSE(audit.isRequestable("Mikrofon"));
    EXPECT_EQ(runTask(audit.request("Dostępność")), std::optional<std::optional<bool>>(true));
    EXPECT_EQ(probe("Dostępność"), true);
}

// A tray host as panels have it, and a keyring daemon that takes calls and never answers.
class StandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ registered)
public:
    bool registered() const { return true; }
};

class SilentKeyring : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Secret.Service")
public Q_SLOTS:
    QDBusObjectPath ReadAlias(const QString&, const QDBusMessage& message)
    {
        message.setDelayedReply(true); // and never replied
        return {};
    }
};

TEST_F(LinuxAudit, TrayHostAndAKeyringThatNeverAnswers)
{
    EXPECT_EQ(probe("Zasobnik systemowy"), false);
    QDBusConnection bus = QDBusConnection::connectToBus(address, "stand-ins");
    // Before anything asks for the keyring: the bus would start the real one.
    SilentKeyring silent;
    ASSERT_TRUE(bus.registerObject("/org/freedesktop/secrets", &silent, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(bus.registerService("org.freedesktop.secrets"));
    StandIn watcher;
    ASSERT_TRUE(bus.registerObject("/StatusNotifierWatcher", &watcher, QDBusConnection::ExportAllProperties));
    ASSERT_TRUE(bus.registerService("org.kde.StatusNotifierWatcher"));
    const auto all = check();
    EXPECT_EQ(all.at("Zasobnik systemowy"), true);
    EXPECT_EQ(all.at("Pęk kluczy"), false);
    QDBusConnection::disconnectFromBus("stand-ins");
}

TEST_F(LinuxAudit, UnlockedThenLockedKeyring)
{
    // gnome-keyring creates and unlocks the "login" collection with the password on standard input.
    QProcess& keyring = service();
    keyring.setProcessEnvironment(env);
    keyring.start("gnome-keyring-daemon", {"--foreground", "--unlock", "--components=secrets"});
    ASSERT_TRUE(keyring.waitForStarted(5000));
    keyring.write("selvina-test");
    keyring.closeWriteChannel();
    // Asked before it owns its name, the bus would start another keyring of its own.
    QDBusConnection bus = QDBusConnection::connectToBus(address, "locker");
    ASSERT_TRUE(selvina::testing::waitFor(
        [&] { return bus.interface()->isServiceRegistered("org.freedesktop.secrets").value(); }, 10s));
    ASSERT_TRUE(selvina::testing::waitFor([&] { return probe("Pęk kluczy") == true; }, 10s))
        << keyring.readAllStandardError().toStdString() << keyring.readAllStandardOutput().toStdString();
    QDBusMessage lock = QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                       "org.freedesktop.Secret.Service", "Lock");
    lock << QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
    ASSERT_EQ(bus.call(lock, QDBus::Block, 5000).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(probe("Pęk kluczy"), false);
    QDBusConnection::disconnectFromBus("locker");
}

TEST_F(LinuxAudit, WithoutAnySessionBusEveryBusEntryIsMissing)
{
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    const auto all = check();
    for (const char* name : {"Dostępność", "Zasobnik systemowy", "Pęk kluczy"})
        EXPECT_EQ(all.at(name), false) << name;
}

TEST_F(LinuxAudit, GatewayProbe)
{
    struct Row {
        QByteArray route, ping;
        std::optional<bool> answer;
    } table[] = {
        {"default via 10.0.0.1 dev eth0", "exit 0", true},
        {"default via 10.0.0.1 dev eth0", "echo 'From 10.0.0.7 icmp_seq=1 Destination Host Unreachable'; exit 1", false},
        {"default via 10.0.0.1 dev eth0", "echo '1 packets transmitted, 0 received'; exit 1", std::nullopt}, // dropped
        {"default via 10.0.0.1 dev eth0", "echo 'ping: socket: Operation not permitted'; exit 2", std::nullopt},
        {"default via 10.0.0.1 dev eth0", {}, std::nullopt}, // no ping at all
        {"", "exit 0", std::nullopt},                        // no default route
    };
    for (const Row& row : table) {
        QFile::remove(QDir(bin()).filePath("ping"));
        program("ip", "echo '" + row.route + "'");
        if (!row.ping.isEmpty())
            program("ping", row.ping);
        EXPECT_EQ(probe("Sieć lokalna"), row.answer) << row.ping.toStdString();
    }
}

TEST_F(LinuxAudit, ScreenSpeechCalendarAndWakeModel)
{
    env.remove("WAYLAND_DISPLAY");
    env.insert("XDG_SESSION_TYPE", "x11");
    env.remove("DISPLAY");
    EXPECT_EQ(probe("Nagrywanie ekranu"), false);
    {
        const selvina::testing::XServer xvfb("64x64x24");
        env.insert("DISPLAY", QString::fromStdString(":" + xvfb.number())); // ":" alone when none started
        EXPECT_EQ(probe("Nagrywanie ekranu"), true);
    }

    program("true", "exit 0"); // PATH is the stand-ins' folder alone
    EXPECT_EQ(probe("Mowa poza rozmową"), false);
    program("spd-say", "exit 0");
    EXPECT_EQ(probe("Mowa poza rozmową"), true);

    LinuxAuditOptions o = options();
    o.calendarProgram = QDir(bin()).filePath("calendar");
    o.wakeModel = QDir(bin()).filePath("wake.model");
    program("calendar", R"(echo '{"error":"magazyn kalendarzy nie odpowiada"}')");
    EXPECT_EQ(probe("Kalendarz", o), false);
    program("calendar", R"(echo '{"events":[]}')");
    EXPECT_EQ(probe("Kalendarz", o), true);
    EXPECT_EQ(probe("Rozpoznawanie zawołania", o), false);
    program("wake.model", "");
    EXPECT_EQ(probe("Rozpoznawanie zawołania", o), false) << "a file that is not a model";
    o.wakeModel = selvina::paths::wakeModelFile(); // the one the build lays among the resources
    EXPECT_EQ(probe("Rozpoznawanie zawołania", o), true);
}

TEST_F(LinuxAudit, AgentLayerAndItsLogin)
{
    const QString sidecar = QDir(env.value("HOME")).filePath("sidecar");
    selvina::testing::writeFile(sidecar + "/dist/index.js", "");
    LinuxAuditOptions o = options();
    o.sidecarDirectories = {sidecar};
    const std::pair<QByteArray, bool> nodes[] = {{"echo v18.19.0", true}, {"echo v20.1.0", true},
                                                 {"echo v18.18.2", false}, {"sleep 30", false}};
    for (const auto& [body, answer] : nodes) {
        program("node", body);
        qputenv("SELVINA_NODE_BINARY", QDir(bin()).filePath("node").toUtf8());
        EXPECT_EQ(probe("Warstwa agentowa", o), answer) << body.toStdString();
    }
    qunsetenv("SELVINA_NODE_BINARY");

    program("claude", "exit 0");
    o.environment = env;
    EXPECT_EQ(probe("Agent zalogowany", o), false);
    // A key saved in the settings window logs the agent in as the sidecar will be started.
    o.addCredentials = [](QProcessEnvironment& e) { e.insert("ANTHROPIC_API_KEY", "sk-ant-z-pęku"); };
    EXPECT_EQ(probe("Agent zalogowany", o), true);
    o.addCredentials = nullptr;
    // A login check that hangs: credentials that are a pipe nobody writes to.
    const QString credentials = QDir(env.value("HOME")).filePath(".claude/.credentials.json");
    QDir().mkpath(QFileInfo(credentials).path());
    ASSERT_EQ(::mkfifo(credentials.toUtf8().constData(), 0600), 0);
    EXPECT_EQ(check(o).at("Agent zalogowany"), std::nullopt);
    ::close(::open(credentials.toUtf8().constData(), O_WRONLY | O_NONBLOCK)); // lets the hung read end
    o.environment.insert("ANTHROPIC_API_KEY", "");
    EXPECT_EQ(probe("Agent zalogowany", o), true);
}

#include "PermissionAuditTest.moc"
