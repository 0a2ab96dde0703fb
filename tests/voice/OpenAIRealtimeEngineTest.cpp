#include "voice/OpenAIRealtimeEngine.h"

#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::voice;
using selvina::testing::LoopbackRealtimeServer;
using selvina::testing::runTask;
using K = VoiceEvent::Kind;

namespace {

class Engine : public ::testing::Test {
protected:
    std::unique_ptr<OpenAIRealtimeEngine> make(std::optional<SpeechSettings> speech = std::nullopt,
                                               std::optional<QString> key = QStringLiteral("sk-test"))
    {
        OpenAIRealtimeEngine::Options o;
        o.model = QStringLiteral("test-model");
        o.voice = QStringLiteral("cedar");
        o.apiKey = key;
        o.speech = speech;
        o.realtimeURL = server.realtimeUrl();
        o.configDirectory = home.path();
        o.environment = QProcessEnvironment();
        o.timeScale.factor = 0.01;
        o.jitter = [] { return 1.0; };
        auto e = std::make_unique<OpenAIRealtimeEngine>(o);
        QObject::connect(e.get(), &VoiceEngine::voiceEvent, [this](const VoiceEvent& v) { events.append(v); });
        QObject::connect(e.get(), &VoiceEngine::audioChunk, [this](const QByteArray& a) {
            chunks.append(a);
            order.append(QStringLiteral("chunk"));
        });
        QObject::connect(e.get(), &VoiceEngine::voiceEvent, [this](const VoiceEvent& v) {
            if (v.kind == K::assistantAudioStarted)
                order.append(QStringLiteral("started"));
        });
        return e;
    }
    std::unique_ptr<OpenAIRealtimeEngine> connected(std::optional<SpeechSettings> speech = std::nullopt)
    {
        auto e = make(speech);
        const qsizetype updates = server.framesOfType("session.update").size();
        const int announced = count(K::connected);
        const auto r = runTask(e->connectSession({ToolDefinition{"system_info", "Stan", "{ nie json", ActionClass::read}},
                                                 QStringLiteral("Instrukcja")));
        EXPECT_TRUE(r && r->ok());
        EXPECT_TRUE(wait([&] { return server.framesOfType("session.update").size() == updates + 1; }));
        server.sendText(R"({"type":"session.updated"})");
        EXPECT_TRUE(wait([&] { return count(K::connected) == announced + 1; }));
        return e;
    }
    void serverSays(const QByteArray& frame) { server.sendText(frame); }
    int count(K k) const { return int(std::count_if(events.begin(), events.end(), [k](auto& e) { return e.kind == k; })); }
    QStringList errors() const
    {
        QStringList out;
        for (const auto& e : events)
            if (e.kind == K::error)
                out.append(e.text.value_or(QString()));
        return out;
    }
    QStringList sentTypes(qsizetype from = 0) const
    {
        QStringList out;
        for (qsizetype i = from; i < server.frames().size(); ++i)
            out.append(server.frames()[i]["type"].toString());
        return out;
    }
    bool wait(const std::function<bool()>& c, int ms = 5000)
    {
        return LoopbackRealtimeServer::waitFor(c, std::chrono::milliseconds(ms));
    }
    // Lets frames in flight arrive; for checks that something did NOT happen.
    void settle(int ms = 100) { LoopbackRealtimeServer::waitFor([] { return false; }, std::chrono::milliseconds(ms)); }

    QTemporaryDir home;
    LoopbackRealtimeServer server;
    QList<VoiceEvent> events;
    QList<QByteArray> chunks;
    QStringList order;
};

} // namespace

TEST_F(Engine, ConfiguresOnOpenAndAnnouncesOnce)
{
    auto e = connected();
    EXPECT_EQ(server.lastAuthorization(), "Bearer sk-test");
    const QJsonObject session = server.framesOfType("session.update")[0]["session"].toObject();
    EXPECT_EQ(session["instructions"], "Instrukcja");
    EXPECT_EQ(session["audio"].toObject()["output"].toObject()["voice"], "cedar");
    const QJsonObject tool = session["tools"].toArray()[0].toObject();
    EXPECT_EQ(tool["name"], "system_info");
    EXPECT_EQ(tool["parameters"].toObject(), (QJsonObject{{"type", "object"}, {"properties", QJsonObject{}}}));
    serverSays(R"({"type":"session.updated"})");
    settle();
    EXPECT_EQ(count(K::connected), 1);
}

