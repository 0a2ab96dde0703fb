// The plug-in catalogue over its files, and the store over a stand-in store program
// (stand_in_store.cjs) on a manual clock; the command-line modes on the real program.
#include "ManualClock.h"
#include "TestSupport.h"
#include "agent/ProcessTree.h"
#include "core/SidecarLog.h"
#include "plugins/PluginCatalog.h"
#include "plugins/PluginStore.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::plugins;
using namespace selvina::testing;
using namespace Qt::StringLiterals;

namespace {

constexpr std::chrono::milliseconds kPatience{60'000}; // node on a loaded machine

class PluginsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SidecarLog::shared().flush();
        m_logStart = QFileInfo(SidecarLog::shared().filePath()).size();
        qputenv("STAND_IN_STORE", QFile::encodeName(answersFile()));
        m_catalog = std::make_unique<PluginCatalog>(PluginCatalog::Options{m_dir.path(), [this] { return m_engines; }});
        m_store = makeStore(u"/usr/bin/node"_s, QStringLiteral(SELVINA_STAND_IN_STORE));
    }

    std::unique_ptr<PluginStore> makeStore(const QString& node, const QString& program, std::function<bool()> tasksRunning = {})
    {
        auto store = std::make_unique<PluginStore>(m_clock, *m_catalog,
                                                   PluginStore::Options{node, program, {}, m_dir.path(), std::move(tasksRunning)});
        QObject::connect(store.get(), &PluginStore::operationFinished, [this](const QString& c) { m_finished.append(c); });
        return store;
    }

    QString answersFile() const { return m_dir.filePath(u"answers.json"_s); }
    QString pluginsFile() const { return m_dir.filePath(u"plugins.json"_s); }

    // What the stand-in does for each command: {command: {stdout, stderr, exit, hang, childPidFile}}.
    void answer(const QByteArray& table) { writeFile(answersFile(), table); }

    // The calls the stand-in was given, each with its command first; all of them, or those of `command`.
    QList<QStringList> calls(const QString& command = {}) const
    {
        QList<QStringList> list;
        for (const QByteArray& line : readFile(answersFile() + u".calls"_s).split('\n')) {
            const QStringList call = QVariant(QJsonDocument::fromJson(line).array().toVariantList()).toStringList();
            if (!line.isEmpty() && (command.isEmpty() || call.value(0) == command))
                list.append(call);
        }
        return list;
    }

    QStringList log() const
    {
        SidecarLog::shared().flush();
        QStringList lines;
        for (const QByteArray& line : readFile(SidecarLog::shared().filePath()).mid(m_logStart).split('\n'))
            if (!line.isEmpty())
                lines.append(QString::fromUtf8(line).section(QLatin1Char(' '), 2)); // without the date and time
        return lines;
    }

    // Waits until the store reports `command` done as many times as asked in all.
    void waitFor(const QString& command, int times = 1)
    {
        ASSERT_TRUE(selvina::testing::waitFor([&] { return m_finished.count(command) >= times; }, kPatience))
            << command.toStdString();
    }

    const int& countRestarts()
    {
        QObject::connect(m_catalog.get(), &PluginCatalog::restartForPluginChange, [this] { ++m_restarts; });
        return m_restarts;
    }

    QTemporaryDir m_dir;
    ManualClock m_clock;
    std::pair<bool, bool> m_engines{true, true};
    std::unique_ptr<PluginCatalog> m_catalog;
    std::unique_ptr<PluginStore> m_store;
    QStringList m_finished;
    qint64 m_logStart = 0;
    int m_restarts = 0;
};

