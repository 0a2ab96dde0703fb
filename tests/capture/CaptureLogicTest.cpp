// The capture routine and the three visual tools on an in-memory desktop: selection, scaling,
// the texts and the error paths; and the vision service's answers.
#include "tools/VisualTools.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::capture;
using namespace selvina::tools;
using selvina::testing::outcomeText;
using selvina::testing::runTask;

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
        captured.append(QStringLiteral("display %1").arg(d.id));
        return image();
    }
    Result<QImage, ScreenCaptureError> captureWindow(const CaptureWindow& w, QSize size) override
    {
        captured.append(QStringLiteral("window %1").arg(w.id));
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
            window(1, QStringLiteral("Panel"), QStringLiteral("panel"), 50, true, false),
            window(2, QStringLiteral("Ukryte zakupy"), QStringLiteral("notatki"), 51, false),
            window(3, QStringLiteral("Poczta"), QStringLiteral("Zakupy-Sklep"), 52),
            window(4, QStringLiteral("Lista ZAKUPÓW"), QStringLiteral("edytor"), 53),
            window(5, QString(), std::nullopt, 52),
            window(6, QStringLiteral("Zaz\u0307o\u0301\u0142c\u0301 ge\u0328s\u0301la\u0328 jaz\u0301n\u0301"), QStringLiteral("pisak"), 54),
        };
        desktop->desktop.frontmostPid = 52;
        capture = std::make_shared<ScreenCapture>(std::move(memory));
    }
    static QString run(SelvinaTool& tool, const QString& arguments) { return outcomeText(runTask(tool.execute(arguments))); }
    MemoryDesktop* desktop = nullptr;
    std::shared_ptr<ScreenCapture> capture;
};

TEST_F(Capture, ScreenshotReportsTheSourceBothSizesAndTheKilobytes)
{
    ScreenshotTool tool(capture);
    const QString text = run(tool, QStringLiteral(R"({"scope":"full_screen"})"));
    EXPECT_TRUE(text.startsWith(QStringLiteral("Zrzut ekranu: cały ekran (wyświetlacz główny, 3000×2000 px). Rozmiar po "
                                               "skalowaniu: 1568×1045 px (oryginalnie 3000×2000 px), JPEG ok. ")))
        << text.toStdString();
    EXPECT_EQ(desktop->captured, QStringList{QStringLiteral("display 3")});
    // Rounded down, but at least one.
    for (const auto& [bytes, kb] : {std::pair{500, 1}, {1024, 1}, {2047, 1}, {2048, 2}, {0, 1}}) {
        CapturedImage image;
        image.jpegData = QByteArray(bytes, 'x');
        EXPECT_TRUE(ScreenshotTool::report(image).endsWith(QStringLiteral("JPEG ok. %1 KB.").arg(kb))) << bytes;
    }
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

TEST_F(Capture, PicksWindowsByTitleThenApplicationInStackingOrder)
{
    const struct {
        ScreenCaptureScope scope;
        std::variant<quint64, QString> expected; // the window, or the error's sentence
    } cases[] = {
        // The application name of a window higher up beats a title further down; hidden and
        // non-normal windows never match.
        {ScreenCaptureScope::window(QStringLiteral("zakup")), quint64(3)},
        {ScreenCaptureScope::window(QStringLiteral("ZAKUPÓW")), quint64(4)},
        {ScreenCaptureScope::window(QStringLiteral("panel")), QStringLiteral("Nie znaleziono żadnego okna pasującego do „panel”.")},
        // Decomposed letters in the title match a query typed with composed ones.
        {ScreenCaptureScope::window(QStringLiteral("ZAŻÓŁĆ GĘŚLĄ")), quint64(6)},
        {ScreenCaptureScope::window(QStringLiteral("\u200b🙂\u202e")),
         QStringLiteral("Nie znaleziono żadnego okna pasującego do „\u200b🙂\u202e”.")},
        {ScreenCaptureScope::activeWindow(), quint64(3)},
    };
    for (const auto& c : cases) {
        const auto target = chooseTarget(desktop->desktop, c.scope);
        if (const auto* id = std::get_if<quint64>(&c.expected)) {
            ASSERT_TRUE(target.ok()) << c.scope.query.toStdString();
            EXPECT_EQ(std::get<CaptureWindow>(target.value().source).id, *id) << c.scope.query.toStdString();
        } else {
            ASSERT_FALSE(target.ok());
            EXPECT_EQ(target.error(), ScreenCaptureError::noWindowFound(std::get<QString>(c.expected)));
        }
    }
}

TEST_F(Capture, NamesWindowsAndTheForegroundFailures)
{
    auto& d = desktop->desktop;
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::window(QStringLiteral("poczta"))).value().sourceDescription,
              QStringLiteral("okno „Poczta” (Zakupy-Sklep)"));
    d.windows.erase(d.windows.begin() + 2);
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::activeWindow()).value().sourceDescription,
              QStringLiteral("aktywne okno aplikacji nieznana aplikacja"));
    d.frontmostPid = 51; // only a hidden window
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::activeWindow()).error().description(),
              QStringLiteral("Aplikacja na pierwszym planie nie ma żadnego widocznego okna do przechwycenia."));
    d.frontmostPid.reset();
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::activeWindow()).error().description(),
              QStringLiteral("Nie udało się ustalić aplikacji na pierwszym planie."));
    d.activeWindowId = 4; // the active window stands in for an owner without a process id
    EXPECT_EQ(std::get<CaptureWindow>(chooseTarget(d, ScreenCaptureScope::activeWindow()).value().source).id, 4u);
    d.windowsUnavailable = QStringLiteral("Tylko cały ekran.");
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::window(QStringLiteral("x"))).error(),
              ScreenCaptureError::noWindowFound(QStringLiteral("Tylko cały ekran.")));
    d.displays.clear();
    EXPECT_EQ(chooseTarget(d, ScreenCaptureScope::fullScreen()).error(), ScreenCaptureError::noDisplayFound());
}

