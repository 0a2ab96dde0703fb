#include "voice/RealtimeProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::voice;

namespace {

QJsonObject encoded(const RealtimeClientEvent& e)
{
    const auto r = encode(e);
    EXPECT_TRUE(r.ok());
    return QJsonDocument::fromJson(r.value()).object();
}

// Const, so that a chained [] reads a value instead of making a reference.
const QJsonObject session(const SpeechSettings& s)
{
    return encoded(client::SessionUpdate{RealtimeSessionConfig::fromSettings("i", {}, s)})["session"].toObject();
}
QJsonObject inputAudio(const SpeechSettings& s) { return session(s)["audio"]["input"].toObject(); }
QJsonObject parsed(const char* text) { return QJsonDocument::fromJson(text).object(); }

} // namespace

// Each command's frame; what cannot be written as JSON fails with the Polish description.
TEST(RealtimeClientEvents, EachCommandsFrameAndTheUnencodableFail)
{
    const struct {
        RealtimeClientEvent command;
        const char* frame;
    } cases[] = {
        {client::CreateResponse{}, R"({"type":"response.create"})"},
        {client::CancelResponse{}, R"({"type":"response.cancel"})"},
        {client::FunctionCallOutput{"c1", "wynik \"cytat\"\n"},
         R"({"type":"conversation.item.create","item":{"type":"function_call_output","call_id":"c1","output":"wynik \"cytat\"\n"}})"},
        {client::UserImage{"Opisz", "QUJD"},
         R"({"type":"conversation.item.create","item":{"type":"message","role":"user","content":[{"type":"input_text",)"
         R"("text":"Opisz"},{"type":"input_image","image_url":"data:image/jpeg;base64,QUJD"}]}})"},
        {client::CreateResponse{QStringLiteral("Mów")},
         R"({"type":"response.create","response":{"output_modalities":["audio"],"instructions":"Mów"}})"},
        {client::SpeakAside{"Hello."},
         R"({"type":"response.create","response":{"conversation":"none","output_modalities":["audio"],"instructions":)"
         R"("Powiedz krótko i spokojnie, PO POLSKU, treść tego zdania: Hello. Nie dodawaj nic od siebie. Jeśli zdanie )"
         R"(jest w innym języku, podaj jego polski odpowiednik."}})"},
        // Replayed into a new session: what the assistant said, and its tool calls.
        {client::AssistantText{"Jest południe."},
         R"({"type":"conversation.item.create","item":{"type":"message","role":"assistant","content":[)"
         R"({"type":"output_text","text":"Jest południe."}]}})"},
        {client::FunctionCall{"c1", "system_info", "{}"},
         R"({"type":"conversation.item.create","item":{"type":"function_call","call_id":"c1","name":"system_info","arguments":"{}"}})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(encoded(c.command), parsed(c.frame)) << c.frame;

    const auto r = encode(client::UserText{QString(QChar(0xDC00))});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().description(), "Nie udało się przygotować danych dla OpenAI.");
    const SpeechSettings s{.speed = std::numeric_limits<double>::infinity()};
    EXPECT_FALSE(encode(client::SessionUpdate{RealtimeSessionConfig::fromSettings("i", {}, s)}).ok());
}

