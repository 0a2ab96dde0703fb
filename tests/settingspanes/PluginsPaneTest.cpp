// The plug-ins pane over the real catalogue and store, the store program played by the stand-in
// (stand_in_store.cjs): what the lists show, and what each switch and button asks the store for.
#include "ManualClock.h"
#include "TestSupport.h"
#include "platform/fake/MemoryStores.h"
#include "plugins/PluginCatalog.h"
#include "settings/ReasoningPreferences.h"
#include "settingspanes/PluginsPane.h"
#include "settingswindow/SettingsNavigation.h"

#include <gtest/gtest.h>

#include <QCheckBox>
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

const char* kList = R"({"ok": true,
  "zainstalowane": [{"nazwa": "filesystem", "wersja": "2026.8.31", "zrodlo": "npm", "pakiet": "@modelcontextprotocol/server-filesystem"}],
  "dostepne": [{"nazwa": "filesystem", "pakiet": "@modelcontextprotocol/server-filesystem", "wersja": "2026.8.31", "sprawdzony": true},
               {"nazwa": "memory", "pakiet": "@modelcontextprotocol/server-memory", "wersja": "2026.8.31", "domyslnie": true}]})";
const char* kTools = R"({"ok": true, "wszystkieWlaczone": true,
  "narzedzia": [{"nazwa": "read_file", "opis": "czyta plik"}, {"nazwa": "write_file", "opis": "zapisuje plik"}]})";

class PluginsPaneTest : public ::testing::Test {
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
                                    R"({"lista": {"stdout": )" + QByteArray(kList) + R"(}, "narzedzia": {"stdout": )" + tools + "}}");
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
    PluginStore m_store{m_clock, m_catalog, PluginStore::Options{QStringLiteral("/usr/bin/node"), QStringLiteral(SELVINA_STAND_IN_STORE), {}, m_dir.path()}};
    settingswindow::NawigacjaUstawien m_nawigacja;
    std::unique_ptr<PluginsPane> m_pane;
};

TEST_F(PluginsPaneTest, ListsEachPluginOnceInstallsAndOpensItsPage)
{
    open();
    ASSERT_NE(waitForNamed<QPushButton>(QStringLiteral("Pliki 2026.8.31 — sprawdzona")), nullptr);
    EXPECT_NE(named<QPushButton>(QStringLiteral("Zainstaluj Pamięć")), nullptr);
    EXPECT_EQ(named<QPushButton>(QStringLiteral("Zainstaluj Pliki")), nullptr) << "installed ones are not offered";
    named<QPushButton>(QStringLiteral("Zainstaluj Pamięć"))->click();
    ASSERT_TRUE(waitForCalls(QStringLiteral("zainstaluj"), 1));
    EXPECT_EQ(calls(QStringLiteral("zainstaluj")).first(), QStringList{QStringLiteral("memory")});

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
    waitForNamed<QPushButton>(QStringLiteral("Usuń pliki wtyczki"))->click();
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
    off->click();
    EXPECT_EQ(m_catalog.disabled(), QStringList{QStringLiteral("filesystem")});
    EXPECT_NE(waitForNamed<QPushButton>(QStringLiteral("Włącz wtyczkę")), nullptr);
}

} // namespace
} // namespace selvina::settingspanes
