// The messages exchanged with the realtime speech service: client events, session configuration,
// the decoded server event, and the readable form of the service's errors.
// Thread: any (pure data and pure functions).
#pragma once

#include "core/JsonValue.h"
#include "core/Result.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>
#include <variant>

namespace selvina::voice {

// Speech preferences as handed to the session configuration.
struct SpeechSettings {
    QString voice = QStringLiteral("marin");
    double speed = 1.0;
    QString turnDetection = QStringLiteral("server_vad"); // "off", "server_vad", "semantic_vad"
    double threshold = 0.5;
    qint64 prefixPaddingMs = 300;
    qint64 silenceDurationMs = 700;
    QString eagerness = QStringLiteral("auto");
    QString noiseReduction = QStringLiteral("off"); // "off", "near_field", "far_field"
    std::optional<QString> reasoningEffort;
};

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
    std::optional<QString> reasoningEffort;
    QList<RealtimeToolSpec> tools;

    // Defaults: server VAD 0.5 / 300 ms / 700 ms, speed 1.0, no noise reduction, no reasoning.
    static RealtimeSessionConfig make(const QString& instructions, const QString& voice,
                                      const QList<RealtimeToolSpec>& tools);
    static RealtimeSessionConfig fromSettings(const QString& instructions, const QList<RealtimeToolSpec>& tools,
                                              const SpeechSettings& settings);

    JSONValue toJson() const; // the "session" object of session.update
};

namespace client {
struct SessionUpdate { RealtimeSessionConfig session; };
struct AppendAudio { QString base64; };
struct FunctionCallOutput { QString callID; QString output; };
struct UserImage { QString prompt; QString jpegBase64; };
struct UserText { QString text; };
struct CreateResponse { std::optional<QString> instructions; };
struct SpeakAside { QString text; };
struct ClearAudioBuffer {};
struct CancelResponse {};
} // namespace client

using RealtimeClientEvent =
    std::variant<client::SessionUpdate, client::AppendAudio, client::FunctionCallOutput, client::UserImage,
                 client::UserText, client::CreateResponse, client::SpeakAside, client::ClearAudioBuffer,
                 client::CancelResponse>;

enum class RealtimeProtocolError { encodingFailed };
QString description(RealtimeProtocolError error);

// One frame of UTF-8 JSON text, or encodingFailed.
Result<QByteArray, RealtimeProtocolError> encode(const RealtimeClientEvent& event);
// The event as a JSON object (for tests and the session dump).
JSONValue toJson(const RealtimeClientEvent& event);

// The service closes with reasons like "invalid_request_error.invalid_api_key": the code is the last
// non-empty piece between full stops (the whole reason when it has none).
QString closeReasonCode(const QString& reason);

struct RealtimeErrorPayload {
    std::optional<QString> type, code, message, param;

    QString readableMessage() const;
    bool isBenign() const;
    static const QSet<QString>& recognizedCodes();
};

struct RealtimeResponsePayload {
    struct StatusDetails {
        std::optional<QString> type, reason;
        std::optional<RealtimeErrorPayload> error;
    };
    std::optional<QString> id, status;
    std::optional<StatusDetails> statusDetails;
};

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
};
std::optional<RealtimeServerEventType> serverEventType(QStringView type);

struct RealtimeServerEvent {
    QString type;
    std::optional<QString> delta, transcript, text, callID, name, arguments;
    std::optional<RealtimeErrorPayload> error;
    std::optional<RealtimeResponsePayload> response;

    // Absent for anything but a JSON object with a string "type" whose known keys have their
    // types. A JSON null counts as an absent key: the service writes nulls for unset fields.
    static std::optional<RealtimeServerEvent> decode(const QByteArray& utf8);
    std::optional<RealtimeServerEventType> knownType() const { return serverEventType(type); }
};

} // namespace selvina::voice
