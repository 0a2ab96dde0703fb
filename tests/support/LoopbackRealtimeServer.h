// A realtime-service stand-in on 127.0.0.1: accepts or refuses WebSocket handshakes, sends
// scripted frames, records what the client sends, closes, goes silent or drops the link.
// Thread: the test's main thread.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

#include "core/Clock.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace selvina::testing {

class LoopbackRealtimeServer : public QObject {
    Q_OBJECT
public:
    enum class Handshake { accept, refuse, hang, raw };

    explicit LoopbackRealtimeServer(QObject* parent = nullptr);
    ~LoopbackRealtimeServer() override;

    // ws://127.0.0.1:<port>
    QUrl baseUrl() const;
    QUrl realtimeUrl(const QString& model = QStringLiteral("test-model")) const;

    void setHandshake(Handshake mode, int httpStatus = 0) { m_mode = mode; m_refuseStatus = httpStatus; }
    // In raw mode the reply to a handshake request is whatever this returns, written as it is.
    void setRawReply(std::function<QByteArray(const QByteArray& request)> reply)
    {
        m_mode = Handshake::raw;
        m_rawReply = std::move(reply);
    }
    // What clients sent after a raw reply.
    QByteArray rawReceived() const { return m_rawReceived; }
    // The 101 answer a correct server gives to this request.
    static QByteArray upgradeReply(const QByteArray& request);
    // Called for every text frame the client sends (after it is recorded).
    void setOnFrame(std::function<void(const QJsonObject&)> handler) { m_onFrame = std::move(handler); }

    int connectionCount() const { return m_connections; }
    int handshakeCount() const { return m_handshakes; }
    QByteArray lastAuthorization() const { return m_lastAuthorization; }
    const QList<QJsonObject>& frames() const { return m_frames; }
    QList<QJsonObject> framesOfType(const QString& type) const;
    bool hasClient() const { return m_client; }

    void sendText(const QByteArray& utf8);
    void sendBinary(const QByteArray& bytes);
    // A response that only calls a tool, as the model makes one; then the output the client sent
    // back for that call (none until it has).
    void callTool(const QString& callId, const QString& name, const QString& arguments);
    std::optional<QString> toolOutput(const QString& callId) const;
    void closeClient(int code, const QString& reason = {});
    // Closes whichever connection is open when `clock` reaches `delay` from now (the service's
    // session cap, on a clock the test moves).
    void closeAt(Clock& clock, std::chrono::milliseconds delay, int code, const QString& reason);
    // Stops reading the connection: pings go unanswered and nothing more is recorded.
    void stopAnswering();
    // Drops TCP without a close frame.
    void dropClient();

    // Runs the event loop until the condition holds or the time runs out.
    static bool waitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

Q_SIGNALS:
    void clientConnected();

private:
    void onNewTcpConnection();
    void onNewWebSocket();

    QTcpServer m_tcp;
    QWebSocketServer m_ws;
    Handshake m_mode = Handshake::accept;
    int m_refuseStatus = 0;
    QPointer<QWebSocket> m_client;
    QPointer<QTcpSocket> m_clientTcp;
    QList<QPointer<QTcpSocket>> m_raw;
    QList<QJsonObject> m_frames;
    QByteArray m_lastAuthorization;
    QByteArray m_rawReceived;
    std::function<void(const QJsonObject&)> m_onFrame;
    std::function<QByteArray(const QByteArray&)> m_rawReply;
    int m_connections = 0;
    int m_handshakes = 0;
    std::unique_ptr<ScheduledCall> m_scheduledClose;
};

} // namespace selvina::testing
