// read_screen and control_ui on an in-memory element tree.
#include "tools/ScreenTools.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::tools;
using platform::AXElementRef;
using platform::AXError;
using platform::AXValue;
using namespace selvina::testing;

namespace {

// The time an application takes to answer, as the reads see it.
std::chrono::steady_clock::time_point g_now;

struct Node final : platform::AXElement, std::enable_shared_from_this<Node> {
    QString role;
    std::optional<QString> subrole, title, description, placeholder;
    AXValue value;
    std::optional<bool> enabled, focused, selected;
    std::optional<QRectF> frame;
    std::vector<std::shared_ptr<Node>> children;
    std::weak_ptr<Node> parent;
    QStringList actions, settable;
    std::shared_ptr<Node> verticalBar;
    bool alive = true, moreChildren = false, throws = false, ignoresFocus = false, silent = false, ignoresValue = false;
    platform::AXAttributes::Visibility visibility = platform::AXAttributes::Visibility::shown;
    bool document = false;
    std::optional<QString> url;
    int loadingReads = 0; // whole reads that still find the document loading
    int namelessReads = 0; // reads that find the element without its name yet
    int writes = 0, actionQuestions = 0, actionsAfter = 0; // actions listed only from that question on
    int reads = 0;
    std::chrono::milliseconds cost{0}; // of a read beyond the element's shape

    static std::shared_ptr<Node> make(QString role, std::optional<QString> title = std::nullopt)
    {
        auto n = std::make_shared<Node>();
        n->role = std::move(role), n->title = std::move(title);
        return n;
    }
    std::shared_ptr<Node> add(std::shared_ptr<Node> child) { child->parent = weak_from_this(); children.push_back(child); return child; }

    Result<AXValue, AXError> attribute(const QString& name) override
    {
        if (silent)
            return AXError::noResponse();
        if (!alive)
            return AXError::elementGone();
        const QHash<QString, AXValue> values{{"AXRole", role}, {"AXTitle", title ? AXValue(*title) : AXValue()}, {"AXValue", value},
                                             {"AXFocused", focused ? AXValue(*focused) : AXValue()},
                                             {"AXParent", parent.lock() ? AXValue(AXElementRef(parent.lock())) : AXValue()},
                                             {"AXVerticalScrollBar", verticalBar ? AXValue(AXElementRef(verticalBar)) : AXValue()},
                                             {"AXPosition", frame ? AXValue(frame->topLeft()) : AXValue()},
                                             {"AXSize", frame ? AXValue(frame->size()) : AXValue()}};
        return values.value(name);
    }
    Result<platform::AXAttributes, AXError> batch(const platform::ReadLimits& limits) override
    {
        if (throws)
            throw std::bad_alloc();
        if (silent)
            return AXError::noResponse();
        if (!alive)
            return AXError::elementGone();
        ++reads;
        const bool whole = !limits.shapeOnly && !(limits.passDocuments && document);
        if (whole)
            g_now += cost;
        platform::AXAttributes a{role, subrole, title, description, placeholder, value, enabled, focused, selected, frame, {}};
        a.visibility = visibility, a.document = document, a.url = url;
        a.loading = loadingReads > 0;
        if (whole)
            loadingReads = std::max(0, loadingReads - 1);
        if (namelessReads > 0 && namelessReads--)
            a.title.reset();
        for (std::size_t i = 0; i < children.size() && int(i) < limits.children; ++i)
            a.children.push_back(children[i]);
        a.moreChildren = moreChildren;
        return a;
    }
    Result<QStringList, AXError> actionNames() override
    {
        return ++actionQuestions > actionsAfter ? actions : QStringList();
    }
    Result<bool, AXError> isSettable(const QString& name) override { return settable.contains(name); }
    Status<AXError> setAttribute(const QString& name, const AXValue& v) override
    {
        ++writes;
        if (name != u"AXFocused") {
            if (!ignoresValue)
                value = v;
        } else if (!ignoresFocus)
            focused = std::get<bool>(v);
        return Ok{};
    }
    Status<AXError> perform(const QString& action) override
    {
        if (action == u"AXPress" && role == u"AXCheckBox")
            value = double(std::get<double>(value) == 0 ? 1 : 0);
        return Ok{};
    }
};

struct Desktop final : platform::AccessibilityDesktop {
    bool isTrusted() override { return trusted; }
    std::vector<platform::ForegroundCandidate> candidates() override { return list; }
    AXElementRef window(const platform::ForegroundCandidate& c) override { return windows.value(c.pid); }
    Status<AXError> typeText(const QString& text, Typing typing) override
    {
        if (!keyboard)
            return AXError::interfaceMissing();
        typed.append(text);
        if (typingInto) {
            const QString* before = std::get_if<QString>(&typingInto->value);
            typingInto->value = typing == Typing::intoFocus && before ? *before + text : text;
        }
        return Ok{};
    }
    Status<AXError> turnWheel(QPointF at, Wheel wheel, int clicks) override
    {
        if (!keyboard)
            return AXError::interfaceMissing();
        wheelTurns.append({at, wheel, clicks});
        if (wheelMoves)
            wheelMoves->value = std::get<double>(wheelMoves->value) + (wheel == Wheel::down ? 0.1 : -0.1);
        return Ok{};
    }
    struct Turn {
        QPointF at;
        Wheel wheel;
        int clicks;
    };
    QList<Turn> wheelTurns;
    std::shared_ptr<Node> wheelMoves; // the bar the wheel moves, as the application does
    bool keyboard = true; // keys and the wheel can be synthesised
    std::shared_ptr<Node> typingInto; // the field that has the keyboard focus
    void noteSilent(qint64 pid) override { silent.append(pid); }
    QStringList typed;
    QList<qint64> silent;

