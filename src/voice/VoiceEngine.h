// The voice engine's role as the conversation sees it: its operations and the events it reports.
// Thread: main thread.
#pragma once

#include "core/Result.h"
#include "core/ToolDefinition.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

namespace selvina::voice {

struct VoiceEvent {
    enum class Kind {
        disconnected,
        assistantTranscript,
        toolCall,
        error,
        connected,
        userSpeechStarted,
        userSpeechEnded,
        responseStarted,
        responseFinished,
        assistantAudioStarted,
        configured, // a later session.updated: a new server session after a reconnect, or a change
    };
    Kind kind = Kind::error;
    // disconnected: the reason (present: the session has ended for good); assistantTranscript: the
    // text; error: the sentence; responseFinished: the response's status ("completed", "failed"…)
    std::optional<QString> text;
    bool isFinal = false;        // assistantTranscript
    QString id, name, argumentsJSON; // toolCall

    static VoiceEvent of(Kind k, std::optional<QString> t = std::nullopt)
    {
        VoiceEvent event;
        event.kind = k;
        event.text = std::move(t);
        return event;
    }
};

// Errors follow one shape across the code: a class with a Kind, a named constructor per kind taking
// only what the sentence needs, and description() = the Polish sentence the user hears.
class VoiceEngineError {
public:
    enum class Kind { missingAPIKey, notConnected, transport };

    static VoiceEngineError missingAPIKey() { return {Kind::missingAPIKey, {}}; }
    static VoiceEngineError notConnected() { return {Kind::notConnected, {}}; }
    // The connection failed; `sentence` says how (the transport's own description).
    static VoiceEngineError transport(QString sentence) { return {Kind::transport, std::move(sentence)}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const VoiceEngineError&) const = default;

private:
    VoiceEngineError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}
    Kind m_kind;
    QString m_detail;
};

// Events and model audio come out as two signals, emitted in arrival order on the main thread and
// never dropped: one consumer reads each.
class VoiceEngine : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual QCoro::Task<Status<VoiceEngineError>> connectSession(QList<ToolDefinition> tools, QString instructions) = 0;
    virtual void disconnectSession() = 0;
    // A session that takes what is sent now: connected, and not between a lost connection and the
    // next one.
    virtual bool hasSession() const = 0;
    virtual void sendAudio(const QByteArray& pcm16) = 0;
    virtual QCoro::Task<> sendToolResult(QString id, QString output) = 0;
    // Cancels what the model is saying and clears the service's audio. The answer item being heard
    // (the one audioItemStarted() last began) is cut once cutToHeard() says how much was heard.
    virtual void interrupt() = 0;
    // What the speakers played of that item: the model is told to forget the rest. None: not known,
    // the item stays whole. Called once after each interrupt(); nothing to cut does nothing.
    virtual void cutToHeard(std::optional<std::chrono::milliseconds> heard) = 0;
    virtual void speakAside(const QString& text) = 0;
    // While tools run the service's turn detection is off (the user's speech does not start an answer);
    // resuming restores the session's own setting. Each does nothing when already in that state.
    virtual void suspendTurnDetection() = 0;
    virtual void resumeTurnDetection() = 0;
    virtual QCoro::Task<> sendText(QString text) = 0;
    // A picture for the model (the screen tools' captures), with the question about it.
    virtual void sendImage(const QByteArray& jpeg, const QString& prompt) = 0;

Q_SIGNALS:
    void voiceEvent(const selvina::voice::VoiceEvent& event);
    void audioChunk(const QByteArray& pcm16);
    // Just before the first chunk of a new item of an answer in the conversation (not of the
    // greeting, the farewell or another aside, which the model does not remember).
    void audioItemStarted();
};

} // namespace selvina::voice
