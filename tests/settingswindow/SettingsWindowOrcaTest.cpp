// The settings window as the real Orca speaks it: Orca and selvina-voice on Xvfb with a window
// manager, a private session bus and its accessibility bus, the window walked with keys alone.
// Orca's debug output (read through a pseudo-terminal, where it is written line by line) records
// every focus it followed and every sentence it said. The bus holds an unlocked keyring, and the
// OpenAI service is a loopback server, so that a key can be refused and saved for real.
#include "../platform/linux/atspi/DesktopFixture.h"
#include "LoopbackHttp.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>
#include <functional>
#include <iostream>

using namespace selvina::testing;

namespace {

bool wait(const std::function<bool()>& c, int ms = 30000) { return waitFor(c, std::chrono::milliseconds(ms)); }

// Orca started once, its debug output parsed as it comes.
class Orca {
public:
    explicit Orca(const QString& home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home);
        // Orca's own words (roles, states) in Polish, as the user hears them; its translations need
        // no generated locale.
        env.insert(QStringLiteral("LANGUAGE"), QStringLiteral("pl"));
        m_orca.setProcessEnvironment(env);
        m_orca.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&m_orca, &QProcess::readyRead, [this] { take(m_orca.readAll()); });
        // script(1) gives Orca a terminal, so that its debug file (the terminal) is line-buffered.
        // Orca quits when another one of this user runs (an earlier test's still ending): --replace.
        m_orca.start(QStringLiteral("script"),
                     {QStringLiteral("-qfec"),
                      QStringLiteral("echo selvina-orca-pid $$; exec orca --replace --debug-file=/dev/stdout -d braille"),
                      QStringLiteral("/dev/null")});
    }
    ~Orca()
    {
        // Orca is script's child: it is ended by its own id and waited for, so that none outlives the test.
        if (m_pid > 0 && ::kill(m_pid, SIGTERM) == 0
            && !wait([&] { return !QFile::exists(QStringLiteral("/proc/%1").arg(m_pid)); }, 10000))
            ::kill(m_pid, SIGKILL);
        stopProcess(m_orca);
    }

    bool ready() { return wait([&] { return m_startupComplete; }, 60000); }
    // Everything said from `from` on, one sentence a line.
    QString saidSince(qsizetype from) const { return m_said.mid(from).join(QLatin1Char('\n')); }
    qsizetype saidCount() const { return m_said.size(); }
    bool waitSaid(const QString& fragment, qsizetype from, int ms = 30000)
    {
        return wait([&] { return saidSince(from).contains(fragment); }, ms);
    }
    // "[role | name]" of each object that took the focus, in order.
    const QStringList& focused() const { return m_focused; }

private:
    void take(const QByteArray& bytes)
    {
        // The whole debug output on request, for a closer look at a failure.
        if (const QString copy = qEnvironmentVariable("SELVINA_ORCA_LOG"); !copy.isEmpty()) {
            QFile log(copy);
            if (log.open(QIODevice::Append))
                log.write(bytes);
        }
        m_pending += QString::fromUtf8(bytes);
        qsizetype end;
        while ((end = m_pending.indexOf(QLatin1Char('\n'))) >= 0) {
            const QString line = m_pending.left(end).trimmed();
            m_pending.remove(0, end + 1);
            // SPEECH OUTPUT: 'sentence' [voice=NAME]{voice settings}
            static const QRegularExpression speech(QStringLiteral("SPEECH OUTPUT: '(.*)' ?(?:voice=\\S+ ?)?\\{.*\\}$"));
            static const QRegularExpression focus(
                QStringLiteral("EVENT MANAGER: object:state-changed:focused for (\\[[^]]*\\]) in \\[application \\| selvina-voice\\] \\(1,"));
            if (const auto m = speech.match(line); m.hasMatch())
                m_said.append(m.captured(1));
            // A long name is cut short in the log ("… (...) ]"); the start is enough to tell stops apart.
            else if (const auto f = focus.match(line); f.hasMatch())
                m_focused.append(f.captured(1));
            else if (line.startsWith(QStringLiteral("selvina-orca-pid ")))
                m_pid = line.section(QLatin1Char(' '), 1).toInt();
            else if (line.contains(QStringLiteral("Startup complete")))
                m_startupComplete = true;
        }
    }

    QProcess m_orca;
    QString m_pending;
    QStringList m_said;
    QStringList m_focused;
    bool m_startupComplete = false;
    pid_t m_pid = 0;
};

