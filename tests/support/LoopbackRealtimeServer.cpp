#include "LoopbackRealtimeServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QUrlQuery>

namespace selvina::testing {

LoopbackRealtimeServer::LoopbackRealtimeServer(QObject* parent)
    : QObject(parent), m_ws(QStringLiteral("loopback-realtime"), QWebSocketServer::NonSecureMode)
{
    m_tcp.listen(QHostAddress::LocalHost, 0);
    connect(&m_tcp, &QTcpServer::newConnection, this, &LoopbackRealtimeServer::onNewTcpConnection);
    connect(&m_ws, &QWebSocketServer::newConnection, this, &LoopbackRealtimeServer::onNewWebSocket);
}

LoopbackRealtimeServer::~LoopbackRealtimeServer()
{
    for (auto& s : m_raw)
        if (s)
            s->abort();
}

QUrl LoopbackRealtimeServer::baseUrl() const
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_tcp.serverPort()));
}

QUrl LoopbackRealtimeServer::realtimeUrl(const QString& model) const
{
    QUrl url = baseUrl();
    url.setPath(QStringLiteral("/v1/realtime"));
    QUrlQuery q;
    q.addQueryItem(QStringLiteral("model"), model);
    url.setQuery(q);
    return url;
}

void LoopbackRealtimeServer::onNewTcpConnection()
{
    while (QTcpSocket* socket = m_tcp.nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); // a real server answers at once
        ++m_connections;
        if (m_mode == Handshake::accept) {
            m_clientTcp = socket;
            m_ws.handleConnection(socket);
            continue;
        }
        m_raw.append(socket);
        auto buffer = std::make_shared<QByteArray>();
        auto replied = std::make_shared<bool>(false);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer, replied] {
            if (*replied) {
                m_rawReceived += socket->readAll();
                return;
            }
            *buffer += socket->readAll();
            if (!buffer->contains("\r\n\r\n"))
                return;
            if (m_mode == Handshake::refuse) {
                socket->write("HTTP/1.1 " + QByteArray::number(m_refuseStatus) +
                              " Refused\r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: "
                              "close\r\n\r\n{}");
                socket->disconnectFromHost();
            } else if (m_mode == Handshake::raw && m_rawReply) {
                socket->write(m_rawReply(*buffer));
                *replied = true;
            }
            buffer->clear();
        });
    }
}

void LoopbackRealtimeServer::onNewWebSocket()
{
    while (QWebSocket* ws = m_ws.nextPendingConnection()) {
        ++m_handshakes;
        if (m_client)
            m_client->deleteLater();
        m_client = ws;
        m_lastAuthorization = ws->request().rawHeader("Authorization");
        connect(ws, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
            const QJsonObject frame = QJsonDocument::fromJson(text.toUtf8()).object();
            m_frames.append(frame);
            if (m_onFrame)
                m_onFrame(frame);
        });
        connect(ws, &QWebSocket::disconnected, ws, &QObject::deleteLater);
        Q_EMIT clientConnected();
    }
}

QByteArray LoopbackRealtimeServer::upgradeReply(const QByteArray& request)
{
    QByteArray key;
    for (const QByteArray& line : request.split('\n'))
        if (line.toLower().startsWith("sec-websocket-key:"))
            key = line.mid(18).trimmed();
    const QByteArray accept =
        QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
}

QList<QJsonObject> LoopbackRealtimeServer::framesOfType(const QString& type) const
{
    QList<QJsonObject> out;
    for (const QJsonObject& f : m_frames)
        if (f.value(QLatin1String("type")).toString() == type)
            out.append(f);
    return out;
}

void LoopbackRealtimeServer::callTool(const QString& callId, const QString& name, const QString& arguments)
{
    const QJsonObject call{{"type", "response.function_call_arguments.done"}, {"call_id", callId}, {"name", name}, {"arguments", arguments}};
    sendText(R"({"type":"response.created","response":{"id":"rt"}})");
    sendText(QJsonDocument(call).toJson(QJsonDocument::Compact));
    sendText(R"({"type":"response.done","response":{"status":"completed"}})");
}

std::optional<QString> LoopbackRealtimeServer::toolOutput(const QString& callId) const
{
    for (const QJsonObject& f : framesOfType(QStringLiteral("conversation.item.create"))) {
        const QJsonObject item = f[QStringLiteral("item")].toObject();
        if (item[QStringLiteral("type")].toString() == u"function_call_output" && item[QStringLiteral("call_id")].toString() == callId)
            return item[QStringLiteral("output")].toString();
    }
    return std::nullopt;
}

void LoopbackRealtimeServer::sendText(const QByteArray& utf8)
{
    if (m_client)
        m_client->sendTextMessage(QString::fromUtf8(utf8));
}

void LoopbackRealtimeServer::sendBinary(const QByteArray& bytes)
{
    if (m_client)
        m_client->sendBinaryMessage(bytes);
}

void LoopbackRealtimeServer::closeClient(int code, const QString& reason)
{
    if (m_client)
        m_client->close(QWebSocketProtocol::CloseCode(code), reason);
}

void LoopbackRealtimeServer::closeAt(Clock& clock, std::chrono::milliseconds delay, int code, const QString& reason)
{
    m_scheduledClose = clock.after(delay, [this, code, reason] { closeClient(code, reason); });
}

void LoopbackRealtimeServer::stopAnswering()
{
    // The WebSocket answers pings as it reads; a socket nobody reads answers nothing.
    if (m_clientTcp) {
        QObject::disconnect(m_clientTcp, &QTcpSocket::readyRead, nullptr, nullptr);
        connect(m_clientTcp, &QTcpSocket::readyRead, m_clientTcp, [s = m_clientTcp] { s->readAll(); });
    }
}

void LoopbackRealtimeServer::dropClient()
{
    if (m_clientTcp)
        m_clientTcp->abort();
}

bool LoopbackRealtimeServer::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace selvina::testing
