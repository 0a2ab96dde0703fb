// The plug-ins pane over the real catalogue and store, the store program played by the stand-in
// (stand_in_store.cjs): what the lists show, and what each switch and button asks the store for.
#include "ManualClock.h"
#include "TestSupport.h"
#include "agent/AgentEvent.h"
#include "agent/SidecarRuntime.h"
#include "platform/fake/MemoryStores.h"
#include "plugins/PluginCatalog.h"
#include "settings/ReasoningPreferences.h"
#include "settingspanes/PluginsPane.h"
#include "settingswindow/Announcement.h"
#include "settingswindow/SettingsNavigation.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>

namespace selvina::settingspanes {
namespace {

using plugins::PluginCatalog;
using plugins::PluginStore;
using settingswindow::Miejsce;
using settingswindow::Pane;
using testing::waitFor;

constexpr std::chrono::milliseconds kPatience{60'000}; // node on a loaded machine

// A catalogue plug-in installed from the catalogue, and a stranger published under another one's
// readable name, installed by hand.
const char* kList = R"({"ok": true,
  "zainstalowane": [{"nazwa": "filesystem", "wersja": "2026.8.31", "zrodlo": "katalog", "pakiet": "@modelcontextprotocol/server-filesystem"},
                    {"nazwa": "npm-memory", "wersja": "9.9.9", "zrodlo": "npm", "pakiet": "memory"}],
  "dostepne": [{"nazwa": "filesystem", "pakiet": "@modelcontextprotocol/server-filesystem", "wersja": "2026.8.31", "sprawdzony": true},
               {"nazwa": "memory", "pakiet": "@modelcontextprotocol/server-memory", "wersja": "2026.8.31", "domyslnie": true}]})";
const char* kRefused = "W rejestrze npm nie ma takiej wersji pakietu @modelcontextprotocol/server-memory.";
const char* kTools = R"({"ok": true, "wszystkieWlaczone": true,
  "narzedzia": [{"nazwa": "read_file", "opis": "czyta plik"}, {"nazwa": "write_file", "opis": "zapisuje plik"}]})";

// A shown pane and its controls by accessible name.
class PaneTest : public ::testing::Test {
protected:
    void TearDown() override { m_pane.reset(); } // before what it observes
    template <typename W>
    W* named(const QString& name)
    {
        for (W* w : m_pane->findChildren<W*>())
            if (w->accessibleName() == name && w->isVisibleTo(m_pane.get()))
                return w;
        return nullptr;
    }
    template <typename W>
    W* waitForNamed(const QString& name)
    {
        W* found = nullptr;
        waitFor([&] { return (found = named<W>(name)) != nullptr; }, kPatience);
        return found;
    }

    std::unique_ptr<PluginsPane> m_pane;
};

class PluginsPaneTest : public PaneTest {
protected:
    void SetUp() override
    {
        qputenv("STAND_IN_STORE", QFile::encodeName(m_dir.filePath(QStringLiteral("answers.json"))));
        answer(kTools);
        m_nawigacja.idzDo(Miejsce::panel(Pane::plugins));
    }
    void answer(const QByteArray& tools)
    {
        selvina::testing::writeFile(m_dir.filePath(QStringLiteral("answers.json")),
                                    R"({"lista": {"stdout": )" + QByteArray(kList) + R"(}, "narzedzia": {"stdout": )" + tools
                                        + R"(}, "zainstaluj": {"stdout": {"ok": false, "komunikat": ")" + kRefused + "\"}}}");
    }
    // The calls of one command, without the command's name.
    QList<QStringList> calls(const QString& command) const
    {
        QList<QStringList> out;
        for (const QByteArray& line : selvina::testing::readFile(m_dir.filePath(QStringLiteral("answers.json.calls"))).split('\n')) {
            QStringList call = QVariant(QJsonDocument::fromJson(line).array().toVariantList()).toStringList();
            if (!call.isEmpty() && call.takeFirst() == command)
                out.append(call);
        }
        return out;
    }
    bool waitForCalls(const QString& command, qsizetype count)
    {
        return waitFor([&] { return calls(command).size() >= count; }, kPatience);
    }
    void open()
    {
        m_pane = std::make_unique<PluginsPane>(m_catalog, m_store, m_reasoning, m_nawigacja);
        m_pane->show();
    }

    QTemporaryDir m_dir;
    platform::fake::MemoryPreferences m_preferences;
    testing::ManualClock m_clock;
    settings::ReasoningPreferences m_reasoning{m_dir.filePath(QStringLiteral("config.json")), m_preferences, [] {
        using R = settings::ReasoningPreferences;
        return std::pair{R::EngineState{R::Engine::claude, true, std::nullopt}, R::EngineState{R::Engine::codex, false, std::nullopt}};
    }};
    PluginCatalog m_catalog{PluginCatalog::Options{m_dir.path(), [] { return std::pair{true, false}; }}};
    bool m_taskRunning = false;
    PluginStore m_store{m_clock, m_catalog, PluginStore::Options{QStringLiteral("/usr/bin/node"), QStringLiteral(SELVINA_STAND_IN_STORE), {},
                                                                 m_dir.path(), [this] { return m_taskRunning; }}};
    settingswindow::NawigacjaUstawien m_nawigacja;
};

