#include "voice/OpenAIRealtimeEngine.h"

#include "EngineOptions.h"
#include "ManualClock.h"
#include "TestSupport.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::voice;
using namespace std::chrono_literals;
using namespace selvina::testing;
using K = VoiceEvent::Kind;

namespace {

class Engine : public ::testing::Test {
protected:
    std::unique_ptr<OpenAIRealtimeEngine> make(const std::function<void(OpenAIRealtimeEngine::Options&)>& adjust = {})
    {
        OpenAIRealtimeEngine::Options o = engineOptions(server, clock);
        o.voice = QStringLiteral("cedar");
        if (adjust)
            adjust(o);
        auto e = std::make_unique<OpenAIRealtimeEngine>(o);
        QObject::connect(e.get(), &VoiceEngine::voiceEvent, [this](const VoiceEvent& v) {
            events.append(v);
            if (v.kind == K::assistantAudioStarted)
                order.append(QStringLiteral("started"));
        });
        QObject::connect(e.get(), &VoiceEngine::audioChunk, [this](const QByteArray& a) {
            chunks.append(a);
            order.append(QStringLiteral("chunk"));
        });
        QObject::connect(e.get(), &VoiceEngine::audioItemStarted, [this] { order.append(QStringLiteral("item")); });
        return e;
    }
    std::unique_ptr<OpenAIRealtimeEngine> connected()
    {
        auto e = make();
        const qsizetype updates = server.framesOfType("session.update").size();
        const int announced = count(K::connected);
        const auto r = runTask(e->connectSession({ToolDefinition{"system_info", "Stan", "{ nie json", ActionClass::read}},
                                                 QStringLiteral("Instrukcja")));
        EXPECT_TRUE(r && r->ok());
        EXPECT_TRUE(waitFor([&] { return server.framesOfType("session.update").size() == updates + 1; }));
        serverSays({R"({"type":"session.updated"})"});
        EXPECT_TRUE(waitFor([&] { return count(K::connected) == announced + 1; }));
        look();
        return e;
    }
    void serverSays(std::initializer_list<QByteArray> frames)
    {
        for (const QByteArray& f : frames)
            server.sendText(f);
    }
    // Waits for the frames sent since the last look, checks their types, and returns them.
    QList<QJsonObject> expectSent(const QStringList& types)
    {
        const qsizetype from = mark;
        EXPECT_TRUE(waitFor([&] { return server.frames().size() >= from + types.size(); })) << types.join(' ').toStdString();
        mark = server.frames().size();
        const QList<QJsonObject> sent = server.frames().mid(from);
        QStringList sentTypes;
        for (const QJsonObject& f : sent)
            sentTypes.append(f["type"].toString());
        EXPECT_EQ(sentTypes, types);
        return sent;
    }
    void look() { mark = server.frames().size(); }
    int count(K k) const { return int(std::count_if(events.begin(), events.end(), [k](auto& e) { return e.kind == k; })); }
    QStringList errors() const
    {
        QStringList out;
        for (const auto& e : events)
            if (e.kind == K::error)
                out.append(e.text.value_or(QString()));
        return out;
    }

    LoopbackRealtimeServer server;
    ManualClock clock;
    QList<VoiceEvent> events;
    QList<QByteArray> chunks;
    QStringList order;
    qsizetype mark = 0;
};

QByteArray json(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }
// 100 ms of audio at 24 kHz.
QByteArray audioDelta(const char* response, const char* item)
{
    return json({{"type", "response.output_audio.delta"}, {"response_id", response}, {"item_id", item},
                 {"delta", QString::fromLatin1(QByteArray(4800, '\1').toBase64())}});
}
QByteArray created(const char* id, QJsonValue conversation = "conv")
{
    return json({{"type", "response.created"}, {"response", QJsonObject{{"id", id}, {"conversation_id", conversation}}}});
}
QByteArray done(const char* id, const char* status = "completed")
{
    return json({{"type", "response.done"}, {"response", QJsonObject{{"id", id}, {"status", status}}}});
}
QJsonObject cancel(const char* id) { return {{"type", "response.cancel"}, {"response_id", id}}; }
QJsonObject parsed(const char* text) { return QJsonDocument::fromJson(text).object(); }

} // namespace

