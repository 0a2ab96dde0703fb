// read_screen and control_ui on the applications of the distribution that blind users work in:
// Firefox ESR on a page and a form served on loopback, LibreOffice Calc (gtk3), GNOME Calculator
// (GTK 4) and FeatherPad (Qt 5); then an application that stops answering. Each application is
// started once, by the one case that uses it; every action is checked in the application itself.
#include "BareXDisplay.h"
#include "DesktopFixture.h"
#include "LoopbackHttp.h"
#include "RealApplications.h"
#include "platform/linux/atspi/AtspiDesktop.h"
#include "tools/ScreenTools.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>

using namespace selvina;
using namespace selvina::tools;
using namespace selvina::testing;

namespace {

// One desktop (Xvfb, a window manager, the accessibility bus) and one accessibility backend for the
// process: libatspi binds itself to the first bus.
Desktop* g_desktop = nullptr;
pid_t g_windowManager = -1;
ElementRegistry g_elements;
std::shared_ptr<AccessibilityAccess> g_access;

class Session : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_desktop = new Desktop;
        g_windowManager = spawn({"openbox", "--sm-disable"});
        g_access = std::make_shared<AccessibilityAccess>(std::make_unique<platform::AtspiDesktop>(), g_elements,
                                                         QCoreApplication::applicationPid());
    }
    void TearDown() override
    {
        g_access.reset();
        endChild(g_windowManager);
        delete g_desktop;
    }
};
const auto* const g_session = ::testing::AddGlobalTestEnvironment(new Session);

QString read(const char* filter = "all")
{
    const QString text =
        outcomeText(runTask(ReadScreenTool(g_access).execute(QStringLiteral(R"({"filter":"%1"})").arg(filter)),
                            std::chrono::milliseconds(10000)));
    if (qEnvironmentVariableIsSet("SELVINA_SHOW_READS"))
        std::fprintf(stderr, "---- read\n%s\n", qPrintable(text));
    return text;
}

QString control(const QString& action, const QString& id, const QString& extra = {})
{
    const QString text = outcomeText(runTask(
        ControlUITool(g_access).execute(QStringLiteral(R"({"action":"%1","element_id":"%2"%3})").arg(action, id, extra)),
        std::chrono::milliseconds(30000))); // typing with its checks takes seconds on a loaded machine
    if (qEnvironmentVariableIsSet("SELVINA_SHOW_READS"))
        std::fprintf(stderr, "---- %s %s\n%s\n", qPrintable(action), qPrintable(id), qPrintable(text));
    return text;
}

// The first line of the read that contains `needle`, and its identifier.
QString lineOf(const QString& text, const QString& needle)
{
    const QStringList lines = text.split('\n').filter(needle);
    return lines.isEmpty() ? QString() : lines.first().trimmed();
}
QString idOf(const QString& text, const QString& needle)
{
    const auto m = QRegularExpression(QStringLiteral("^\\[(e\\d+)\\]")).match(lineOf(text, needle));
    return m.hasMatch() ? m.captured(1) : QStringLiteral("e0");
}
int lineNumber(const QString& text, const QString& needle)
{
    const QStringList lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i)
        if (lines[i].contains(needle))
            return i;
    return -1;
}

// Reads until a read of the foreground window satisfies `ready`; returns the last read.
QString readUntil(const std::function<bool(const QString&)>& ready, std::chrono::milliseconds limit)
{
    QString last;
    waitFor([&] { return ready(last = read()); }, limit);
    return last;
}

void expectShows(const QString& text, const QStringList& present, const QStringList& absent = {})
{
    for (const QString& line : present)
        EXPECT_TRUE(text.contains(line)) << line.toStdString() << "\n" << text.toStdString();
    for (const QString& line : absent)
        EXPECT_FALSE(text.contains(line)) << line.toStdString() << "\n" << text.toStdString();
}

