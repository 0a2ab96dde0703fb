// read_screen and control_ui against real GTK 3 and Qt Widgets windows under Xvfb, over AT-SPI.
#include "DesktopFixture.h"
#include "platform/linux/atspi/AtspiDesktop.h"
#include "platform/linux/atspi/AtspiRoles.h"
#include "tools/ScreenTools.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <map>

using namespace selvina;
using namespace selvina::tools;
using namespace selvina::testing;

namespace {

struct App {
    const char* name;
    QString program;
    QStringList arguments;
};

void PrintTo(const App& app, std::ostream* os)
{
    *os << app.name;
}

const App kGtk{"gtk", QStringLiteral("/usr/bin/python3"), {QStringLiteral(SELVINA_GTK_WINDOW)}};
const App kQt{"qt", QStringLiteral(SELVINA_QT_WINDOW), {}};

// One desktop and one accessibility backend for the whole run: libatspi binds itself to the first bus.
Desktop* g_desktop = nullptr;
ElementRegistry g_elements;
std::shared_ptr<AccessibilityAccess> g_access;
int g_reads = 0; // libatspi connects on the first read of the process

class Session : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_desktop = new Desktop;
        g_access = std::make_shared<AccessibilityAccess>(std::make_unique<platform::AtspiDesktop>(),
                                                         g_elements, QCoreApplication::applicationPid());
    }
    void TearDown() override
    {
        g_access.reset();
        delete g_desktop;
    }
};
const auto* const g_session = ::testing::AddGlobalTestEnvironment(new Session);

QString read(const char* filter = "all")
{
    ++g_reads;
    return outcomeText(runTask(ReadScreenTool(g_access).execute(QStringLiteral(R"({"filter":"%1"})").arg(filter))));
}

// Starts the application and waits until one whole read shows `ready`: the application registers
// with the accessibility bus shortly after it shows its window and builds its accessible objects
// on the first questions.
void start(const App& app, const std::function<bool(const QString&)>& ready)
{
    ASSERT_TRUE(g_desktop->ok());
    ASSERT_TRUE(g_desktop->startApp(app.program, app.arguments)) << g_desktop->appErrors().toStdString();
    ASSERT_TRUE(waitFor([&] { return ready(read()); }, std::chrono::milliseconds(20000)))
        << read().toStdString();
}

// Every one of `present` is in the read, none of `absent`; a failure names the line and shows the read.
void expectShows(const QString& text, const QStringList& present, const QStringList& absent = {})
{
    for (const QString& line : present)
        EXPECT_TRUE(text.contains(line)) << line.toStdString() << "\n" << text.toStdString();
    for (const QString& line : absent)
        EXPECT_FALSE(text.contains(line)) << line.toStdString() << "\n" << text.toStdString();
}

void setReading(platform::AtspiDesktop::Reading reading)
{
    auto& desktop = static_cast<platform::AtspiDesktop&>(g_access->desktop());
    g_access->worker().run([&desktop, reading] { desktop.setReading(reading); }).waitForFinished();
}

class Windows : public ::testing::TestWithParam<App> {
protected:
    void SetUp() override
    {
        start(GetParam(), [](const QString& text) {
            return text.contains("„Dodaj”") && text.contains("Pozycja 1”") && !text.contains("(wynik skrócony");
        });
    }
    void TearDown() override { g_desktop->stopApp(); }

    QString control(const QString& action, const QString& id, const QString& extra = {})
    {
        return outcomeText(runTask(
            ControlUITool(g_access).execute(QStringLiteral(R"({"action":"%1","element_id":"%2"%3})").arg(action, id, extra))));
    }
    // The first line that contains `needle`, and its identifier.
    static QString lineOf(const QString& text, const QString& needle)
    {
        const QStringList lines = text.split('\n').filter(needle);
        return lines.isEmpty() ? QString() : lines.first().trimmed();
    }
    static QString idOf(const QString& text, const QString& needle)
    {
        const auto m = QRegularExpression(QStringLiteral("^\\[(e\\d+)\\]")).match(lineOf(text, needle));
        return m.hasMatch() ? m.captured(1) : QStringLiteral("e0");
    }
};

} // namespace