// The key is asked for at each connect: one stored after a failed attempt is used by the next.
TEST_F(Engine, MissingKeyFailsConnect)
{
    std::optional<QString> stored;
    auto e = make([&](OpenAIRealtimeEngine::Options& o) { o.apiKey = [&stored] { return stored; }; });
    const auto r = runTask(e->connectSession({}, "i"));
    ASSERT_TRUE(r && !r->ok());
    EXPECT_EQ(r->error(), VoiceEngineError::missingAPIKey());
    EXPECT_EQ(errors(), QStringList{"Brak klucza OpenAI. Ustaw zmienną OPENAI_API_KEY albo wpisz klucz do pliku "
                                    "~/.config/selvina-voice/config.json w polu openai_api_key."});
    stored = QStringLiteral("sk-zapisany");
    ASSERT_TRUE(runTask(e->connectSession({}, "i"))->ok());
    EXPECT_EQ(server.lastAuthorization(), "Bearer sk-zapisany");

    // Nobody listening: the connect fails at once.
    auto lonely = make(
        [](OpenAIRealtimeEngine::Options& o) { o.realtimeURL = QUrl(QStringLiteral("ws://127.0.0.1:9/v1/realtime?model=m")); });
    const auto refused = runTask(lonely->connectSession({}, "i"));
    EXPECT_TRUE(refused && !refused->ok());
}

TEST_F(Engine, AudioTranscriptsAndServerErrorsInFramesAndPicturesOut)
{
    auto e = connected();
    serverSays({R"({"type":"response.created","response":{"id":"r1","status":"in_progress","status_details":null}})",
                R"({"type":"response.output_audio.delta","delta":"AQID"})", R"({"type":"response.audio.delta","delta":"BAUG"})",
                R"({"type":"response.audio.delta","delta":"!!!"})", // not Base64
                R"({"type":"response.audio.delta","delta":""})",
                R"({"type":"response.output_audio_transcript.delta","delta":"Dzień "})",
                R"({"type":"response.text.delta","delta":""})", R"({"type":"response.audio_transcript.done","transcript":""})",
                R"({"type":"response.done","response":{"status":"completed"}})", R"({"type":"response.created","response":{"id":"r2"}})",
                R"({"type":"response.output_audio.delta","delta":"BwgJ"})",
                R"({"type":"response.done","response":{"status":"cancelled"}})"});
    ASSERT_TRUE(waitFor([&] { return count(K::responseFinished) == 2; }));
    EXPECT_EQ(count(K::responseStarted), 2); // the first one's null details read as none
    EXPECT_EQ(chunks, (QList<QByteArray>{"\x01\x02\x03", "\x04\x05\x06", "\x07\x08\x09"}));
    EXPECT_EQ(order, (QStringList{"started", "item", "chunk", "chunk", "started", "item", "chunk"}));
    EXPECT_EQ(count(K::assistantTranscript), 2);
    EXPECT_TRUE(errors().isEmpty());
    EXPECT_EQ(events.last().text, QStringLiteral("cancelled")); // the status travels with the end

    // And the other way: the microphone's frames and a picture.
    for (int i = 0; i < 50; ++i)
        e->sendAudio(QByteArray(960, char(i)));
    e->sendAudio(QByteArray());
    const auto audio = expectSent(QStringList(50, QStringLiteral("input_audio_buffer.append")));
    EXPECT_EQ(audio[49], (QJsonObject{{"type", "input_audio_buffer.append"},
                                      {"audio", QString::fromLatin1(QByteArray(960, char(49)).toBase64())}}));
    e->sendImage(QByteArray(), QStringLiteral("Opisz"));
    e->sendImage(QByteArray("\xff\xd8\xff", 3), QStringLiteral("Opisz"));
    const QJsonObject image = expectSent({"conversation.item.create"})[0];
    EXPECT_EQ(image["item"]["content"][1]["image_url"], "data:image/jpeg;base64,/9j/");

    // Failed answers, server errors (a benign one says nothing), a call without its id, frames to drop.
    serverSays({R"({"type":"response.done","response":{"status":"failed","status_details":{"type":"failed",)"
                R"("error":{"type":"requests","code":"insufficient_quota","message":"x"}}}})",
                R"({"type":"response.done","response":{"status":"failed","status_details":{"reason":"content_filter"}}})",
                R"({"type":"response.done","response":{"status":"failed","status_details":{"reason":"something_new"}}})",
                R"({"type":"error","error":{"code":"response_cancel_not_active","message":"x","param":null}})",
                R"({"type":"error"})",
                R"({"type":"error","error":{"type":"invalid_request_error","code":"unknown_parameter",)"
                R"("message":"Unknown parameter: 'session.foo'.","param":null,"event_id":null}})",
                R"({"type":"response.function_call_arguments.done","name":"system_info"})",
                R"({"type":"response.function_call_arguments.done","call_id":"c1","name":"system_info"})",
                R"({"type":"rate_limits.updated","rate_limits":[]})", R"({"type":"response.audio.delta","delta":7})",
                "nie json"});
    ASSERT_TRUE(waitFor([&] { return count(K::toolCall) == 1; }));
    EXPECT_EQ(errors(), (QStringList{"Model nie dokończył odpowiedzi: Konto OpenAI nie ma środków na prowadzenie rozmowy.",
                                     "Model nie dokończył odpowiedzi: zatrzymał ją filtr treści.",
                                     "Model nie dokończył odpowiedzi: przyczyna o kodzie something_new.",
                                     "OpenAI zgłosiło błąd o kodzie unknown_parameter.",
                                     "Model poprosił o narzędzie, ale nie podał jego nazwy."}));
    EXPECT_EQ(count(K::responseFinished), 2 + 3);
    const VoiceEvent call = *std::find_if(events.begin(), events.end(), [](auto& v) { return v.kind == K::toolCall; });
    EXPECT_EQ(call.id, "c1");
    EXPECT_EQ(call.argumentsJSON, "{}");
    // A close explained while a server error is remembered names that error, not the close's reason;
    // the user's own end has no reason at all.
    EXPECT_EQ(e->explain(QStringLiteral("a.rate_limit_exceeded")),
              QStringLiteral("OpenAI zgłosiło błąd o kodzie unknown_parameter."));
    e->disconnectSession();
    EXPECT_EQ(events.last().kind, K::disconnected);
    EXPECT_FALSE(events.last().text);
}

