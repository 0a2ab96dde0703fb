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

TEST(RealtimeClientEvents, EachCommandsFrame)
{
    const auto item = [](QJsonObject item) { return QJsonObject{{"type", "conversation.item.create"}, {"item", item}}; };
    const struct {
        RealtimeClientEvent command;
        QJsonObject frame;
    } cases[] = {
        {client::CreateResponse{}, {{"type", "response.create"}}},
        {client::ClearAudioBuffer{}, {{"type", "input_audio_buffer.clear"}}},
        {client::CancelResponse{}, {{"type", "response.cancel"}}},
        {client::FunctionCallOutput{"c1", "wynik \"cytat\"\n"},
         item({{"type", "function_call_output"}, {"call_id", "c1"}, {"output", "wynik \"cytat\"\n"}})},
        {client::UserImage{"Opisz", "QUJD"},
         item({{"type", "message"}, {"role", "user"},
               {"content", QJsonArray{QJsonObject{{"type", "input_text"}, {"text", "Opisz"}},
                                      QJsonObject{{"type", "input_image"}, {"image_url", "data:image/jpeg;base64,QUJD"}}}}})},
        {client::CreateResponse{QStringLiteral("Mów")},
         {{"type", "response.create"}, {"response", QJsonObject{{"output_modalities", QJsonArray{"audio"}}, {"instructions", "Mów"}}}}},
        // Replayed into a new session: what the assistant said, and its tool calls.
        {client::AssistantText{"Jest południe."},
         item({{"type", "message"}, {"role", "assistant"},
               {"content", QJsonArray{QJsonObject{{"type", "output_text"}, {"text", "Jest południe."}}}}})},
        {client::FunctionCall{"c1", "system_info", "{}"},
         item({{"type", "function_call"}, {"call_id", "c1"}, {"name", "system_info"}, {"arguments", "{}"}})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(encoded(c.command), c.frame) << QJsonDocument(c.frame).toJson().toStdString();

    const QJsonObject aside = encoded(client::SpeakAside{"Hello."})["response"].toObject();
    EXPECT_EQ(aside["conversation"], "none");
    EXPECT_EQ(aside["instructions"],
              "Powiedz krótko i spokojnie, PO POLSKU, treść tego zdania: Hello. Nie dodawaj nic od siebie. Jeśli "
              "zdanie jest w innym języku, podaj jego polski odpowiednik.");
}

TEST(RealtimeClientEvents, UnencodableTextFailsWithThePolishDescription)
{
    const auto r = encode(client::UserText{QString(QChar(0xDC00))});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().description(), "Nie udało się przygotować danych dla OpenAI.");
    SpeechSettings s;
    s.speed = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(encode(client::SessionUpdate{RealtimeSessionConfig::fromSettings("i", {}, s)}).ok());
}

TEST(RealtimeSessionConfig, TurnDetectionEncodingRules)
{
    SpeechSettings s;
    s.turnDetection = "off";
    EXPECT_EQ(inputAudio(s).keys(), (QStringList{"format", "transcription"}));
    EXPECT_EQ(inputAudio(s)["transcription"].toObject(),
              (QJsonObject{{"model", "gpt-4o-mini-transcribe"}, {"language", "pl"}}));
    s.noiseReduction = "far_field";
    EXPECT_EQ(inputAudio(s)["noise_reduction"].toObject(), (QJsonObject{{"type", "far_field"}}));

    s = SpeechSettings{};
    s.turnDetection = "semantic_vad";
    s.eagerness = "auto";
    EXPECT_EQ(inputAudio(s)["turn_detection"].toObject(),
              (QJsonObject{{"type", "semantic_vad"}, {"create_response", true}}));
    s.eagerness = "high";
    EXPECT_EQ(inputAudio(s)["turn_detection"].toObject()["eagerness"], "high");

    s = SpeechSettings{};
    s.turnDetection = "server_vad";
    s.eagerness = "high"; // stored, but never written for server VAD
    s.threshold = 0.7;
    s.prefixPaddingMs = 250;
    s.silenceDurationMs = 900;
    EXPECT_EQ(inputAudio(s)["turn_detection"].toObject(),
              (QJsonObject{{"type", "server_vad"}, {"create_response", true}, {"threshold", 0.7},
                           {"prefix_padding_ms", 250}, {"silence_duration_ms", 900}}));
    s.turnDetection = "SEMANTIC_VAD"; // comparisons are exact: anything else is server VAD
    EXPECT_EQ(inputAudio(s)["turn_detection"].toObject()["type"], "server_vad");
}

TEST(RealtimeSessionConfig, DefaultsToolsAndReasoning)
{
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

    SpeechSettings s;
    s.reasoningEffort = QString();
    EXPECT_FALSE(session(s).contains("reasoning"));
    EXPECT_EQ(session(s)["tools"], QJsonArray{});
    s.reasoningEffort = QStringLiteral("low");
    EXPECT_EQ(session(s)["reasoning"], parsed(R"({"effort":"low"})"));
}

TEST(RealtimeServerEvent, DecodesKnownKeysAndTreatsNullAsAbsent)
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
}

TEST(RealtimeServerEvent, DropsMalformedFrames)
{
    for (const char* bad : {"", "not json", "[]", R"({"delta":"x"})", R"({"type":5})",
                            R"({"type":"response.audio.delta","delta":12})",
                            R"({"type":"error","error":"boom"})",
                            R"({"type":"response.done","response":{"status_details":[]}})",
                            R"({"type":"error","error":{"code":7}})"})
        EXPECT_FALSE(RealtimeServerEvent::decode(bad)) << bad;
    const auto unknown = RealtimeServerEvent::decode(R"({"type":"rate_limits.updated","rate_limits":[]})");
    ASSERT_TRUE(unknown);
    EXPECT_FALSE(unknown->knownType());
}

TEST(RealtimeErrorPayload, ReadableMessagesAndBenignErrors)
{
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