// GTK offers its whole tree in one reply, Qt 6.4 an empty one: either way the application cache
// reads the lines of the walk that asks element by element (GTK's list box, whose rows the cache
// leaves out, included). Then control_ui acts on the window that was read.
TEST_P(Windows, ReadsTheWindowWithAllThreeFiltersFromTheCacheAsTheWalkDoesAndActsOnIt)
{
    const auto withoutIds = [](QString text) { return text.replace(QRegularExpression("\\[e\\d+\\]"), "[e]"); };
    std::map<std::string, QString> cached;
    for (const char* filter : {"all", "interactive", "text"}) {
        setReading(platform::AtspiDesktop::Reading::elementByElement);
        const QString walked = read(filter);
        setReading(platform::AtspiDesktop::Reading::applicationCache);
        cached[filter] = read(filter);
        EXPECT_EQ(withoutIds(cached[filter]).toStdString(), withoutIds(walked).toStdString()) << filter;
    }
    EXPECT_TRUE(cached["all"].startsWith("Aplikacja: ")) << cached["all"].toStdString();
    expectShows(cached["all"], {"Okno: „Zakupy ", "] tekst „Lista zakupów”", "] przycisk „Niedostępny” (wyłączone)",
                                "] pole wyboru „Pilne” (niezaznaczone)", "] pole tekstowe „Nazwa produktu”",
                                "] pole hasła „Hasło”", "Pozycja 1”"});
    expectShows(cached["interactive"], {"] przycisk „Dodaj”"}, {"Lista zakupów", "\n  ["}); // never indented
    expectShows(cached["text"], {"] tekst „Lista zakupów”"}, {"przycisk"});

    QString screen = read();
    EXPECT_EQ(control("press", idOf(screen, "„Dodaj”")), "Nacisnąłem przycisk „Dodaj”.");
    EXPECT_TRUE(g_desktop->waitForOutput("clicked Dodaj"));

    EXPECT_EQ(control("press", idOf(screen, "„Pilne”")), "Nacisnąłem pole wyboru „Pilne”. Teraz jest zaznaczone.");
    EXPECT_TRUE(g_desktop->waitForOutput("check 1"));

    const QString field = idOf(screen, "„Nazwa produktu”");
    EXPECT_EQ(control("set_value", field, R"(,"value":"mleko")"), "Wpisałem „mleko” w pole tekstowe „Nazwa produktu”.");
    EXPECT_TRUE(g_desktop->waitForOutput("text: mleko"));
    screen = read();
    EXPECT_TRUE(lineOf(screen, "„Nazwa produktu”").contains("= „mleko”")) << screen.toStdString();

    const QString focused = control("focus", idOf(screen, "„Nazwa produktu”"));
    EXPECT_EQ(focused, "Fokus jest teraz na pole tekstowe „Nazwa produktu”.") << focused.toStdString();
    EXPECT_TRUE(g_desktop->waitForOutput("focus name"));

    const QString scroll = control("scroll", idOf(screen, "Pozycja 1”"), R"(,"direction":"down")");
    EXPECT_TRUE(scroll.startsWith("Przewinąłem w dół. Jesteśmy na ")) << scroll.toStdString();
    EXPECT_TRUE(waitFor([] { return !g_desktop->said().filter(QRegularExpression("^scroll 0\\.[1-9]")).isEmpty(); }))
        << g_desktop->said().join('|').toStdString();

    // Rows scrolled out of the list are not listed, and the read says there are more (GTK); where
    // the toolkit still lists them (Qt), scrolling to the last one listed moves the list.
    screen = read();
    if (screen.contains("poza ekranem")) {
        EXPECT_FALSE(screen.contains("„Pozycja 1”")) << screen.toStdString();
    } else {
        const QString last = screen.split('\n').filter("Pozycja ").last().trimmed();
        const int before = g_desktop->said().filter("scroll ").size();
        const QString far = control("scroll", last.section(']', 0, 0).mid(1));
        EXPECT_EQ(far, "Przewinąłem widok do " + last.section("] ", 1) + ".") << far.toStdString();
        EXPECT_TRUE(waitFor([&] { return g_desktop->said().filter("scroll ").size() > before; }))
            << g_desktop->said().join('|').toStdString();
    }

    // A button removed by the application: its old identifier no longer acts.
    const QString temporary = idOf(screen, "„Tymczasowy”");
    EXPECT_EQ(control("press", idOf(screen, "„Usuń przycisk”")), "Nacisnąłem przycisk „Usuń przycisk”.");
    ASSERT_TRUE(g_desktop->waitForOutput("removed Tymczasowy"));
    const QString stale = control("press", temporary);
    EXPECT_TRUE(stale.contains("już nie istnieje — okno się zmieniło")) << stale.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Toolkits, Windows,
                         ::testing::Values(kGtk, kQt),
                         [](const ::testing::TestParamInfo<App>& info) { return std::string(info.param.name); });