TEST(RealtimeSessionConfig, TurnDetectionEncodingRulesDefaultsToolsAndReasoning)
{
    SpeechSettings s{.turnDetection = "off"};
    EXPECT_EQ(inputAudio(s).keys(), (QStringList{"format", "transcription"}));
    EXPECT_EQ(inputAudio(s)["transcription"].toObject(), parsed(R"({"model":"gpt-4o-mini-transcribe","language":"pl"})"));
    s.noiseReduction = "far_field";
    EXPECT_EQ(inputAudio(s)["noise_reduction"].toObject(), (QJsonObject{{"type", "far_field"}}));

    s = SpeechSettings{.turnDetection = "semantic_vad", .eagerness = "auto"};
    EXPECT_EQ(inputAudio(s)["turn_detection"].toObject(), parsed(R"({"type":"semantic_vad","create_response":true})"));
    s.eagerness = "high";
    EXPECT_EQ(inputAudio(s)["turn_detection"].toObject()["eagerness"], "high");

    s = SpeechSettings{.turnDetection = "server_vad", .threshold = 0.7, .prefixPaddingMs = 250, .silenceDurationMs = 900,
                       .eagerness = "high"}; // stored, but never written for server VAD
    EXPECT_EQ(inputAudio(s)["turn_detection"].toObject(), parsed(R"({"type":"server_vad","create_response":true,)"
                                                                 R"("threshold":0.7,"prefix_padding_ms":250,"silence_duration_ms":900})"));
    s.turnDetection = "SEMANTIC_VAD"; // comparisons are exact: anything else is server VAD
    EXPECT_EQ(inputAudio(s)["turn_detection"].toObject()["type"], "server_vad");

    // The defaults, a tool, and the reasoning effort written only when set.
    RealtimeToolSpec tool{"function", "system_info", "Stan komputera", JSONValue::emptyObjectSchema()};
    const auto config = RealtimeSessionConfig::make("Jesteś Selviną.", "cedar", {tool});
    const QJsonObject plain = encoded(client::SessionUpdate{config})["session"].toObject();
    EXPECT_EQ(plain["type"], "realtime");
    EXPECT_EQ(plain["tool_choice"], "auto");
    EXPECT_FALSE(plain.contains("reasoning"));
    EXPECT_EQ(plain["tools"][0], parsed(R"({"type":"function","name":"system_info","description":"Stan komputera",)"
                                        R"("parameters":{"type":"object","properties":{}}})"));
    EXPECT_EQ(plain["audio"]["output"], parsed(R"({"format":{"type":"audio/pcm","rate":24000},"voice":"cedar","speed":1.0})"));
    EXPECT_EQ(plain["audio"]["input"]["turn_detection"]["silence_duration_ms"], 700);

    s = SpeechSettings{.reasoningEffort = QString()};
    EXPECT_FALSE(session(s).contains("reasoning"));
    EXPECT_EQ(session(s)["tools"], QJsonArray{});
    s.reasoningEffort = QStringLiteral("low");
    EXPECT_EQ(session(s)["reasoning"], parsed(R"({"effort":"low"})"));
}

TEST(RealtimeServerEvent, DecodesKnownKeysTreatsNullAsAbsentDropsMalformedFramesAndReadsErrors)
{
    // The service's own error frame writes its unset fields as null.
    const auto e = RealtimeServerEvent::decode(
        R"({"type":"error","event_id":"e1","error":{"type":"invalid_request_error","code":"session_expired",
            "message":"Your session hit the maximum duration of 60 minutes.","param":null,"event_id":null}})");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->knownType(), RealtimeServerEventType::error);
    ASSERT_TRUE(e->error);
    EXPECT_FALSE(e->error->param);
    EXPECT_EQ(e->error->readableMessage(), "Sesja rozmowy wygasła. Nawiązuję ją od nowa.");
    // A response's nulls (its details, an out-of-band answer's conversation) meet the engine's tests.

    for (const char* bad : {"", "not json", "[]", R"({"delta":"x"})", R"({"type":5})",
                            R"({"type":"response.audio.delta","delta":12})",
                            R"({"type":"error","error":"boom"})",
                            R"({"type":"response.done","response":{"status_details":[]}})",
                            R"({"type":"error","error":{"code":7}})"})
        EXPECT_FALSE(RealtimeServerEvent::decode(bad)) << bad;
    const auto unknown = RealtimeServerEvent::decode(R"({"type":"rate_limits.updated","rate_limits":[]})");
    ASSERT_TRUE(unknown);
    EXPECT_FALSE(unknown->knownType());

    // The service's English message is never spoken. (The engine's tests meet the benign codes.)
    RealtimeErrorPayload noCode;
    noCode.message = QStringLiteral("Something went wrong.");
    EXPECT_EQ(noCode.readableMessage(), "OpenAI zgłosiło błąd bez opisu.");
    EXPECT_FALSE(noCode.isBenign());
    // Older servers leave the code out: the message tells.
    noCode.message = QStringLiteral("Cancellation failed: No Active Response found");
    EXPECT_TRUE(noCode.isBenign());
    noCode.message = QStringLiteral("Conversation already has an active response");
    EXPECT_TRUE(noCode.isActiveResponseConflict() && noCode.isBenign());
}