TEST_F(Engine, MissingKeyFailsConnect)
{
    auto e = make(std::nullopt, std::nullopt);
    const auto r = runTask(e->connectSession({}, "i"));
    ASSERT_TRUE(r && !r->ok());
    EXPECT_EQ(errors(), QStringList{"Brak klucza OpenAI. Ustaw zmienną OPENAI_API_KEY albo wpisz klucz do pliku "
                                    "~/.config/selvina-voice/config.json w polu openai_api_key."});
    selvina::testing::writeFile(home.filePath("config.json"), R"({"openai_api_key":"sk-plik"})");
    ASSERT_TRUE(runTask(e->connectSession({}, "i"))->ok());
    EXPECT_EQ(server.lastAuthorization(), "Bearer sk-plik");
}

TEST_F(Engine, ResponsesAudioAndTranscripts)
{
    auto e = connected();
    serverSays(R"({"type":"response.created","response":{"id":"r1","status":"in_progress","status_details":null}})");
    serverSays(R"({"type":"response.output_audio.delta","delta":"AQID"})");
    serverSays(R"({"type":"response.audio.delta","delta":"BAUG"})");
    serverSays(R"({"type":"response.audio.delta","delta":"!!!"})"); // not Base64
    serverSays(R"({"type":"response.audio.delta","delta":""})");
    serverSays(R"({"type":"response.output_audio_transcript.delta","delta":"Dzień "})");
    serverSays(R"({"type":"response.text.delta","delta":""})");
    serverSays(R"({"type":"response.audio_transcript.done","transcript":""})");
    serverSays(R"({"type":"response.done","response":{"status":"completed"}})");
    serverSays(R"({"type":"response.created","response":{"id":"r2"}})");
    serverSays(R"({"type":"response.output_audio.delta","delta":"BwgJ"})");
    serverSays(R"({"type":"response.done","response":{"status":"cancelled"}})");
    ASSERT_TRUE(wait([&] { return count(K::responseFinished) == 2; }));
    EXPECT_EQ(chunks, (QList<QByteArray>{"\x01\x02\x03", "\x04\x05\x06", "\x07\x08\x09"}));
    EXPECT_EQ(order, (QStringList{"started", "chunk", "chunk", "started", "chunk"}));
    EXPECT_EQ(count(K::assistantTranscript), 2);
    EXPECT_TRUE(errors().isEmpty());
}

TEST_F(Engine, FailedResponsesAndServerErrors)
{
    auto e = connected();
    serverSays(R"({"type":"response.done","response":{"status":"failed"}})");
    serverSays(R"({"type":"response.done","response":{"status":"failed","status_details":{"type":"failed",)"
               R"("error":{"type":"requests","code":"insufficient_quota","message":"x"}}}})");
    serverSays(R"({"type":"response.done","response":{"status":"failed","status_details":{"reason":"content_filter"}}})");
    serverSays(R"({"type":"error","error":{"code":"response_cancel_not_active","message":"x","param":null}})");
    serverSays(R"({"type":"error"})");
    serverSays(R"({"type":"error","error":{"type":"invalid_request_error","code":"unknown_parameter",)"
               R"("message":"Unknown parameter: 'session.foo'.","param":null,"event_id":null}})");
    serverSays(R"({"type":"response.function_call_arguments.done","name":"system_info"})");
    serverSays(R"({"type":"response.function_call_arguments.done","call_id":"c1","name":"system_info"})");
    serverSays(R"({"type":"rate_limits.updated","rate_limits":[]})");
    serverSays(R"({"type":"response.audio.delta","delta":7})");
    serverSays("nie json");
    ASSERT_TRUE(wait([&] { return count(K::toolCall) == 1; }));
    EXPECT_EQ(errors(), (QStringList{"Model nie dokończył odpowiedzi: bez podanej przyczyny.",
                                     "Model nie dokończył odpowiedzi: Konto OpenAI nie ma środków na prowadzenie rozmowy.",
                                     "Model nie dokończył odpowiedzi: content_filter.",
                                     "Błąd OpenAI: Unknown parameter: 'session.foo'.",
                                     "Model poprosił o narzędzie, ale nie podał jego nazwy."}));
    EXPECT_EQ(count(K::responseFinished), 3);
    const VoiceEvent call = *std::find_if(events.begin(), events.end(), [](auto& v) { return v.kind == K::toolCall; });
    EXPECT_EQ(call.id, "c1");
    EXPECT_EQ(call.argumentsJSON, "{}");
    EXPECT_EQ(e->lastServerError(), QStringLiteral("Błąd OpenAI: Unknown parameter: 'session.foo'."));
}