TEST_F(PluginsTest, AgentEntryNeedsBothEnginesAndFollowsTheDisabledList)
{
    m_catalog->reload();
    ASSERT_EQ(m_catalog->plugins().size(), 1);
    const PluginCatalog::Plugin agent = m_catalog->plugins().first();
    EXPECT_EQ(std::tuple(agent.id, agent.name, agent.enabled, agent.origin.label()), std::tuple(u"agent"_s, u"Drugi agent"_s, true, u"wbudowana"_s));

    writeFile(pluginsFile(), R"({"disabled": ["agent"]})");
    m_catalog->reload();
    ASSERT_EQ(m_catalog->plugins().size(), 1);
    EXPECT_FALSE(m_catalog->plugins().first().enabled);
    for (const auto& engines : {std::pair{true, false}, std::pair{false, true}}) {
        m_engines = engines;
        m_catalog->reload();
        EXPECT_TRUE(m_catalog->plugins().isEmpty());
    }
}

TEST_F(PluginsTest, SwitchingOffAndOnRewritesTheFileAndAsksForARestart)
{
    writeFile(pluginsFile(), R"({"zzz": {"kept": true}, "tools": {"agent": [], "fs": ["read"]}, "toolsKnown": {"fs": ["read", "write"]}})");
    const int& restarts = countRestarts();
    m_catalog->setEnabled(u"agent"_s, PluginCatalog::Switch::off);
    m_catalog->setEnabled(u"b"_s, PluginCatalog::Switch::off);
    const QByteArray written = readFile(pluginsFile());
    EXPECT_TRUE(written.startsWith("{\n    \"disabled\": [\n        \"agent\",\n        \"b\"\n    ],\n")) << written.constData();
    EXPECT_FALSE(m_catalog->plugins().first().enabled);
    EXPECT_EQ(restarts, 2);

    m_catalog->setEnabled(u"agent"_s, PluginCatalog::Switch::on);
    m_catalog->setEnabled(u"fs"_s, PluginCatalog::Switch::on); // a partial selection stays
    EXPECT_EQ(QJsonDocument::fromJson(readFile(pluginsFile())), QJsonDocument::fromJson(R"({"disabled": ["b"], "tools": {"fs": ["read"]},
        "toolsKnown": {"fs": ["read", "write"]}, "zzz": {"kept": true}})"));
    EXPECT_TRUE(m_catalog->plugins().first().enabled);
    EXPECT_EQ(restarts, 4);
    EXPECT_EQ(m_catalog->narzedziaWtyczki(u"fs"_s), (PluginCatalog::ToolCount{1, 2}));
    EXPECT_EQ(m_catalog->narzedziaWtyczki(u"agent"_s), std::nullopt);
}

TEST_F(PluginsTest, FilesThatAreNotObjectsAreReadAsEmptyAndNeverOverwritten)
{
    writeFile(pluginsFile(), R"(["agent"])");
    writeFile(m_dir.filePath(u"mcp.json"_s), R"([1])");
    const int& restarts = countRestarts();
    m_catalog->reload();
    EXPECT_TRUE(m_catalog->plugins().first().enabled);
    EXPECT_TRUE(m_catalog->configuredServers().isEmpty());
    m_catalog->setEnabled(u"agent"_s, PluginCatalog::Switch::off);
    EXPECT_EQ(readFile(pluginsFile()), R"(["agent"])");
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(log(), (QStringList{u"[wtyczki] plugins.json jest uszkodzony — pokazuję wszystko jako włączone"_s,
                                  u"[wtyczki] plugins.json jest uszkodzony — nie zmieniam stanu"_s}));

    writeFile(m_dir.filePath(u"mcp.json"_s), R"({"mcpServers": {"home": {}, "mail": {}}})");
    m_catalog->reload();
    EXPECT_EQ(m_catalog->configuredServers(), (QSet<QString>{u"home"_s, u"mail"_s}));
}