TEST(Arguments, ScreenshotDecoderTexts)
{
    const QString invalid = QStringLiteral("Nieprawidłowe argumenty: ");
    const QString unread = invalid + QStringLiteral("Nie udało się odczytać argumentów: ");
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral("{\"scope\":\"full_screen\"}") + QChar(0xd800), invalid + QStringLiteral("Argumenty nie są poprawnym tekstem UTF-8.")},
        {QStringLiteral(""), unread + QStringLiteral("to nie jest poprawny JSON (błąd przy znaku 0).")},
        {QStringLiteral("[1]"), unread + QStringLiteral("oczekiwano obiektu JSON.")},
        {QStringLiteral("{}"), unread + QStringLiteral("brak wymaganego pola „scope”.")},
        {QStringLiteral(R"({"scope":5})"), unread + QStringLiteral("pole „scope” musi być tekstem.")},
        {QStringLiteral(R"({"scope":"window","window_query":7})"), unread + QStringLiteral("pole „window_query” musi być tekstem.")},
        {QStringLiteral(R"({"scope":"window"})"), invalid + QStringLiteral("window_query jest wymagany, gdy scope = \"window\".")},
        {QStringLiteral(R"({"scope":"window","window_query":" \n"})"), invalid + QStringLiteral("window_query jest wymagany, gdy scope = \"window\".")},
        {QStringLiteral(R"({"scope":"Full_Screen"})"), invalid + QStringLiteral("Nieznany zakres \"Full_Screen\". Dozwolone: full_screen, active_window, window.")},
    };
    for (const auto& [arguments, error] : cases) {
        const auto decoded = ScreenshotTool::decode(arguments);
        ASSERT_FALSE(decoded.ok()) << arguments.toStdString();
        EXPECT_EQ(decoded.error().description(), error);
    }
    // The query is used as given, spaces included.
    EXPECT_EQ(ScreenshotTool::decode(QStringLiteral(R"({"scope":"window","window_query":" Zakupy "})")).value(),
              ScreenCaptureScope::window(QStringLiteral(" Zakupy ")));
}

