// The settings window's search and history, what it says, and recording a shortcut in the start-up pane.
#include "activation/GlobalHotkey.h"
#include "platform/DesktopSession.h"
#include "platform/fake/MemoryStores.h"
#include "TestSupport.h"
#include "settings/LaunchPreferences.h"
#include "settingswindow/InfoPanes.h"
#include "settingswindow/Announcement.h"
#include "settingswindow/PermissionsPane.h"
#include "settingswindow/SettingsNavigation.h"
#include "settingswindow/SettingsWindow.h"
#include "settingswindow/StartupPane.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

using namespace selvina;
using namespace selvina::settingswindow;
using activation::HotkeyCombo;

constexpr auto panel = &Miejsce::panel;

TEST(SettingsSearch, FoldsCaseDiacriticsAndBlanksAndListsInSidebarOrder)
{
    EXPECT_EQ(foldForSearch(QStringLiteral("  Zażółć GĘŚLĄ jaźń ")), QStringLiteral("zazolc gesla jazn"));
    const struct {
        const char* query;
        std::vector<Pane> panes;
    } cases[] = {
        {"ZAWOLANIE", {Pane::startup}},
        {"zawołanie", {Pane::startup}},
        {"model", {Pane::reasoning, Pane::speech}},
        {"  ", {Pane::startup, Pane::reasoning, Pane::speech, Pane::plugins, Pane::privacy, Pane::developer, Pane::about}},
        {"NAMYSL", {Pane::reasoning}},      // ł of a keyword folds to l
        {"prywatnosc", {Pane::privacy, Pane::about}},
        {" o apl ", {Pane::about}},          // the title counts too
        {"nic takiego", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matchingPanes(QString::fromUtf8(c.query)), c.panes) << c.query;
}

TEST(SettingsNavigation, HistoryMovesLikeABrowserAndRemovalKeepsThePlaceWhereItCan)
{
    NawigacjaUstawien n;
    int changes = 0;
    QObject::connect(&n, &NawigacjaUstawien::changed, [&] { ++changes; });
    EXPECT_EQ(n.historia(), std::vector<Miejsce>{panel(Pane::startup)});
    EXPECT_FALSE(n.mozeWstecz());

    n.idzDo(panel(Pane::startup)); // the current one: nothing happens
    EXPECT_EQ(n.historia().size(), 1u);
    EXPECT_EQ(changes, 0);

    n.idzDo(panel(Pane::speech));
    n.idzDo(Miejsce::named(QStringLiteral("wtyczka:poczta")));
    n.idzDo(panel(Pane::about));
    n.wstecz();
    n.wstecz();
    EXPECT_EQ(n.pozycja(), 1);
    EXPECT_TRUE(n.mozeDalej());
    n.idzDo(panel(Pane::developer)); // drops the two forward entries
    EXPECT_EQ(n.historia(), (std::vector<Miejsce>{panel(Pane::startup), panel(Pane::speech), panel(Pane::developer)}));
    EXPECT_FALSE(n.mozeDalej());
    n.dalej(); // disabled: no change
    EXPECT_EQ(n.pozycja(), 2);
    EXPECT_EQ(changes, 6);

    // The sidebar highlights the last pane before a named place; a removal keeps the place where it can.
    NawigacjaUstawien h;
    const Miejsce page = Miejsce::named(QStringLiteral("wtyczka:dom"));
    h.idzDo(page); // a named place before any pane but the first
    EXPECT_EQ(h.panelDoPodswietlenia(), Pane::startup);
    h.idzDo(panel(Pane::plugins));
    h.idzDo(page);
    EXPECT_EQ(h.panelDoPodswietlenia(), Pane::plugins);
    h.idzDo(panel(Pane::about));
    h.wstecz(); // on the second `page`, index 3 of 5

    h.usunZHistorii(page); // kept among 0…3: startup, plugins → position 1
    EXPECT_EQ(h.historia(), (std::vector<Miejsce>{panel(Pane::startup), panel(Pane::plugins), panel(Pane::about)}));
    EXPECT_EQ(h.pozycja(), 1);

    NawigacjaUstawien only;
    only.idzDo(page);
    only.usunZHistorii(panel(Pane::startup));
    only.usunZHistorii(page); // nothing left: back to the start
    EXPECT_EQ(only.historia(), std::vector<Miejsce>{panel(Pane::startup)});
    EXPECT_EQ(only.pozycja(), 0);
}

namespace {

class NoLoginItem final : public platform::LoginItem {
public:
    bool isEnabled() override { return false; }
    std::optional<QString> setEnabled(bool) override { return QStringLiteral("brak prawa zapisu do katalogu /x"); }
};

// Counts what is held on the desktop.
class CountingSource final : public platform::HotkeySource {
public:
    Status<platform::HotkeyError> grab(std::uint32_t id, std::uint32_t, std::uint32_t, WhenTaken) override
    {
        held.insert(id);
        return Ok{};
    }
    void release(std::uint32_t id) override { held.erase(id); }
    QString frontmostApplication() override { return {}; }
    std::set<std::uint32_t> held;
};

void press(QWidget* to, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent event(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(to, &event);
}

class Recording : public ::testing::Test {
protected:
    platform::fake::MemoryPreferences store;
    NoLoginItem login;
    settings::LaunchPreferences launch{store, login};
    CountingSource source;
    platform::fake::MemorySystemLog log;
    activation::GlobalHotkey hotkeys{source, log};
    std::optional<activation::GlobalHotkey::Id> invocation =
        hotkeys.registerCombo(launch.skrot(), [](std::chrono::milliseconds) {});
    StartupPane pane{launch, &hotkeys};
};

} // namespace

TEST_F(Recording, ABareKeyKeepsRecordingEscKeepsTheOldOneTheGrabComesBackAndTheLastModifierStays)
{
    ASSERT_TRUE(invocation);
    pane.startRecording();
    EXPECT_TRUE(source.held.empty()); // the keys reach the window while recording

    press(&pane, Qt::Key_K);
    EXPECT_TRUE(pane.isRecording());
    EXPECT_EQ(pane.shortcutMessage(), StartupPane::kNoModifier);
    press(&pane, Qt::Key_Control, Qt::ControlModifier); // a modifier on its own is not a key
    EXPECT_TRUE(pane.isRecording());

    press(&pane, Qt::Key_Escape);
    EXPECT_FALSE(pane.isRecording());
    EXPECT_EQ(launch.skrot(), HotkeyCombo::invocationDefault());
    EXPECT_EQ(source.held, std::set<std::uint32_t>{*invocation});

    pane.startRecording();
    press(&pane, Qt::Key_F5, Qt::ControlModifier | Qt::MetaModifier);
    EXPECT_FALSE(pane.isRecording());
    EXPECT_EQ(launch.skrot(), (HotkeyCombo{96, HotkeyCombo::kControl | HotkeyCombo::kSuper}));
    EXPECT_TRUE(pane.shortcutMessage().isEmpty());

    pane.startRecording();
    pane.hide(); // leaving the pane ends recording
    pane.show();
    pane.hide();
    EXPECT_FALSE(pane.isRecording());
    EXPECT_EQ(source.held.size(), 1u);

    // Switching off the last modifier is refused.
    launch.setSkrot({49, HotkeyCombo::kAlt});
    QCheckBox* alt = nullptr;
    for (QCheckBox* box : pane.findChildren<QCheckBox*>())
        if (box->accessibleName() == u"Alt")
            alt = box;
    ASSERT_TRUE(alt->isChecked());
    alt->click();
    EXPECT_TRUE(alt->isChecked());
    EXPECT_EQ(launch.skrot(), (HotkeyCombo{49, HotkeyCombo::kAlt}));
    EXPECT_EQ(pane.shortcutMessage(), StartupPane::kNoModifier);
    for (QCheckBox* box : pane.findChildren<QCheckBox*>())
        if (box->accessibleName() == u"Shift")
            box->click();
    EXPECT_EQ(launch.skrot().modifiers, HotkeyCombo::kAlt | HotkeyCombo::kShift);
    EXPECT_TRUE(pane.shortcutMessage().isEmpty());
}

// The permissions pane's groups keep the audit's order; the headline counts what is missing first,
// then what cannot be told; only a missing entry of the restart set asks for a restart.
TEST(PermissionGroups, GroupsHeadlineAndRestart)
{
    using diagnostics::Permission;
    const auto entry = [](const char* name, std::optional<bool> granted) { return Permission{name, granted, {}, {}}; };
    const std::vector<Permission> mixed = {entry("Mikrofon", false), entry("Głośniki", true), entry("Pęk kluczy", std::nullopt),
                                           entry("Dostępność", false), entry("Automatyzacja: Poczta", std::nullopt)};
    const PermissionGroups g = PermissionGroups::of(mixed);
    const auto names = [](const std::vector<Permission>& list) {
        QStringList out;
        for (const Permission& p : list)
            out << p.name;
        return out;
    };
    EXPECT_EQ(names(g.missing), (QStringList{"Mikrofon", "Dostępność"}));
    EXPECT_EQ(names(g.unknown), QStringList{"Pęk kluczy"});
    EXPECT_EQ(names(g.onUse), QStringList{"Automatyzacja: Poczta"});
    EXPECT_EQ(names(g.granted), QStringList{"Głośniki"});

    const struct {
        std::vector<Permission> permissions;
        QString headline;
        bool restart;
    } table[] = {
        {mixed, "Brakuje 2 z 5", true},
        {{entry("Mikrofon", false), entry("Głośniki", true)}, "Brakuje 1 z 2", false},
        {{entry("Pęk kluczy", std::nullopt), entry("Głośniki", true)}, "Komplet zgód, 1 nierozstrzygniętych", false},
        {{entry("Głośniki", true), entry("Mikrofon", true)}, "Wszystkie 2 uprawnień nadane", false},
        {{entry("Głośniki", true), entry("Automatyzacja: Poczta", std::nullopt)}, "Wszystkie 2 uprawnień nadane", false},
    };
    for (const auto& row : table) {
        const PermissionGroups groups = PermissionGroups::of(row.permissions);
        EXPECT_EQ(groups.headline(), row.headline);
        EXPECT_EQ(groups.needsRestart(), row.restart) << row.headline.toStdString();
    }
}

// The about pane says where the keys are only when it is so, and names whoever gets the tasks.
TEST(AboutPane, TheKeyringSentenceOnlyWhenTrueAndTheTasksCompanyOfTheEngine)
{
    bool inKeyring = false;
    AboutInfo info;
    info.taskProvider = [] { return QStringLiteral("OpenAI"); };
    info.keysInKeyring = [&inKeyring] { return inKeyring; };
    AboutPane pane(info);
    const auto shows = [&pane](const QString& part) {
        const auto labels = pane.findChildren<QLabel*>();
        return std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->text().contains(part); });
    };
    pane.show();
    EXPECT_FALSE(shows(QStringLiteral("pęku kluczy systemu")));
    EXPECT_TRUE(shows(QStringLiteral("TWOICH KLUCZY nie wysyłamy")));
    const auto labels = pane.findChildren<QLabel*>();
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](QLabel* l) { return l->accessibleName() == u"Zadania: OpenAI"; }));
    pane.hide();
    inKeyring = true;
    pane.show();
    EXPECT_TRUE(shows(QStringLiteral("TWOJE KLUCZE zostają w pęku kluczy systemu (Secret Service).")));
}