class SettingsWindowWithOrca : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_display = new XDisplay;
        s_bus = new QProcess;
        s_home = new QTemporaryDir;
        s_runtime = new QTemporaryDir;
        const QString address = startSessionBus(*s_bus);
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
        qputenv("XDG_RUNTIME_DIR", s_runtime->path().toUtf8());
        s_ok = s_display->ok() && !address.isEmpty() && !startAccessibilityBus().isEmpty() && startKeyring();
        s_service = new LoopbackHttp;
        s_orca = new Orca(s_home->filePath(QStringLiteral("orca")));
    }
    // The user's keyring, unlocked with the login password, its files in the test's home. Asked
    // before it owns its name, the bus would start a locked one of its own.
    static bool startKeyring()
    {
        s_keyring = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), s_home->filePath(QStringLiteral("app")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), s_home->filePath(QStringLiteral("keyring")));
        s_keyring->setProcessEnvironment(env);
        s_keyring->start(QStringLiteral("gnome-keyring-daemon"), {"--foreground", "--unlock", "--components=secrets"});
        if (!s_keyring->waitForStarted(5000))
            return false;
        s_keyring->write("selvina-test");
        s_keyring->closeWriteChannel();
        return wait([] {
            QProcess gdbus;
            gdbus.start(QStringLiteral("gdbus"), {"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                                                  "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                                                  "org.freedesktop.secrets"});
            return gdbus.waitForFinished(5000) && gdbus.readAllStandardOutput().contains("true");
        });
    }
    static QString storedKey()
    {
        QProcess tool;
        tool.start(QStringLiteral("secret-tool"), {"lookup", "service", "pl.korlund.selvinavoice", "account", "openai-api-key"});
        tool.waitForFinished(10000);
        return QString::fromUtf8(tool.readAllStandardOutput());
    }
    // What Orca said and followed, for a failure (or on request, for a transcript).
    void showTranscript()
    {
        if (HasFailure() || qEnvironmentVariableIsSet("SELVINA_ORCA_TRANSCRIPT")) {
            std::cout << "--- Orca said:\n" << s_orca->saidSince(0).toStdString() << "\n--- Orca followed the focus to:\n"
                      << s_orca->focused().join(QLatin1Char('\n')).toStdString() << "\n";
        }
    }
    void TearDown() override { showTranscript(); }
    static void TearDownTestSuite()
    {
        delete s_orca;
        delete s_service;
        stopProcess(*s_keyring);
        delete s_keyring;
        stopProcess(*s_bus);
        delete s_bus;
        delete s_runtime;
        delete s_home;
        delete s_display;
    }

    // The stand-in plug-in store lists one plug-in and refuses to install it.
    static QProcessEnvironment appEnvironment()
    {
        const QString answers = s_home->filePath(QStringLiteral("store.json"));
        QFile f(answers);
        f.open(QIODevice::WriteOnly);
        f.write(R"({"lista": {"stdout": {"ok": true, "zainstalowane": [], "dostepne": [{"nazwa": "fs", "pakiet": "@x/fs", "wersja": "1.0.0"}]}},
                    "zainstaluj": {"stdout": {"ok": false, "komunikat": "Pakiet nie istnieje."}}})");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), s_home->filePath(QStringLiteral("app")));
        env.insert(QStringLiteral("SELVINA_PLUGIN_STORE"), QStringLiteral(SELVINA_STAND_IN_STORE));
        env.insert(QStringLiteral("STAND_IN_STORE"), answers);
        env.insert(QStringLiteral("SELVINA_OPENAI_BASE_URL"), s_service->url().toString());
        env.remove(QStringLiteral("OPENAI_API_KEY"));
        // Accessibility is switched on by the program itself, not by the test.
        env.remove(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"));
        for (const auto& [name, value] : {std::pair{"SELVINA_SETTINGS", "1"}, {"SELVINA_WAKE", "0"}, {"QT_QPA_PLATFORM", "xcb"}})
            env.insert(QString::fromLatin1(name), QString::fromLatin1(value));
        return env;
    }

    // Presses `keys` and answers the object that takes the focus next ("[role | name]"), empty when
    // none did within `ms`. Orca follows the focus a little after the key; what it settles on counts.
    QString press(const QString& keys, int ms = 15000)
    {
        const qsizetype before = s_orca->focused().size();
        XDisplay::key(keys);
        if (!wait([&] { return s_orca->focused().size() > before; }, ms))
            return {};
        qsizetype seen;
        do {
            seen = s_orca->focused().size();
            settle(std::chrono::milliseconds(400));
        } while (s_orca->focused().size() != seen);
        return s_orca->focused().back();
    }

    static inline XDisplay* s_display = nullptr;
    static inline QProcess* s_bus = nullptr;
    static inline QTemporaryDir* s_home = nullptr;
    static inline QTemporaryDir* s_runtime = nullptr;
    static inline Orca* s_orca = nullptr;
    static inline QProcess* s_keyring = nullptr;
    static inline LoopbackHttp* s_service = nullptr;
    static inline bool s_ok = false;
};

