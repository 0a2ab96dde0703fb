#include "voice/RealtimeWebSocket.h"

#include "voice/RealtimeProtocol.h"

#include <qcoro/qcorosignal.h>

#include <QRandomGenerator>
#include <QStringDecoder>

#include <cmath>

namespace selvina::voice {

using namespace std::chrono_literals;

QString RealtimeTransportError::description() const
{
    switch (m_kind) {
    case Kind::rejected:
        return QStringLiteral("OpenAI odrzuciło połączenie, kod %1.").arg(m_status);
    case Kind::network:
        return QStringLiteral("Problem z siecią: ") + m_cause;
    case Kind::notConnected:
        return QStringLiteral("Brak połączenia z OpenAI.");
    case Kind::unauthorized:
        return QStringLiteral("OpenAI odrzuciło klucz API. Sprawdź zmienną OPENAI_API_KEY albo plik "
                              "~/.config/selvina-voice/config.json.");
    }
    return {};
}

bool isRefusalClose(int code, const QString& reason)
{
    if (code < 3000 || code > 4999)
        return false;
    const QString last = closeReasonCode(reason).trimmed();
    static const QStringList refusals{QStringLiteral("invalid_api_key"), QStringLiteral("invalid_authentication"),
                                      QStringLiteral("insufficient_quota"),
                                      QStringLiteral("billing_hard_limit_reached"),
                                      QStringLiteral("beta_api_shape_disabled")};
    return refusals.contains(last);
}

qint64 RealtimeWebSocket::backoffMs(int attempt, double jitterFactor)
{
    const double base = std::min(0.5 * std::pow(2.0, double(attempt - 1)), 15.0);
    return qint64(std::trunc(base * jitterFactor * 1000.0));
}

RealtimeWebSocket::RealtimeWebSocket(Configuration configuration, QObject* parent)
    : QObject(parent), m_config(std::move(configuration))
{
    if (!m_config.jitter)
        m_config.jitter = [] { return 0.8 + 0.4 * QRandomGenerator::global()->generateDouble(); };
    Q_ASSERT(m_config.clock != nullptr);
}

RealtimeWebSocket::~RealtimeWebSocket()
{
    // A pending start() must not wait for ever on a socket that no longer exists.
    if (m_running)
        stop();
}

QCoro::Task<Status<RealtimeTransportError>> RealtimeWebSocket::start()
{
    if (m_running)
        co_return Ok{};
    if (m_finished)
        co_return RealtimeTransportError::notConnected();
    m_running = true;
    m_attempts = 0;
    m_handshakePending = true;
    m_handshakeResult.reset();
    connectOnce();
    if (m_handshakeResult)
        co_return *m_handshakeResult;
    // The result travels in the signal itself: this object may be gone when the coroutine resumes.
    const auto result = co_await qCoro(this, &RealtimeWebSocket::handshakeResolved);
    co_return result;
}

void RealtimeWebSocket::connectOnce()
{
    if (!m_running)
        return;
    m_closeDescription.reset();
    auto* client = new WebSocketClient(this);
    m_client = client;
    client->setMaxMessageBytes(m_config.maxMessageBytes);
    connect(client, &WebSocketClient::opened, this, &RealtimeWebSocket::onOpened);
    connect(client, &WebSocketClient::message, this, &RealtimeWebSocket::onMessage);
    connect(client, &WebSocketClient::pong, this, [this] { m_awaitingPong = false; });
    connect(client, &WebSocketClient::ended, this, [this, client](const WebSocketEnd& end) {
        if (client == m_client)
            onEnded(end);
        client->deleteLater();
    });
    client->open(m_config.url, m_config.headers, *m_config.clock, kHandshakeTimeout);
}

void RealtimeWebSocket::onOpened()
{
    m_open = true;
    m_closeDescription.reset();
    m_awaitingPong = false;
    schedulePing();
    m_healthyTimer = m_config.clock->after(kHealthyAfter, [this] { markHealthy(); });
    m_ageTimer = m_config.clock->after(kMaxConnectionAge, [this] {
        if (m_client)
            m_client->close(1001);
    });
    resolveHandshake(Ok{});
    emitEvent(RealtimeTransportEvent::Kind::opened);
}

void RealtimeWebSocket::markHealthy()
{
    if (m_open)
        m_attempts = 0;
}

void RealtimeWebSocket::onMessage(const QByteArray& payload, bool)
{
    // Text and binary frames alike must be UTF-8; anything else is dropped.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(payload);
    if (decoder.hasError())
        return;
    emitEvent(RealtimeTransportEvent::Kind::text, std::move(text));
}

void RealtimeWebSocket::schedulePing()
{
    m_pingTimer = m_config.clock->after(m_config.pingInterval, [this] { onPingTimer(); });
}

void RealtimeWebSocket::onPingTimer()
{
    if (!m_client || !m_open)
        return;
    schedulePing();
    if (m_awaitingPong) {
        // No pong within a whole interval: the link is dead. Drop it without a close frame (1006).
        m_closeDescription = QStringLiteral("brak odpowiedzi na ping");
        m_client->abort(*m_closeDescription);
        return;
    }
    m_awaitingPong = m_client->ping(QByteArrayLiteral("selvina"));
}

void RealtimeWebSocket::onEnded(const WebSocketEnd& end)
{
    const bool wasOpen = end.opened;
    if (end.closeReceived) {
        const QString reason = QString::fromUtf8(end.closeReason);
        m_closeDescription = reason.isEmpty() ? QStringLiteral("serwer zamknął połączenie, kod %1").arg(end.closeCode)
                                              : reason;
    }
    RealtimeTransportError error = RealtimeTransportError::notConnected();
    if (!wasOpen && (end.httpStatus == 401 || end.httpStatus == 403))
        error = RealtimeTransportError::unauthorized();
    else if (!wasOpen && end.httpStatus >= 400)
        error = RealtimeTransportError::rejected(end.httpStatus);
    else if (m_closeDescription)
        error = RealtimeTransportError::network(*m_closeDescription);
    else if (!end.error.isEmpty())
        error = RealtimeTransportError::network(end.error);
    else if (end.httpStatus)
        error = RealtimeTransportError::network(QStringLiteral("nieoczekiwana odpowiedź serwera, kod %1").arg(end.httpStatus));
    else
        error = RealtimeTransportError::network(QStringLiteral("serwer zamknął połączenie"));
    teardown();
    if (!m_running)
        return;

    if (m_handshakePending) {
        m_running = false;
        emitEvent(RealtimeTransportEvent::Kind::closed, error.description());
        m_finished = true;
        resolveHandshake(error);
        return;
    }
    if (end.closeReceived && isRefusalClose(end.closeCode, QString::fromUtf8(end.closeReason))) {
        // The server refused this session for good; a reconnect would be refused the same way.
        m_running = false;
        finishWith(QString::fromUtf8(end.closeReason), &end);
        return;
    }
    ++m_attempts;
    if (m_attempts <= m_config.maxReconnectAttempts) {
        emitEvent(RealtimeTransportEvent::Kind::interrupted, error.description(), &end);
        if (m_running)
            m_reconnectTimer = m_config.clock->after(std::chrono::milliseconds(backoffMs(m_attempts, m_config.jitter())),
                                                     [this] { connectOnce(); });
        return;
    }
    m_running = false;
    finishWith(QStringLiteral("Nie udało się wrócić do OpenAI po %1 próbach. Sprawdź połączenie z internetem.")
                   .arg(m_config.maxReconnectAttempts));
}

Status<RealtimeTransportError> RealtimeWebSocket::send(const QByteArray& utf8Text)
{
    if (!m_client || !m_open)
        return RealtimeTransportError::notConnected();
    if (!m_client->sendText(utf8Text))
        return RealtimeTransportError::network(QStringLiteral("nie udało się wysłać danych"));
    return Ok{};
}

void RealtimeWebSocket::stop(std::optional<QString> reason)
{
    if (!m_running)
        return;
    m_running = false;
    m_reconnectTimer.reset();
    teardown();
    QPointer<RealtimeWebSocket> self(this);
    resolveHandshake(RealtimeTransportError::notConnected());
    if (self)
        finishWith(std::move(reason));
}

void RealtimeWebSocket::renew()
{
    if (!m_running || !m_open)
        return;
    teardown();
    connectOnce();
}

void RealtimeWebSocket::teardown()
{
    m_pingTimer.reset();
    m_healthyTimer.reset();
    m_ageTimer.reset();
    m_open = false;
    m_awaitingPong = false;
    if (WebSocketClient* client = m_client) {
        m_client = nullptr;
        client->disconnect(this);
        client->close(1001);
        client->deleteLater();
    }
}

void RealtimeWebSocket::emitEvent(RealtimeTransportEvent::Kind kind, std::optional<QString> text,
                                  const WebSocketEnd* end)
{
    if (m_finished)
        return;
    RealtimeTransportEvent event{kind, std::move(text), 0, {}};
    if (end != nullptr && end->closeReceived) {
        event.closeCode = end->closeCode;
        event.closeReason = QString::fromUtf8(end->closeReason);
    }
    Q_EMIT transportEvent(event);
}

void RealtimeWebSocket::finishWith(std::optional<QString> reason, const WebSocketEnd* end)
{
    emitEvent(RealtimeTransportEvent::Kind::closed, std::move(reason), end);
    m_finished = true;
}

void RealtimeWebSocket::resolveHandshake(const Status<RealtimeTransportError>& result)
{
    if (!m_handshakePending)
        return;
    m_handshakePending = false;
    m_handshakeResult = result;
    Q_EMIT handshakeResolved(result);
}

} // namespace selvina::voice
