// The capture routine and the three visual tools on an in-memory desktop: selection, scaling,
// the texts and the error paths; and the vision service's answers.
#include "tools/VisualTools.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace selvina;
using namespace selvina::capture;
using namespace selvina::tools;
using namespace selvina::testing;
using namespace Qt::StringLiterals;

namespace {

// A desktop whose content and pictures the test sets; it remembers what it was asked to capture.
class MemoryDesktop final : public ScreenCaptureProvider {
public:
    bool granted = true;
    ShareableContent desktop;
    std::optional<ScreenCaptureError> failure;
    QSize picture{3000, 2000};
    QStringList captured; // "display <id>" or "window <id>"

    bool accessGranted() override { return granted; }
    Result<ShareableContent, ScreenCaptureError> content() override { return desktop; }
    Result<QImage, ScreenCaptureError> captureDisplay(const CaptureDisplay& d, QSize) override
    {
        captured.append(u"display %1"_s.arg(d.id));
        return image();
    }
    Result<QImage, ScreenCaptureError> captureWindow(const CaptureWindow& w, QSize size) override
    {
        captured.append(u"window %1"_s.arg(w.id));
        picture = size;
        return image();
    }

private:
    Result<QImage, ScreenCaptureError> image()
    {
        if (failure)
            return *failure;
        QImage i(picture, QImage::Format_RGB32);
        i.fill(Qt::white);
        return i;
    }
};

CaptureWindow window(quint64 id, QString title, std::optional<QString> app, qint64 pid, bool onScreen = true,
                     bool normal = true)
{
    return {id, std::move(title), std::move(app), pid, QRect(10, 20, 640, 480), onScreen, normal};
}

class Capture : public ::testing::Test {
protected:
    Capture()
    {
        auto memory = std::make_unique<MemoryDesktop>();
        desktop = memory.get();
        desktop->desktop.displays = {{7, QRect(1920, 0, 1280, 1024)}, {3, QRect(0, 0, 3000, 2000)}};
        desktop->desktop.mainDisplayId = 3;
        desktop->desktop.windows = {
            window(1, u"Panel"_s, u"panel"_s, 50, true, false),
            window(2, u"Ukryte zakupy"_s, u"notatki"_s, 51, false),
            window(3, u"Poczta"_s, u"Zakupy-Sklep"_s, 52),
            window(4, u"Lista ZAKUPÓW"_s, u"edytor"_s, 53),
            window(5, QString(), std::nullopt, 52),
            window(6, u"Zaz\u0307o\u0301\u0142c\u0301 ge\u0328s\u0301la\u0328 jaz\u0301n\u0301"_s, u"pisak"_s, 54),
        };
        desktop->desktop.frontmostPid = 52;
        capture = std::make_shared<ScreenCapture>(std::move(memory));
    }
    static QString run(SelvinaTool& tool, const QString& arguments) { return outcomeText(runTask(tool.execute(arguments))); }
    MemoryDesktop* desktop = nullptr;
    std::shared_ptr<ScreenCapture> capture;
};

TEST_F(Capture, ScreenshotReportsTheSourceBothSizesAndTheKilobytesAndCaptureErrorsReachEveryTool)
{
    ScreenshotTool screenshot(capture);
    const QString text = run(screenshot, uR"({"scope":"full_screen"})"_s);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Zrzut ekranu: cały ekran (wyświetlacz główny, 3000×2000 px). Rozmiar po "
                                               "skalowaniu: 1568×1045 px (oryginalnie 3000×2000 px), JPEG ok. ")))
        << text.toStdString();
    EXPECT_EQ(desktop->captured, QStringList{u"display 3"_s});
    // Rounded down, but at least one.
    for (const auto& [bytes, kb] : {std::pair{500, 1}, {1024, 1}, {2047, 1}, {2048, 2}, {0, 1}}) {
        CapturedImage image;
        image.jpegData = QByteArray(bytes, 'x');
        EXPECT_TRUE(ScreenshotTool::report(image).endsWith(u"JPEG ok. %1 KB."_s.arg(kb))) << bytes;
    }

    // The screenshot maps a capture's errors; the visual tools pass them on.
    DescribeVisualTool describe(capture, nullptr);
    const QString failed = u"ERR Nie udało się wykonać: "_s;
    desktop->failure = ScreenCaptureError::captureFailed(u"okno zniknęło"_s);
    EXPECT_EQ(run(screenshot, uR"({"scope":"active_window"})"_s), failed + u"Nie udało się przechwycić ekranu: okno zniknęło"_s);
    EXPECT_EQ(run(describe, u"{}"_s), u"ERR Nie udało się przechwycić ekranu: okno zniknęło"_s);
    EXPECT_EQ(desktop->captured, (QStringList{u"display 3"_s, u"window 3"_s, u"display 3"_s}));
    desktop->granted = false;
    EXPECT_EQ(run(screenshot, uR"({"scope":"full_screen"})"_s), u"ERR Brak zgody na wykonanie: "_s + ScreenCaptureError::permissionText());
    EXPECT_EQ(run(describe, u"{}"_s), u"ERR "_s + ScreenCaptureError::permissionText());
    desktop->granted = true;
    desktop->failure.reset();
    desktop->desktop.displays.clear();
    EXPECT_EQ(run(screenshot, uR"({"scope":"full_screen"})"_s), failed + u"Nie znaleziono ekranu do przechwycenia."_s);
}