    bool trusted = true;
    std::vector<platform::ForegroundCandidate> list{{42, "Notatnik", true}};
    QHash<qint64, AXElementRef> windows;
};

class Screen : public ::testing::Test {
protected:
    Screen() { desktop->windows.insert(42, window); }
    QString read(const char* args = "{}") { return outcomeText(runTask(ReadScreenTool(access).execute(QString::fromUtf8(args)))); }
    QString control(const QString& args) { return outcomeText(runTask(ControlUITool(access).execute(args))); }
    QString act(const QString& action, const QString& id, const QString& extra = {})
    {
        return control(QStringLiteral(R"({"action":"%1","element_id":"%2"%3})").arg(action, id, extra));
    }
    QStringList body(const QString& text) { return text.split('\n').mid(2); }

    ElementRegistry registry;
    Desktop* desktop = new Desktop; // owned by `access`
    std::shared_ptr<Node> window = Node::make("AXWindow", "Zakupy");
    QList<std::chrono::milliseconds> pauses; // the worker's waits, taken at once
    std::shared_ptr<AccessibilityAccess> access = std::make_shared<AccessibilityAccess>(
        std::unique_ptr<Desktop>(desktop), registry, 1, [this](std::chrono::milliseconds ms) { pauses.append(ms); });
};

} // namespace