TEST_F(PluginsTest, OnePerformAtATimeItsFailureIsShownAndTheListAfterItKeepsOnlyWholeEntries)
{
    answer(R"({"zainstaluj": {"stdout": {"ok": false, "komunikat": "Pakiet nie istnieje."}}, "usun": {"stdout": {"ok": false}}, "lista": {"stdout": {
        "zainstalowane": [{"nazwa": "fs", "wersja": "1.0.0", "zrodlo": "npm", "opis": "pliki"}, {"nazwa": "bez-wersji", "zrodlo": "npm"}],
        "dostepne": [{"nazwa": "fs", "pakiet": "@x/fs", "wersja": "1.0.0", "domyslnie": true, "obejmuje": ["pliki"], "narzedzi": 4,
                      "sprawdzony": true, "wada": ["wolna"]},
                     {"nazwa": "go", "pakiet": "go-mcp", "wersja": "2.0.0"}, {"nazwa": "bez-pakietu", "wersja": "1"}]}}})");
    m_store->perform(u"fs"_s, {u"zainstaluj"_s, u"fs"_s});
    m_store->perform(u"go"_s, {u"usun"_s, u"go"_s});
    EXPECT_EQ(m_store->busy(), u"fs");
    waitFor(u"zainstaluj"_s);
    EXPECT_EQ(m_store->busy(), std::nullopt);
    EXPECT_EQ(m_store->failure(), u"Pakiet nie istnieje.");
    waitFor(u"lista"_s);
    EXPECT_EQ(calls(), (QList<QStringList>{{u"zainstaluj"_s, u"fs"_s}, {u"lista"_s}}));
    // The list read after it keeps only the entries with their required keys.
    EXPECT_EQ(m_store->installed(), (QList<PluginStore::Installed>{{u"fs"_s, u"1.0.0"_s, u"npm"_s, std::nullopt, u"pliki"_s}}));
    EXPECT_EQ(m_store->available(), (QList<PluginStore::Available>{{u"fs"_s, u"@x/fs"_s, u"1.0.0"_s, true, {u"pliki"_s}, 4, true, {u"wolna"_s}},
                                                                   {u"go"_s, u"go-mcp"_s, u"2.0.0"_s, false, {}, std::nullopt, false, {}}}));

    m_store->perform(u"go"_s, {u"usun"_s, u"go"_s});
    waitFor(u"usun"_s);
    EXPECT_EQ(m_store->failure(), u"Nie udało się.");
}

// A task's agent may run the plug-in's server from the files a removal deletes.
TEST_F(PluginsTest, RemovalAskedForDuringATaskWaitsUntilNoTaskRunsAndNoOtherCommand)
{
    answer(R"({"usun": {"stdout": {"ok": true}}, "zainstaluj": {"stdout": {"ok": true}}, "lista": {"stdout": {}},
               "aktualizuj-wszystko": {"stdout": {"ok": true, "zaktualizowane": []}}})");
    bool taskRunning = true;
    QStringList outcomes;
    const auto newStore = [&] {
        m_store = makeStore(u"/usr/bin/node"_s, QStringLiteral(SELVINA_STAND_IN_STORE), [&taskRunning] { return taskRunning; });
        QObject::connect(m_store.get(), &PluginStore::outcome, [&](const QString& command, const QString& subject, const std::optional<QString>& failure) {
            outcomes.append(command + u':' + subject + u':' + failure.value_or(QString()));
        });
    };
    newStore();
    m_store->perform(u"fs"_s, {u"usun"_s, u"fs"_s});
    m_store->perform(u"fs"_s, {u"usun"_s, u"fs"_s}); // asked again: said again, carried out once
    m_store->runDeferred();
    EXPECT_EQ(outcomes, (QStringList{u"usun-odlozone:fs:"_s, u"usun-odlozone:fs:"_s}));
    EXPECT_EQ(m_store->busy(), std::nullopt);

    m_store->perform(u"go"_s, {u"zainstaluj"_s, u"go"_s}); // not put off
    taskRunning = false;
    m_store->runDeferred(); // the install runs: the removal follows it
    EXPECT_EQ(m_store->busy(), u"go");
    waitFor(u"usun-po-zadaniu"_s);
    EXPECT_EQ(outcomes.mid(2), (QStringList{u"zainstaluj:go:"_s, u"usun-po-zadaniu:fs:"_s}));
    EXPECT_EQ(calls(u"usun"_s), (QList<QStringList>{{u"usun"_s, u"fs"_s}}));
    EXPECT_FALSE(m_store->hasDeferredRemoval(u"fs"_s));

    // Put off, and the application quits: the next start carries it out once its update has ended.
    taskRunning = true;
    m_store->perform(u"gh"_s, {u"usun"_s, u"gh"_s});
    taskRunning = false;
    newStore();
    m_store->autoUpdate();
    m_store->runDeferred();
    waitFor(u"usun-po-zadaniu"_s, 2);
    const QList<QStringList> all = calls();
    EXPECT_LT(all.indexOf(QStringList{u"aktualizuj-wszystko"_s}), all.indexOf(QStringList{u"usun"_s, u"gh"_s}));
    EXPECT_EQ(outcomes.last(), u"usun-po-zadaniu:gh:"_s);
    EXPECT_FALSE(QFileInfo::exists(m_store->deferredRemovalsFile()));
}