// Escape: every running response is cancelled by its id, whatever it still sends is dropped, and
// the answer's item is cut to what the user heard of it, once that is known.
TEST_F(Engine, InterruptCancelsByIdDropsWhatFollowsAndCutsToWhatWasHeard)
{
    auto e = connected();
    e->interrupt();
    expectSent({"input_audio_buffer.clear"});

    // The greeting is out of band: only its id cancels it, and it has no item to cut.
    e->speakAside(QStringLiteral("Słucham."));
    expectSent({"response.create"});
    serverSays({created("oob", QJsonValue::Null), audioDelta("oob", "g1")});
    ASSERT_TRUE(waitFor([&] { return chunks.size() == 1; }));
    e->speakAside(QStringLiteral("Chwileczkę.")); // a response is running: nothing is sent
    e->interrupt();
    e->cutToHeard(10ms);
    EXPECT_EQ(expectSent({"response.cancel", "input_audio_buffer.clear"})[0], cancel("oob"));
    serverSays({done("oob", "cancelled"), created("r1", "conv_1"), audioDelta("r1", "i1"), audioDelta("r1", "i1")});
    ASSERT_TRUE(waitFor([&] { return chunks.size() == 3; }));
    EXPECT_EQ(order.mid(order.size() - 4), (QStringList{"started", "item", "chunk", "chunk"}));
    e->interrupt();
    EXPECT_EQ(expectSent({"response.cancel", "input_audio_buffer.clear"})[0], cancel("r1"));
    e->cutToHeard(50ms); // of its 200 ms
    EXPECT_EQ(expectSent({"conversation.item.truncate"})[0],
              parsed(R"({"type":"conversation.item.truncate","item_id":"i1","content_index":0,"audio_end_ms":50})"));
    e->interrupt(); // the item has been cut already
    e->cutToHeard(20ms);
    settle();
    expectSent({"input_audio_buffer.clear"});

    // What the service had already sent for it is dropped, with or without its id.
    const int finished = count(K::responseFinished);
    serverSays({audioDelta("r1", "i1"), R"({"type":"response.output_audio.delta","delta":"AQID"})",
                R"({"type":"response.output_audio_transcript.delta","response_id":"r1","delta":"Dzisiaj "})",
                R"({"type":"response.output_audio_transcript.done","response_id":"r1","transcript":"Dzisiaj jest"})",
                R"({"type":"response.function_call_arguments.done","response_id":"r1","call_id":"c9","name":"system_info"})",
                done("r1", "cancelled"), created("r2", "conv_1"), audioDelta("r2", "i2")});
    ASSERT_TRUE(waitFor([&] { return chunks.size() == 4; }));
    EXPECT_EQ(count(K::assistantTranscript), 0);
    EXPECT_EQ(count(K::toolCall), 0);
    EXPECT_EQ(count(K::responseFinished), finished);
    EXPECT_EQ(order.mid(order.size() - 3), (QStringList{"started", "item", "chunk"}));

    // A typed question cancels the running answer first.
    auto asking = e->sendText(QStringLiteral("Która godzina?"));
    expectSent({"response.cancel"});
    clock.advance(OpenAIRealtimeEngine::kCancelWaitLimit); // its end never comes
    EXPECT_FALSE(expectSent({"conversation.item.create", "response.create"})[1].contains("response"));

    // The speakers count more than the item holds (an aside played after it): it was all heard.
    serverSays({created("r3", "conv_1"), audioDelta("r3", "i3")});
    ASSERT_TRUE(waitFor([&] { return chunks.size() == 5; }));
    look();
    e->interrupt();
    e->cutToHeard(150ms);
    expectSent({"response.cancel", "input_audio_buffer.clear"});
    settle();
    EXPECT_EQ(server.frames().size(), mark);
}