TEST_F(Screen, LinesLabelsValuesAndStates)
{
    window->add(Node::make("AXGroup"))->add(Node::make("AXButton"));
    window->add(Node::make("AXCheckBox", "Mleko"))->value = 1.0;
    auto field = window->add(Node::make("AXTextField", "Nazwa"));
    field->value = QStringLiteral("Nazwa");
    field->focused = true;
    window->add(Node::make("AXSlider", "Ilość"))->value = 3.0;
    window->add(Node::make("AXProgressIndicator", "Postęp"))->value = 0.5;
    window->add(Node::make("AXButton", "Dodaj"))->enabled = false;
    window->add(Node::make("AXTextField"))->subrole = QStringLiteral("AXSecureTextField");
    window->add(Node::make("AXStaticText"))->value = QString(100, 'a').replace(95, 1, ' ');
    window->add(Node::make("AXImage")); // unlabelled image: dropped
    window->add(Node::make("AXScrollBar", "Pasek"))->add(Node::make("AXButton", "ukryty"));

    const QString text = read();
    EXPECT_TRUE(text.startsWith("Aplikacja: Notatnik · Okno: „Zakupy”\n\n")) << text.toStdString();
    EXPECT_EQ(body(text), (QStringList{
                              "[e1] przycisk",
                              "[e2] pole wyboru „Mleko” (zaznaczone)",
                              "[e3] pole tekstowe „Nazwa” (fokus)",
                              "[e4] suwak „Ilość” = „3”",
                              "[e5] pasek postępu „Postęp” = „0.50”",
                              "[e6] przycisk „Dodaj” (wyłączone)",
                              "[e7] pole hasła",
                              "[e8] tekst „" + QString(90, 'a') + "…”",
                          }));
    // Numbering goes on across reads; the filters never indent.
    window->add(Node::make("AXList", "Lista"))->add(Node::make("AXButton", "W liście"));
    EXPECT_TRUE(read().contains("[e17] lista „Lista”\n  [e18] przycisk „W liście”"));
    EXPECT_TRUE(read(R"({"filter":"interactive"})").contains("\n[e23] przycisk „Dodaj” (wyłączone)\n[e24] pole hasła\n[e25] przycisk „W liście”"));
    EXPECT_EQ(body(read(R"({"filter":"text"})")), (QStringList{"[e26] pole tekstowe „Nazwa” (fokus)", "[e27] tekst „" + QString(90, 'a') + "…”"}));
    EXPECT_TRUE(act("press", "e1").contains(
        "Nie znam elementu e1. Ostatni odczyt dotyczył aplikacji Notatnik. Identyfikatory pochodzą wyłącznie"));
    EXPECT_EQ(read("nie json"), "ERR Nieprawidłowe argumenty: oczekiwałem obiektu JSON, dostałem: nie json");
    EXPECT_TRUE(read(R"({"filter":7})").contains("[e28]")); // a wrong filter reads everything
}

TEST_F(Screen, LimitsAndEmptyAnswers)
{
    EXPECT_EQ(body(read()), QStringList{"Okno nie udostępnia żadnych elementów dostępności."});
    EXPECT_EQ(body(read(R"({"filter":"interactive"})")), QStringList{"W tym oknie nie ma elementów, na które da się zadziałać."});
    auto list = window->add(Node::make("AXList", "Dużo"));
    for (int i = 0; i < 120; ++i)
        list->add(Node::make("AXButton", QString::number(i)));
    const QString text = read();
    EXPECT_EQ(text.count("] przycisk"), 96);
    EXPECT_TRUE(text.endsWith("\n\n(wynik skrócony — pokazuję 97 elementów. Jeśli szukanego nie ma, zawęź odczyt filtrem "
                              "albo zapytaj o konkretny fragment.)\n(Dalsza część listy albo dokumentu jest poza "
                              "ekranem — przewiń, żeby odczytać resztę.)")) << text.toStdString();
    // Children the backend did not list (out of view in a table it manages) are announced as cut.
    list->children.resize(3);
    list->moreChildren = true;
    EXPECT_TRUE(read().contains("(wynik skrócony — pokazuję 4 elementów. Jeśli szukanego nie ma, zawęź odczyt filtrem "
                                "albo zapytaj o konkretny fragment.)"));
    // A backend that throws fails the one read; the worker goes on.
    list->throws = true;
    EXPECT_EQ(read(), "ERR Nie udało się wykonać: Nie udało się — błąd dostępności AT-SPI.");
    list->throws = false;
    EXPECT_TRUE(read().contains("] lista „Dużo”"));
    // An absurdly deep chain, even one that loops back to the window, ends at the depth limit.
    auto deep = Node::make("AXWindow", "Głęboko");
    auto at = deep;
    for (int i = 0; i < 40; ++i)
        at = at->add(Node::make("AXGroup", QString("g%1").arg(i)));
    at->children.push_back(deep);
    desktop->windows.insert(42, deep);
    const QString chain = read();
    EXPECT_TRUE(chain.contains("„g27”"));
    EXPECT_FALSE(chain.contains("„g28”"));
    EXPECT_TRUE(chain.contains("(wynik skrócony"));
    at->children.clear(); // the loop would keep the test tree alive

    desktop->list = {{1, "Selvina", true}, {7, "", false}, {9, "Panel", false}};
    EXPECT_EQ(read(), "Na pierwszym planie jest aplikacja, Panel, ale bez otwartego okna albo bez drzewa dostępności. "
                      "Jeśli trzeba poznać zawartość ekranu, zostaje ścieżka wizyjna.");
    desktop->list = {{1, "Selvina", true}};
    EXPECT_EQ(read(), "Nie widzę aplikacji na pierwszym planie. Ekran może być pusty lub zablokowany.");
    desktop->trusted = false;
    EXPECT_TRUE(read().startsWith("ERR Brak zgody na wykonanie: Nie mam dostępu do drzewa dostępności pulpitu"));
    EXPECT_TRUE(act("press", "e1").startsWith("ERR Brak zgody"));
}

