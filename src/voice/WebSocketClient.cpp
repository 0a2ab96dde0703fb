#include "voice/WebSocketClient.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QtEndian>

namespace selvina::voice {

namespace {

constexpr qsizetype kMaxHandshakeBytes = 64 * 1024;

QString describeSocketError(QAbstractSocket::SocketError error, const QString& host, const QString& fallback)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("serwer odmówił połączenia");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("serwer zerwał połączenie");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("nie znaleziono serwera %1").arg(host);
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("przekroczono czas oczekiwania na serwer");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("brak połączenia z siecią");
    case QAbstractSocket::SslHandshakeFailedError:
        return QStringLiteral("nie udało się nawiązać bezpiecznego połączenia");
    default:
        return fallback;
    }
}

} // namespace

WebSocketClient::WebSocketClient(QObject* parent) : QObject(parent) {}

WebSocketClient::~WebSocketClient()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

void WebSocketClient::open(const QUrl& url, const Headers& headers, Clock& clock,
                           std::chrono::milliseconds handshakeTimeout)
{
    if (m_state != State::Idle)
        return;
    m_url = url;
    m_headers = headers;
    m_end = {};
    const bool secure = url.scheme() == QLatin1String("wss") || url.scheme() == QLatin1String("https");
    m_socket = new QSslSocket(this);
    m_socket->setReadBufferSize(0);
    connect(m_socket, &QSslSocket::errorOccurred, this, &WebSocketClient::onSocketError);
    connect(m_socket, &QSslSocket::disconnected, this, &WebSocketClient::onDisconnected);
    connect(m_socket, &QSslSocket::readyRead, this, &WebSocketClient::onReadyRead);
    m_state = State::Connecting;
    m_handshakeLimit =
        clock.after(handshakeTimeout, [this] { fail(QStringLiteral("przekroczono czas oczekiwania na serwer")); });
    if (secure) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setAllowedNextProtocols({QByteArrayLiteral("http/1.1")});
        m_socket->setSslConfiguration(tls);
        connect(m_socket, &QSslSocket::encrypted, this, &WebSocketClient::onConnected);
        m_socket->connectToHostEncrypted(url.host(), quint16(url.port(443)));
    } else {
        connect(m_socket, &QSslSocket::connected, this, &WebSocketClient::onConnected);
        m_socket->connectToHost(url.host(), quint16(url.port(80)));
    }
}

void WebSocketClient::onConnected()
{
    // Frames are small and often go out back to back (a configuration change, then a tool result);
    // Nagle's algorithm would hold the second until the server's delayed ACK, tens of ms later.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_state != State::Connecting)
        return;
    QByteArray nonce(16, Qt::Uninitialized);
    for (auto& b : nonce)
        b = char(QRandomGenerator::global()->bounded(256));
    m_key = nonce.toBase64();
    QByteArray target = m_url.path(QUrl::FullyEncoded).toUtf8();
    if (target.isEmpty())
        target = "/";
    if (m_url.hasQuery())
        target += '?' + m_url.query(QUrl::FullyEncoded).toUtf8();
    QByteArray host = m_url.host(QUrl::FullyEncoded).toUtf8();
    if (m_url.port() != -1)
        host += ':' + QByteArray::number(m_url.port());
    QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: " + host +
                         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + m_key +
                         "\r\nSec-WebSocket-Version: 13\r\n";
    for (const auto& [name, value] : m_headers)
        request += name + ": " + value + "\r\n";
    request += "\r\n";
    m_state = State::Handshake;
    m_socket->write(request);
}

void WebSocketClient::onReadyRead()
{
    m_buffer += m_socket->readAll();
    if (m_state == State::Handshake)
        processHandshake();
    if (m_state == State::Open || m_state == State::Closing)
        processFrames();
}