TEST_F(Engine, InterruptAsideAndText)
{
    auto e = connected();
    qsizetype mark = server.frames().size();
    e->interrupt();
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 1; }));
    EXPECT_EQ(sentTypes(mark), QStringList{"input_audio_buffer.clear"});

    serverSays(R"({"type":"response.created"})");
    ASSERT_TRUE(wait([&] { return e->hasActiveResponse(); }));
    mark = server.frames().size();
    e->speakAside(QStringLiteral("Chwileczkę."));
    e->interrupt();
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 2; }));
    EXPECT_EQ(sentTypes(mark), (QStringList{"response.cancel", "input_audio_buffer.clear"}));

    mark = server.frames().size();
    e->speakAside(QStringLiteral("Chwileczkę."));
    runTask(e->sendText(QStringLiteral("Która godzina?")).then([] { return true; }));
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 3; }));
    EXPECT_EQ(sentTypes(mark), (QStringList{"response.create", "conversation.item.create", "response.create"}));
    EXPECT_EQ(server.frames()[mark]["response"].toObject()["conversation"], "none");
    EXPECT_FALSE(server.frames()[mark + 2].contains("response"));
}

TEST_F(Engine, ToolResultWaitsForTheCancelledResponse)
{
    auto e = connected();
    serverSays(R"({"type":"response.created"})");
    ASSERT_TRUE(wait([&] { return e->hasActiveResponse(); }));
    const qsizetype mark = server.frames().size();
    bool done = false;
    auto task = e->sendToolResult(QStringLiteral("c1"), QStringLiteral("Bateria: 80%")).then([&] { done = true; });
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 2; }));
    EXPECT_EQ(sentTypes(mark), (QStringList{"conversation.item.create", "response.cancel"}));
    settle(5); // well under the 1.5 s limit (15 ms here): nothing more yet
    EXPECT_EQ(server.frames().size(), mark + 2);
    serverSays(R"({"type":"response.done","response":{"status":"cancelled"}})");
    ASSERT_TRUE(wait([&] { return done; }));
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 3; }));
    EXPECT_EQ(server.frames()[mark + 2]["response"].toObject()["instructions"],
              OpenAIRealtimeEngine::kToolResultInstruction);

    // Without the server's answer the limit sends the request anyway.
    serverSays(R"({"type":"response.created"})");
    ASSERT_TRUE(wait([&] { return e->hasActiveResponse(); }));
    const qsizetype again = server.frames().size();
    done = false;
    auto second = e->sendToolResult(QStringLiteral("c2"), QStringLiteral("ok")).then([&] { done = true; });
    ASSERT_TRUE(wait([&] { return done; }));
    ASSERT_TRUE(wait([&] { return server.frames().size() == again + 3; }));
    EXPECT_EQ(sentTypes(again), (QStringList{"conversation.item.create", "response.cancel", "response.create"}));
}