TEST_F(Screen, ControlChecksItsArgumentsFirstAndReportsWhatReallyHappened)
{
    auto box = window->add(Node::make("AXCheckBox", "Mleko"));
    box->value = 1.0;
    box->actions = {"AXPress"};
    auto field = window->add(Node::make("AXTextField", "Nazwa"));
    field->value = QStringLiteral("stare");
    field->settable = {"AXValue", "AXFocused"};
    auto area = window->add(Node::make("AXScrollArea", "Lista"));
    area->verticalBar = Node::make("AXScrollBar");
    area->verticalBar->value = 0.1;
    area->verticalBar->settable = {"AXValue"};
    area->add(Node::make("AXButton", "Wiersz"))->actions = {"AXScrollToVisible"};
    auto search = window->add(Node::make("AXComboBox")); // labelled by its placeholder alone
    search->placeholder = QStringLiteral("Szukaj");
    search->actions = {"AXPress"};
    auto stuck = window->add(Node::make("AXButton", "Martwy"));
    stuck->settable = {"AXFocused"};
    stuck->ignoresFocus = true;

    // The arguments are checked before anything, before the first read too.
    const std::pair<const char*, const char*> cases[] = {
        {"[]", "oczekiwałem obiektu JSON, dostałem: []"},
        {R"({"action":5,"element_id":"e1"})", "brakuje pola action"},
        {R"({"action":"click","element_id":"e1"})", "nie znam akcji click; dostępne to press, set_value, scroll i focus"},
        {R"({"action":"press"})", "brakuje pola element_id — podaj identyfikator z ostatniego read_screen, na przykład e12"},
        {R"({"action":"press","element_id":""})", "brakuje pola element_id — podaj identyfikator z ostatniego read_screen, na przykład e12"},
        {R"({"action":"set_value","element_id":"e1","value":3})", "akcja set_value wymaga pola value"},
        {R"({"action":"press","element_id":"e1","direction":"back"})", "nie znam kierunku back; dostępne to up, down, left i right"},
        {R"({"action":"press","element_id":"e999"})", "Nie znam elementu e999. Nie mam jeszcze odczytu ekranu."},
    };
    for (const auto& [json, detail] : cases)
        EXPECT_TRUE(control(QString::fromUtf8(json)).startsWith("ERR Nieprawidłowe argumenty: " + QString::fromUtf8(detail)))
            << json << " → " << control(QString::fromUtf8(json)).toStdString();

    read();
    const QString failed = QStringLiteral("ERR Nie udało się wykonać: ");
    EXPECT_EQ(act("press", "e1"), "Nacisnąłem pole wyboru „Mleko”. Teraz jest niezaznaczone.");
    EXPECT_EQ(act("set_value", "e2", R"(,"value":"")"), "Wpisałem „” w pole tekstowe „Nazwa”.");
    EXPECT_EQ(field->focused, true);
    EXPECT_EQ(act("scroll", "e4", R"(,"direction":"up")"), "Przewinąłem w górę. Jesteśmy na 0 procentach zawartości.");
    const int writes = area->verticalBar->writes;
    EXPECT_EQ(act("scroll", "e4", R"(,"direction":"up")"), "Jesteśmy już na samej górze.");
    EXPECT_EQ(area->verticalBar->writes, writes);
    EXPECT_EQ(act("scroll", "e4"), "Przewinąłem widok do przycisk „Wiersz”.");
    EXPECT_EQ(act("scroll", "e1", R"(,"direction":"down")"),
              failed + "pole wyboru „Mleko” nie leży w żadnym obszarze przewijania, więc nie ma czego przewinąć.");
    EXPECT_EQ(act("press", "e6", R"(,"direction":"up")"), failed + "przycisk „Martwy” nie da się nacisnąć — element nie "
                                                                    "udostępnia żadnej akcji. Odczytaj ekran i wybierz inny cel.");
    EXPECT_EQ(act("set_value", "e6", R"(,"value":"x")"), failed + "przycisk „Martwy” nie przyjmuje wpisywanej wartości. "
                                                                   "Jeśli to lista rozwijana albo przycisk, użyj akcji press.");
    EXPECT_EQ(act("focus", "e6"), failed + "Aplikacja przyjęła prośbę o fokus na przycisk „Martwy”, ale go nie ustawiła. "
                                           "Element może być przykryty innym oknem.");
    EXPECT_EQ(act("focus", "e2"), "Fokus jest teraz na pole tekstowe „Nazwa”.");
    EXPECT_EQ(act("press", "e5"), "Nacisnąłem pole kombi „Szukaj”.");

    // The element changed or vanished since the read: nothing is done to it.
    stuck->title = QStringLiteral("Usuń wszystko");
    EXPECT_EQ(act("focus", "e6"), failed + "Element e6 nie jest już tym, czym był przy odczycie (przycisk „Martwy”). "
                                           "Odczytaj ekran ponownie i użyj świeżego identyfikatora.");
    box->alive = false;
    EXPECT_EQ(act("press", "e1"),
              failed + "Element e1 (pole wyboru „Mleko”) już nie istnieje — okno się zmieniło. Odczytaj ekran ponownie.");
    EXPECT_EQ(box->value, AXValue(0.0));
}