TEST_F(PluginsPaneTest, ListsEachPluginOnceInstallsAndOpensItsPage)
{
    open();
    ASSERT_NE(waitForNamed<QPushButton>(QStringLiteral("Pliki 2026.8.31 — sprawdzona")), nullptr);
    EXPECT_NE(named<QPushButton>(QStringLiteral("npm-memory 9.9.9 — niesprawdzona")), nullptr);
    EXPECT_NE(named<QPushButton>(QStringLiteral("Zainstaluj Pamięć")), nullptr) << "the stranger is not the catalogue's";
    EXPECT_EQ(named<QPushButton>(QStringLiteral("Zainstaluj Pliki")), nullptr) << "installed ones are not offered";
    QPushButton* install = named<QPushButton>(QStringLiteral("Zainstaluj Pamięć"));
    install->setFocus();
    install->click();
    ASSERT_TRUE(waitForCalls(QStringLiteral("zainstaluj"), 1));
    EXPECT_EQ(calls(QStringLiteral("zainstaluj")).first(), QStringList{QStringLiteral("@modelcontextprotocol/server-memory")});
    // Through the rebuilds (a bar while it runs, the button again after the refusal) the focus
    // follows what took the pressed button's place; the note says why, one Tab further on.
    EXPECT_TRUE(waitFor([&] {
        const QWidget* f = m_pane->window()->focusWidget();
        return f != nullptr && f->accessibleName() == QStringLiteral("Zainstaluj Pamięć");
    }, kPatience));
    EXPECT_TRUE(waitFor([&] { return named<QLabel>(QString::fromUtf8(kRefused)) != nullptr; }, kPatience));

    // The list was rebuilt meanwhile.
    waitForNamed<QPushButton>(QStringLiteral("Pliki 2026.8.31 — sprawdzona"))->click();
    EXPECT_EQ(m_pane->shownPlugin(), QStringLiteral("filesystem"));
    EXPECT_EQ(m_nawigacja.biezace(), Miejsce::named(QStringLiteral("filesystem")));
    m_nawigacja.wstecz();
    EXPECT_EQ(m_pane->shownPlugin(), std::nullopt);
}

