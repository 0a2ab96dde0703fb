#include "tools/ScreenTools.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <qcoro/qcorofuture.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace selvina::tools {

using platform::AXElementRef;
using platform::AXError;
using platform::AXValue;

namespace {

std::optional<QJsonObject> objectOf(const QString& text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

ToolError notAnObject(const QString& text)
{
    return ToolError::invalidArguments(QStringLiteral("oczekiwałem obiektu JSON, dostałem: ") + text);
}

// A job on the accessibility worker that ended in an exception (logged by the worker).
ToolOutcome failedJob()
{
    return ToolError::failed(AXError::failed().description());
}

} // namespace

ToolDefinition ReadScreenTool::definition() const
{
    return {
        QStringLiteral("read_screen"),
        QStringLiteral(
            "Zwraca zawartość aktywnego okna aplikacji na pierwszym planie, odczytaną z drzewa dostępności pulpitu "
            "Linux (AT-SPI): role elementów po polsku, etykiety, wartości, stany (zaznaczone, wyłączone, fokus) oraz "
            "identyfikator każdego elementu.\n\nUżyj, gdy użytkownik pyta, co jest na ekranie, co się właśnie stało, "
            "jaki komunikat się pojawił, co zawiera formularz albo w co można kliknąć. Użyj także zawsze bezpośrednio "
            "przed control_ui — identyfikatory elementów pochodzą wyłącznie stąd i tracą ważność po kolejnym odczycie. "
            "Po każdej akcji, która zmienia ekran, odczytaj go ponownie, zanim zaplanujesz następny krok.\n\nTo "
            "najszybsza i najtańsza dostępna ścieżka: działa w kilkaset milisekund, nie angażuje żadnego modelu i nie "
            "zużywa kontekstu poza samym wynikiem. Przy pytaniach o bieżący stan ekranu zaczynaj zawsze od niej.\n\n"
            "Nie używaj, gdy liczy się treść czysto graficzna — zdjęcie, wykres, mapa, skan albo układ graficzny "
            "strony. Drzewo dostępności ich nie opisuje, wtedy sięgnij po ścieżkę wizyjną. Nie używaj też do zadań "
            "wielokrokowych w innych aplikacjach ani do pracy z pocztą, wiadomościami czy plikami — od tego są "
            "narzędzia warstwy agentowej.\n\nJeżeli wynik mówi, że okno nie udostępnia drzewa dostępności, nie "
            "powtarzaj wywołania — zmień ścieżkę na wizyjną.\n\nWynik jest przycięty do najistotniejszych elementów; "
            "jeśli szukanego nie ma, zawęź odczyt filtrem zamiast wołać narzędzie ponownie z tymi samymi parametrami."),
        QStringLiteral(R"json({"type":"object","properties":{"filter":{"type":"string","enum":["all","interactive","text"],"description":"Zawężenie odczytu. \"all\" (domyślne) — cała zawartość okna z zachowaniem zagnieżdżenia; użyj, gdy użytkownik pyta ogólnie, co jest na ekranie. \"interactive\" — tylko przyciski, pola, linki i inne elementy, na które da się zadziałać; użyj, gdy szukasz celu dla control_ui albo gdy pełny odczyt okazał się przycięty. \"text\" — tylko treść tekstowa, bez elementów sterujących; użyj, gdy trzeba przeczytać dokument, komunikat albo artykuł."}},"required":[],"additionalProperties":false})json"),
        ActionClass::read,
    };
}

QCoro::Task<ToolOutcome> ReadScreenTool::execute(QString argumentsJSON)
{
    const QString trimmed = argumentsJSON.trimmed();
    ReadFilter filter = ReadFilter::all;
    if (!trimmed.isEmpty() && trimmed != u"null") {
        const auto object = objectOf(trimmed);
        if (!object)
            co_return notAnObject(trimmed);
        filter = readFilterFromRaw(object->value(QStringLiteral("filter")).toString()).value_or(ReadFilter::all);
    }
    auto access = m_access;
    auto future = access->worker().run(
        [access, filter]() -> ToolOutcome {
            auto snapshot = access->tree().snapshotFrontmostWindow(filter);
            if (!snapshot.ok())
                return snapshot.error();
            return snapshot.value().text;
        },
        failedJob);
    co_return co_await future;
}