// What is on screen and in what order: what the toolkit does not show is left out (unless it marks
// nothing as shown), the document comes first with its address in the header, a wrapper or a label
// that repeats what it holds gives way to it, object replacement characters go.
TEST_F(Screen, DocumentsFirstHiddenLeftOutRepeatsCollapsed)
{
    using V = platform::AXAttributes::Visibility;
    auto bar = window->add(Node::make("AXToolbar", "Nawigacja"));
    bar->add(Node::make("AXButton", "Wstecz"));
    auto menu = window->add(Node::make("AXMenuBarItem", "Plik"));
    menu->visibility = V::visibleOnly; // a closed menu where the toolkit marks what is shown
    menu->add(Node::make("AXMenuItem", "Zamknij"));
    window->add(Node::make("AXToolbar", "Pusty"))->add(Node::make("AXGroup")); // named, nothing to read
    auto page = window->add(Node::make("AXWebArea", "Sklep"));
    page->document = true, page->url = QStringLiteral("http://127.0.0.1/sklep");
    page->add(Node::make("AXGroup", "Owoce"))->add(Node::make("AXLink", "Owoce"));
    page->add(Node::make("AXStaticText"))->value = QStringLiteral("Przeczytaj \uFFFC przed wysłaniem");
    page->add(Node::make("AXStaticText", "Imię Jan"))->add(Node::make("AXTextField", "Imię"))->value = QStringLiteral("Jan");
    page->add(Node::make("AXButton", "Wyślij"))->add(Node::make("AXStaticText", "Wyślij"));
    page->add(Node::make("AXLink", "Daleko"))->visibility = V::visibleOnly; // scrolled out of the page
    window->add(Node::make("AXButton", "Ukryty"))->visibility = V::hidden;

    const QString text = read();
    EXPECT_TRUE(text.startsWith("Aplikacja: Notatnik · Okno: „Zakupy” · Adres: http://127.0.0.1/sklep\n\n")) << text.toStdString();
    EXPECT_EQ(body(text).join('\n').toStdString(), (QStringList{
                              "[e1] strona „Sklep”",
                              "  [e2] link „Owoce”",
                              "  [e3] tekst „Przeczytaj przed wysłaniem”",
                              "  [e4] pole tekstowe „Imię” = „Jan”",
                              "  [e5] przycisk „Wyślij”",
                              "[e6] pasek narzędzi „Nawigacja”",
                              "  [e7] przycisk „Wstecz”",
                              "",
                              "(Dalsza część listy albo dokumentu jest poza ekranem — przewiń, żeby odczytać resztę.)",
                          }).join('\n').toStdString());

    // A toolkit that marks nothing below the window as shown (GTK 4): merely visible is listed.
    auto plain = Node::make("AXWindow", "Kalkulator");
    plain->add(Node::make("AXButton", "7"))->visibility = V::visibleOnly;
    plain->add(Node::make("AXButton", "Ukryty"))->visibility = V::hidden;
    desktop->windows.insert(42, plain);
    EXPECT_EQ(body(read()), QStringList{"[e8] przycisk „7”"});

    // Text is never cut inside a surrogate pair.
    EXPECT_EQ(compacted(QString(89, 'a') + QStringLiteral("😀b"), 90), QString(89, 'a') + QStringLiteral("…"));
    // Half a pair from the application: the rest of the text is still cleaned, the half marked.
    const QString broken = QStringLiteral("Zażółć\n\t ") + QChar(0xD83D) + QStringLiteral("  gęślą\uFEFF ") + QChar(0xFFFC) + QStringLiteral(" jaźń");
    EXPECT_EQ(compacted(broken, 90), QStringLiteral("Zażółć \uFFFD gęślą jaźń"));
    // Every ASCII white space joins words; a no-break space belongs to the word it holds together.
    EXPECT_EQ(compacted(QStringLiteral("\v\f a\r\nb\u00A0c\t\t"), 90), QStringLiteral("a b\u00A0c"));
}

