// OpenAIRealtimeEngine: a conversation's session with the realtime speech service — configures
// it, streams microphone audio up, turns server events into VoiceEvents and model audio chunks,
// and carries the conversation over into a new server session after a lost connection or before
// the service's one-hour cap.
// Thread: main thread's event loop; nothing here blocks.
#pragma once

#include "core/Clock.h"
#include "voice/RealtimeProtocol.h"
#include "voice/RealtimeWebSocket.h"
#include "voice/VoiceEngine.h"

#include <QPointer>
#include <QSet>
#include <QUrl>

#include <memory>
#include <vector>

namespace selvina::voice {

class OpenAIRealtimeEngine final : public VoiceEngine {
    Q_OBJECT
public:
    struct Options {
        QString model;
        QString voice = QStringLiteral("marin");
        // The key, asked at each connect (so a key stored meanwhile is used); must not block.
        // None or empty: connect fails with missingAPIKey.
        std::function<std::optional<QString>()> apiKey;
        std::optional<SpeechSettings> speech;
        QUrl realtimeURL;                 // the service address for `model`
        std::function<double()> jitter;   // back-off jitter; default uniform [0.8, 1.2]
        // How often the link is checked; a clock moved by hours at once needs a longer one.
        std::chrono::milliseconds pingInterval{20000};
        Clock* clock = nullptr;           // required: the transport's timers, the waits, the session's age
    };

    static const QString kToolResultInstruction;
    // The service ends a session after 60 minutes; a new one is opened at the first quiet moment
    // after this age.
    static constexpr std::chrono::minutes kSessionRenewal{55};
    // How much of the conversation (in characters of text) a new session is told.
    static constexpr qsizetype kHistoryCharacters = 40000;
    // How long a new request waits for a cancelled response to end before it goes anyway.
    static constexpr std::chrono::milliseconds kCancelWaitLimit{1500};

    explicit OpenAIRealtimeEngine(Options options, QObject* parent = nullptr);
    ~OpenAIRealtimeEngine() override;

    QCoro::Task<Status<VoiceEngineError>> connectSession(QList<ToolDefinition> tools, QString instructions) override;
    void disconnectSession() override;
    void sendAudio(const QByteArray& pcm16) override;
    QCoro::Task<> sendToolResult(QString id, QString output) override;
    void interrupt() override;
    void cutToHeard(std::optional<std::chrono::milliseconds> heard) override;
    void speakAside(const QString& text) override;
    void suspendTurnDetection() override;
    void resumeTurnDetection() override;
    QCoro::Task<> sendText(QString text) override;
    void sendImage(const QByteArray& jpeg, const QString& prompt) override;

    std::optional<QString> lastServerError() const { return m_lastServerError; }
    bool hasActiveResponse() const;
    bool isConnected() const { return m_socket; }
    bool hasSession() const override;

    // The reason as the user hears it: the last server error, else a recognised code at the end of
    // the reason, else the reason itself.
    QString explain(const QString& reason) const;

Q_SIGNALS:
    // For waitForCancelledResponses() only: something it waits for may have happened.
    void cancelWaitWoken();

private:
    struct Response {
        QString id;                                   // empty when the server sent none
        bool outOfBand = false;                       // an aside: not part of the conversation
        bool cancelled = false;                       // what still comes of it is dropped
        bool hadAudio = false;
        std::optional<client::CreateResponse> request; // ours, when we asked for it
    };
    struct AudioItem {
        QString itemID;
        qint64 bytes = 0;
    };
    struct HistoryEntry {
        QString itemID; // the service's item, for a spoken turn
        RealtimeClientEvent event;
    };

    Clock& clock() const { return *m_options.clock; }
    bool send(const RealtimeClientEvent& event);
    // Straight over the open socket, failures ignored (configuration and replay).
    void sendDirect(const RealtimeClientEvent& event);
    void sendCreate(const client::CreateResponse& create);
    void handleTransport(const RealtimeTransportEvent& event);
    void handleFrame(const QString& frame);
    void handleResponseDone(const RealtimeServerEvent& event);
    void emitEvent(VoiceEvent event);
    // The response a frame belongs to: by its id, else the newest; none when nothing is running.
    Response* responseOf(const RealtimeServerEvent& event);
    void cancelActiveResponses();
    bool cancelledResponseRunning() const;
    // Waits while a cancelled response is still running: until its response.done, the loss of the
    // socket or kCancelWaitLimit. False when the engine went away meanwhile.
    QCoro::Task<bool> waitForCancelledResponses();
    // Wakes the waits from the event loop, once the state that woke them has settled.
    void wakeCancelWaits();
    QString interruptionSentence(const RealtimeTransportEvent& event) const;
    void forgetServerSession();

    // The conversation as a new session is told it.
    void remember(QString itemID, RealtimeClientEvent event);
    void replayInto();
    bool isQuiet() const;
    void maybeRenew();

    Options m_options;
    QPointer<RealtimeWebSocket> m_socket;
    std::optional<RealtimeSessionConfig> m_sessionConfig;
    bool m_turnDetectionEnabled = true;
    bool m_destroying = false;
    std::optional<RealtimeTurnDetection> m_suspendedTurnDetection;
    bool m_hasAnnouncedConnection = false;
    bool m_connecting = false; // connectSession() awaits the handshake
    std::optional<QString> m_lastServerError;

    std::vector<Response> m_responses;  // created and not yet done, oldest first
    int m_pendingAsides = 0;            // asides asked for whose response has not been created yet
    bool m_looseAudio = false;          // audio came while no response was known
    std::optional<AudioItem> m_heardItem; // the answer item handed out last, while it can still be cut
    std::optional<AudioItem> m_itemToCut; // the one interrupt() found, until cutToHeard()
    std::optional<client::CreateResponse> m_unconfirmedCreate; // sent; its response not yet created
    std::optional<client::CreateResponse> m_queuedCreate;      // refused while another response ran
    std::optional<client::CreateResponse> m_owedCreate;        // for the next session: a lost answer
    bool m_userSpeaking = false;
    QSet<QString> m_openCalls; // tool calls still without a result

    std::vector<HistoryEntry> m_history;
    int m_opens = 0;           // connections opened in this conversation
    bool m_renewDue = false;
    std::unique_ptr<ScheduledCall> m_sessionAge;
};

} // namespace selvina::voice