ToolDefinition ControlUITool::definition() const
{
    return {
        QStringLiteral("control_ui"),
        QStringLiteral(
            "Wykonuje jedną akcję na elemencie interfejsu wskazanym identyfikatorem z read_screen: naciśnięcie, "
            "wpisanie wartości w pole, przewinięcie albo ustawienie fokusu klawiatury.\n\nZawsze najpierw wywołaj "
            "read_screen i weź identyfikator stamtąd. Nigdy nie zgaduj identyfikatorów ani nie używaj tych z "
            "wcześniejszej części rozmowy — po kolejnym odczycie tracą ważność i narzędzie odmówi działania. Jedna "
            "akcja na wywołanie; po akcji, która zmienia ekran, odczytaj ekran ponownie, zanim zaplanujesz następny "
            "krok.\n\nUżyj, gdy użytkownik prosi o kliknięcie, zaznaczenie, wpisanie tekstu, przejście do pola albo "
            "przewinięcie tego, co ma właśnie otwarte. Nie używaj do sterowania aplikacjami, których użytkownik nie "
            "ma na pierwszym planie, ani do zadań wielokrokowych — od tego jest warstwa agentowa. Nie próbuj składać "
            "z tych akcji dłuższej automatyzacji bez odczytu ekranu po każdym kroku.\n\nRaportuj użytkownikowi "
            "wyłącznie to, co narzędzie zwróciło. Odpowiedź mówi, co faktycznie zostało zrobione i jaki jest stan "
            "elementu po akcji.\n\nSamo naciśnięcie bywa nieodwracalne w skutkach po stronie aplikacji (wysłanie, "
            "usunięcie, potwierdzenie). Jeśli etykieta elementu na to wskazuje, upewnij się u użytkownika, zanim "
            "zadziałasz."),
        QStringLiteral(R"json({"type":"object","properties":{"action":{"type":"string","enum":["press","set_value","scroll","focus"],"description":"\"press\" — naciśnięcie przycisku, linku, pozycji menu, pola wyboru lub karty. \"set_value\" — wpisanie tekstu w pole tekstowe; zastępuje dotychczasową zawartość. \"scroll\" — przewinięcie: bez pola direction przewija tak, żeby wskazany element był widoczny, z polem direction przewija obszar zawierający ten element. \"focus\" — ustawienie fokusu klawiatury na elemencie, bez zmiany jego wartości."},"element_id":{"type":"string","description":"Identyfikator elementu z ostatniego wywołania read_screen, na przykład e12. Musi pochodzić z najświeższego odczytu."},"value":{"type":"string","description":"Tekst do wpisania. Wymagany dla akcji set_value, ignorowany dla pozostałych."},"direction":{"type":"string","enum":["up","down","left","right"],"description":"Kierunek przewijania dla akcji scroll. Pomiń, żeby przewinąć do wskazanego elementu zamiast o krok w wybraną stronę."}},"required":["action","element_id"],"additionalProperties":false})json"),
        ActionClass::reversibleWrite,
    };
}

