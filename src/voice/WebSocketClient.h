// A client WebSocket (RFC 6455) over TCP or TLS that reports the HTTP status of a refused handshake.
// Thread: the thread that owns it (event-driven, never blocks).
#pragma once

#include "core/Clock.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <memory>
#include <utility>

class QSslSocket;

namespace selvina::voice {

// How one connection ended.
struct WebSocketEnd {
    int httpStatus = 0;      // the handshake's status when the server refused the upgrade, else 0
    bool opened = false;     // the handshake had completed
    bool closeReceived = false;
    int closeCode = 1005;    // from the server's close frame; 1005 when it sent none or no code
    QByteArray closeReason;  // raw bytes of the server's close reason
    QString error;           // Polish description of a network or protocol failure; empty for a clean end
};

class WebSocketClient : public QObject {
    Q_OBJECT
public:
    using Headers = QList<std::pair<QByteArray, QByteArray>>;

    explicit WebSocketClient(QObject* parent = nullptr);
    ~WebSocketClient() override;

    // Frames larger than this (one message, all fragments together) fail the connection with 1009.
    void setMaxMessageBytes(qint64 bytes) { m_maxMessage = bytes; }

    // Starts connecting; the outcome arrives as opened() or ended(). The time-out, on `clock`, covers
    // TCP, TLS and the HTTP upgrade.
    void open(const QUrl& url, const Headers& headers, Clock& clock, std::chrono::milliseconds handshakeTimeout);
    bool isOpen() const { return m_state == State::Open; }

    bool sendText(const QByteArray& utf8);
    bool ping(const QByteArray& payload);
    // Sends a close frame (when open), then drops the connection; ended() follows.
    void close(quint16 code, const QByteArray& reason = {});
    // Drops the connection without a close frame (an abnormal closure, 1006).
    void abort(const QString& why);

    qint64 bytesToWrite() const;

Q_SIGNALS:
    void opened();
    void message(const QByteArray& payload, bool binary);
    void pong(const QByteArray& payload);
    void ended(const selvina::voice::WebSocketEnd& end); // exactly once per open()

private:
    enum class State { Idle, Connecting, Handshake, Open, Closing, Ended };

    void onConnected();
    void onReadyRead();
    void onSocketError();
    void onDisconnected();
    void processHandshake();
    void processFrames();
    bool writeFrame(quint8 opcode, const QByteArray& payload);
    void fail(const QString& why, quint16 closeCode = 0);
    void finish();

    QSslSocket* m_socket = nullptr;
    std::unique_ptr<ScheduledCall> m_handshakeLimit;
    State m_state = State::Idle;
    QUrl m_url;
    Headers m_headers;
    QByteArray m_key;
    QByteArray m_buffer;
    QByteArray m_fragments;
    bool m_fragmentBinary = false;
    bool m_inFragment = false;
    qint64 m_maxMessage = 32 * 1024 * 1024;
    WebSocketEnd m_end;
};

} // namespace selvina::voice