// An application that stops answering: the read names it at once and keeps the identifiers of the
// last listing, an action on one of them says the same, and the desktop hears of it.
TEST_F(Screen, AnApplicationThatDoesNotAnswerIsNamed)
{
    auto button = window->add(Node::make("AXButton", "Dodaj"));
    button->actions = {"AXPress"};
    read();
    window->silent = button->silent = true;
    const QString silent = "Aplikacja Notatnik nie odpowiada — nie odczytałem jej okna i niczego w nim nie zmieniłem.";
    EXPECT_TRUE(read().startsWith(silent));
    EXPECT_TRUE(act("press", "e1").startsWith("ERR Nie udało się wykonać: " + silent));
    EXPECT_EQ(desktop->silent, (QList<qint64>{42, 42}));
    desktop->list.front().responding = false; // the desktop keeps it silent until it answers again
    EXPECT_TRUE(read().startsWith(silent));
}

// A field that ignores the value it is set to (a web form field) is typed into; where no keys can
// be typed, the answer says so. An element that offers its action only when asked again is pressed.
TEST_F(Screen, TypingWhereTheValueIsIgnoredAndActionsThatComeLate)
{
    auto field = window->add(Node::make("AXTextField", "Imię"));
    field->settable = {"AXValue", "AXFocused"};
    field->ignoresValue = true;
    auto link = window->add(Node::make("AXLink", "Dalej"));
    link->actions = {"AXPress"};
    link->actionsAfter = 1;
    read();
    desktop->typingInto = field;
    EXPECT_EQ(act("set_value", "e1", R"(,"value":"Zażółć 😀")").toStdString(), "Wpisałem „Zażółć 😀” w pole tekstowe „Imię”.");
    // Each character outside the keyboard map alone, after the field shows the one before.
    EXPECT_EQ(desktop->typed, (QStringList{"Za", "ż", "ó", "ł", "ć", " ", "😀"}));
    EXPECT_EQ(field->focused, true);
    desktop->keyboard = false;
    EXPECT_TRUE(act("set_value", "e1", R"(,"value":"Ola")").contains("nie mogę naciskać klawiszy za ciebie (tak jest w sesji Wayland). Wpisz ten tekst sam albo wybierz przy logowaniu sesję X11 (Xorg).")) << act("set_value", "e1", R"(,"value":"Ola")").toStdString();
    EXPECT_EQ(act("press", "e2"), "Nacisnąłem link „Dalej”.");
}

