// OpenAIRealtimeEngine: a conversation's session with the realtime speech service — configures
// it, streams microphone audio up, turns server events into VoiceEvents and model audio chunks.
// Thread: main thread's event loop; nothing here blocks.
#pragma once

#include "voice/RealtimeProtocol.h"
#include "voice/RealtimeWebSocket.h"
#include "voice/VoiceEngine.h"

#include <QPointer>
#include <QProcessEnvironment>
#include <QUrl>

namespace selvina::voice {

class OpenAIRealtimeEngine final : public VoiceEngine {
    Q_OBJECT
public:
    struct Options {
        QString model;
        QString voice = QStringLiteral("marin");
        std::optional<QString> apiKey;
        std::optional<SpeechSettings> speech;
        QUrl realtimeURL;                 // the service address for `model`
        QString configDirectory;          // where config.json may hold "openai_api_key"
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        TimeScale timeScale;              // tests shorten the transport's and the waits' durations
        std::function<double()> jitter;   // back-off jitter; default uniform [0.8, 1.2]
    };

    static const QString kToolResultInstruction;

    explicit OpenAIRealtimeEngine(Options options, QObject* parent = nullptr);
    ~OpenAIRealtimeEngine() override;

    QCoro::Task<Status<VoiceEngineError>> connectSession(QList<ToolDefinition> tools, QString instructions) override;
    void disconnectSession() override;
    void sendAudio(const QByteArray& pcm16) override;
    QCoro::Task<> sendToolResult(QString id, QString output) override;
    void interrupt() override;
    void speakAside(const QString& text) override;
    void setTurnDetection(bool enabled) override;
    QCoro::Task<> sendText(QString text) override;
    void sendImage(const QByteArray& jpeg, const QString& prompt) override;

    std::optional<QString> lastServerError() const { return m_lastServerError; }
    bool hasActiveResponse() const { return m_hasActiveResponse; }
    bool isConnected() const { return m_socket; }

    // The reason as the user hears it: the last server error, else a recognised code at the end of
    // the reason, else the reason itself.
    QString explain(const QString& reason) const;

private:
    std::optional<QString> resolveAPIKey() const;
    bool send(const RealtimeClientEvent& event);
    void sendConfigurationDirect();
    void handleTransport(const RealtimeTransportEvent& event);
    void handleFrame(const QString& frame);
    void emitEvent(VoiceEvent event);
    // Waits while a cancelled response is still active: 50 ms steps, 1.5 s at most.
    QCoro::Task<bool> waitForCancelledResponse();

    Options m_options;
    QPointer<RealtimeWebSocket> m_socket;
    std::optional<RealtimeSessionConfig> m_sessionConfig;
    bool m_turnDetectionEnabled = true;
    std::optional<RealtimeTurnDetection> m_suspendedTurnDetection;
    bool m_hasAnnouncedConnection = false;
    bool m_connecting = false; // connectSession() awaits the handshake
    bool m_hasActiveResponse = false;
    bool m_hadAudio = false;
    bool m_cancelPending = false; // a cancel was sent and its "response.done" has not come yet
    std::optional<QString> m_lastServerError;
};

} // namespace selvina::voice