// A tool result is always answered: the cancelled response is waited for (1.5 s at most), and a
// request the service refuses because a response still runs goes again once that one is done.
TEST_F(Engine, ToolResultIsAnsweredAfterTheRunningResponse)
{
    auto e = connected();
    const auto answersTheResult = [](const QJsonObject& f) {
        return f["response"]["instructions"] == OpenAIRealtimeEngine::kToolResultInstruction;
    };
    for (const char* id : {"r1", "r2"}) {
        serverSays({created(id)});
        ASSERT_TRUE(waitFor([&] { return e->hasActiveResponse(); }));
        look();
        bool answered = false;
        const QString call = QString::fromLatin1(id).replace('r', 'c');
        auto task = e->sendToolResult(call, QStringLiteral("Bateria: 80%")).then([&] { answered = true; });
        expectSent({"conversation.item.create", "response.cancel"});
        settle(); // the clock stands still: the limit has not passed, nothing more yet
        EXPECT_EQ(server.frames().size(), mark);
        if (QByteArray(id) == "r1") {
            serverSays({done(id, "cancelled")});
            ASSERT_TRUE(waitFor([&] { return answered; }));
            EXPECT_TRUE(answersTheResult(expectSent({"response.create"})[0]));
            continue;
        }
        // The cancelled response does not end in time: the request goes anyway, the service refuses
        // it, and it is sent again after that response's end.
        clock.advance(OpenAIRealtimeEngine::kCancelWaitLimit);
        ASSERT_TRUE(waitFor([&] { return answered; }));
        expectSent({"response.create"});
        serverSays({R"({"type":"error","error":{"type":"invalid_request_error","code":"conversation_already_has_active_response",)"
                    R"("message":"Conversation already has an active response in progress: r2.","param":null}})"});
        settle();
        EXPECT_EQ(server.frames().size(), mark);
        serverSays({done(id, "cancelled")});
        EXPECT_TRUE(answersTheResult(expectSent({"response.create"})[0]));
    }
    EXPECT_TRUE(errors().isEmpty());
}