void WebSocketClient::processHandshake()
{
    const qsizetype end = m_buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_buffer.size() > kMaxHandshakeBytes)
            fail(QStringLiteral("nieprawidłowa odpowiedź serwera"));
        return;
    }
    const QList<QByteArray> lines = m_buffer.left(end).split('\n');
    m_buffer.remove(0, end + 4);
    const QList<QByteArray> statusLine = lines.value(0).trimmed().split(' ');
    bool ok = false;
    const int status = statusLine.value(1).toInt(&ok);
    if (!statusLine.value(0).startsWith("HTTP/1.") || !ok) {
        fail(QStringLiteral("nieprawidłowa odpowiedź serwera"));
        return;
    }
    if (status != 101) {
        m_end.httpStatus = status;
        m_state = State::Ended;
        m_handshakeLimit.reset();
        m_socket->abort();
        finish();
        return;
    }
    QByteArray accept, upgrade;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        if (name == "sec-websocket-accept")
            accept = value;
        else if (name == "upgrade")
            upgrade = value.toLower();
    }
    const QByteArray expected =
        QCryptographicHash::hash(m_key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
    if (upgrade != "websocket" || accept != expected) {
        fail(QStringLiteral("nieprawidłowa odpowiedź serwera"));
        return;
    }
    m_handshakeLimit.reset();
    m_state = State::Open;
    m_end.opened = true;
    QPointer<WebSocketClient> self(this);
    Q_EMIT opened();
    if (self && !m_buffer.isEmpty())
        processFrames();
}

void WebSocketClient::processFrames()
{
    QPointer<WebSocketClient> self(this);
    while (self && (m_state == State::Open || m_state == State::Closing)) {
        const auto* data = reinterpret_cast<const uchar*>(m_buffer.constData());
        const qsizetype size = m_buffer.size();
        if (size < 2)
            return;
        const bool fin = data[0] & 0x80;
        const quint8 opcode = data[0] & 0x0F;
        const bool masked = data[1] & 0x80;
        quint64 length = data[1] & 0x7F;
        qsizetype offset = 2;
        // A server never masks its frames (RFC 6455, 5.1): such a frame is refused before any of it is
        // read, its mask key included.
        if ((data[0] & 0x70) || masked) {
            fail(QStringLiteral("błąd protokołu WebSocket"), 1002);
            return;
        }
        if (length == 126) {
            if (size < 4)
                return;
            length = qFromBigEndian<quint16>(data + 2);
            offset = 4;
        } else if (length == 127) {
            if (size < 10)
                return;
            length = qFromBigEndian<quint64>(data + 2);
            offset = 10;
        }
        const bool control = opcode & 0x08;
        if (control && (length > 125 || !fin)) {
            fail(QStringLiteral("błąd protokołu WebSocket"), 1002);
            return;
        }
        if (length > quint64(m_maxMessage) || quint64(m_fragments.size()) + length > quint64(m_maxMessage)) {
            fail(QStringLiteral("serwer przysłał za dużą wiadomość"), 1009);
            return;
        }
        if (quint64(size - offset) < length)
            return;
        QByteArray payload = m_buffer.mid(offset, qsizetype(length));
        m_buffer.remove(0, offset + qsizetype(length));

        switch (opcode) {
        case 0x0: // continuation
        case 0x1: // text
        case 0x2: // binary
            if ((opcode == 0) != m_inFragment) {
                fail(QStringLiteral("błąd protokołu WebSocket"), 1002);
                return;
            }
            if (opcode != 0) {
                m_fragmentBinary = opcode == 0x2;
                m_fragments.clear();
            }
            m_fragments += payload;
            m_inFragment = !fin;
            if (fin && m_state == State::Open) {
                const QByteArray whole = std::exchange(m_fragments, QByteArray());
                Q_EMIT message(whole, m_fragmentBinary);
            }
            break;
        case 0x8: { // close
            m_end.closeReceived = true;
            if (payload.size() >= 2) {
                m_end.closeCode = qFromBigEndian<quint16>(reinterpret_cast<const uchar*>(payload.constData()));
                m_end.closeReason = payload.mid(2);
            }
            if (m_state == State::Open)
                writeFrame(0x8, payload.left(2));
            m_state = State::Closing;
            m_socket->disconnectFromHost();
            return;
        }
        case 0x9: // ping
            writeFrame(0xA, payload);
            break;
        case 0xA: // pong
            Q_EMIT pong(payload);
            break;
        default:
            fail(QStringLiteral("błąd protokołu WebSocket"), 1002);
            return;
        }
    }
}

