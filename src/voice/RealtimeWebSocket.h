// RealtimeWebSocket: keeps one WebSocket to the realtime service alive for a conversation —
// connects, pings, notices a dead link, reconnects with back-off and gives up after a limit.
// Thread: the main thread's event loop; nothing here blocks.
#pragma once

#include "core/Clock.h"
#include "core/Result.h"
#include "voice/WebSocketClient.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace selvina::voice {

class RealtimeTransportError {
public:
    enum class Kind { rejected, network, notConnected, unauthorized };

    static RealtimeTransportError rejected(int httpStatus) { return {Kind::rejected, httpStatus, {}}; }
    static RealtimeTransportError network(QString cause) { return {Kind::network, 0, std::move(cause)}; }
    static RealtimeTransportError notConnected() { return {Kind::notConnected, 0, {}}; }
    static RealtimeTransportError unauthorized() { return {Kind::unauthorized, 0, {}}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const RealtimeTransportError&) const = default;

private:
    RealtimeTransportError(Kind kind, int status, QString cause)
        : m_kind(kind), m_status(status), m_cause(std::move(cause))
    {
    }
    Kind m_kind;
    int m_status; // rejected
    QString m_cause; // network
};

struct RealtimeTransportEvent {
    enum class Kind { text, interrupted, closed, opened };
    Kind kind;
    std::optional<QString> text; // frame text, or the reason of interrupted/closed
    // interrupted/closed by a close frame from the server: its code and its reason as sent
    int closeCode = 0;
    QString closeReason;
};

class RealtimeWebSocket : public QObject {
    Q_OBJECT
public:
    struct Configuration {
        QUrl url;
        QList<std::pair<QByteArray, QByteArray>> headers;
        std::chrono::milliseconds pingInterval{20000};
        int maxReconnectAttempts = 8;
        Clock* clock = nullptr; // required: pings, back-offs and the handshake limit run on it
        // One message from the server above this fails the connection (1009) and reconnects.
        qint64 maxMessageBytes = 32 * 1024 * 1024;
        // Uniform draw from [0.8, 1.2] for the back-off jitter; replaceable for tests.
        std::function<double()> jitter;
    };

    static constexpr std::chrono::milliseconds kHandshakeTimeout{60000};
    static constexpr std::chrono::seconds kMaxConnectionAge{86400};
    // A connection counts as healthy (and resets the attempt counter) after staying up this long,
    // or when the owner calls markHealthy().
    static constexpr std::chrono::milliseconds kHealthyAfter{10000};

    explicit RealtimeWebSocket(Configuration configuration, QObject* parent = nullptr);
    ~RealtimeWebSocket() override;

    // Resolves on the first successful open, or with the first connection's error, or with
    // notConnected when stop() comes first. A second call while running returns at once.
    QCoro::Task<Status<RealtimeTransportError>> start();
    Status<RealtimeTransportError> send(const QByteArray& utf8Text);
    void stop(std::optional<QString> reason = std::nullopt);
    // Leaves the open connection and opens a new one at once (a fresh server session), without
    // counting an attempt or reporting an interruption; a failing new connection is retried as
    // any lost one is.
    void renew();
    // The session is configured: consecutive failures are counted from here.
    void markHealthy();

    bool isRunning() const { return m_running; }
    bool isOpen() const { return m_open; }
    // A ping has gone out and its pong not yet come back (tests wait for the answer).
    bool awaitingPong() const { return m_awaitingPong; }
    int attempts() const { return m_attempts; }

    // Milliseconds before reconnect attempt N (1-based): min(0.5 s · 2^(N−1), 15 s) × jitter,
    // truncated toward zero.
    static qint64 backoffMs(int attempt, double jitterFactor);

Q_SIGNALS:
    // Every event in order; nothing follows a `closed`.
    void transportEvent(const selvina::voice::RealtimeTransportEvent& event);
    void handshakeResolved(const selvina::Status<selvina::voice::RealtimeTransportError>& result);

private:
    void connectOnce();
    void onOpened();
    void onMessage(const QByteArray& payload, bool binary);
    void onEnded(const WebSocketEnd& end);
    void schedulePing();
    void onPingTimer();
    void teardown();
    void emitEvent(RealtimeTransportEvent::Kind kind, std::optional<QString> text = std::nullopt,
                   const WebSocketEnd* end = nullptr);
    void finishWith(std::optional<QString> reason, const WebSocketEnd* end = nullptr);
    void resolveHandshake(const Status<RealtimeTransportError>& result);

    Configuration m_config;
    QPointer<WebSocketClient> m_client;
    std::unique_ptr<ScheduledCall> m_pingTimer;
    std::unique_ptr<ScheduledCall> m_reconnectTimer;
    std::unique_ptr<ScheduledCall> m_healthyTimer;
    std::unique_ptr<ScheduledCall> m_ageTimer;
    bool m_running = false;
    bool m_open = false;
    bool m_finished = false;
    bool m_awaitingPong = false;
    int m_attempts = 0;
    std::optional<QString> m_closeDescription;
    bool m_handshakePending = false;
    std::optional<Status<RealtimeTransportError>> m_handshakeResult;
};

// True for a server close that refuses the session for good (a wrong key, no funds, a retired
// protocol): retrying it would only repeat the refusal.
bool isRefusalClose(int code, const QString& reason);

} // namespace selvina::voice

Q_DECLARE_METATYPE(selvina::voice::RealtimeTransportEvent)