#define SKIP_WITHOUT(program)                                                                                          \
    if (QStandardPaths::findExecutable(QStringLiteral(program)).isEmpty())                                            \
    GTEST_SKIP() << program " is not installed (scripts/setup installs it)"

} // namespace

QByteArray longPage()
{
    QByteArray body = "<!doctype html><html lang=\"pl\"><head><meta charset=\"utf-8\"><title>Katalog</title></head><body><h1>Katalog</h1>";
    for (int i = 1; i <= 3000; ++i)
        body += "<p><a href=\"/p" + QByteArray::number(i) + "\">Produkt " + QByteArray::number(i) + "</a></p>";
    return body + "</body></html>";
}

// A page, a form and a page of 3000 links served on loopback: the page is read content first, its
// links, heading, landmark and form controls named; the form is filled in (the text field, which
// ignores values set through accessibility, is typed into), checked and sent, and the server sees
// what was sent; the long page is read as far as the screen shows, saying that more follows.
TEST(Firefox, ReadsThePageBeforeItsChromeAndFillsInAndSendsTheForm)
{
    SKIP_WITHOUT("firefox-esr");
    LoopbackHttp server;
    server.routes.insert("/", LoopbackHttp::reply(200, "text/html; charset=utf-8", kPage));
    server.routes.insert("/dlugi", LoopbackHttp::reply(200, "text/html; charset=utf-8", longPage()));
    server.answer = LoopbackHttp::reply(200, "text/html; charset=utf-8", "<!doctype html><title>Wysłano</title><p>Dziękujemy</p>");
    QTemporaryDir home;
    const auto firefox = startFirefox(home, server.url(QStringLiteral("/")).toString());
    ASSERT_TRUE(firefox->started());
    // Each page is read once it has loaded: a read taken while it loads may lack elements and names, and says so.
    const auto loaded = [](const QString& t) { return !t.contains("wciąż się wczytuje"); };
    QString screen = readUntil(
        [&](const QString& t) {
            // Firefox names the tab after the page a moment before it names the window so.
            return t.contains("„Wyślij”") && t.contains("] karta „Sklep testowy”") && t.contains("Okno: „Sklep testowy") && loaded(t);
        },
        std::chrono::seconds(60));

    // The page first, with its title and address; then the browser's own controls. No nameless
    // menu of a closed menu bar, no hidden new-tab page, no object replacement character.
    EXPECT_TRUE(screen.startsWith("Aplikacja: Firefox · Okno: „Sklep testowy")) << screen.toStdString();
    EXPECT_TRUE(screen.section('\n', 0, 0).contains(" · Adres: " + server.url("/").toString())) << screen.toStdString();
    expectShows(screen, {"] strona „Sklep testowy”", "] obszar strony „Menu sklepu”", "] link „Owoce”", "] nagłówek „Zamówienie”",
                         "] link „regulamin sklepu”", "] pole tekstowe „Imię”", "] pole wyboru „Zgoda na kontakt” (niezaznaczone)",
                         "] przycisk „Wyślij”", "] karta „Sklep testowy” (zaznaczone)"},
                {"pozycja paska menu\n", QString(QChar(0xFFFC)), "tekst „Imię”", "New Tab", "Nowa karta"});
    EXPECT_LT(lineNumber(screen, "„Wyślij”"), lineNumber(screen, "] karta „Sklep testowy”"));

    // The text field takes no value through accessibility: it is typed into, outside the BMP too.
    const QString name = QStringLiteral("Zażółć 😀");
    EXPECT_EQ(control("set_value", idOf(screen, "] pole tekstowe „Imię”"), R"(,"value":")" + name + "\"").toStdString(),
              ("Wpisałem „" + name + "” w pole tekstowe „Imię”.").toStdString());
    // Firefox offers the check box's action only a while after it is first asked for it.
    EXPECT_EQ(control("press", idOf(screen, "„Zgoda na kontakt”")), "Nacisnąłem pole wyboru „Zgoda na kontakt”. Teraz jest zaznaczone.");
    const QString focus = control("focus", idOf(screen, "] link „Owoce”"));
    EXPECT_EQ(focus, "Fokus jest teraz na link „Owoce”.");
    EXPECT_EQ(control("press", idOf(screen, "„Wyślij”")), "Nacisnąłem przycisk „Wyślij”.");
    ASSERT_TRUE(waitFor([&] { return !server.requests.isEmpty() && server.requests.last().path.startsWith("/send"); },
                        std::chrono::seconds(20)));
    EXPECT_EQ(QUrl::fromPercentEncoding(server.requests.last().path).replace('+', ' ').toStdString(),
              ("/send?imie=" + name + "&zgoda=on").toStdString());

    // A link pressed by its identifier is followed (its action, too, comes late).
    screen = readUntil([&](const QString& t) { return t.contains("„Dziękujemy”") && loaded(t); }, std::chrono::seconds(20));
    ASSERT_TRUE(QProcess::execute("xdotool", {"key", "alt+Left"}) == 0);
    screen = readUntil([&](const QString& t) { return t.contains("„Długa strona”") && loaded(t); }, std::chrono::seconds(20));
    EXPECT_EQ(control("press", idOf(screen, "„Długa strona”")), "Nacisnąłem link „Długa strona”.");
    screen = readUntil([&](const QString& t) { return t.contains("„Produkt 1”") && loaded(t); }, std::chrono::seconds(30));
    EXPECT_TRUE(server.requests.last().path == "/dlugi");
    expectShows(screen, {"] nagłówek „Katalog”", "] link „Produkt 1”", "poza ekranem — przewiń"}, {"„Produkt 3000”"});
    EXPECT_LT(screen.count("] link „Produkt"), 200);
}