// The session is configured on open (a tool's unreadable schema sent as an empty one); later the
// detector alone goes off and on, and a reconnect while it is off configures the new session without it.
TEST_F(Engine, ConfiguresOnOpenAndTurnDetectionGoesOffAndOnAlsoAcrossAReconnect)
{
    auto e = connected();
    const QJsonValue session = server.framesOfType("session.update")[0]["session"];
    EXPECT_EQ(session["instructions"], "Instrukcja");
    EXPECT_EQ(session["audio"]["output"]["voice"], "cedar");
    EXPECT_EQ(session["tools"][0]["name"], "system_info");
    EXPECT_EQ(session["tools"][0]["parameters"], parsed(R"({"type":"object","properties":{}})"));
    e->suspendTurnDetection();
    e->suspendTurnDetection(); // already off: nothing
    // Only the detector changes mid-session (null switches it off): a resent voice would make the
    // service refuse it all.
    EXPECT_EQ(expectSent({"session.update"})[0],
              parsed(R"({"type":"session.update","session":{"type":"realtime","audio":{"input":{"turn_detection":null}}}})"));

    server.closeClient(1011, QStringLiteral("server_error"));
    ASSERT_TRUE(waitFor([&] { return count(K::error) == 1; }));
    clock.advance(1s); // the back-off
    ASSERT_TRUE(waitFor([&] { return server.framesOfType("session.update").size() == 3; }));
    const QJsonValue renewed = server.framesOfType("session.update")[2]["session"];
    EXPECT_EQ(renewed["instructions"], "Instrukcja");
    EXPECT_TRUE(renewed["audio"]["input"]["turn_detection"].isNull());
    EXPECT_EQ(errors().last(), "Połączenie z OpenAI zostało przerwane: Serwer OpenAI zgłosił błąd wewnętrzny. "
                               "Próbuję połączyć się ponownie.");

    look();
    e->resumeTurnDetection();
    const QJsonObject on = expectSent({"input_audio_buffer.clear", "session.update"})[1];
    EXPECT_EQ(on["session"]["audio"]["input"]["turn_detection"]["type"], "server_vad");
}

// How the service ends a session, as the user hears it: never its English reason, never a network
// problem for the hour's cap; a refusal or the give-up ends the session, anything else reconnects.
TEST_F(Engine, ServerClosesAreSpokenInPolish)
{
    const struct {
        int code;
        const char* reason;
        bool ends;
        const char* sentence;
    } cases[] = {
        {3000, "invalid_request_error.invalid_api_key.", true,
         "OpenAI odrzuciło klucz API. Sprawdź zmienną OPENAI_API_KEY albo plik konfiguracyjny."},
        {4000, "invalid_request_error.beta_api_shape_disabled", true,
         "OpenAI nie obsługuje już sposobu łączenia, którego używa ta wersja Selvina Voice. Potrzebna jest nowsza "
         "wersja programu."},
        {1008, "Policy violation.", false,
         "Połączenie z OpenAI zostało przerwane: OpenAI zamknęło połączenie z kodem 1008. Próbuję połączyć się ponownie."},
        // No answer at all after the drop: eight attempts, then the session is given up.
        {0, "", true, "Nie udało się wrócić do OpenAI po 8 próbach. Sprawdź połączenie z internetem."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sentence);
        server.setHandshake(LoopbackRealtimeServer::Handshake::accept);
        events.clear();
        auto e = connected();
        const int handshakes = server.handshakeCount();
        if (c.code == 0) {
            server.setHandshake(LoopbackRealtimeServer::Handshake::refuse, 503);
            server.dropClient();
        } else {
            server.closeClient(c.code, QString::fromUtf8(c.reason));
        }
        // Through the back-offs: each lost attempt is reported, then the clock moves past its wait.
        for (int lost = 1; lost <= (c.code == 0 ? 8 : 1); ++lost) {
            ASSERT_TRUE(waitFor([&] { return count(K::error) >= lost || count(K::disconnected) > 0; }));
            clock.advance(15s);
        }
        const K expected = c.ends ? K::disconnected : K::error;
        ASSERT_TRUE(waitFor([&] { return count(expected) > 0; }));
        EXPECT_EQ(std::find_if(events.begin(), events.end(), [&](auto& v) { return v.kind == expected; })->text,
                  QString::fromUtf8(c.sentence));
        if (!c.ends) {
            ASSERT_TRUE(waitFor([&] { return server.handshakeCount() == handshakes + 1; }));
            continue;
        }
        // Ended for good: nothing is retried, and sending says so.
        EXPECT_FALSE(e->isConnected());
        settle();
        EXPECT_EQ(server.handshakeCount(), handshakes);
        e->interrupt();
        EXPECT_EQ(errors().last(), "Sesja głosowa nie jest połączona.");
        const qsizetype reported = errors().size();
        e->sendAudio(QByteArray(960, 0)); // dropped silently
        EXPECT_EQ(errors().size(), reported);
    }
}