bool WebSocketClient::writeFrame(quint8 opcode, const QByteArray& payload)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    QByteArray frame;
    const qsizetype n = payload.size();
    frame.reserve(n + 14);
    frame.append(char(0x80 | opcode));
    if (n < 126) {
        frame.append(char(0x80 | n));
    } else if (n <= 0xFFFF) {
        frame.append(char(0x80 | 126));
        uchar len[2];
        qToBigEndian<quint16>(quint16(n), len);
        frame.append(reinterpret_cast<const char*>(len), 2);
    } else {
        frame.append(char(0x80 | 127));
        uchar len[8];
        qToBigEndian<quint64>(quint64(n), len);
        frame.append(reinterpret_cast<const char*>(len), 8);
    }
    const quint32 maskWord = QRandomGenerator::global()->generate();
    uchar mask[4];
    qToBigEndian<quint32>(maskWord, mask);
    frame.append(reinterpret_cast<const char*>(mask), 4);
    const qsizetype start = frame.size();
    frame.append(payload);
    char* out = frame.data() + start;
    for (qsizetype i = 0; i < n; ++i)
        out[i] = char(out[i] ^ mask[i % 4]);
    return m_socket->write(frame) == frame.size();
}

bool WebSocketClient::sendText(const QByteArray& utf8)
{
    return m_state == State::Open && writeFrame(0x1, utf8);
}

bool WebSocketClient::ping(const QByteArray& payload)
{
    return m_state == State::Open && writeFrame(0x9, payload.left(125));
}

void WebSocketClient::close(quint16 code, const QByteArray& reason)
{
    if (m_state == State::Open) {
        uchar c[2];
        qToBigEndian<quint16>(code, c);
        writeFrame(0x8, QByteArray(reinterpret_cast<const char*>(c), 2) + reason.left(123));
        m_state = State::Closing;
        m_socket->disconnectFromHost();
        return;
    }
    if (m_state == State::Connecting || m_state == State::Handshake)
        abort(QString());
}

void WebSocketClient::abort(const QString& why)
{
    if (m_state == State::Idle || m_state == State::Ended)
        return;
    m_end.error = why;
    m_state = State::Ended;
    m_handshakeLimit.reset();
    m_socket->abort();
    finish();
}

qint64 WebSocketClient::bytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void WebSocketClient::onSocketError()
{
    if (m_state == State::Ended)
        return;
    // A server that closed after its close frame ends the connection cleanly.
    if (m_state == State::Closing && m_socket->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    if (m_end.error.isEmpty())
        m_end.error = describeSocketError(m_socket->error(), m_url.host(), m_socket->errorString());
    m_state = State::Ended;
    m_handshakeLimit.reset();
    m_socket->abort();
    finish();
}

void WebSocketClient::onDisconnected()
{
    if (m_state == State::Ended)
        return;
    if (m_state != State::Closing && m_end.error.isEmpty())
        m_end.error = QStringLiteral("serwer zerwał połączenie");
    m_state = State::Ended;
    m_handshakeLimit.reset();
    finish();
}

void WebSocketClient::fail(const QString& why, quint16 closeCode)
{
    if (m_state == State::Ended || m_state == State::Idle)
        return;
    if (closeCode && m_state == State::Open) {
        uchar c[2];
        qToBigEndian<quint16>(closeCode, c);
        writeFrame(0x8, QByteArray(reinterpret_cast<const char*>(c), 2));
        m_socket->flush();
    }
    abort(why);
}

void WebSocketClient::finish()
{
    // Reported from the event loop, so that a handler may delete this object safely.
    const WebSocketEnd end = m_end;
    QMetaObject::invokeMethod(this, [this, end] { Q_EMIT ended(end); }, Qt::QueuedConnection);
}

} // namespace selvina::voice
