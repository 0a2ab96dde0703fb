// Capture on a real X display (Xvfb + openbox) with a GTK window of known content; describe_visual
// in a text-mode conversation against the loopback realtime server; analyze_visual_precisely
// against a loopback chat-completions server.
#include "app/Composition.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/xcb/XcbActiveWindow.h"
#include "platform/linux/xcb/XcbScreenCapture.h"
#include "tools/VisualTools.h"

#include "LoopbackHttp.h"
#include "ManualClock.h"
#include "TestSupport.h"
#include "XDisplay.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <csignal>

using namespace selvina;
using namespace std::chrono_literals;
using capture::CaptureWindow;
using capture::ScreenCapture;
using capture::ScreenCaptureScope;
using platform::XcbScreenCapture;
using namespace selvina::testing;

namespace {

bool wait(const std::function<bool()>& condition) { return waitFor(condition, 15s); }

class Desktop : public ::testing::Test {
protected:
    static void SetUpTestSuite() { display = new XDisplay(); }
    static void TearDownTestSuite() { delete display; }
    void SetUp() override
    {
        ASSERT_TRUE(display->ok());
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(SELVINA_RED_WINDOW), QStringLiteral("Czerwony kwadrat")});
        ASSERT_TRUE(wait([&] { return app.canReadLine() || app.state() == QProcess::NotRunning; }));
        ASSERT_EQ(app.readLine().trimmed(), "ready");
    }
    void TearDown() override { stopProcess(app); }
    std::optional<CaptureWindow> listed(XcbScreenCapture& x, const QString& title)
    {
        std::optional<CaptureWindow> found;
        wait([&] {
            const auto content = x.content();
            for (const CaptureWindow& w : content.value().windows)
                if (w.title == title && w.onScreen)
                    found = w;
            return found.has_value();
        });
        return found;
    }
    static bool red(QRgb p) { return qRed(p) > 200 && qGreen(p) < 60 && qBlue(p) < 60; }

    static XDisplay* display;
    QProcess app;
};
XDisplay* Desktop::display = nullptr;

TEST_F(Desktop, ActiveAndTitledWindowsComeOutAsTheyLook)
{
    XcbScreenCapture probe(QCoreApplication::applicationPid());
    const auto window = listed(probe, QStringLiteral("Czerwony kwadrat"));
    ASSERT_TRUE(window);
    EXPECT_EQ(window->pid, app.processId());
    EXPECT_TRUE(window->normalLayer);
    QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QString::number(window->id)});
    ASSERT_TRUE(wait([&] { return probe.content().value().frontmostPid == app.processId(); }));

    ScreenCapture capture(std::make_unique<XcbScreenCapture>(QCoreApplication::applicationPid()));
    for (const auto& scope : {ScreenCaptureScope::activeWindow(), ScreenCaptureScope::window(QStringLiteral("CZERWONY"))}) {
        const auto image = runTask(capture.capture(scope), 15s);
        ASSERT_TRUE(image && image->ok()) << (image ? image->error().description().toStdString() : "timeout");
        const QImage picture = QImage::fromData(image->value().jpegData, "JPEG");
        EXPECT_EQ(picture.size(), window->frame.size());
        EXPECT_TRUE(red(picture.pixel(picture.width() / 2, picture.height() / 2)));
        EXPECT_FALSE(red(picture.pixel(picture.width() - 3, picture.height() - 3)));
        EXPECT_TRUE(image->value().sourceDescription.endsWith(QStringLiteral("„Czerwony kwadrat” (Red_window.py)")));
    }
    // A window of ours over the square leaves for the capture; the picture shows the square as the
    // application has redrawn it, not what our window left on the screen.
    xcb_connection_t* own = xcb_connect(nullptr, nullptr);
    const xcb_window_t cover = xcb_generate_id(own);
    const QRect area(window->frame.center() - QPoint(50, 50), QSize(100, 100));
    const uint32_t values[] = {0x0000ff, 1};
    xcb_create_window(own, XCB_COPY_FROM_PARENT, cover, xcb_setup_roots_iterator(xcb_get_setup(own)).data->root,
                      int16_t(area.x()), int16_t(area.y()), 100, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(own, cover);
    xcb_flush(own);
    const auto middle = [&] {
        const auto shot = probe.captureDisplay({0, QRect(0, 0, 1280, 1024)}, QSize(1280, 1024));
        return shot ? shot.value().pixel(area.center()) : QRgb(0);
    };
    ASSERT_TRUE(wait([&] { return qBlue(middle()) > 200 && qRed(middle()) < 60; }));
    capture.setOverlayHook({[&] {
                                xcb_destroy_window(own, cover);
                                xcb_flush(own);
                                return std::vector<capture::WithdrawnWindow>{{cover, area}};
                            },
                            {}});
    const auto uncovered = runTask(capture.capture(ScreenCaptureScope::window(QStringLiteral("Czerwony"))), 15s);
    capture.setOverlayHook({});
    xcb_disconnect(own);
    ASSERT_TRUE(uncovered && uncovered->ok());
    const QImage below = QImage::fromData(uncovered->value().jpegData, "JPEG");
    EXPECT_TRUE(red(below.pixel(below.width() / 2, below.height() / 2)));

    const auto full = runTask(capture.capture(ScreenCaptureScope::fullScreen()), 15s);
    ASSERT_TRUE(full && full->ok());
    EXPECT_EQ(full->value().sourceDescription, QStringLiteral("cały ekran (wyświetlacz główny, 1280×1024 px)"));

    // Gone between the listing and the capture.
    stopProcess(app);
    ASSERT_TRUE(wait([&] { return !listed(probe, QStringLiteral("Czerwony kwadrat")); }));
    EXPECT_EQ(probe.captureWindow(*window, window->frame.size()).error(),
              capture::ScreenCaptureError::captureFailed(QStringLiteral("okno zostało zamknięte, zanim udało się je przechwycić")));
}