TEST(Encoding, ScalesTheLongerSideTo1568AndNeverEnlarges)
{
    const std::pair<QSize, QSize> cases[] = {{{3000, 2000}, {1568, 1045}}, {{1200, 800}, {1200, 800}},
                                             {{2000, 3000}, {1045, 1568}}, {{1568, 1568}, {1568, 1568}},
                                             {{20000, 3}, {1568, 1}},       {{7680, 4320}, {1568, 882}}};
    for (const auto& [in, out] : cases) {
        QImage source(in, QImage::Format_RGB32);
        source.fill(Qt::red);
        const auto encoded = encodeCapture(source);
        ASSERT_TRUE(encoded.ok());
        EXPECT_EQ(QSize(encoded.value().pixelWidth, encoded.value().pixelHeight), out);
        EXPECT_EQ(QSize(encoded.value().originalWidth, encoded.value().originalHeight), in);
        EXPECT_EQ(QImage::fromData(encoded.value().jpegData, "JPEG").size(), out);
    }
    EXPECT_EQ(encodeCapture(QImage()).error(), ScreenCaptureError::encodingFailed());
}

TEST_F(Capture, PicksAndNamesWindowsByTitleThenApplicationInStackingOrder)
{
    const std::pair<ScreenCaptureScope, std::variant<quint64, QString>> cases[] = { // the window, or the error's sentence
        // The application name of a window higher up beats a title further down; hidden and
        // non-normal windows never match.
        {ScreenCaptureScope::window(u"zakup"_s), quint64(3)},
        {ScreenCaptureScope::window(u"ZAKUPÓW"_s), quint64(4)},
        {ScreenCaptureScope::window(u"panel"_s), u"Nie znaleziono żadnego okna pasującego do „panel”."_s},
        // Decomposed letters in the title match a query typed with composed ones.
        {ScreenCaptureScope::window(u"ZAŻÓŁĆ GĘŚLĄ"_s), quint64(6)},
        {ScreenCaptureScope::window(u"\u200b🙂\u202e"_s),
         u"Nie znaleziono żadnego okna pasującego do „\u200b🙂\u202e”."_s},
        {ScreenCaptureScope::activeWindow(), quint64(3)},
    };
    for (const auto& [scope, expected] : cases) {
        const auto target = chooseTarget(desktop->desktop, scope);
        if (const auto* id = std::get_if<quint64>(&expected)) {
            ASSERT_TRUE(target.ok()) << scope.query.toStdString();
            EXPECT_EQ(std::get<CaptureWindow>(target.value().source).id, *id) << scope.query.toStdString();
        } else {
            ASSERT_FALSE(target.ok());
            EXPECT_EQ(target.error(), ScreenCaptureError::noWindowFound(std::get<QString>(expected)));
        }
    }

    // How the chosen window is named, and what the foreground's failures say.
    auto& d = desktop->desktop;
    const auto active = [&] { return chooseTarget(d, ScreenCaptureScope::activeWindow()); };
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::window(u"poczta"_s)).value().sourceDescription, u"okno „Poczta” (Zakupy-Sklep)"_s);
    d.windows.erase(d.windows.begin() + 2);
    EXPECT_EQ(active().value().sourceDescription, u"aktywne okno aplikacji nieznana aplikacja"_s);
    d.frontmostPid = 51; // only a hidden window
    EXPECT_EQ(active().error().description(), u"Aplikacja na pierwszym planie nie ma żadnego widocznego okna do przechwycenia."_s);
    d.frontmostPid.reset();
    EXPECT_EQ(active().error().description(), u"Nie udało się ustalić aplikacji na pierwszym planie."_s);
    d.activeWindowId = 4; // the active window stands in for an owner without a process id
    EXPECT_EQ(std::get<CaptureWindow>(active().value().source).id, 4u);
    d.windowsUnavailable = u"Tylko cały ekran."_s;
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::window(u"x"_s)).error(), ScreenCaptureError::noWindowFound(u"Tylko cały ekran."_s));
    d.displays.clear();
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::fullScreen()).error(), ScreenCaptureError::noDisplayFound());
}