Result<ControlUITool::Arguments, ToolError> ControlUITool::decode(const QString& argumentsJSON)
{
    const auto object = objectOf(argumentsJSON);
    if (!object)
        return notAnObject(argumentsJSON);
    Arguments a;
    const QJsonValue action = object->value(QStringLiteral("action"));
    if (!action.isString())
        return ToolError::invalidArguments(QStringLiteral("brakuje pola action"));
    static const QHash<QString, Action> actions{{"press", Action::press},
                                                {"set_value", Action::setValue},
                                                {"scroll", Action::scroll},
                                                {"focus", Action::focus}};
    if (!actions.contains(action.toString()))
        return ToolError::invalidArguments(QStringLiteral("nie znam akcji ") + action.toString()
                                           + QStringLiteral("; dostępne to press, set_value, scroll i focus"));
    a.action = actions.value(action.toString());
    const QJsonValue id = object->value(QStringLiteral("element_id"));
    if (!id.isString() || id.toString().isEmpty())
        return ToolError::invalidArguments(
            QStringLiteral("brakuje pola element_id — podaj identyfikator z ostatniego read_screen, na przykład e12"));
    a.elementIdentifier = id.toString();
    if (const QJsonValue v = object->value(QStringLiteral("value")); v.isString())
        a.value = v.toString();
    if (a.action == Action::setValue && !a.value)
        return ToolError::invalidArguments(QStringLiteral("akcja set_value wymaga pola value"));
    if (const QJsonValue d = object->value(QStringLiteral("direction")); d.isString()) {
        static const QHash<QString, Direction> directions{
            {"up", Direction::up}, {"down", Direction::down}, {"left", Direction::left}, {"right", Direction::right}};
        if (!directions.contains(d.toString()))
            return ToolError::invalidArguments(QStringLiteral("nie znam kierunku ") + d.toString()
                                               + QStringLiteral("; dostępne to up, down, left i right"));
        a.direction = directions.value(d.toString());
    }
    return a;
}

QCoro::Task<ToolOutcome> ControlUITool::execute(QString argumentsJSON)
{
    auto access = m_access;
    auto future = access->worker().run(
        [access, argumentsJSON]() -> ToolOutcome {
            if (!access->desktop().isTrusted())
                return ToolError::notPermitted(AccessibilityTree::notPermittedText());
            const auto arguments = decode(argumentsJSON);
            if (!arguments.ok())
                return arguments.error();
            const auto record = access->registry().record(arguments.value().elementIdentifier);
            if (!record.ok())
                return record.error();
            return perform(record.value(), arguments.value(), access->desktop());
        },
        failedJob);
    co_return co_await future;
}