// A new sheet of LibreOffice Calc on its GTK 3 plug-in: the cells on screen are read before the
// window's chrome, by the addresses LibreOffice gives them, with the selected one named; a cell
// takes a number (through its value) and a text (typed, outside the BMP too); scrolling moves the
// sheet; a sheet scrolled far from A1 is read where it stands. The sheet reports 2^31 cells: only those on screen are asked for.
TEST(LibreOffice, ReadsTheCellsOnScreenAndGivesThemNumbersAndTexts)
{
    SKIP_WITHOUT("soffice");
    QTemporaryDir home;
    const auto calc = startCalc(home);
    ASSERT_TRUE(calc->started());
    QString screen = readUntil([](const QString& t) { return t.contains("] komórka „B2”"); }, std::chrono::seconds(90));

    expectShows(screen, {"] dokument „", "] tabela „", "] komórka „A1”", "] komórka „C3”", " · Zaznaczona komórka: A1\n"},
                {"pozycja menu", "„Exit LibreOffice”"});
    EXPECT_TRUE(screen.section('\n', 2, 2).contains("] dokument „")) << screen.toStdString(); // before the chrome
    EXPECT_TRUE(screen.contains("(wynik skrócony")) << screen.toStdString();

    EXPECT_EQ(control("set_value", idOf(screen, "] komórka „B2”"), R"(,"value":"42")"), "Wpisałem „42” w komórka „B2”.");
    const QString text = QStringLiteral("Zażółć 😀");
    EXPECT_EQ(control("set_value", idOf(screen, "] komórka „C3”"), R"(,"value":")" + text + "\"").toStdString(),
              ("Wpisałem „" + text + "” w komórka „C3”.").toStdString());
    // The sheet is busy a while after an edit: a read cut short by time is read again.
    screen = readUntil([](const QString& t) { return t.contains("] komórka „C3”"); }, std::chrono::seconds(20));
    EXPECT_TRUE(lineOf(screen, "] komórka „B2”").contains("= „42”")) << screen.toStdString();
    EXPECT_TRUE(lineOf(screen, "] komórka „C3”").contains(text)) << screen.toStdString();

    // Scrolled down, the sheet itself shows other rows (it ignores a value set on its scroll bar and
    // is turned with the wheel): the cells read afterwards, but for the cursor's, lie below row 1.
    const QString scrolled = control("scroll", idOf(screen, "] komórka „B2”"), R"(,"direction":"down")");
    EXPECT_TRUE(scrolled.startsWith("Przewinąłem w dół. Jesteśmy na ")) << scrolled.toStdString();
    screen = readUntil([](const QString& t) { return !t.contains("] komórka „A1”") && t.count("] komórka „") > 20; },
                       std::chrono::seconds(20));
    int cellsBelow = 0;
    for (const QString& line : screen.split('\n')) {
        const auto cell = QRegularExpression(QStringLiteral("\\] komórka „[A-Z]+(\\d+)”")).match(line);
        if (!cell.hasMatch() || line.contains("(fokus)"))
            continue;
        EXPECT_GT(cell.captured(1).toInt(), 1) << line.toStdString() << "\n" << screen.toStdString();
        ++cellsBelow;
    }
    EXPECT_GT(cellsBelow, 20) << screen.toStdString();

    // Far from A1 (the cursor sent there through the Name Box): the cells read are those the sheet
    // now shows, and the selected one is named.
    ASSERT_EQ(QProcess::execute("xdotool", {"key", "ctrl+shift+F5"}), 0);
    settle(std::chrono::milliseconds(300));
    ASSERT_EQ(QProcess::execute("xdotool", {"type", "--delay", "20", "AB700000"}), 0);
    ASSERT_EQ(QProcess::execute("xdotool", {"key", "Return"}), 0);
    screen = readUntil([](const QString& t) { return t.contains("] komórka „AB700000”"); }, std::chrono::seconds(20));
    expectShows(screen, {" · Zaznaczona komórka: AB700000\n", "] komórka „AB700000” (fokus)"}, {"„A1”"});
    for (const auto& cell : QRegularExpression(QStringLiteral("\\] komórka „[A-Z]+(\\d+)”")).globalMatch(screen))
        EXPECT_GT(cell.captured(1).toInt(), 699000) << cell.captured(0).toStdString();
    EXPECT_FALSE(screen.contains("] komórka „B2”"));
}