TEST_F(PluginsPaneTest, ToolSwitchesStoreTheSelectionAndRemovalAsksFirst)
{
    m_nawigacja.idzDo(Miejsce::named(QStringLiteral("filesystem")));
    open();
    ASSERT_NE(waitForNamed<QCheckBox>(QStringLiteral("read_file")), nullptr);
    EXPECT_EQ(named<QCheckBox>(QStringLiteral("read_file"))->accessibleDescription(), QStringLiteral("czyta plik"));

    // Off, off, one back on: [write], [], [read]; then all: no selection at all.
    const auto flip = [&](const QString& tool, qsizetype callsSoFar) {
        QPointer<QCheckBox> box = waitForNamed<QCheckBox>(tool);
        ASSERT_NE(box, nullptr);
        box->setFocus();
        box->click();
        ASSERT_TRUE(waitForCalls(QStringLiteral("ustaw-narzedzia"), callsSoFar + 1));
        // The page is rebuilt under the keyboard focus, which stays on the switch of that name.
        ASSERT_TRUE(waitFor([&] { return box.isNull() && named<QCheckBox>(tool) != nullptr; }, kPatience));
        EXPECT_EQ(m_pane->window()->focusWidget(), named<QCheckBox>(tool));
    };
    flip(QStringLiteral("read_file"), 0);
    flip(QStringLiteral("write_file"), 1);
    EXPECT_NE(waitForNamed<QLabel>(QStringLiteral("⚠ Bez żadnego narzędzia wtyczka jest wyłączona i nie jest uruchamiana. "
                                                  "Włącz choć jedno, żeby wróciła do pracy.")),
              nullptr);
    flip(QStringLiteral("read_file"), 2);
    waitForNamed<QPushButton>(QStringLiteral("Włącz wszystkie"))->click();
    ASSERT_TRUE(waitForCalls(QStringLiteral("ustaw-narzedzia"), 4));
    const QString f = QStringLiteral("filesystem");
    EXPECT_EQ(calls(QStringLiteral("ustaw-narzedzia")),
              (QList<QStringList>{{f, QStringLiteral(R"(["write_file"])")}, {f, QStringLiteral("[]")}, {f, QStringLiteral(R"(["read_file"])")}, {f}}));

    waitForNamed<QPushButton>(QStringLiteral("Usuń wtyczkę"))->click();
    QPushButton* keep = waitForNamed<QPushButton>(QStringLiteral("Zachowaj"));
    ASSERT_NE(keep, nullptr);
    EXPECT_EQ(keep->window()->focusWidget(), keep) << "the question takes the focus";
    keep->click();
    EXPECT_FALSE(m_store.busy());
    waitForNamed<QPushButton>(QStringLiteral("Usuń wtyczkę"))->click();
    // While a task runs (its agent may run the plug-in) the removal waits, and says so.
    m_taskRunning = true;
    waitForNamed<QPushButton>(QStringLiteral("Usuń pliki wtyczki"))->click();
    EXPECT_TRUE(waitFor([&] {
        return settingswindow::lastAnnouncement(m_pane->window())
            == QStringLiteral("Wtyczki Pliki może teraz używać trwające zadanie, więc usunę ją, gdy żadne zadanie nie będzie "
                              "trwało. Powiem, kiedy to zrobię.");
    }));
    EXPECT_TRUE(calls(QStringLiteral("usun")).isEmpty());
    EXPECT_NE(waitForNamed<QPushButton>(QStringLiteral("Pliki 2026.8.31 — sprawdzona, do usunięcia po zadaniu")), nullptr);
    m_taskRunning = false;
    m_store.runDeferred();
    ASSERT_TRUE(waitForCalls(QStringLiteral("usun"), 1));
    EXPECT_EQ(calls(QStringLiteral("usun")).first(), QStringList{f});
    EXPECT_EQ(m_pane->shownPlugin(), std::nullopt);
    for (const Miejsce& m : m_nawigacja.historia())
        EXPECT_TRUE(m.isPanel()) << "the removed plug-in's page left the history";
}

TEST_F(PluginsPaneTest, APluginThatDoesNotAnswerCanStillBeSwitchedOff)
{
    answer(R"({"ok": false, "komunikat": "Wtyczka filesystem zakończyła pracę, zanim podała listę narzędzi."})");
    m_nawigacja.idzDo(Miejsce::named(QStringLiteral("filesystem")));
    open();
    QPushButton* off = waitForNamed<QPushButton>(QStringLiteral("Wyłącz mimo to"));
    ASSERT_NE(off, nullptr);
    EXPECT_NE(named<QLabel>(QStringLiteral("Wtyczka filesystem zakończyła pracę, zanim podała listę narzędzi.")), nullptr);
    off->setFocus();
    off->click();
    EXPECT_EQ(m_catalog.disabled(), QStringList{QStringLiteral("filesystem")});
    QPushButton* on = waitForNamed<QPushButton>(QStringLiteral("Włącz wtyczkę"));
    ASSERT_NE(on, nullptr);
    EXPECT_EQ(on->window()->focusWidget(), on) << "the button that took the pressed one's place";
}