namespace {

std::optional<double> numberIn(const Result<AXValue, AXError>& v)
{
    if (v.ok())
        if (const double* d = std::get_if<double>(&v.value()))
            return *d;
    return std::nullopt;
}

AXElementRef elementIn(const Result<AXValue, AXError>& v)
{
    if (v.ok())
        if (const AXElementRef* e = std::get_if<AXElementRef>(&v.value()))
            return *e;
    return nullptr;
}

bool settable(const AXElementRef& element, const QString& attribute)
{
    const auto s = element->isSettable(attribute);
    return s.ok() && s.value();
}

// Asks `done` every 50 ms until it holds or `limit` has passed; the application answers an action
// before it has carried it out (focus, a check mark, typed keys arrive later).
bool settles(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::milliseconds(1000))
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

QString pressActionOf(const AXElementRef& element)
{
    const auto names = element->actionNames();
    for (const char* candidate : {"AXPress", "AXOpen", "AXConfirm", "AXPick", "AXShowMenu"})
        if (names.ok() && names.value().contains(QString::fromLatin1(candidate)))
            return QString::fromLatin1(candidate);
    return {};
}

// Thrown out of an action when the application stopped answering in the middle of it.
bool silentError(const AXError& e)
{
    return e.kind() == AXError::Kind::noResponse;
}

ToolOutcome press(const ElementRecord& r)
{
    const QString& s = r.summary;
    QString chosen = pressActionOf(r.element);
    if (chosen.isEmpty()) {
        // Firefox lists an element's actions only some time after it is first asked for them.
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        chosen = pressActionOf(r.element);
    }
    if (chosen.isEmpty())
        return ToolError::failed(s + QStringLiteral(" nie da się nacisnąć — element nie udostępnia żadnej akcji. "
                                                    "Odczytaj ekran i wybierz inny cel."));
    const bool checkable = r.role == u"AXCheckBox" || r.role == u"AXRadioButton";
    const auto before = checkable ? numberIn(r.element->attribute(QStringLiteral("AXValue"))) : std::nullopt;
    if (const auto done = r.element->perform(chosen); !done.ok())
        return ToolError::failed(silentError(done.error()) ? AccessibilityTree::silentText(r.application)
                                                           : done.error().description());
    if (!checkable)
        return QStringLiteral("Nacisnąłem ") + s + QLatin1Char('.');
    std::optional<double> value;
    settles([&] {
        value = numberIn(r.element->attribute(QStringLiteral("AXValue")));
        return value && value != before;
    });
    if (value)
        return QStringLiteral("Nacisnąłem ") + s + QStringLiteral(". Teraz jest ")
            + (*value != 0 ? QStringLiteral("zaznaczone") : QStringLiteral("niezaznaczone")) + QLatin1Char('.');
    return QStringLiteral("Nacisnąłem ") + s + QLatin1Char('.');
}

// Firefox puts a zero-width no-break space after some characters it was typed.
QString textIn(const Result<AXValue, AXError>& v)
{
    const QString* text = v.ok() ? std::get_if<QString>(&v.value()) : nullptr;
    return text ? QString(*text).remove(QChar(0xFEFF)) : QString();
}

// A loaded machine delays the application's focus event well past a second; a focus that moves
// ends the wait at once.
bool focusSettles(const AXElementRef& element)
{
    return settles(
        [&] {
            const auto back = element->attribute(QStringLiteral("AXFocused"));
            return back.ok() && std::holds_alternative<bool>(back.value()) && std::get<bool>(back.value());
        },
        std::chrono::milliseconds(3000));
}

// A number as a sheet or a spin button takes it: "42", "-3.5", "3,5".
std::optional<double> numberText(const QString& v)
{
    bool ok = false;
    const double n = QString(v).replace(QLatin1Char(','), QLatin1Char('.')).trimmed().toDouble(&ok);
    return ok && std::isfinite(n) ? std::optional<double>(n) : std::nullopt;
}

ToolOutcome setValue(const ElementRecord& r, const QString& v, platform::AccessibilityDesktop& desktop)
{
    const QString& s = r.summary;
    if (!settable(r.element, QStringLiteral("AXValue")))
        return ToolError::failed(s + QStringLiteral(" nie przyjmuje wpisywanej wartości. Jeśli to lista rozwijana "
                                                    "albo przycisk, użyj akcji press."));
    const QString done = QStringLiteral("Wpisałem „") + v + QStringLiteral("” w ") + s + QLatin1Char('.');
    const auto current = r.element->attribute(QStringLiteral("AXValue"));
    // An element that holds a number (a cell, a spin button) takes a number as such.
    const bool cell = r.role == u"AXCell";
    if (cell || (current.ok() && std::holds_alternative<double>(current.value())))
        if (const auto n = numberText(v)) {
            if (const auto set = r.element->setAttribute(QStringLiteral("AXValue"), *n); set.ok()) {
                const auto holds = [&] {
                    const auto back = r.element->attribute(QStringLiteral("AXValue"));
                    return numberIn(back) == n || numberText(textIn(back)) == n;
                };
                if (settles(holds))
                    return done;
            }
        }
    r.element->setAttribute(QStringLiteral("AXFocused"), true);
    const auto set = r.element->setAttribute(QStringLiteral("AXValue"), v);
    if (!set.ok() && silentError(set.error()))
        return ToolError::failed(AccessibilityTree::silentText(r.application));
    if (set.ok() && textIn(r.element->attribute(QStringLiteral("AXValue"))) == v)
        return done;
    // The field ignored the value (a web form field) or has no text to set (a cell): the text is
    // typed into it as keys, as a user would. A cell takes what is typed once Return is pressed.
    if (!cell && !set.ok() && set.error().kind() != AXError::Kind::attributeUnsupported)
        return ToolError::failed(set.error().description());
    if (!focusSettles(r.element))
        return ToolError::failed(QStringLiteral("Nie mogę wpisać tekstu w ") + s
                                 + QStringLiteral(": pole nie przyjęło wartości i nie przyjmuje fokusu klawiatury."));
    // Characters the keyboard map lacks go through one spare key that is mapped anew for each, so a
    // busy application may read a key already mapped to the next one. Such a character is typed
    // alone, and the next piece only once the field shows it; a garbled attempt is typed again whole.
    // A cell shows nothing before Return, so its text goes in one piece.
    QStringList pieces;
    if (cell)
        pieces << v + QLatin1Char('\n');
    const auto plain = [](QChar c) { return c == QLatin1Char('\n') || (c.unicode() >= 0x20 && c.unicode() < 0x7f); };
    for (qsizetype i = 0; !cell && i < v.size();) {
        qsizetype end = i + 1;
        if (plain(v[i]))
            while (end < v.size() && plain(v[end]))
                ++end;
        else if (v[i].isHighSurrogate() && end < v.size())
            ++end;
        pieces << v.mid(i, end - i);
        i = end;
    }
    if (pieces.isEmpty())
        pieces << QString();
    const auto valueNow = [&] { return textIn(r.element->attribute(QStringLiteral("AXValue"))); };
    QString readBack;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0)
            r.element->setAttribute(QStringLiteral("AXFocused"), true);
        QString sent;
        bool garbled = false;
        for (qsizetype p = 0; p < pieces.size() && !garbled; ++p) {
            const auto typed = desktop.typeText(pieces[p], cell || p > 0 ? platform::AccessibilityDesktop::Typing::intoFocus
                                                                          : platform::AccessibilityDesktop::Typing::replacingContents);
            if (!typed.ok())
                return ToolError::failed(
                    s + QStringLiteral(" nie przyjmuje tekstu ustawianego przez dostępność, a ")
                    + (typed.error().kind() == AXError::Kind::valueRefused
                           ? QStringLiteral("niektórych znaków tego tekstu nie ma w żadnym układzie klawiatury ustawionym "
                                            "na tym pulpicie, więc nie mogę ich wpisać klawiszami. Nic nie wpisałem.")
                           : QStringLiteral("na tym pulpicie nie mogę naciskać klawiszy za ciebie (tak jest w sesji "
                                            "Wayland). Wpisz ten tekst sam albo wybierz przy logowaniu sesję X11 (Xorg).")));
            sent += pieces[p];
            if (!cell && p + 1 < pieces.size() && !plain(pieces[p][0]))
                garbled = !settles([&] { return (readBack = valueNow()) == sent; }, std::chrono::milliseconds(3000));
        }
        if (!garbled && settles([&] { return (readBack = valueNow()) == v; }, std::chrono::milliseconds(3000)))
            return done;
    }
    // A cell that formats its number ("3,5" shown as 3.5) holds it as a number.
    if (cell)
        if (const auto n = numberText(v); n && numberIn(r.element->attribute(QStringLiteral("AXValue"))) == n)
            return done;
    return ToolError::failed(QStringLiteral("Wpisałem tekst w ") + s + QStringLiteral(", ale pole zawiera teraz „")
                             + readBack + QStringLiteral("” zamiast „") + v
                             + QStringLiteral("”. Aplikacja zmieniła wartość po drodze — odczytaj ekran."));
}