TEST_F(PluginsTest, AnswerThatIsNotJsonFailsWithTheLastThreeErrorLines)
{
    const struct { const char* plan; QString expected; int exitCode; } cases[] = {
        {R"({"usun": {"stdout": "npm WARN garbage", "exit": 2, "stderr": ["pierwsza", "", "druga", "trzecia", "czwarta"]}})",
         u"druga trzecia czwarta"_s, 2},
        {R"({"usun": {"exit": 3}})", u"Magazyn wtyczek nie odpowiedział."_s, 3},
    };
    for (const auto& c : cases) {
        answer(c.plan);
        const auto result = runTask(m_store->run({u"usun"_s, u"x"_s}), kPatience);
        ASSERT_TRUE(result && !result->ok());
        EXPECT_EQ(result->error().description(), c.expected);
        EXPECT_EQ(result->error().exitCode(), c.exitCode);
    }
    EXPECT_EQ(log(), (QStringList{u"[wtyczki] pierwsza"_s, u"[wtyczki] druga"_s, u"[wtyczki] trzecia"_s, u"[wtyczki] czwarta"_s}));
}

TEST_F(PluginsTest, WithoutNodeOrTheProgramEveryOperationFails)
{
    for (const auto& [node, program] : {std::pair{m_dir.filePath(u"no-node"_s), QStringLiteral(SELVINA_STAND_IN_STORE)},
                                        std::pair{u"/usr/bin/node"_s, m_dir.filePath(u"no-program.js"_s)}}) {
        m_store = makeStore(node, program);
        m_store->perform(u"fs"_s, {u"zainstaluj"_s, u"fs"_s});
        waitFor(u"zainstaluj"_s);
        EXPECT_EQ(m_store->failure(), u"Nie znalazłem Node albo magazynu wtyczek.");
        m_store->wczytajNarzedzia(u"fs"_s);
        waitFor(u"narzedzia"_s);
        EXPECT_EQ(m_store->failure(), u"Nie znalazłem Node albo magazynu wtyczek.");
        m_finished.clear();
    }
    EXPECT_TRUE(calls().isEmpty());
}

TEST_F(PluginsTest, HungStoreIsStoppedWithItsChildrenAtTheTimeLimit)
{
    const QString pidFile = m_dir.filePath(u"child.pid"_s);
    answer(R"({"narzedzia": {"hang": true, "childPidFile": ")" + QFile::encodeName(pidFile) + "\"}}");
    const auto startChild = [&] {
        QFile::remove(pidFile);
        m_store->wczytajNarzedzia(u"fs"_s);
        EXPECT_TRUE(selvina::testing::waitFor([&] { return readFile(pidFile).toInt() > 0; }, kPatience));
        return pid_t(readFile(pidFile).toInt());
    };
    const auto gone = [](pid_t pid) {
        return selvina::testing::waitFor([pid] {
            const auto entry = agent::ProcessTree::read(pid);
            return !entry || entry->zombie;
        }, kPatience);
    };
    const pid_t child = startChild();
    m_clock.advance(PluginStore::kQuickLimit - std::chrono::milliseconds(1));
    EXPECT_TRUE(m_finished.isEmpty());
    m_clock.advance(std::chrono::milliseconds(1));
    waitFor(u"narzedzia"_s);
    EXPECT_EQ(m_store->failure(), u"Magazyn wtyczek nie odpowiedział w ciągu 60 s, więc go zatrzymałem.");
    EXPECT_TRUE(gone(child));

    const pid_t orphan = startChild(); // a store going away takes its commands with it
    m_store.reset();
    EXPECT_TRUE(gone(orphan));
}