TEST(Arguments, ScreenshotDecoderTexts)
{
    const QString invalid = u"Nieprawidłowe argumenty: "_s;
    const QString unread = invalid + u"Nie udało się odczytać argumentów: "_s;
    const std::pair<QString, QString> cases[] = {
        {u"{\"scope\":\"full_screen\"}"_s + QChar(0xd800), invalid + u"Argumenty nie są poprawnym tekstem UTF-8."_s},
        {u""_s, unread + u"to nie jest poprawny JSON (błąd przy znaku 0)."_s},
        {u"[1]"_s, unread + u"oczekiwano obiektu JSON."_s},
        {u"{}"_s, unread + u"brak wymaganego pola „scope”."_s},
        {uR"({"scope":5})"_s, unread + u"pole „scope” musi być tekstem."_s},
        {uR"({"scope":"window","window_query":7})"_s, unread + u"pole „window_query” musi być tekstem."_s},
        {uR"({"scope":"window"})"_s, invalid + u"window_query jest wymagany, gdy scope = \"window\"."_s},
        {uR"({"scope":"window","window_query":" \n"})"_s, invalid + u"window_query jest wymagany, gdy scope = \"window\"."_s},
        {uR"({"scope":"Full_Screen"})"_s, invalid + u"Nieznany zakres \"Full_Screen\". Dozwolone: full_screen, active_window, window."_s},
    };
    for (const auto& [arguments, error] : cases) {
        const auto decoded = ScreenshotTool::decode(arguments);
        ASSERT_FALSE(decoded.ok()) << arguments.toStdString();
        EXPECT_EQ(decoded.error().description(), error);
    }
    // The query is used as given, spaces included.
    EXPECT_EQ(ScreenshotTool::decode(uR"({"scope":"window","window_query":" Zakupy "})"_s).value(), ScreenCaptureScope::window(u" Zakupy "_s));
}