// A new server session knows nothing of the conversation: after 55 minutes, at the first quiet
// moment, the engine opens one and tells it the conversation so far; when the cap comes first, the
// reconnect does the same and asks again for the answer that was lost.
TEST_F(Engine, ReconnectAndRenewalCarryTheConversationOver)
{
    auto e = connected();
    server.setOnFrame([this](const QJsonObject& f) {
        if (f["type"] == "session.update" && f["session"].toObject().contains("instructions"))
            server.sendText(R"({"type":"session.updated"})");
    });

    runTask(e->sendText(QStringLiteral("Która godzina?")).then([] { return true; }));
    serverSays({created("r1"),
                R"({"type":"response.function_call_arguments.done","response_id":"r1","call_id":"c1","name":"system_info","arguments":"{}"})",
                done("r1")});
    ASSERT_TRUE(waitFor([&] { return count(K::toolCall) == 1; }));
    runTask(e->sendToolResult(QStringLiteral("c1"), QStringLiteral("12:00")).then([] { return true; }));
    serverSays({created("r2"),
                R"({"type":"response.output_audio_transcript.done","response_id":"r2","item_id":"a2","transcript":"Jest południe."})",
                done("r2"), R"({"type":"input_audio_buffer.speech_started","item_id":"u3"})",
                R"({"type":"input_audio_buffer.speech_stopped","item_id":"u3"})", created("r3"),
                R"({"type":"conversation.item.input_audio_transcription.completed","item_id":"u3","transcript":"Dziękuję"})"});
    ASSERT_TRUE(waitFor([&] { return count(K::responseStarted) == 3; }));

    clock.advance(55min); // an answer is under way: not now
    settle();
    EXPECT_EQ(server.handshakeCount(), 1);
    serverSays({R"({"type":"response.output_audio_transcript.done","response_id":"r3","item_id":"a4","transcript":"Proszę."})",
                done("r3")});
    ASSERT_TRUE(waitFor([&] { return server.handshakeCount() == 2 && count(K::configured) == 1; }));
    // What the newest session was told, from its configuration on.
    auto replayed = [&] {
        QStringList out;
        const qsizetype from = server.frames().lastIndexOf(server.framesOfType("session.update").last());
        for (const QJsonObject& f : server.frames().mid(from)) {
            const QJsonValue item = f["item"];
            if (f["type"] == "conversation.item.create")
                out.append(item["type"] == "message" ? item["role"].toString() + ": " + item["content"][0]["text"].toString()
                                                     : item["type"].toString() + " " + item["call_id"].toString());
            else if (f["type"] != "input_audio_buffer.append")
                out.append(f["type"].toString());
        }
        return out;
    };
    const QStringList conversation{"session.update", "user: Która godzina?", "function_call c1",
                                   "function_call_output c1", "assistant: Jest południe.", "user: Dziękuję",
                                   "assistant: Proszę."};
    EXPECT_EQ(replayed(), conversation);
    EXPECT_TRUE(errors().isEmpty()) << errors().join('|').toStdString(); // the user noticed nothing
    EXPECT_EQ(count(K::connected), 1);

    // The hour's cap closes the session while an answer is being given.
    server.closeAt(clock, 60min, 1001, QStringLiteral("Your session hit the maximum duration of 60 minutes."));
    runTask(e->sendText(QStringLiteral("A jutro?")).then([] { return true; }));
    serverSays({created("r5")});
    ASSERT_TRUE(waitFor([&] { return count(K::responseStarted) == 4; }));
    clock.advance(60min);
    ASSERT_TRUE(waitFor([&] { return count(K::error) == 1; }));
    clock.advance(1s); // the back-off
    ASSERT_TRUE(waitFor([&] { return server.handshakeCount() == 3 && server.frames().last()["type"] == "response.create"; }));
    EXPECT_EQ(errors(), QStringList{"Sesja rozmowy wygasła. Nawiązuję ją od nowa."});
    EXPECT_EQ(replayed(), (conversation + QStringList{"user: A jutro?", "response.create"}));
    serverSays({created("r6")});
    ASSERT_TRUE(waitFor([&] { return count(K::responseStarted) == 5; }));
}