ToolOutcome scrollToVisible(const ElementRecord& r)
{
    const auto names = r.element->actionNames();
    if (!names.ok() || !names.value().contains(QStringLiteral("AXScrollToVisible")))
        return ToolError::failed(r.summary + QStringLiteral(" nie da się przewinąć do widoku."));
    if (const auto done = r.element->perform(QStringLiteral("AXScrollToVisible")); !done.ok())
        return ToolError::failed(done.error().description());
    return QStringLiteral("Przewinąłem widok do ") + r.summary + QLatin1Char('.');
}

std::optional<QRectF> frameOf(const AXElementRef& element)
{
    const auto position = element->attribute(QStringLiteral("AXPosition"));
    const auto size = element->attribute(QStringLiteral("AXSize"));
    const QPointF* p = position.ok() ? std::get_if<QPointF>(&position.value()) : nullptr;
    const QSizeF* z = size.ok() ? std::get_if<QSizeF>(&size.value()) : nullptr;
    if (!p || !z || z->isEmpty())
        return std::nullopt;
    return QRectF(*p, *z);
}

ToolOutcome scrollBy(const ElementRecord& r, ControlUITool::Direction direction, platform::AccessibilityDesktop& desktop)
{
    using D = ControlUITool::Direction;
    const QString& s = r.summary;
    AXElementRef area;
    AXElementRef at = r.element;
    for (int i = 0; i < 28 && at; ++i) {
        // A scroll area, or (where the toolkit folds the two together, as Qt's item views do) an
        // element that carries the scroll bars itself.
        const auto role = at->attribute(QStringLiteral("AXRole"));
        const bool scrollArea = role.ok() && std::holds_alternative<QString>(role.value())
            && std::get<QString>(role.value()) == u"AXScrollArea";
        if (scrollArea || elementIn(at->attribute(QStringLiteral("AXVerticalScrollBar")))
            || elementIn(at->attribute(QStringLiteral("AXHorizontalScrollBar")))) {
            area = at;
            break;
        }
        at = elementIn(at->attribute(QStringLiteral("AXParent")));
    }
    if (!area)
        return ToolError::failed(s + QStringLiteral(" nie leży w żadnym obszarze przewijania, więc nie ma czego przewinąć."));
    const bool vertical = direction == D::up || direction == D::down;
    const AXElementRef bar = elementIn(
        area->attribute(vertical ? QStringLiteral("AXVerticalScrollBar") : QStringLiteral("AXHorizontalScrollBar")));
    if (!bar)
        return ToolError::failed(QStringLiteral("Obszar wokół ") + s
                                 + QStringLiteral(" nie ma paska przewijania w tym kierunku, więc nie da się go tak przewinąć."));
    const double current = numberIn(bar->attribute(QStringLiteral("AXValue"))).value_or(0);
    const double step = (direction == D::up || direction == D::left) ? -0.2 : 0.2;
    const double target = std::clamp(current + step, 0.0, 1.0);
    if (std::fabs(target - current) <= 0.0001) {
        switch (direction) {
        case D::up:
            return QStringLiteral("Jesteśmy już na samej górze.");
        case D::down:
            return QStringLiteral("Jesteśmy już na samym dole.");
        case D::left:
            return QStringLiteral("Jesteśmy już przy lewej krawędzi.");
        case D::right:
            return QStringLiteral("Jesteśmy już przy prawej krawędzi.");
        }
    }
    // The view moved: its bar stands elsewhere, or the element has moved on the screen.
    const std::optional<QRectF> before = frameOf(r.element);
    double after = current;
    const auto moved = [&] {
        after = numberIn(bar->attribute(QStringLiteral("AXValue"))).value_or(current);
        if (std::fabs(after - current) > 0.0001)
            return true;
        const auto now = frameOf(r.element);
        return before && now && now->topLeft() != before->topLeft();
    };
    bool done = false;
    if (settable(bar, QStringLiteral("AXValue"))) {
        const auto set = bar->setAttribute(QStringLiteral("AXValue"), target);
        if (!set.ok() && silentError(set.error()))
            return ToolError::failed(AccessibilityTree::silentText(r.application));
        done = set.ok() && settles(moved, std::chrono::milliseconds(500));
    }
    // A view that takes no value on its bar, or ignores it (a LibreOffice sheet answers yes and
    // stays where it is), is turned with the mouse wheel over the element, as a user would.
    if (!done) {
        const std::optional<QRectF> areaFrame = frameOf(area);
        std::optional<QRectF> spot = before;
        if (spot && areaFrame)
            spot = spot->intersected(*areaFrame);
        if (!spot || spot->isEmpty())
            spot = areaFrame;
        if (!spot)
            return ToolError::failed(QStringLiteral("Nie udało się przewinąć obszaru wokół ") + s
                                     + QStringLiteral(": aplikacja nie przesuwa widoku na polecenie dostępności, a nie "
                                                      "wiem, gdzie ten obszar leży na ekranie."));
        using W = platform::AccessibilityDesktop::Wheel;
        const W wheel = direction == D::up ? W::up : direction == D::down ? W::down : direction == D::left ? W::left : W::right;
        constexpr int kWheelClicks = 5;
        if (const auto turned = desktop.turnWheel(spot->center(), wheel, kWheelClicks); !turned.ok())
            return ToolError::failed(QStringLiteral("Nie udało się przewinąć obszaru wokół ") + s
                                     + QStringLiteral(": aplikacja nie przesuwa widoku na polecenie dostępności, a na tym "
                                                      "pulpicie nie mogę użyć za ciebie kółka myszy (tak jest w sesji Wayland)."));
        if (!settles(moved, std::chrono::milliseconds(1000)))
            return ToolError::failed(QStringLiteral("Próbowałem przewinąć obszar wokół ") + s
                                     + QStringLiteral(", ale widok się nie przesunął. Odczytaj ekran, żeby sprawdzić, co "
                                                      "jest teraz widać."));
    }
    static const char* words[] = {"w górę", "w dół", "w lewo", "w prawo"};
    return QStringLiteral("Przewinąłem ") + QString::fromUtf8(words[int(direction)])
        + QStringLiteral(". Jesteśmy na %1 procentach zawartości.").arg(qRound(std::clamp(after, 0.0, 1.0) * 100));
}