// The pane over the real store program, and the real sidecar with the stand-in agents, in a home
// of its own: what the user switches is what the next task's agent is given, with no restart of
// the assistant.
class PluginsPaneWithSidecar : public PaneTest {
protected:
    void SetUp() override
    {
        const QString home = m_home.path();
        const QString sidecar = QStringLiteral(SELVINA_SIDECAR_DIR);
        const QString plugins = home + QStringLiteral("/data/selvina-voice/plugins");
        setEnv("HOME", home);
        setEnv("XDG_DATA_HOME", home + QStringLiteral("/data"));
        setEnv("XDG_STATE_HOME", home + QStringLiteral("/state"));
        setEnv("SELVINA_AGENT_DIR", home);
        setEnv("SELVINA_PLUGIN_CATALOG", home + QStringLiteral("/katalog.json"));
        setEnv("FAKE_AGENT_SCENARIO", QStringLiteral("ok"));
        setEnv("FAKE_AGENT_LOG", home + QStringLiteral("/agent.log"));
        setEnv("PATH", sidecar + QStringLiteral("/test/fake-bin:") + qEnvironmentVariable("PATH"));
        // A plug-in as the store leaves it: the two-tool fixture, from the catalogue.
        QDir().mkpath(plugins + QStringLiteral("/node_modules/dwa"));
        ASSERT_TRUE(QFile::copy(sidecar + QStringLiteral("/test/plugins-fixtures/mcp-dwa/server"), plugins + QStringLiteral("/node_modules/dwa/server")));
        selvina::testing::writeFile(plugins + QStringLiteral("/package.json"), R"({"dependencies": {"dwa": "1.0.0"}})");
        selvina::testing::writeFile(plugins + QStringLiteral("/node_modules/dwa/package.json"), R"({"name": "dwa", "version": "1.0.0", "type": "module", "bin": "server"})");
        selvina::testing::writeFile(home + QStringLiteral("/katalog.json"), R"({"wtyczki": [{"nazwa": "dwa", "pakiet": "dwa", "wersja": "1.0.0",
            "srodowisko": {"FIXTURE_MCP_SDK": ")" + QFile::encodeName(sidecar) + R"(/node_modules/@modelcontextprotocol/sdk/dist/esm"}}]})");
        QDir().mkpath(m_config);
        selvina::testing::writeFile(m_config + QStringLiteral("/config.json"), R"({"reasoning_engine": "claude"})");
        QObject::connect(&m_catalog, &PluginCatalog::restartForPluginChange, &m_runtime, &agent::SidecarRuntime::renewForNextTask);
    }
    void TearDown() override
    {
        m_pane.reset(); // the runtime's destructor ends the sidecar and what it started
        for (const auto& [name, value] : m_saved)
            value ? qputenv(name, *value) : qunsetenv(name);
    }
    void setEnv(const char* name, const QString& value)
    {
        m_saved.emplace_back(name, qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
        qputenv(name, QFile::encodeName(value));
    }
    // Runs one task to its end; what the stand-in agent was started with for it.
    QJsonObject task(const QString& id)
    {
        agent::AgentEventStream stream;
        m_runtime.start(id, QStringLiteral("ile plików?"), stream.sink());
        std::optional<agent::AgentEvent> last;
        EXPECT_TRUE(waitFor([&] {
            while (auto e = stream.takeReady())
                last = e;
            return stream.hasEnded();
        }, kPatience));
        EXPECT_TRUE(last && last->kind == agent::AgentEvent::Kind::finished) << (last ? last->text.toStdString() : "");
        const QList<QByteArray> lines = selvina::testing::readFile(m_home.filePath(QStringLiteral("agent.log"))).trimmed().split('\n');
        return QJsonDocument::fromJson(lines.last()).object();
    }
    QStringList argv(const QJsonObject& start) const
    {
        return QVariant(start.value(QStringLiteral("argv")).toArray().toVariantList()).toStringList();
    }
    QStringList servers(const QJsonObject& start) const
    {
        return start.value(QStringLiteral("mcp")).toObject().value(QStringLiteral("mcpServers")).toObject().keys();
    }
    // Clicks a control of the plug-in's page and waits until the sidecar that ran has gone.
    void clickAndWaitForReplacement(QAbstractButton* control)
    {
        ASSERT_NE(control, nullptr);
        ASSERT_GT(m_runtime.processId(), 0);
        control->click();
        ASSERT_TRUE(waitFor([&] { return m_runtime.processId() == -1; }, kPatience));
    }
    QTemporaryDir m_home;
    QString m_config = m_home.filePath(QStringLiteral(".config/selvina-voice"));
    std::vector<std::pair<const char*, std::optional<QByteArray>>> m_saved;
    platform::fake::MemoryPreferences m_preferences;
    testing::ManualClock m_clock;
    settings::ReasoningPreferences m_reasoning{m_config + QStringLiteral("/config.json"), m_preferences, [] {
        using R = settings::ReasoningPreferences;
        return std::pair{R::EngineState{R::Engine::claude, true, std::nullopt}, R::EngineState{R::Engine::codex, false, std::nullopt}};
    }};
    PluginCatalog m_catalog{PluginCatalog::Options{m_config, [] { return std::pair{true, false}; }}};
    PluginStore m_store{m_clock, m_catalog, PluginStore::Options{QStringLiteral("/usr/bin/node"),
                                                                 QStringLiteral(SELVINA_SIDECAR_DIR "/dist/wtyczki-cli.js"), {}, m_config}};
    agent::SidecarRuntime m_runtime{m_clock, agent::SidecarRuntime::Options{{QStringLiteral(SELVINA_SIDECAR_DIR)}}};
    settingswindow::NawigacjaUstawien m_nawigacja;
};

