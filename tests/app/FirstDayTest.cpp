// A blind user's first day with the real selvina-voice: a private bus with its own keyring, the
// accessibility bus, Xvfb with a window manager, and a stand-in for the desktop's speech command
// that writes down every sentence. The key is typed into the settings window as a screen reader
// finds it, checked against the loopback service, kept in the keyring and used by the next
// conversation; the launches say what is missing; start at login survives an update.
#include "../platform/linux/atspi/DesktopFixture.h"
#include "AssistantProcess.h"
#include "SoundServer.h"
#include "StandInTray.h"
#include "TestSupport.h"
#include "XDisplay.h"

#include "core/Paths.h"
#include "platform/linux/autostart/XdgAutostart.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atspi/atspi.h>

#include <functional>

using namespace selvina::testing;

namespace {

bool eventually(const std::function<bool()>& c, int ms = 20000) { return waitFor(c, std::chrono::milliseconds(ms)); }

QString nameOf(AtspiAccessible* a)
{
    gchar* n = atspi_accessible_get_name(a, nullptr);
    const QString s = QString::fromUtf8(n != nullptr ? n : "");
    g_free(n);
    return s;
}

bool showing(AtspiAccessible* a)
{
    AtspiStateSet* set = atspi_accessible_get_state_set(a);
    const bool on = set != nullptr && atspi_state_set_contains(set, ATSPI_STATE_SHOWING);
    if (set != nullptr)
        g_object_unref(set);
    return on;
}

// The first showing object under `a` that `match` accepts, with a reference of its own; null when none.
AtspiAccessible* findUnder(AtspiAccessible* a, const std::function<bool(AtspiAccessible*)>& match)
{
    const int n = atspi_accessible_get_child_count(a, nullptr);
    for (int i = 0; i < n; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(a, i, nullptr);
        if (child == nullptr)
            continue;
        AtspiAccessible* found = nullptr;
        if (showing(child))
            found = match(child) ? static_cast<AtspiAccessible*>(g_object_ref(child)) : findUnder(child, match);
        g_object_unref(child);
        if (found != nullptr)
            return found;
    }
    return nullptr;
}

class FirstDay : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_display = new XDisplay;
        s_sound = new SoundServer;
    }
    static void TearDownTestSuite()
    {
        delete s_sound;
        delete s_display;
    }
    void SetUp() override
    {
        ASSERT_TRUE(s_display->ok());
        ASSERT_TRUE(s_sound->up());
        ASSERT_TRUE(app.startBus());
        qputenv("DBUS_SESSION_BUS_ADDRESS", app.busAddress().toUtf8());
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toUtf8());
        // The desktop's speech command: each sentence on a line of its own.
        writeExecutable(app.home() + QStringLiteral("/bin/spd-say"),
                        "#!/bin/sh\nfor last; do :; done\nprintf '%s\\n' \"$last\" >> \"$HOME/spoken.txt\"\n");
        for (const auto& [name, value] : {std::pair{"PATH", app.home() + "/bin:" + qEnvironmentVariable("PATH")},
                                          {"OPENAI_API_KEY", QString()}, {"SELVINA_WAKE", "0"}, {"QT_QPA_PLATFORM", "xcb"},
                                          {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"}, {"XDG_RUNTIME_DIR", m_runtime.path()},
                                          {"XDG_DATA_HOME", app.home() + "/share"}, {"PULSE_SERVER", s_sound->address()},
                                          {"SELVINA_TEXT", QString()}})
            app.setVariable(QString::fromLatin1(name), value);
        // The user's keyring, unlocked with the login password; asked before it owns its name, the bus
        // would start one of its own.
        m_keyring.setProcessEnvironment(app.environment());
        m_keyring.start(QStringLiteral("gnome-keyring-daemon"), {"--foreground", "--unlock", "--components=secrets"});
        ASSERT_TRUE(m_keyring.waitForStarted(5000));
        m_keyring.write("selvina-test");
        m_keyring.closeWriteChannel();
        QDBusConnection bus = QDBusConnection::connectToBus(app.busAddress(), QStringLiteral("first-day"));
        ASSERT_TRUE(eventually([&] { return bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value(); }));
    }
    void TearDown() override
    {
        app.stopAssistant();
        QDBusConnection::disconnectFromBus(QStringLiteral("first-day"));
        stopProcess(m_keyring);
    }
    QStringList spoken() const
    {
        return QString::fromUtf8(readFile(app.home() + QStringLiteral("/spoken.txt"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool said(const QString& part)
    {
        return eventually([&] { return spoken().join(QLatin1Char('\n')).contains(part); });
    }
    QString keyring(const char* account)
    {
        QProcess tool;
        tool.setProcessEnvironment(app.environment());
        tool.start(QStringLiteral("secret-tool"), {"lookup", "service", "pl.korlund.selvinavoice", "account", account});
        tool.waitForFinished(10000);
        return QString::fromUtf8(tool.readAllStandardOutput());
    }
    std::string log() const
    {
        return app.assistantStderr().toStdString()
               + app.runLog().toStdString();
    }

    // A second start of the program, as the launcher makes it: it hands over to the running one,
    // which opens a conversation.
    bool startAgain()
    {
        QProcess second;
        QProcessEnvironment env = app.environment();
        env.remove(QStringLiteral("SELVINA_SETTINGS"));
        second.setProcessEnvironment(env);
        second.start(QStringLiteral(SELVINA_VOICE_BIN), {});
        return second.waitForFinished(15000) && second.exitCode() == 0;
    }

    static inline XDisplay* s_display = nullptr;
    static inline SoundServer* s_sound = nullptr;
    AssistantProcess app{QStringLiteral(SELVINA_VOICE_BIN), {}};
    QProcess m_keyring;
    QTemporaryDir m_runtime;
};

TEST_F(FirstDay, TheKeyTypedInTheSettingsIsCheckedKeptInTheKeyringAndUsedByTheNextConversation)
{
    ASSERT_FALSE(startAccessibilityBus().isEmpty());
    ASSERT_GE(atspi_init(), 0);
    ASSERT_TRUE(app.startAssistant());
    TrayHost tray(app.busAddress());
    ASSERT_TRUE(tray.ready()) << log();
    // Called without a key: the launch says so, and so does the preview, which names the field.
    ASSERT_TRUE(said(QStringLiteral("Rozmowa jeszcze nie ruszy"))) << log();
    ASSERT_TRUE(startAgain());
    ASSERT_TRUE(said(QStringLiteral("Tryb poglądowy. Brakuje: klucz OpenAI (rozmowa głosowa i opis obrazu). "
                                    "Wpisz klucz w: Ustawienia, Mowa, pole Klucz OpenAI.")))
        << log();

    AtspiAccessible* frame = nullptr;
    const auto inWindow = [&](const std::function<bool(AtspiAccessible*)>& match) {
        if (frame == nullptr) {
            AtspiAccessible* desktop = atspi_get_desktop(0);
            frame = findUnder(desktop, [](AtspiAccessible* a) {
                return nameOf(a) == u"Ustawienia Selvina" && atspi_accessible_get_role(a, nullptr) == ATSPI_ROLE_FRAME;
            });
            g_object_unref(desktop);
        }
        return frame == nullptr ? nullptr : findUnder(frame, match);
    };
    const auto named = [&](const QString& name) {
        return inWindow([name](AtspiAccessible* a) { return nameOf(a) == name; });
    };
    const auto noteSays = [&](const QString& part) {
        return eventually([&] {
            AtspiAccessible* note = inWindow([part](AtspiAccessible* a) { return nameOf(a).contains(part); });
            if (note != nullptr)
                g_object_unref(note);
            return note != nullptr;
        });
    };
    // The menu leads to the field while there is no key, and counts what is missing when it opens.
    const QString enterKey = QStringLiteral("Wpisz klucz OpenAI…");
    ASSERT_TRUE(eventually([&] { return tray.entry(enterKey).id != 0; })) << log();
    tray.aboutToShow();
    EXPECT_TRUE(eventually([&] {
        const QStringList labels = tray.entries().keys();
        return std::any_of(labels.begin(), labels.end(), [](const QString& l) { return l.startsWith(u"Brakuje uprawnień ("); });
    })) << log();
    tray.click(tray.entry(enterKey).id);
    // The field, not its section of the same title.
    AtspiAccessible* field = nullptr;
    ASSERT_TRUE(eventually([&] {
        return (field = inWindow([](AtspiAccessible* a) {
                    return nameOf(a) == u"Klucz OpenAI" && atspi_accessible_get_role(a, nullptr) == ATSPI_ROLE_PASSWORD_TEXT;
                })) != nullptr;
    })) << log();
    EXPECT_TRUE(eventually([&] {
        AtspiStateSet* set = atspi_accessible_get_state_set(field);
        const bool focused = set != nullptr && atspi_state_set_contains(set, ATSPI_STATE_FOCUSED);
        if (set != nullptr)
            g_object_unref(set);
        return focused;
    })) << "the menu's entry leaves the focus elsewhere";
    const auto typeKey = [&](const QString& text) {
        atspi_component_grab_focus(ATSPI_COMPONENT(field), nullptr);
        XDisplay::key(QStringLiteral("ctrl+a"));
        return QProcess::execute(QStringLiteral("xdotool"), {"type", "--delay", "20", text}) == 0;
    };
    const auto press = [&](const QString& name) {
        AtspiAccessible* button = named(name);
        const bool pressed = button != nullptr && atspi_action_do_action(ATSPI_ACTION(button), 0, nullptr);
        if (button != nullptr)
            g_object_unref(button);
        return pressed;
    };

    // The service refuses the key: it is not kept, and the refusal stays in the note.
    app.server().setHandshake(LoopbackRealtimeServer::Handshake::refuse, 401);
    ASSERT_TRUE(typeKey(QStringLiteral("sk-mistyped")));
    ASSERT_TRUE(press(QStringLiteral("Zapisz klucz")));
    EXPECT_TRUE(noteSays(QStringLiteral("OpenAI odrzuciło ten klucz (kod 401), więc go nie zapisałam."))) << log();
    EXPECT_EQ(keyring("openai-api-key"), QString());

    // Accepted, with blanks around it as pasted keys come: kept trimmed, the field emptied.
    app.server().setRawReply([](const QByteArray&) {
        return QByteArray("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\nConnection: close\r\n\r\n"
                          "{\"data\":[]}");
    });
    ASSERT_TRUE(typeKey(QStringLiteral("  sk-accepted-abcdef  ")));
    ASSERT_TRUE(press(QStringLiteral("Zapisz klucz")));
    EXPECT_TRUE(noteSays(QStringLiteral("Klucz OpenAI zapisany w pęku kluczy systemu, kończy się na …abcdef."))) << log();
    EXPECT_EQ(keyring("openai-api-key"), QStringLiteral("sk-accepted-abcdef"));
    EXPECT_EQ(atspi_text_get_character_count(ATSPI_TEXT(field), nullptr), 0);
    EXPECT_TRUE(noteSays(QStringLiteral("Używany klucz OpenAI kończy się na …abcdef.")));
    EXPECT_TRUE(eventually([&] { return tray.entry(enterKey).id == 0; })) << "the menu still asks for a key";
    g_object_unref(field);
    if (frame != nullptr)
        g_object_unref(frame);

    // The next conversation, without a restart, sends that key.
    app.server().setHandshake(LoopbackRealtimeServer::Handshake::accept);
    ASSERT_TRUE(startAgain());
    ASSERT_TRUE(eventually([&] { return app.server().hasClient(); })) << log();
    EXPECT_EQ(app.server().lastAuthorization(), QByteArray("Bearer sk-accepted-abcdef"));
}

TEST_F(FirstDay, TheFirstLaunchGreetsAndEachLaunchWithoutAKeySaysWhereItGoes)
{
    const QString greeting = QStringLiteral("Selvina działa w tle. Rozmowę otworzysz");
    const QString missing = QStringLiteral("Rozmowa jeszcze nie ruszy: brakuje klucza OpenAI — wpisz go w: Ustawienia, "
                                           "Mowa, pole Klucz OpenAI");
    ASSERT_TRUE(app.startAssistant());
    ASSERT_TRUE(said(missing)) << log();
    ASSERT_EQ(spoken().size(), 1) << spoken().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(spoken().first().startsWith(greeting));
    EXPECT_EQ(app.stopAssistant(), 0);

    // The second launch: no greeting, the missing key again.
    ASSERT_TRUE(app.startAssistant());
    ASSERT_TRUE(eventually([&] { return spoken().size() == 2; })) << log();
    EXPECT_TRUE(spoken().last().startsWith(missing)) << spoken().last().toStdString();
}

// The autostart entry names the install's launcher, not the build that wrote it: an update that
// replaces the build leaves it working, and a launcher that is gone reads as off.
TEST_F(FirstDay, StartAtLoginOutlivesTheBuildThatWroteIt)
{
    const QString home = app.home();
    const QString root = home + QStringLiteral("/.local/lib/selvina-voice");
    const auto install = [&](const QString& build) {
        QDir().mkpath(root + QLatin1Char('/') + build + QStringLiteral("/bin"));
        QFile::link(QStringLiteral(SELVINA_VOICE_BIN), root + QLatin1Char('/') + build + QStringLiteral("/bin/selvina-voice"));
        QFile::remove(root + QStringLiteral("/current"));
        QFile::link(build, root + QStringLiteral("/current"));
    };
    install(QStringLiteral("7"));
    const QString launcher = writeExecutable(home + QStringLiteral("/.local/bin/selvina-voice"),
                                             "#!/bin/sh\nexec \"" + root.toUtf8() + "/current/bin/selvina-voice\" \"$@\"\n");
    const QString stable = selvina::paths::stableProgram(root + QStringLiteral("/7/bin/selvina-voice"), home);
    EXPECT_EQ(stable, launcher);
    EXPECT_EQ(selvina::paths::stableProgram(QStringLiteral("/usr/bin/selvina-voice"), home), QStringLiteral("/usr/bin/selvina-voice"));

    qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/config")).toUtf8());
    selvina::platform::XdgAutostart entry(stable);
    ASSERT_FALSE(entry.setEnabled(true));
    install(QStringLiteral("8"));
    QDir(root + QStringLiteral("/7")).removeRecursively();
    EXPECT_TRUE(entry.isEnabled());

    // What the desktop runs at login: the Exec line of the entry.
    QString exec;
    for (const QString& line : QString::fromUtf8(readFile(home + QStringLiteral("/config/autostart/selvina-voice.desktop"))).split('\n'))
        if (line.startsWith(QStringLiteral("Exec=")))
            exec = line.mid(5);
    QProcess login;
    QProcessEnvironment env = app.environment();
    env.insert(QStringLiteral("SELVINA_DUMP_SESSION"), QStringLiteral("1"));
    login.setProcessEnvironment(env);
    login.start(QStringLiteral("sh"), {"-c", exec});
    ASSERT_TRUE(login.waitForFinished(20000));
    EXPECT_EQ(login.exitCode(), 0);
    EXPECT_TRUE(login.readAllStandardOutput().contains("klucz OpenAI: BRAK"));

    QFile::remove(launcher);
    EXPECT_FALSE(entry.isEnabled());
    qunsetenv("XDG_CONFIG_HOME");
}

} // namespace