TEST(Arguments, VisualDecoderTrimsAndDefaultsToTheFullScreen)
{
    const QString invalid = u"Nieprawidłowe argumenty: "_s;
    const struct { QString arguments; std::variant<ScreenCaptureScope, QString> expected; } cases[] = {
        {u"{}"_s, ScreenCaptureScope::fullScreen()},
        {uR"({"scope":null})"_s, ScreenCaptureScope::fullScreen()},
        {uR"({"scope":"active_window"})"_s, ScreenCaptureScope::activeWindow()},
        {uR"({"scope":"window","window_query":"\t\ud83d\ude42 Zakupy\n"})"_s, ScreenCaptureScope::window(u"🙂 Zakupy"_s)},
        {u"nie json"_s, invalid + u"nieprawidłowy JSON"_s},
        {u"[]"_s, invalid + u"nieprawidłowy JSON"_s},
        {uR"({"scope":"window","window_query":"  "})"_s, invalid + u"dla zakresu „window” trzeba podać window_query"_s},
        {uR"({"scope":"ekran"})"_s, invalid + u"nieznany zakres „ekran”"_s},
    };
    for (const auto& c : cases) {
        const auto decoded = VisualArguments::decode(c.arguments);
        if (const auto* scope = std::get_if<ScreenCaptureScope>(&c.expected)) {
            ASSERT_TRUE(decoded.ok()) << c.arguments.toStdString();
            EXPECT_EQ(decoded.value().scope, *scope);
        } else {
            ASSERT_FALSE(decoded.ok()) << c.arguments.toStdString();
            EXPECT_EQ(decoded.error().description(), std::get<QString>(c.expected));
        }
    }
    const auto focused = VisualArguments::decode(uR"({"focus":" wykres\n","question":""})"_s).value();
    EXPECT_EQ(DescribeVisualTool::prompt(focused), u"Opisz ten obraz, skupiając się na: wykres."_s);
    EXPECT_EQ(AnalyzeVisualTool::prompt(focused), QStringLiteral(" Odpowiadaj po polsku, bez znaczników formatowania — "
                                                                 "tekst zostanie odczytany na głos."));
    EXPECT_EQ(DescribeVisualTool::prompt({}), u"Opisz, co widać na tym obrazie."_s);
}

// Two tools capturing at once: the mark leaves once and comes back after both pictures.
TEST_F(Capture, OverlappingCapturesShareOneWithdrawalOfTheMark)
{
    QStringList hook;
    capture->setOverlayHook({[&] { return hook.append(u"withdraw"_s), std::vector<WithdrawnWindow>{{7, {}}}; },
                             [&] { hook.append(u"restore after %1"_s.arg(desktop->captured.size())); }});
    ScreenshotTool tool(capture);
    auto first = tool.execute(uR"({"scope":"full_screen"})"_s);
    auto second = tool.execute(uR"({"scope":"active_window"})"_s);
    ASSERT_TRUE(runTask(std::move(first)) && runTask(std::move(second)));
    EXPECT_EQ(hook, (QStringList{u"withdraw"_s, u"restore after 2"_s}));
}

// One refusal travels over HTTP in the desktop test.
TEST(Vision, AnswersAreMappedWhateverTheStatus)
{
    const QString failed = u"ERR Nie udało się wykonać: "_s;
    const std::tuple<int, QByteArray, QString> cases[] = { // the status, the body, the answer or "ERR " and the error
        {200, R"({"choices":[{"message":{"content":"  Tabela ma 3 wiersze.\n"}}]})", u"  Tabela ma 3 wiersze.\n"_s},
        {200, R"({"error":{"message":"x"},"choices":[{"message":{"content":"y"}}]})", failed + u"model wizyjny odmówił (HTTP 200): x"_s},
        {200, R"({"choices":[{"message":{"content":["a"]}}]})", failed + u"nieoczekiwana odpowiedź modelu wizyjnego (HTTP 200)"_s},
        {200, R"({"error":"zły klucz"})", failed + u"nieoczekiwana odpowiedź modelu wizyjnego (HTTP 200)"_s},
        {401, R"({"error":{}})", failed + u"model wizyjny odmówił (HTTP 401): brak szczegółów"_s},
        {500, "<html><body><h1>500</h1></body></html>", failed + u"nieoczekiwana odpowiedź modelu wizyjnego (HTTP 500)"_s},
    };
    for (const auto& [status, body, expected] : cases)
        EXPECT_EQ(outcomeText(std::optional(AnalyzeVisualTool::interpret(status, body))), expected) << body.toStdString();
}

} // namespace
