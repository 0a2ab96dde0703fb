// The messages exchanged with the realtime speech service: client events, session configuration,
// the decoded server event, and the readable form of the service's errors.
// Thread: any (pure data and pure functions).
#pragma once

#include "core/JsonValue.h"
#include "core/Result.h"
#include "voice/SpeechSettings.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>
#include <variant>

namespace selvina::voice {

struct RealtimeAudioFormat {
    QString type = QStringLiteral("audio/pcm");
    qint64 rate = 24000; // Hz
};

struct RealtimeTurnDetection {
    QString type = QStringLiteral("server_vad");
    std::optional<QString> eagerness;
    double threshold = 0.5;
    qint64 prefixPaddingMs = 300;
    qint64 silenceDurationMs = 700;
    bool createResponse = true;
    bool operator==(const RealtimeTurnDetection&) const = default;
};

// What the service transcribes the user's speech with; the transcripts are kept so that a new
// session can be told what was said.
struct RealtimeTranscription {
    QString model = QStringLiteral("gpt-4o-mini-transcribe");
    QString language = QStringLiteral("pl");
};

struct RealtimeToolSpec {
    QString type = QStringLiteral("function");
    QString name;
    QString description;
    JSONValue parameters;
};

struct RealtimeSessionConfig {
    QString instructions;
    QString voice;
    double speed = 1.0;
    std::optional<RealtimeTurnDetection> turnDetection;
    // The service applies session.update as a patch: an absent key keeps its VAD running, so a
    // mid-session switch-off must say `"turn_detection": null`.
    bool turnDetectionClearedExplicitly = false;
    std::optional<QString> noiseReduction;
    std::optional<RealtimeTranscription> transcription = RealtimeTranscription{};
    std::optional<QString> reasoningEffort;
    QList<RealtimeToolSpec> tools;

    // Defaults: server VAD 0.5 / 300 ms / 700 ms, speed 1.0, no noise reduction, no reasoning,
    // Polish transcription of the user's speech.
    static RealtimeSessionConfig make(const QString& instructions, const QString& voice,
                                      const QList<RealtimeToolSpec>& tools);
    static RealtimeSessionConfig fromSettings(const QString& instructions, const QList<RealtimeToolSpec>& tools,
                                              const SpeechSettings& settings);

    JSONValue toJson() const; // the "session" object of session.update
};

namespace client {
struct SessionUpdate { RealtimeSessionConfig session; };
// Base64 of PCM16 mono 24 kHz: written into the frame as it stands (it never needs escaping).
struct AppendAudio { QByteArray base64; };
struct FunctionCallOutput { QString callID; QString output; };
struct UserImage { QString prompt; QString jpegBase64; };
struct UserText { QString text; };
struct CreateResponse { std::optional<QString> instructions; };
struct SpeakAside { QString text; };
struct ClearAudioBuffer {};
// Without an id only an in-band response is cancelled; an out-of-band one needs its id.
struct CancelResponse { std::optional<QString> responseID; };
// Mid-session: the turn detection alone (none: switched off, written as null). The service applies
// updates as patches, and a resent voice after the model has spoken ("cannot_update_voice")
// would reject the whole update.
struct TurnDetectionUpdate { std::optional<RealtimeTurnDetection> turnDetection; };
// Cuts an assistant item's audio (and the service's transcript of it) to what the user heard.
struct TruncateItem { QString itemID; qint64 audioEndMs = 0; };
// The conversation replayed into a new session: what the assistant said, and the tool calls.
struct AssistantText { QString text; };
struct FunctionCall { QString callID; QString name; QString arguments; };
} // namespace client

using RealtimeClientEvent =
    std::variant<client::SessionUpdate, client::AppendAudio, client::FunctionCallOutput, client::UserImage,
                 client::UserText, client::CreateResponse, client::SpeakAside, client::ClearAudioBuffer,
                 client::CancelResponse, client::TurnDetectionUpdate, client::TruncateItem, client::AssistantText,
                 client::FunctionCall>;

class RealtimeProtocolError {
public:
    enum class Kind { encodingFailed };
    static RealtimeProtocolError encodingFailed() { return RealtimeProtocolError(Kind::encodingFailed); }
    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const RealtimeProtocolError&) const = default;

private:
    explicit RealtimeProtocolError(Kind kind) : m_kind(kind) {}
    Kind m_kind;
};

// One frame of UTF-8 JSON text, or encodingFailed.
Result<QByteArray, RealtimeProtocolError> encode(const RealtimeClientEvent& event);
// The event as a JSON object (for tests and the session dump).
JSONValue toJson(const RealtimeClientEvent& event);

// The service closes with reasons like "invalid_request_error.invalid_api_key": the code is the last
// non-empty piece between full stops (the whole reason when it has none).
QString closeReasonCode(const QString& reason);

struct RealtimeErrorPayload {
    std::optional<QString> type, code, message, param;

    // Polish for the user; the service's own (English) message never reaches them.
    QString readableMessage() const;
    bool isBenign() const;
    // Our response.create came while another response was still running.
    bool isActiveResponseConflict() const;
    static const QSet<QString>& recognizedCodes();
};


struct RealtimeResponsePayload {
    struct StatusDetails {
        std::optional<QString> type, reason;
        std::optional<RealtimeErrorPayload> error;
    };
    std::optional<QString> id, status;
    std::optional<QString> conversationID; // none for an out-of-band response
    std::optional<StatusDetails> statusDetails;
};

// A close the server sent, as a Polish sentence: a known code at the end of the reason, the
// session cap, the WebSocket code's meaning, else the code itself. Never the reason's prose.
QString closeSentence(int code, const QString& reason);
// Why a response failed, from its status details, in Polish.
QString responseFailureCause(const RealtimeResponsePayload& response);

enum class RealtimeServerEventType {
    sessionCreated,
    sessionUpdated,
    error,
    speechStarted,
    speechStopped,
    responseCreated,
    responseDone,
    outputAudioDelta,
    audioDelta,
    outputAudioTranscriptDelta,
    audioTranscriptDelta,
    outputAudioTranscriptDone,
    audioTranscriptDone,
    outputTextDelta,
    textDelta,
    functionCallArgumentsDone,
    inputAudioTranscriptionCompleted,
};
std::optional<RealtimeServerEventType> serverEventType(QStringView type);

struct RealtimeServerEvent {
    QString type;
    std::optional<QString> delta, transcript, text, callID, name, arguments, responseID, itemID;
    std::optional<RealtimeErrorPayload> error;
    std::optional<RealtimeResponsePayload> response;

    // Absent for anything but a JSON object with a string "type" whose known keys have their
    // types. A JSON null counts as an absent key: the service writes nulls for unset fields.
    static std::optional<RealtimeServerEvent> decode(const QByteArray& utf8);
    std::optional<RealtimeServerEventType> knownType() const { return serverEventType(type); }
};

} // namespace selvina::voice