TEST(Arguments, VisualDecoderTrimsAndDefaultsToTheFullScreen)
{
    const QString invalid = QStringLiteral("Nieprawidłowe argumenty: ");
    const struct {
        QString arguments;
        std::variant<ScreenCaptureScope, QString> expected;
    } cases[] = {
        {QStringLiteral("{}"), ScreenCaptureScope::fullScreen()},
        {QStringLiteral(R"({"scope":null})"), ScreenCaptureScope::fullScreen()},
        {QStringLiteral(R"({"scope":"active_window"})"), ScreenCaptureScope::activeWindow()},
        {QStringLiteral(R"({"scope":"window","window_query":"\t\ud83d\ude42 Zakupy\n"})"), ScreenCaptureScope::window(QStringLiteral("🙂 Zakupy"))},
        {QStringLiteral("nie json"), invalid + QStringLiteral("nieprawidłowy JSON")},
        {QStringLiteral("[]"), invalid + QStringLiteral("nieprawidłowy JSON")},
        {QStringLiteral(R"({"scope":"window","window_query":"  "})"), invalid + QStringLiteral("dla zakresu „window” trzeba podać window_query")},
        {QStringLiteral(R"({"scope":"ekran"})"), invalid + QStringLiteral("nieznany zakres „ekran”")},
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
    const auto focused = VisualArguments::decode(QStringLiteral(R"({"focus":" wykres\n","question":""})")).value();
    EXPECT_EQ(DescribeVisualTool::prompt(focused), QStringLiteral("Opisz ten obraz, skupiając się na: wykres."));
    EXPECT_EQ(AnalyzeVisualTool::prompt(focused), QStringLiteral(" Odpowiadaj po polsku, bez znaczników formatowania — "
                                                                 "tekst zostanie odczytany na głos."));
    EXPECT_EQ(DescribeVisualTool::prompt({}), QStringLiteral("Opisz, co widać na tym obrazie."));
}

TEST_F(Capture, ScreenshotMapsCaptureErrorsWhileTheVisualToolsPassThemOn)
{
    ScreenshotTool screenshot(capture);
    DescribeVisualTool describe(capture, nullptr);
    const QString failed = QStringLiteral("ERR Nie udało się wykonać: ");
    desktop->failure = ScreenCaptureError::captureFailed(QStringLiteral("okno zniknęło"));
    EXPECT_EQ(run(screenshot, QStringLiteral(R"({"scope":"active_window"})")),
              failed + QStringLiteral("Nie udało się przechwycić ekranu: okno zniknęło"));
    EXPECT_EQ(run(describe, QStringLiteral("{}")), QStringLiteral("ERR Nie udało się przechwycić ekranu: okno zniknęło"));
    EXPECT_EQ(desktop->captured, (QStringList{QStringLiteral("window 3"), QStringLiteral("display 3")}));
    desktop->granted = false;
    EXPECT_EQ(run(screenshot, QStringLiteral(R"({"scope":"full_screen"})")),
              QStringLiteral("ERR Brak zgody na wykonanie: ") + ScreenCaptureError::permissionText());
    EXPECT_EQ(run(describe, QStringLiteral("{}")), QStringLiteral("ERR ") + ScreenCaptureError::permissionText());
    desktop->granted = true;
    desktop->failure.reset();
    desktop->desktop.displays.clear();
    EXPECT_EQ(run(screenshot, QStringLiteral(R"({"scope":"full_screen"})")),
              failed + QStringLiteral("Nie znaleziono ekranu do przechwycenia."));
}

// Two tools capturing at once: the mark leaves once and comes back after both pictures.
TEST_F(Capture, OverlappingCapturesShareOneWithdrawalOfTheMark)
{
    QStringList hook;
    capture->setOverlayHook({[&] { return hook.append(QStringLiteral("withdraw")), std::vector<WithdrawnWindow>{{7, {}}}; },
                             [&] { hook.append(QStringLiteral("restore after %1").arg(desktop->captured.size())); }});
    ScreenshotTool tool(capture);
    auto first = tool.execute(QStringLiteral(R"({"scope":"full_screen"})"));
    auto second = tool.execute(QStringLiteral(R"({"scope":"active_window"})"));
    ASSERT_TRUE(runTask(std::move(first)) && runTask(std::move(second)));
    EXPECT_EQ(hook, (QStringList{QStringLiteral("withdraw"), QStringLiteral("restore after 2")}));
}

// One refusal travels over HTTP in the desktop test.
TEST(Vision, AnswersAreMappedWhateverTheStatus)
{
    const QString failed = QStringLiteral("ERR Nie udało się wykonać: ");
    const struct {
        int status;
        QByteArray body;
        QString expected; // the answer, or "ERR " and the error's description
    } cases[] = {
        {200, R"({"choices":[{"message":{"content":"  Tabela ma 3 wiersze.\n"}}]})", QStringLiteral("  Tabela ma 3 wiersze.\n")},
        {200, R"({"error":{"message":"x"},"choices":[{"message":{"content":"y"}}]})", failed + QStringLiteral("model wizyjny odmówił (HTTP 200): x")},
        {200, R"({"choices":[{"message":{"content":["a"]}}]})", failed + QStringLiteral("nieoczekiwana odpowiedź modelu wizyjnego (HTTP 200)")},
        {200, R"({"error":"zły klucz"})", failed + QStringLiteral("nieoczekiwana odpowiedź modelu wizyjnego (HTTP 200)")},
        {401, R"({"error":{}})", failed + QStringLiteral("model wizyjny odmówił (HTTP 401): brak szczegółów")},
        {500, "<html><body><h1>500</h1></body></html>",
         failed + QStringLiteral("nieoczekiwana odpowiedź modelu wizyjnego (HTTP 500)")},
        {0, "", failed + QStringLiteral("nieoczekiwana odpowiedź modelu wizyjnego (HTTP 0)")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(outcomeText(std::optional(AnalyzeVisualTool::interpret(c.status, c.body))), c.expected) << c.body.toStdString();
}

} // namespace