TEST_F(PluginsTest, ToolSelectionIsReadAndStored)
{
    answer(R"({"narzedzia": {"stdout": {"ok": true, "narzedzia": [{"nazwa": "read", "opis": "czyta"}, {"nazwa": "write"}, {"opis": "bez nazwy"}],
        "wszystkieWlaczone": false, "wybrane": ["read"]}}})");
    m_store->wczytajNarzedzia(u"fs"_s);
    waitFor(u"narzedzia"_s);
    EXPECT_EQ(m_store->narzedzia().value(u"fs"_s), (PluginStore::Narzedzia{{{u"read"_s, u"czyta"_s}, {u"write"_s, QString()}}, QSet{u"read"_s}}));

    m_store->ustawNarzedzia(u"fs"_s, QSet<QString>{u"write"_s, u"read"_s});
    EXPECT_EQ(m_store->narzedzia().value(u"fs"_s).wybrane, (QSet<QString>{u"read"_s, u"write"_s}));
    waitFor(u"ustaw-narzedzia"_s);
    m_store->ustawNarzedzia(u"fs"_s, std::nullopt);
    waitFor(u"ustaw-narzedzia"_s, 2);
    EXPECT_EQ(calls(u"ustaw-narzedzia"_s), (QList<QStringList>{{u"ustaw-narzedzia"_s, u"fs"_s, uR"(["read","write"])"_s}, {u"ustaw-narzedzia"_s, u"fs"_s}}));

    // A selection the store program could not keep is not shown as kept.
    answer(R"({"ustaw-narzedzia": {"stdout": {"ok": false,
        "komunikat": "Plik plugins.json jest uszkodzony, więc nie zmieniam wyboru narzędzi."}}})");
    m_store->ustawNarzedzia(u"fs"_s, QSet<QString>{});
    waitFor(u"ustaw-narzedzia"_s, 3);
    EXPECT_EQ(m_store->narzedzia().value(u"fs"_s).wybrane, std::nullopt);
    EXPECT_EQ(m_store->failure(), u"Plik plugins.json jest uszkodzony, więc nie zmieniam wyboru narzędzi."_s);
}

TEST_F(PluginsTest, QuickSwitchesStoreTheLastChoiceOneAtATimeAndChangesReplaceTheSidecar)
{
    answer(R"({"narzedzia": {"stdout": {"ok": true, "narzedzia": [{"nazwa": "a"}, {"nazwa": "b"}], "wszystkieWlaczone": true}}})");
    m_store->wczytajNarzedzia(u"fs"_s);
    waitFor(u"narzedzia"_s);
    const int& restarts = countRestarts();
    // Three choices within one turn: the first goes at once, the third replaces the second.
    m_store->ustawNarzedzia(u"fs"_s, QSet<QString>{u"a"_s});
    m_store->ustawNarzedzia(u"fs"_s, QSet<QString>{});
    m_store->ustawNarzedzia(u"fs"_s, QSet<QString>{u"b"_s});
    EXPECT_EQ(m_store->narzedzia().value(u"fs"_s).wybrane, QSet<QString>{u"b"_s});
    waitFor(u"ustaw-narzedzia"_s, 2);
    EXPECT_EQ(calls(u"ustaw-narzedzia"_s), (QList<QStringList>{{u"ustaw-narzedzia"_s, u"fs"_s, uR"(["a"])"_s},
                                                               {u"ustaw-narzedzia"_s, u"fs"_s, uR"(["b"])"_s}}));
    EXPECT_EQ(m_store->narzedzia().value(u"fs"_s).wybrane, QSet<QString>{u"b"_s});
    EXPECT_EQ(restarts, 1) << "once, when the last choice is on disk";

    // An install changes the set the sidecar starts; a removal that failed does not.
    m_store->perform(u"go"_s, {u"zainstaluj"_s, u"go-mcp"_s});
    waitFor(u"zainstaluj"_s);
    EXPECT_EQ(restarts, 2);
    answer(R"({"usun": {"stdout": {"ok": false, "komunikat": "Nie."}}})");
    m_store->perform(u"go"_s, {u"usun"_s, u"go"_s});
    waitFor(u"usun"_s);
    EXPECT_EQ(restarts, 2);
}