// GNOME Calculator on GTK 4, which marks nothing below its window as on screen and names widgets
// after their class or twice after their label: the keys are read by their labels or
// descriptions, and pressing 7, +, 8 and = by identifier shows 15 in its display. Kept offline
// (no exchange rates fetched).
TEST(Gtk4, ReadsTheCalculatorsKeysByTheirLabelsAndComputes)
{
    SKIP_WITHOUT("gnome-calculator");
    QTemporaryDir home;
    const auto calculator = startCalculator(home);
    ASSERT_TRUE(calculator->started());
    // Its start alone takes over 20 s here; beside a full run's heaviest programs, more than 30.
    QString screen = readUntil([](const QString& t) { return t.contains("] przycisk „=”"); }, std::chrono::seconds(90));
    expectShows(screen, {"] przycisk „7”", "] przycisk „+”", "] przycisk „Pi [Ctrl+P]”", "] przycisk „Clear Display [Escape]”"},
                {"Gtk", "Adw", "„7 7”", "] tekst „7”"});
    for (const char* key : {"„7”", "„+”", "„8”", "„=”"})
        EXPECT_EQ(control("press", idOf(screen, QStringLiteral("] przycisk ") + QString::fromUtf8(key))),
                  QStringLiteral("Nacisnąłem przycisk ") + QString::fromUtf8(key) + '.');
    screen = readUntil([](const QString& t) { return t.contains("= „15”"); }, std::chrono::seconds(10));
    EXPECT_TRUE(screen.contains("= „15”")) << screen.toStdString();
}