// What the window says without moving the focus: the results of one moment as one notification,
// in order and each once, and nothing while the window is hidden. Closing forgets the search.
TEST(SettingsWindowSpeech, AnnouncementsAndTheSearchOfAClosedWindow)
{
    NawigacjaUstawien nawigacja;
    SettingsWindow window(nawigacja, nullptr);
    const auto drain = [] {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    };
    announce(window.searchField(), QStringLiteral("Nikt tego nie usłyszy."));
    drain();
    EXPECT_TRUE(lastAnnouncement(&window).isEmpty());

    window.show();
    announce(window.searchField(), QStringLiteral("Pierwszy wynik."));
    announce(window.sidebar(), QStringLiteral("Drugi wynik."));
    announce(window.searchField(), QStringLiteral("Pierwszy wynik."));
    EXPECT_TRUE(selvina::testing::waitFor([&] { return lastAnnouncement(&window) == QStringLiteral("Pierwszy wynik. Drugi wynik."); }))
        << lastAnnouncement(&window).toStdString();
    // The reader sees a notification named with the sentence.
    QWidget* announcer = window.findChild<QWidget*>(QStringLiteral("selvina_announcer"));
    ASSERT_NE(announcer, nullptr);
    EXPECT_TRUE(announcer->isVisible());
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(announcer);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->role(), QAccessible::Notification);
    EXPECT_EQ(a->text(QAccessible::Name), QStringLiteral("Pierwszy wynik. Drugi wynik."));
    EXPECT_FALSE(announcer->focusPolicy() & Qt::TabFocus);

    window.searchField()->setText(QStringLiteral("tempo"));
    EXPECT_EQ(window.listedPanes(), std::vector<Pane>{Pane::speech});
    window.close();
    EXPECT_TRUE(window.searchField()->text().isEmpty());
    EXPECT_EQ(window.listedPanes().size(), paneTable().size());
}