// A page its browser is still loading is read again while it loads; one that keeps loading is
// listed as far as it is, and the listing says it may lack elements and names. A new page is read
// until it stops changing.
TEST_F(Screen, APageStillLoadingIsReadAgainOrSaidToBeIncomplete)
{
    auto page = window->add(Node::make("AXWebArea", "Sklep"));
    page->document = true;
    page->add(Node::make("AXLink", "Owoce"));
    page->loadingReads = 2;
    const QString loaded = read();
    EXPECT_EQ(pauses.size(), 2);
    EXPECT_FALSE(loaded.contains("wczytuje")) << loaded.toStdString();

    page->loadingReads = 100;
    pauses.clear();
    const QString text = read();
    EXPECT_EQ(pauses.size(), AccessibilityTree::kLoadingRereads);
    EXPECT_TRUE(text.contains("] link „Owoce”"));
    EXPECT_TRUE(text.endsWith("\n\n(Strona wciąż się wczytuje — pokazuję to, co już jest; części elementów może brakować albo "
                              "mogą nie mieć jeszcze nazw. Odczytaj ekran ponownie za chwilę.)")) << text.toStdString();

    // A page met for the first time that does not say it is loading, while its links get their
    // names: read until two readings agree; read once when met again.
    page->loadingReads = 0;
    page->url = QStringLiteral("http://127.0.0.1/sklep");
    page->children.front()->namelessReads = 1;
    pauses.clear();
    EXPECT_TRUE(read().contains("] link „Owoce”"));
    EXPECT_EQ(pauses.size(), 2);
    pauses.clear();
    read();
    EXPECT_TRUE(pauses.isEmpty());
}

// A view that answers yes to a value on its scroll bar and stays where it is (a LibreOffice sheet)
// is turned with the wheel over the element; one that does not move at all is said not to have.
TEST_F(Screen, ScrollingThatHasNoEffectIsDoneWithTheWheelOrReportedAsFailed)
{
    auto area = window->add(Node::make("AXScrollArea", "Arkusz"));
    area->frame = QRectF(0, 0, 400, 300);
    area->verticalBar = Node::make("AXScrollBar");
    area->verticalBar->value = 0.0;
    area->verticalBar->settable = {"AXValue"};
    area->verticalBar->ignoresValue = true;
    auto cell = area->add(Node::make("AXCell", "B2"));
    cell->frame = QRectF(100, 280, 80, 40); // partly below the area
    read();
    desktop->wheelMoves = area->verticalBar;
    EXPECT_EQ(act("scroll", "e2", R"(,"direction":"down")"), "Przewinąłem w dół. Jesteśmy na 10 procentach zawartości.");
    ASSERT_EQ(desktop->wheelTurns.size(), 1);
    EXPECT_EQ(desktop->wheelTurns[0].at, QPointF(140, 290)); // over the part of the cell inside the area
    EXPECT_EQ(desktop->wheelTurns[0].wheel, platform::AccessibilityDesktop::Wheel::down);

    desktop->wheelMoves = nullptr;
    EXPECT_EQ(act("scroll", "e2", R"(,"direction":"up")"), "ERR Nie udało się wykonać: Próbowałem przewinąć obszar wokół "
                                                          "komórka „B2”, ale widok się nie przesunął. Odczytaj ekran, żeby "
                                                          "sprawdzić, co jest teraz widać.");
    desktop->keyboard = false;
    EXPECT_TRUE(act("scroll", "e2", R"(,"direction":"up")").contains("nie mogę użyć za ciebie kółka myszy (tak jest w sesji Wayland)"));
}