ToolOutcome focus(const ElementRecord& r)
{
    const QString& s = r.summary;
    if (!settable(r.element, QStringLiteral("AXFocused")))
        return ToolError::failed(s + QStringLiteral(" nie przyjmuje fokusu klawiatury."));
    if (const auto done = r.element->setAttribute(QStringLiteral("AXFocused"), true); !done.ok())
        return ToolError::failed(silentError(done.error()) ? AccessibilityTree::silentText(r.application)
                                                           : done.error().description());
    if (focusSettles(r.element))
        return QStringLiteral("Fokus jest teraz na ") + s + QLatin1Char('.');
    return ToolError::failed(QStringLiteral("Aplikacja przyjęła prośbę o fokus na ") + s
                             + QStringLiteral(", ale go nie ustawiła. Element może być przykryty innym oknem."));
}

} // namespace

ToolOutcome ControlUITool::perform(const ElementRecord& record, const Arguments& arguments,
                                   platform::AccessibilityDesktop& desktop)
{
    ToolOutcome outcome = act(record, arguments, desktop);
    if (!outcome.ok() && record.pid != 0
        && outcome.error().description().contains(AccessibilityTree::silentText(record.application)))
        desktop.noteSilent(record.pid);
    return outcome;
}

ToolOutcome ControlUITool::act(const ElementRecord& record, const Arguments& arguments,
                               platform::AccessibilityDesktop& desktop)
{
    if (const auto identity = AccessibilityTree::verifyIdentity(record); !identity.ok())
        return identity.error();
    switch (arguments.action) {
    case Action::press:
        return press(record);
    case Action::setValue:
        return setValue(record, arguments.value.value_or(QString()), desktop);
    case Action::scroll:
        return arguments.direction ? scrollBy(record, *arguments.direction, desktop) : scrollToVisible(record);
    case Action::focus:
        return focus(record);
    }
    return ToolError::failed(QStringLiteral("nieznana akcja"));
}

} // namespace selvina::tools