TEST_F(Engine, TurnDetectionOffOnAndAcrossReconnect)
{
    auto e = connected();
    qsizetype mark = server.frames().size();
    e->setTurnDetection(false);
    e->setTurnDetection(false); // already off: nothing
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 1; }));
    const QJsonObject off = server.frames()[mark]["session"].toObject()["audio"].toObject()["input"].toObject();
    ASSERT_TRUE(off.contains("turn_detection"));
    EXPECT_TRUE(off["turn_detection"].isNull());

    // A reconnect while it is off configures the new session without it.
    server.closeClient(1011, QStringLiteral("server_error"));
    ASSERT_TRUE(wait([&] { return server.framesOfType("session.update").size() == 3; }));
    EXPECT_TRUE(server.framesOfType("session.update")[2]["session"].toObject()["audio"].toObject()["input"]
                    .toObject()["turn_detection"].isNull());
    EXPECT_EQ(errors().last(), "Połączenie z OpenAI zostało przerwane: Problem z siecią: server_error. Próbuję połączyć się ponownie.");
    EXPECT_EQ(count(K::connected), 1);

    mark = server.frames().size();
    e->setTurnDetection(true);
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 2; }));
    EXPECT_EQ(sentTypes(mark), (QStringList{"input_audio_buffer.clear", "session.update"}));
    EXPECT_EQ(server.frames()[mark + 1]["session"].toObject()["audio"].toObject()["input"].toObject()["turn_detection"]
                  .toObject()["type"],
              "server_vad");
}

TEST_F(Engine, CloseReasonsAreExplained)
{
    auto e = connected();
    server.closeClient(3000, QStringLiteral("invalid_request_error.invalid_api_key."));
    ASSERT_TRUE(wait([&] { return count(K::disconnected) == 1; }));
    EXPECT_EQ(events.last().text,
              "OpenAI odrzuciło klucz API. Sprawdź zmienną OPENAI_API_KEY albo plik konfiguracyjny.");
    EXPECT_FALSE(e->isConnected());
    EXPECT_EQ(server.handshakeCount(), 1);
    e->interrupt();
    EXPECT_EQ(errors().last(), "Sesja głosowa nie jest połączona.");
    e->sendAudio(QByteArray(960, 0)); // dropped silently
    EXPECT_EQ(errors().last(), "Sesja głosowa nie jest połączona.");

    // With a server error remembered, it names the cause instead.
    auto f = connected();
    serverSays(R"({"type":"error","error":{"code":"insufficient_quota","message":"x"}})");
    ASSERT_TRUE(wait([&] { return f->lastServerError().has_value(); }));
    EXPECT_EQ(f->explain(QStringLiteral("a.rate_limit_exceeded")), "Konto OpenAI nie ma środków na prowadzenie rozmowy.");
    f->disconnectSession();
    EXPECT_EQ(events.last().kind, K::disconnected);
    EXPECT_FALSE(events.last().text);
}

TEST_F(Engine, StreamsAudioFrames)
{
    auto e = connected();
    const qsizetype mark = server.frames().size();
    for (int i = 0; i < 50; ++i)
        e->sendAudio(QByteArray(960, char(i)));
    e->sendAudio(QByteArray());
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 50; }));
    EXPECT_EQ(QByteArray::fromBase64(server.frames()[mark + 49]["audio"].toString().toLatin1()), QByteArray(960, char(49)));
    e->sendImage(QByteArray(), QStringLiteral("Opisz"));
    e->sendImage(QByteArray("\xff\xd8\xff", 3), QStringLiteral("Opisz"));
    ASSERT_TRUE(wait([&] { return server.frames().size() == mark + 51; }));
    EXPECT_EQ(server.frames().last()["item"].toObject()["content"].toArray()[1].toObject()["image_url"],
              "data:image/jpeg;base64,/9j/");
}

TEST_F(Engine, NobodyListeningFailsConnectAtOnce)
{
    auto e = make();
    OpenAIRealtimeEngine::Options o;
    o.model = QStringLiteral("m");
    o.apiKey = QStringLiteral("sk-test");
    o.realtimeURL = QUrl(QStringLiteral("ws://127.0.0.1:9/v1/realtime?model=m"));
    o.environment = QProcessEnvironment();
    OpenAIRealtimeEngine lonely(o);
    const auto r = runTask(lonely.connectSession({}, "i"));
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->ok());
}