// FeatherPad on Qt 5, editing a file of its own: the text is set in its editor, Save pressed by
// identifier, and the file on disk holds the text.
TEST(Qt5, SetsTheTextOfAnEditorAndSavesTheFile)
{
    SKIP_WITHOUT("featherpad");
    QTemporaryDir home;
    const QString file = writeFile(home.filePath("notatka.txt"), "");
    const auto editor = startFeatherPad(home, file);
    ASSERT_TRUE(editor->started());
    QString screen = readUntil([](const QString& t) { return t.contains("] obszar tekstu"); }, std::chrono::seconds(30));
    const QString text = QStringLiteral("Lista zakupów: chleb, masło 🍞");
    EXPECT_EQ(control("set_value", idOf(screen, "] obszar tekstu"), R"(,"value":")" + text + "\"").toStdString(),
              ("Wpisałem „" + text + "” w " + lineOf(screen, "] obszar tekstu").section("] ", 1).section(" = ", 0, 0).section(" (", 0, 0) + ".").toStdString());
    screen = read();
    EXPECT_EQ(control("press", idOf(screen, "„Save")).left(11), "Nacisnąłem ") << screen.toStdString();
    EXPECT_TRUE(waitFor([&] { return QString::fromUtf8(readFile(file)).trimmed() == text; }, std::chrono::seconds(10)))
        << readFile(file).toStdString();
}

// An application that stops answering (SIGSTOP) in front of another: read_screen and control_ui
// say which application did not answer, within the read's budget, while the main thread goes on
// turning its event loop; the next read, once the other window is in front, reads it without
// waiting for the silent one; the application is read again once it answers again.
TEST(Hung, AnApplicationThatStopsAnsweringIsNamedAndTheNextOneIsReadAtOnce)
{
    Application qt(QStringLiteral(SELVINA_QT_WINDOW), {});
    ASSERT_TRUE(qt.started());
    readUntil([](const QString& t) { return t.contains("„Zakupy Qt”") && t.contains("„Dodaj”"); }, std::chrono::seconds(20));
    Application gtk(QStringLiteral("/usr/bin/python3"), {QStringLiteral(SELVINA_GTK_WINDOW)});
    ASSERT_TRUE(gtk.started());
    const QString screen =
        readUntil([](const QString& t) { return t.contains("„Zakupy GTK”") && t.contains("„Dodaj”"); }, std::chrono::seconds(20));
    ASSERT_TRUE(screen.contains("„Zakupy GTK”")) << screen.toStdString();

    ::kill(pid_t(gtk.pid()), SIGSTOP);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    const QString silent = QStringLiteral("Aplikacja gtk_window.py nie odpowiada — nie odczytałem jej okna");
    const QString stopped = read();
    EXPECT_TRUE(stopped.startsWith(silent)) << stopped.toStdString();
    EXPECT_GT(ticks, 3); // the main thread turned its loop while the worker waited
    EXPECT_TRUE(control("press", idOf(screen, "„Dodaj”")).contains(silent));

    // The user switches to the other window, as with Alt+Tab.
    ASSERT_EQ(QProcess::execute("xdotool", {"key", "alt+Tab"}), 0);
    // The window manager switches a moment after the key: the read follows the switch.
    ASSERT_TRUE(waitFor(
        [] {
            QProcess name;
            name.start("xdotool", {"getactivewindow", "getwindowname"});
            return name.waitForFinished(2000) && name.readAllStandardOutput().trimmed() == "Zakupy Qt";
        },
        std::chrono::seconds(5)));
    const QString other = read();
    EXPECT_TRUE(other.startsWith("Aplikacja: selvina_test_qt_window · Okno: „Zakupy Qt”")) << other.toStdString();

    ::kill(pid_t(gtk.pid()), SIGCONT);
    ASSERT_EQ(QProcess::execute("xdotool", {"key", "alt+Tab"}), 0);
    const QString back = readUntil([](const QString& t) { return t.contains("„Zakupy GTK”"); }, std::chrono::seconds(10));
    EXPECT_TRUE(back.contains("] przycisk „Dodaj”")) << back.toStdString();
}