// A window whose chrome comes before its sheet and costs more than a read's time: the sheet is
// found by the window's shape and read first, the chrome fills what time is left. The items of a
// closed menu are not asked about past the first; an open menu's are listed. A window that answers
// with an error is said not to have been read, not to be empty.
TEST_F(Screen, DocumentsBeforeACostlyChromeClosedMenusSkippedAFailedWindowSaidSo)
{
    using V = platform::AXAttributes::Visibility;
    auto bar = window->add(Node::make("AXToolbar", "Formatowanie"));
    for (int i = 0; i < 30; ++i)
        bar->add(Node::make("AXButton", QString("b%1").arg(i)))->cost = std::chrono::milliseconds(40);
    auto closed = window->add(Node::make("AXMenuBarItem", "Plik"));
    for (int i = 0; i < 40; ++i)
        closed->add(Node::make("AXMenuItem", QString("Pozycja %1").arg(i)))->visibility = V::visibleOnly;
    auto open = window->add(Node::make("AXMenuBarItem", "Edycja"));
    open->add(Node::make("AXMenuItem", "Kopiuj"));
    open->add(Node::make("AXMenuItem", "Wklej"));
    auto pane = window->add(Node::make("AXScrollArea"));
    auto sheet = pane->add(Node::make("AXDocument", "Arkusz1"));
    sheet->document = true;
    auto table = sheet->add(Node::make("AXTable", "Sheet1"));
    table->add(Node::make("AXCell", "A1"))->focused = true;
    table->add(Node::make("AXCell", "B1"));

    AccessibilityTree tree(*desktop, registry, 1, [] { return g_now; }, [](std::chrono::milliseconds) {});
    const QString text = tree.snapshot(window, QStringLiteral("soffice"), ReadFilter::all).text;
    const QStringList lines = body(text);
    ASSERT_GE(lines.size(), 4) << text.toStdString();
    EXPECT_TRUE(text.contains(" · Zaznaczona komórka: A1\n")) << text.toStdString();
    EXPECT_TRUE(lines[0].endsWith("] dokument „Arkusz1”")) << text.toStdString();
    EXPECT_TRUE(lines[2].endsWith("] komórka „A1” (fokus)") && lines[3].endsWith("] komórka „B1”")) << text.toStdString();
    EXPECT_GT(text.count("] przycisk „b"), 5);
    EXPECT_LE(text.count("] przycisk „b"), 12); // half of the read's time: 450 ms of 40 ms each
    EXPECT_TRUE(text.contains("(wynik skrócony")) << text.toStdString();
    EXPECT_EQ(sheet->reads, 2); // its shape, then the whole of it (the chrome ran out of time before it)

    const QString again = read();
    EXPECT_TRUE(again.contains("] pozycja paska menu „Plik”\n")) << again.toStdString();
    EXPECT_FALSE(again.contains("„Pozycja")) << again.toStdString();
    EXPECT_TRUE(again.contains("] pozycja menu „Kopiuj”") && again.contains("] pozycja menu „Wklej”")) << again.toStdString();
    EXPECT_EQ(closed->children[0]->reads, 1); // the first read ran out of time before the menus
    EXPECT_EQ(closed->children[1]->reads, 0);

    window->alive = false;
    EXPECT_EQ(read(), "Aplikacja Notatnik nie podała zawartości swojego okna — była zajęta albo okno właśnie się zamknęło. "
                      "Odczytaj ekran ponownie za chwilę.");
}