// At login the accessibility bus may come up after the first question: the first read is
// refused, and a later one, once the bus is there, reads the application.
TEST(AccessibilityBus, AReadRefusedWithoutTheBusIsServedOnceItIsUp)
{
    if (g_reads > 0)
        GTEST_SKIP() << "needs the process's first read (ctest runs each case alone)";
    qputenv("AT_SPI_BUS_ADDRESS", "unix:path=/nonexistent/selvina-a11y-bus");
    EXPECT_EQ(read(), "ERR Brak zgody na wykonanie: " + AccessibilityTree::notPermittedText());
    qunsetenv("AT_SPI_BUS_ADDRESS");
    start(kQt, [](const QString& text) { return text.contains("„Dodaj”"); });
    g_desktop->stopApp();
}

// The states that refine a role, and the roles whose values the tools read or write.
TEST(AtspiVocabulary, StatesRefineRolesAndActionsMapOntoTheAXNames)
{
    using namespace platform::atspi;
    const auto with = [](AtspiStateType s) { return States(1) << s; };
    const auto mapped = [](AtspiRole role, States states = 0) {
        const RoleMapping m = roleMapping(role, states);
        return (m.role + '/' + m.subrole).toStdString();
    };
    EXPECT_EQ(mapped(ATSPI_ROLE_ENTRY), "AXTextField/");
    EXPECT_EQ(mapped(ATSPI_ROLE_TEXT, with(ATSPI_STATE_MULTI_LINE)), "AXTextArea/");
    EXPECT_EQ(mapped(ATSPI_ROLE_PASSWORD_TEXT), "AXTextField/AXSecureTextField");
    EXPECT_EQ(mapped(ATSPI_ROLE_COMBO_BOX), "AXPopUpButton/");
    EXPECT_EQ(mapped(ATSPI_ROLE_COMBO_BOX, with(ATSPI_STATE_EDITABLE)), "AXComboBox/");
    EXPECT_EQ(mapped(ATSPI_ROLE_TOGGLE_BUTTON), "AXCheckBox/AXToggle");
    EXPECT_EQ(mapped(ATSPI_ROLE_FILLER), "AXGroup/");
    EXPECT_EQ(actionName("Click"), "AXPress");
    EXPECT_EQ(actionName("menu"), "AXShowMenu");
    EXPECT_EQ(actionName("setFocus"), "");
}

long peakKilobytes()
{
    for (const QByteArray& line : readFile(QStringLiteral("/proc/self/status")).split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// A table of 2^31 cells that it manages itself, as a spreadsheet reports: only what is on screen is
// asked for and listed, the rest is announced as cut, and the read costs no memory to speak of.
TEST(HugeTable, IsReadByWhatItShows)
{
    start({"qt", QStringLiteral(SELVINA_QT_WINDOW), {QStringLiteral("--huge")}},
          [](const QString& text) { return text.contains("„Arkusz”"); });
    const long before = peakKilobytes();
    const QString text = read();
    EXPECT_LT(peakKilobytes() - before, 64 * 1024);
    expectShows(text, {"] tabela „Arkusz”", "] komórka „A1”", "] komórka „D1”", "] komórka „A5”", "] komórka „D5”",
                       "\n\n(wynik skrócony — pokazuję "},
                {"„E1”", "„A6”"});
    g_desktop->stopApp();
}