TEST_F(PluginsPaneWithSidecar, ASwitchedOffToolIsMissingFromTheNextTask)
{
    m_nawigacja.idzDo(Miejsce::panel(Pane::plugins));
    m_nawigacja.idzDo(Miejsce::named(QStringLiteral("dwa")));
    m_pane = std::make_unique<PluginsPane>(m_catalog, m_store, m_reasoning, m_nawigacja);
    m_pane->show();
    ASSERT_NE(waitForNamed<QCheckBox>(QStringLiteral("suma")), nullptr) << "the store asked the plug-in for its tools";

    const QJsonObject first = task(QStringLiteral("T1"));
    EXPECT_EQ(servers(first), QStringList{QStringLiteral("dwa")});
    EXPECT_FALSE(argv(first).contains(QStringLiteral("--disallowedTools")));

    clickAndWaitForReplacement(waitForNamed<QCheckBox>(QStringLiteral("suma")));
    const QStringList second = argv(task(QStringLiteral("T2")));
    const qsizetype at = second.indexOf(QStringLiteral("--disallowedTools"));
    ASSERT_GE(at, 0);
    EXPECT_EQ(second.value(at + 1), QStringLiteral("mcp__dwa__suma"));

    // No tool left: the plug-in is not started at all.
    clickAndWaitForReplacement(waitForNamed<QPushButton>(QStringLiteral("Wyłącz wszystkie")));
    EXPECT_EQ(servers(task(QStringLiteral("T3"))), QStringList{});
    EXPECT_EQ(QJsonDocument::fromJson(selvina::testing::readFile(m_config + QStringLiteral("/plugins.json"))).object()
                  .value(QStringLiteral("tools")).toObject().value(QStringLiteral("dwa")).toArray(), QJsonArray{});
}

} // namespace
} // namespace selvina::settingspanes