TEST_F(PluginsTest, UpdatesAreLoggedAndDefaultsInstalledOnce)
{
    answer(R"({"aktualizuj-wszystko": {"stdout": {"zaktualizowane": [{"nazwa": "fs", "z": "1.0.0", "na": "1.0.1"}, {"nazwa": "bez-wersji"}]}},
        "domyslne": {"stdout": {"ok": false}}})");
    m_store->autoUpdate();
    waitFor(u"aktualizuj-wszystko"_s);
    waitFor(u"lista"_s);
    EXPECT_TRUE(log().contains(u"[wtyczki] fs: 1.0.0 → 1.0.1"_s));

    m_store->bootstrapIfNeeded(); // refused: retried at the next launch
    waitFor(u"domyslne"_s);
    EXPECT_FALSE(QFileInfo::exists(m_store->markerFile()));
    answer(R"({"aktualizuj-wszystko": {"stdout": {"zaktualizowane": []}}})");
    m_store->bootstrapIfNeeded();
    waitFor(u"domyslne"_s, 2);
    EXPECT_TRUE(QFileInfo::exists(m_store->markerFile()));
    m_store->bootstrapIfNeeded();
    m_store->autoUpdate(); // nothing updated: no refresh follows
    waitFor(u"aktualizuj-wszystko"_s, 2);
    waitFor(u"lista"_s, 3);
    EXPECT_EQ(calls(u"domyslne"_s).size(), 2);
    EXPECT_EQ(calls(u"lista"_s).size(), 3);
}

// The real program's plug-in modes, against the stand-in store.
TEST_F(PluginsTest, CommandLineModesPrintAndExitWithZero)
{
    QTemporaryDir home;
    answer(R"({"lista": {"stdout": {"zainstalowane": [{"nazwa": "fs", "wersja": "1.0.1", "zrodlo": "npm"}],
        "dostepne": [{"nazwa": "fs", "pakiet": "fs-mcp", "wersja": "1.0.1"}, {"nazwa": "go", "pakiet": "go-mcp", "wersja": "2.0.0", "domyslnie": true}]}}})");
    const auto runProgram = [&](const QStringList& arguments) {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, home.path());
        environment.insert(u"SELVINA_NODE_BINARY"_s, u"/usr/bin/node"_s);
        environment.insert(u"SELVINA_PLUGIN_STORE"_s, QStringLiteral(SELVINA_STAND_IN_STORE));
        environment.insert(u"PATH"_s, u"/nonexistent"_s); // no engine: no built-in entry
        environment.remove(u"DISPLAY"_s);
        environment.remove(u"WAYLAND_DISPLAY"_s);
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(SELVINA_VOICE_BIN), arguments);
        EXPECT_TRUE(program.waitForFinished(int(kPatience.count())));
        EXPECT_EQ(program.exitCode(), 0);
        return QString::fromUtf8(program.readAllStandardOutput());
    };
    EXPECT_EQ(runProgram({u"--wtyczki"_s}),
              QStringLiteral("Wbudowane:\n  brak\nZainstalowane:\n  fs 1.0.1 — npm\nDo zainstalowania:\n  go 2.0.0 (go-mcp), z kompletu domyślnego\n"
                             "Serwery z mcp.json: żaden\nWyłączone wtyczki: żadna\n"));
    EXPECT_EQ(runProgram({u"--wtyczka"_s, u"agent"_s, u"nie"_s}), u"Wyłączone wtyczki: agent\n");
    EXPECT_EQ(runProgram({u"--wtyczka"_s, u"agent"_s, u"wl"_s}), u"Wyłączone wtyczki: żadna\n");
}

} // namespace