QString nameOf(const QString& focus)
{
    return focus.section(QStringLiteral(" | "), 1).chopped(1);
}

bool isShared(const QString& focus)
{
    return focus.contains(QStringLiteral("| Szukaj w ustawieniach]")) || focus.contains(QStringLiteral("| Wstecz]"))
           || focus.contains(QStringLiteral("| Dalej]")) || focus.startsWith(QStringLiteral("[list"));
}

} // namespace

TEST_F(SettingsWindowWithOrca, EveryPaneIsHeardByKeyboardAlone)
{
    ASSERT_TRUE(s_ok);
    ASSERT_TRUE(s_orca->ready()) << "Orca did not start";

    // Opening at start: the window and the control with the focus are said.
    QProcess app;
    app.setProcessEnvironment(appEnvironment());
    app.start(QStringLiteral(SELVINA_VOICE_BIN), {});
    ASSERT_TRUE(app.waitForStarted(10000));
    EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Ustawienia Selvina"), 0, 60000)) << s_orca->saidSince(0).toStdString();
    EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Szukaj w ustawieniach"), 0)) << s_orca->saidSince(0).toStdString();

    // A second start hands over to the first, whose window is already open: said again.
    qsizetype mark = s_orca->saidCount();
    QProcess second;
    second.setProcessEnvironment(appEnvironment());
    second.start(QStringLiteral(SELVINA_VOICE_BIN), {});
    EXPECT_TRUE(second.waitForFinished(30000));
    EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Ustawienia Selvina"), mark)) << s_orca->saidSince(mark).toStdString();

    const QStringList panes = {"Uruchamianie", "Inteligencja", "Mowa", "Wtyczki", "Uprawnienia", "Developer", "O aplikacji"};
    int stops = 4; // Wstecz, Dalej, the search field and the sidebar
    QStringList choices;
    QString at = QStringLiteral("[text | Szukaj w ustawieniach]");
    for (int i = 0; i < panes.size(); ++i) {
        const QString& pane = panes[i];
        // Back to the search field, then Tab to the sidebar (which says the pane shown) and an
        // arrow to the next pane.
        for (int guard = 0; !at.contains(QStringLiteral("| Szukaj w ustawieniach]")) && guard < 4; ++guard)
            at = press(at.startsWith(QStringLiteral("[list")) ? QStringLiteral("shift+Tab") : QStringLiteral("Tab"));
        ASSERT_TRUE(at.contains(QStringLiteral("| Szukaj w ustawieniach]"))) << at.toStdString();
        mark = s_orca->saidCount();
        at = press(QStringLiteral("Tab"));
        ASSERT_TRUE(at.startsWith(QStringLiteral("[list"))) << pane.toStdString() << ": Tab from the search field went to " << at.toStdString();
        if (i > 0)
            press(QStringLiteral("Down"));
        EXPECT_TRUE(s_orca->waitSaid(pane, mark)) << s_orca->saidSince(mark).toStdString();

        // Through the pane, stop by stop, until the focus is back among the window's own controls.
        for (mark = s_orca->saidCount(), at = press(QStringLiteral("Tab")); !isShared(at);
             mark = s_orca->saidCount(), at = press(QStringLiteral("Tab"))) {
            ASSERT_FALSE(at.isEmpty()) << pane.toStdString() << ": Tab after " << stops << " stops reached nothing";
            ASSERT_LT(++stops, 200) << "the focus never came back to the window's own controls";
            const QString name = nameOf(at);
            EXPECT_FALSE(name.trimmed().isEmpty()) << pane.toStdString() << ": an unnamed stop " << at.toStdString();
            // Each stop is said with its name (the log cuts long ones short; their start is enough).
            EXPECT_TRUE(s_orca->waitSaid(name.section(QStringLiteral(" (...)"), 0, 0).left(40).trimmed(), mark, 5000))
                << pane.toStdString() << ": " << at.toStdString() << " not said: " << s_orca->saidSince(mark).toStdString();

            if (at.startsWith(QStringLiteral("[radio button"))) {
                // A choice: its value on focus (Tab enters at the chosen option), and the next one
                // when an arrow changes it.
                EXPECT_TRUE(s_orca->waitSaid(name, mark)) << at.toStdString();
                EXPECT_FALSE(s_orca->saidSince(mark).contains(QStringLiteral("niewybrany"))) << s_orca->saidSince(mark).toStdString();
                choices.append(name);
                const qsizetype before = s_orca->saidCount();
                QString next = press(QStringLiteral("Down"), 3000);
                if (next.isEmpty() || next == at)
                    next = press(QStringLiteral("Up"), 3000);
                if (!next.isEmpty() && next != at) {
                    EXPECT_TRUE(s_orca->waitSaid(nameOf(next), before))
                        << s_orca->saidSince(before).toStdString();
                }
            } else if (pane == u"Uruchamianie" && (name == u"Super" || name == u"Control")) {
                // Off one by one; the last one left must stay, and saying so is the refusal.
                XDisplay::key(QStringLiteral("space"));
            } else if (pane == u"Uruchamianie" && name == u"Alt") {
                XDisplay::key(QStringLiteral("space"));
                EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Skrót musi mieć co najmniej jeden modyfikator."), mark))
                    << s_orca->saidSince(mark).toStdString();
            } else if (name == u"Nagraj skrót") {
                // A key without a modifier is refused aloud; Esc ends the recording on the button.
                press(QStringLiteral("space"));
                const qsizetype before = s_orca->saidCount();
                XDisplay::key(QStringLiteral("b"));
                EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Skrót musi mieć co najmniej jeden modyfikator."), before))
                    << s_orca->saidSince(before).toStdString();
                EXPECT_EQ(press(QStringLiteral("Escape")), at);
            } else if (name.startsWith(QStringLiteral("Zainstaluj"))) {
                // The store's refusal is said; the rebuilt list keeps the focus on a named control.
                XDisplay::key(QStringLiteral("space"));
                EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Pakiet nie istnieje."), mark)) << s_orca->saidSince(mark).toStdString();
                settle(std::chrono::milliseconds(1000));
                EXPECT_EQ(s_orca->focused().back(), at) << "the button is back after the refusal, and has the focus";
            } else if (name == u"Klucz OpenAI" && at.startsWith(QStringLiteral("[password text"))) {
                // A key the service refuses (not kept), then one it takes (kept): each result said,
                // after the "checking" of the same press or in place of it, and the focus stays on
                // the pressed button.
                const auto saveKey = [&](const QString& key, const QByteArray& answer, const QString& result) {
                    s_service->routes.insert("/v1/models", answer);
                    EXPECT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"type", "--delay", "20", key}), 0);
                    const QString button = press(QStringLiteral("Tab"));
                    ASSERT_TRUE(button.contains(QStringLiteral("| Zapisz klucz]"))) << button.toStdString();
                    const qsizetype before = s_orca->saidCount();
                    XDisplay::key(QStringLiteral("space"));
                    ASSERT_TRUE(s_orca->waitSaid(result, before)) << s_orca->saidSince(before).toStdString();
                    const QString heard = s_orca->saidSince(before);
                    const qsizetype checking = heard.indexOf(QStringLiteral("Sprawdzam klucz w OpenAI"));
                    EXPECT_LT(checking, heard.indexOf(result)) << heard.toStdString();
                    settle(std::chrono::milliseconds(1000));
                    EXPECT_EQ(s_orca->focused().back(), button);
                    EXPECT_EQ(press(QStringLiteral("shift+Tab")), at);
                };
                saveKey(QStringLiteral("sk-mistyped"), LoopbackHttp::json(401, {{"error", QJsonObject{{"code", "invalid_api_key"}}}}),
                        QStringLiteral("OpenAI odrzuciło ten klucz (kod 401), więc go nie zapisałam."));
                EXPECT_EQ(storedKey(), QString());
                XDisplay::key(QStringLiteral("ctrl+a"));
                saveKey(QStringLiteral("sk-accepted-abcdef"), LoopbackHttp::json(200, {{"data", QJsonArray{}}}),
                        QStringLiteral("Klucz OpenAI zapisany w pęku kluczy systemu, kończy się na …abcdef."));
                EXPECT_EQ(storedKey(), QStringLiteral("sk-accepted-abcdef"));
            } else if (name.contains(QStringLiteral("brak zgody"))) {
                // A missing permission: what it is for and how to fix it are in what Orca says.
                EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Bez tego"), mark)) << s_orca->saidSince(mark).toStdString();
                EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Jak to naprawić: "), mark)) << s_orca->saidSince(mark).toStdString();
            }
        }
    }
    EXPECT_GE(choices.size(), 11) << choices.join(QStringLiteral(", ")).toStdString();
    EXPECT_TRUE(s_orca->saidSince(0).contains(QStringLiteral("Wstecz (Alt+Strzałka w lewo)"))) << "the key in Polish";
    // No container is said twice on the way in ("Głos panel. Głos panel."), and none without a
    // name ("obszar warstwowy" alone).
    const QStringList said = s_orca->saidSince(0).split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < said.size(); ++i) {
        EXPECT_FALSE(i > 0 && said[i].endsWith(QStringLiteral(" panel.")) && said[i] == said[i - 1]) << said[i].toStdString();
        EXPECT_FALSE(said[i].startsWith(QStringLiteral("obszar warstwowy"))) << said.mid(std::max<qsizetype>(0, i - 3), 5).join(QStringLiteral(" | ")).toStdString();
    }
    EXPECT_LT(stops, 92);
    std::cout << "Tab stops in the window: " << stops << "\n";

    // Orca restarted while the window is open: the new one finds the window, follows the focus in
    // it and hears the next start.
    showTranscript();
    delete s_orca;
    s_orca = new Orca(s_home->filePath(QStringLiteral("orca")));
    ASSERT_TRUE(s_orca->ready()) << "Orca did not start again";
    at = press(QStringLiteral("Tab"));
    EXPECT_FALSE(nameOf(at).trimmed().isEmpty()) << at.toStdString();
    EXPECT_TRUE(s_orca->waitSaid(nameOf(at), 0)) << s_orca->saidSince(0).toStdString();
    mark = s_orca->saidCount();
    QProcess third;
    third.setProcessEnvironment(appEnvironment());
    third.start(QStringLiteral(SELVINA_VOICE_BIN), {});
    EXPECT_TRUE(third.waitForFinished(30000));
    EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Ustawienia Selvina"), mark)) << s_orca->saidSince(mark).toStdString();

    app.terminate();
    if (!app.waitForFinished(10000))
        app.kill();
}