// An 8K screen comes in strips, whole (its scaling is CaptureLogicTest's); a client the server
// does not trust is refused the picture; a stopped server is given up.
TEST(BareServer, EightKComesWholeAndARefusedGetImageIsReported)
{
    XServer x("7680x4320x24", {"+extension", "SECURITY"});
    const QString number = QString::fromStdString(x.number());
    ASSERT_FALSE(number.isEmpty());
    const QByteArray display = (":" + number).toUtf8();
    XcbScreenCapture provider(QCoreApplication::applicationPid(), display);
    const auto image = capture::captureWith(provider, ScreenCaptureScope::fullScreen());
    ASSERT_TRUE(image.ok()) << image.error().description().toStdString();
    EXPECT_EQ(QSize(image.value().originalWidth, image.value().originalHeight), QSize(7680, 4320));

    QTemporaryDir home;
    const QString untrusted = home.filePath(QStringLiteral("untrusted"));
    ASSERT_EQ(QProcess::execute(QStringLiteral("xauth"), {"-f", untrusted, "generate", ":" + number, ".", "untrusted", "timeout", "600"}), 0);
    const QByteArray ownAuthority = qgetenv("XAUTHORITY");
    qputenv("XAUTHORITY", untrusted.toUtf8());
    XcbScreenCapture distrusted(QCoreApplication::applicationPid(), display);
    const auto refused = capture::captureWith(distrusted, ScreenCaptureScope::fullScreen());
    qputenv("XAUTHORITY", ownAuthority);

    // A server that stops answering costs the active-window question its limit, not the thread.
    xcb_connection_t* c = xcb_connect(display.constData(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    ::kill(x.pid(), SIGSTOP);
    EXPECT_FALSE(selvina::platform::xcbActiveWindow(c, std::chrono::milliseconds(300)).has_value());
    ::kill(x.pid(), SIGCONT);
    xcb_disconnect(c);
    EXPECT_EQ(refused.error(), capture::ScreenCaptureError::captureFailed(QStringLiteral("serwer X odmówił wydania obrazu (błąd X 10)")));
}

TEST_F(Desktop, DescribeVisualPutsTheFrameIntoTheConversation)
{
    QTemporaryDir home;
    qputenv("XDG_STATE_HOME", home.filePath("state").toUtf8());
    LoopbackRealtimeServer server;
    server.setOnFrame([&](const QJsonObject& f) {
        if (f["type"] == "session.update" && f["session"].toObject().contains("instructions"))
            server.sendText(R"({"type":"session.updated"})");
    });
    QProcessEnvironment env;
    env.insert("OPENAI_API_KEY", "sk-test");
    QUrl base = server.baseUrl();
    base.setScheme("http");
    env.insert("SELVINA_OPENAI_BASE_URL", base.toString());
    platform::fake::MemorySecretStore secrets;
    platform::fake::MemoryPreferences preferences;
    platform::fake::MemorySystemLog log;
    ManualClock clock;
    app::CompositionContext context{
        .sources = {home.path(), &secrets, &preferences, env}, .systemLog = &log, .textChannel = true, .clock = &clock,
        .screenCapture = std::make_shared<ScreenCapture>(std::make_unique<XcbScreenCapture>(QCoreApplication::applicationPid()))};
    SessionModel session;
    auto made = app::Composition::makeCoordinator(session, context);
    auto& coordinator = std::get<std::unique_ptr<conversation::Coordinator>>(made);
    const auto started = runTask(coordinator->start(), 15s);
    ASSERT_TRUE(started && started->ok());
    QStringList offered;
    for (const auto& tool : server.framesOfType("session.update").last()["session"].toObject()["tools"].toArray())
        offered.append(tool.toObject()["name"].toString());
    offered.sort(); // the registry's own order
    EXPECT_EQ(offered, (QStringList{"analyze_visual_precisely", "describe_visual", "system_info", "take_screenshot"}));

    server.sendText(R"({"type":"response.created","response":{"id":"r1"}})");
    server.sendText(R"({"type":"response.function_call_arguments.done","call_id":"c1","name":"describe_visual","arguments":"{\"focus\":\"kwadrat\"}"})");
    server.sendText(R"({"type":"response.done","response":{"status":"completed"}})");
    const auto image = [&]() -> QJsonArray {
        for (const QJsonObject& f : server.framesOfType("conversation.item.create"))
            if (f["item"].toObject()["content"].toArray().size() == 2)
                return f["item"].toObject()["content"].toArray();
        return {};
    };
    ASSERT_TRUE(wait([&] { return !image().isEmpty(); }));
    EXPECT_EQ(image()[0].toObject(), (QJsonObject{{"type", "input_text"}, {"text", "Opisz ten obraz, skupiając się na: kwadrat."}}));
    const QString url = image()[1].toObject()["image_url"].toString();
    ASSERT_TRUE(url.startsWith("data:image/jpeg;base64,"));
    EXPECT_EQ(QImage::fromData(QByteArray::fromBase64(url.mid(23).toLatin1()), "JPEG").size(), QSize(1280, 1024));
    ASSERT_TRUE(wait([&] { return !server.framesOfType("response.create").isEmpty(); }));
    runTask(coordinator->stop().then([] { return true; }));
}

TEST_F(Desktop, AnalyzeVisualSendsTheRequestAndMapsEveryAnswer)
{
    LoopbackHttp vision;
    const auto json = [](int status, const QByteArray& body) { return LoopbackHttp::reply(status, "application/json", body); };
    ManualClock clock;
    tools::AnalyzeVisualTool tool(
        std::make_shared<ScreenCapture>(std::make_unique<XcbScreenCapture>(QCoreApplication::applicationPid())),
        {.apiKey = "sk-vision", .model = "wzrok-1", .endpoint = vision.url("/v1/chat/completions"), .clock = &clock});
    const auto ask = [&](const QString& arguments) { return outcomeText(runTask(tool.execute(arguments), 30s)); };

    const QByteArray answer = R"({"choices":[{"message":{"content":"W środku jest **czerwony** kwadrat.\n"}}]})";
    vision.answer = json(200, answer);
    EXPECT_EQ(ask(R"({"scope":"window","window_query":"kwadrat","question":" Jaki kolor? "})"),
              QStringLiteral("W środku jest **czerwony** kwadrat.\n"));
    ASSERT_EQ(vision.requests.size(), 1);
    const auto& request = vision.requests.first();
    EXPECT_EQ(request.head(), "POST /v1/chat/completions | Bearer sk-vision | application/json");
    const QString url = QJsonDocument::fromJson(request.body)["messages"][0]["content"][1]["image_url"]["url"].toString();
    ASSERT_TRUE(url.startsWith("data:image/jpeg;base64,"));
    const QImage picture = QImage::fromData(QByteArray::fromBase64(url.mid(23).toLatin1()), "JPEG");
    EXPECT_TRUE(red(picture.pixel(picture.width() / 2, picture.height() / 2)));
    // Everything but the picture's bytes, exactly.
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray(request.body).replace(url.toUtf8(), "…")),
              QJsonDocument::fromJson(R"({"model":"wzrok-1","messages":[{"role":"user","content":[{"type":"text","text":
                  "Jaki kolor? Odpowiadaj po polsku, bez znaczników formatowania — tekst zostanie odczytany na głos."},
                  {"type":"image_url","image_url":{"url":"…"}}]}]})"));

    // A refusal's status and body travel over HTTP; the other answers' texts are CaptureLogicTest's.
    const QString failed = QStringLiteral("ERR Nie udało się wykonać: ");
    vision.answer = json(401, R"({"error":{"message":"Incorrect API key"}})");
    EXPECT_EQ(ask("{}"), failed + "model wizyjny odmówił (HTTP 401): Incorrect API key");

    // 50 MB, written as the client takes it: it stops reading at its cap.
    qint64 sent = 0;
    vision.respond = [&](QTcpSocket* s) {
        s->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 52428800\r\n\r\n{\"choices\":\"");
        QObject::connect(s, &QTcpSocket::bytesWritten, s, [s, &sent](qint64 n) {
            sent += n;
            if (sent < 50 * 1024 * 1024 && s->bytesToWrite() < 1024 * 1024)
                s->write(QByteArray(256 * 1024, 'x'));
        });
    };
    EXPECT_EQ(ask("{}"), failed + "nieoczekiwana odpowiedź modelu wizyjnego (HTTP 200)");
    EXPECT_LT(sent, 50 * 1024 * 1024);

    // Silence: the 90 s run out on the test's clock.
    vision.respond = nullptr;
    vision.answer.clear();
    auto silent = tool.execute("{}");
    const qsizetype before = vision.requests.size();
    ASSERT_TRUE(wait([&] { return vision.requests.size() > before; }));
    clock.advance(89s);
    std::optional<tools::ToolOutcome> outcome;
    auto done = silent.then([&](tools::ToolOutcome o) { outcome = std::move(o); });
    settle(200ms);
    EXPECT_FALSE(outcome);
    clock.advance(1s);
    ASSERT_TRUE(wait([&] { return outcome.has_value(); }));
    EXPECT_EQ(outcome->error().description(), QStringLiteral("Model wizyjny nie odpowiedział w ciągu 90 s."));
}

} // namespace
