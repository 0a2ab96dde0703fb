// The settings window as the real Orca speaks it: Orca and selvina-voice on Xvfb with a window
// manager, a private session bus and its accessibility bus, the window walked with keys alone.
// Orca's debug output (read through a pseudo-terminal, where it is written line by line) records
// every focus it followed and every sentence it said.
#include "../platform/linux/atspi/DesktopFixture.h"

#include <QFile>
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
        s_ok = s_display->ok() && !address.isEmpty() && !startAccessibilityBus().isEmpty();
        s_orca = new Orca(s_home->filePath(QStringLiteral("orca")));
    }
    void TearDown() override
    {
        // What Orca said and followed, for a failure (or on request, for a transcript).
        if (HasFailure() || qEnvironmentVariableIsSet("SELVINA_ORCA_TRANSCRIPT")) {
            std::cout << "--- Orca said:\n" << s_orca->saidSince(0).toStdString() << "\n--- Orca followed the focus to:\n"
                      << s_orca->focused().join(QLatin1Char('\n')).toStdString() << "\n";
        }
    }
    static void TearDownTestSuite()
    {
        delete s_orca;
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
    static inline bool s_ok = false;
};

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
            const QString name = at.section(QStringLiteral(" | "), 1).chopped(1);
            EXPECT_FALSE(name.trimmed().isEmpty()) << pane.toStdString() << ": an unnamed stop " << at.toStdString();

            if (at.startsWith(QStringLiteral("[radio button"))) {
                // A choice: its value on focus, and the next one when an arrow changes it.
                EXPECT_TRUE(s_orca->waitSaid(name, mark)) << at.toStdString();
                choices.append(name);
                const qsizetype before = s_orca->saidCount();
                QString next = press(QStringLiteral("Down"), 3000);
                if (next.isEmpty() || next == at)
                    next = press(QStringLiteral("Up"), 3000);
                if (!next.isEmpty() && next != at) {
                    EXPECT_TRUE(s_orca->waitSaid(next.section(QStringLiteral(" | "), 1).chopped(1), before))
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
            } else if (name.contains(QStringLiteral("brak zgody"))) {
                // A missing permission: what it is for and how to fix it are in what Orca says.
                EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Bez tego"), mark)) << s_orca->saidSince(mark).toStdString();
                EXPECT_TRUE(s_orca->waitSaid(QStringLiteral("Jak to naprawić: "), mark)) << s_orca->saidSince(mark).toStdString();
            }
        }
    }
    EXPECT_GE(choices.size(), 11) << choices.join(QStringLiteral(", ")).toStdString();
    EXPECT_LT(stops, 92);
    std::cout << "Tab stops in the window: " << stops << "\n";

    app.terminate();
    if (!app.waitForFinished(10000))
        app.kill();
}
