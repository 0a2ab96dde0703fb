#include "voice/OpenAIRealtimeEngine.h"

#include <qcoro/qcorotimer.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace selvina::voice {

using namespace std::chrono_literals;

const QString OpenAIRealtimeEngine::kToolResultInstruction = QStringLiteral(
    "Odpowiedz po polsku na podstawie wyniku narzędzia. Treść między znacznikami [[CYTAT]] i [[/CYTAT]] "
    "odczytaj DOSŁOWNIE, słowo w słowo, bez streszczania i bez zmiany choćby jednego słowa. Wszystko poza "
    "tymi znacznikami przekaż naturalnie i zwięźle, własnymi słowami. Samych znaczników nie wypowiadaj.");

namespace {

const QString kNotConnected = QStringLiteral("Sesja głosowa nie jest połączona.");

void traceTurnDetection(const char* what, bool configHasIt)
{
    // This line goes to standard error unconditionally: it marks every change of the server's VAD.
    const QByteArray line = QByteArrayLiteral("[trace] detektor tur: ") + what + " (w konfiguracji: " +
                            (configHasIt ? "jest" : "brak") + ")\n";
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

} // namespace

QString VoiceEngineError::description() const
{
    switch (kind) {
    case Kind::missingAPIKey:
        return QStringLiteral("Brak klucza OpenAI. Ustaw zmienną OPENAI_API_KEY albo wpisz klucz do pliku "
                              "~/.config/selvina-voice/config.json w polu openai_api_key.");
    case Kind::notConnected:
        return kNotConnected;
    case Kind::transport:
        return transportDescription;
    }
    return {};
}

OpenAIRealtimeEngine::OpenAIRealtimeEngine(Options options, QObject* parent)
    : VoiceEngine(parent), m_options(std::move(options))
{
}

OpenAIRealtimeEngine::~OpenAIRealtimeEngine()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->stop();
        delete m_socket;
    }
}

std::optional<QString> OpenAIRealtimeEngine::resolveAPIKey() const
{
    if (m_options.apiKey && !m_options.apiKey->isEmpty())
        return m_options.apiKey;
    const QString env = m_options.environment.value(QStringLiteral("OPENAI_API_KEY"));
    if (!env.isEmpty())
        return env;
    QFile file(QDir(m_options.configDirectory).filePath(QStringLiteral("config.json")));
    if (!m_options.configDirectory.isEmpty() && file.open(QIODevice::ReadOnly) && file.size() < 1024 * 1024) {
        const QJsonValue v = QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String("openai_api_key"));
        if (v.isString() && !v.toString().isEmpty())
            return v.toString();
    }
    return std::nullopt;
}

void OpenAIRealtimeEngine::emitEvent(VoiceEvent event)
{
    Q_EMIT voiceEvent(event);
}

QCoro::Task<Status<VoiceEngineError>> OpenAIRealtimeEngine::connectSession(QList<ToolDefinition> tools,
                                                                            QString instructions)
{
    if (m_socket)
        co_return Ok{};
    m_lastServerError.reset();
    const auto key = resolveAPIKey();
    if (!key) {
        const VoiceEngineError error{VoiceEngineError::Kind::missingAPIKey, {}};
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, error.description()));
        co_return error;
    }
    QList<RealtimeToolSpec> specs;
    for (const ToolDefinition& t : tools) {
        auto schema = JSONValue::parse(t.parametersJSON.toUtf8());
        specs.append(RealtimeToolSpec{QStringLiteral("function"), t.name, t.description,
                                      schema ? *schema : JSONValue::emptyObjectSchema()});
    }
    m_sessionConfig = m_options.speech ? RealtimeSessionConfig::fromSettings(instructions, specs, *m_options.speech)
                                       : RealtimeSessionConfig::make(instructions, m_options.voice, specs);

    RealtimeWebSocket::Configuration c;
    c.url = m_options.realtimeURL;
    c.headers = {{QByteArrayLiteral("Authorization"), QByteArrayLiteral("Bearer ") + key->toUtf8()}};
    c.pingInterval = 20s;
    c.maxReconnectAttempts = 8;
    c.timeScale = m_options.timeScale;
    c.jitter = m_options.jitter;
    auto* socket = new RealtimeWebSocket(c, this);
    m_socket = socket;
    connect(socket, &RealtimeWebSocket::transportEvent, this, &OpenAIRealtimeEngine::handleTransport);

    QPointer<OpenAIRealtimeEngine> self(this);
    m_connecting = true;
    const Status<RealtimeTransportError> started = co_await socket->start();
    if (self)
        m_connecting = false;
    if (!self)
        co_return VoiceEngineError{VoiceEngineError::Kind::notConnected, {}};
    if (!started.ok()) {
        if (m_socket == socket) {
            m_socket = nullptr;
            m_sessionConfig.reset();
        }
        socket->deleteLater();
        const VoiceEngineError error{VoiceEngineError::Kind::transport, started.error().description()};
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, error.description()));
        co_return error;
    }
    co_return Ok{};
}

void OpenAIRealtimeEngine::disconnectSession()
{
    if (!m_socket)
        return;
    RealtimeWebSocket* old = m_socket;
    m_socket = nullptr;
    m_sessionConfig.reset();
    m_hasActiveResponse = false;
    m_hasAnnouncedConnection = false;
    m_turnDetectionEnabled = true;
    m_suspendedTurnDetection.reset();
    old->disconnect(this);
    old->stop();
    old->deleteLater();
    emitEvent(VoiceEvent::of(VoiceEvent::Kind::disconnected));
}

bool OpenAIRealtimeEngine::send(const RealtimeClientEvent& event)
{
    if (!m_socket) {
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, kNotConnected));
        return false;
    }
    const auto text = encode(event);
    if (!text.ok()) {
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, description(text.error())));
        return false;
    }
    const auto sent = m_socket->send(text.value());
    if (!sent.ok()) {
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, sent.error().description()));
        return false;
    }
    return true;
}

void OpenAIRealtimeEngine::sendConfigurationDirect()
{
    if (!m_socket || !m_sessionConfig)
        return;
    if (const auto text = encode(client::SessionUpdate{*m_sessionConfig}); text.ok())
        (void)m_socket->send(text.value());
}

void OpenAIRealtimeEngine::handleTransport(const RealtimeTransportEvent& event)
{
    using K = RealtimeTransportEvent::Kind;
    switch (event.kind) {
    case K::text:
        handleFrame(event.text.value_or(QString()));
        break;
    case K::opened:
        if (m_sessionConfig && m_socket) {
            sendConfigurationDirect();
            m_turnDetectionEnabled = m_sessionConfig->turnDetection.has_value();
        }
        break;
    case K::interrupted:
        m_hasActiveResponse = false;
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error,
                                 QStringLiteral("Połączenie z OpenAI zostało przerwane: ") +
                                     explain(event.text.value_or(QString())) +
                                     QStringLiteral(". Próbuję połączyć się ponownie.")));
        break;
    case K::closed: {
        m_hasActiveResponse = false;
        // While connectSession() still awaits the handshake it owns the socket and deletes it: a
        // socket deleted now would take the awaiting coroutine with it, and connect would never end.
        if (m_socket && !m_connecting)
            m_socket->deleteLater();
        m_socket = nullptr;
        m_sessionConfig.reset();
        std::optional<QString> reason = event.text ? std::optional<QString>(explain(*event.text)) : m_lastServerError;
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::disconnected, reason));
        break;
    }
    }
}

QString OpenAIRealtimeEngine::explain(const QString& reason) const
{
    if (m_lastServerError)
        return *m_lastServerError;
    const QString last = closeReasonCode(reason);
    if (RealtimeErrorPayload::recognizedCodes().contains(last)) {
        RealtimeErrorPayload p;
        p.code = last;
        p.message = reason;
        return p.readableMessage();
    }
    return reason;
}

void OpenAIRealtimeEngine::handleFrame(const QString& frame)
{
    const auto event = RealtimeServerEvent::decode(frame.toUtf8());
    if (!event)
        return;
    const auto type = event->knownType();
    if (!type)
        return;
    using T = RealtimeServerEventType;
    using K = VoiceEvent::Kind;
    switch (*type) {
    case T::sessionCreated:
        break;
    case T::sessionUpdated:
        m_lastServerError.reset();
        if (m_socket)
            m_socket->markHealthy();
        if (!m_hasAnnouncedConnection) {
            m_hasAnnouncedConnection = true;
            emitEvent(VoiceEvent::of(K::connected));
        }
        break;
    case T::error:
        if (!event->error || event->error->isBenign())
            break;
        m_lastServerError = event->error->readableMessage();
        emitEvent(VoiceEvent::of(K::error, m_lastServerError));
        break;
    case T::speechStarted:
        emitEvent(VoiceEvent::of(K::userSpeechStarted));
        break;
    case T::speechStopped:
        emitEvent(VoiceEvent::of(K::userSpeechEnded));
        break;
    case T::responseCreated:
        m_hasActiveResponse = true;
        m_hadAudio = false;
        emitEvent(VoiceEvent::of(K::responseStarted));
        break;
    case T::responseDone: {
        m_hasActiveResponse = false;
        m_cancelPending = false;
        m_hadAudio = false;
        const auto& r = event->response;
        if (r && r->status == QLatin1String("failed")) {
            QString cause = QStringLiteral("bez podanej przyczyny");
            if (r->statusDetails && r->statusDetails->error)
                cause = r->statusDetails->error->readableMessage();
            else if (r->statusDetails && r->statusDetails->reason)
                cause = *r->statusDetails->reason;
            // A readable message already ends its sentence; a second full stop would be read out.
            if (!cause.endsWith(QLatin1Char('.')))
                cause += QLatin1Char('.');
            emitEvent(VoiceEvent::of(K::error, QStringLiteral("Model nie dokończył odpowiedzi: ") + cause));
        }
        emitEvent(VoiceEvent::of(K::responseFinished));
        break;
    }
    case T::outputAudioDelta:
    case T::audioDelta: {
        if (!event->delta)
            break;
        const auto decoded = QByteArray::fromBase64Encoding(event->delta->toLatin1(),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.isEmpty() || event->delta->toLatin1().size() != event->delta->size())
            break;
        if (!m_hadAudio) {
            m_hadAudio = true;
            emitEvent(VoiceEvent::of(K::assistantAudioStarted));
        }
        Q_EMIT audioChunk(decoded.decoded);
        break;
    }
    case T::outputAudioTranscriptDelta:
    case T::audioTranscriptDelta:
    case T::outputTextDelta:
    case T::textDelta:
        if (event->delta && !event->delta->isEmpty()) {
            VoiceEvent e = VoiceEvent::of(K::assistantTranscript, event->delta);
            e.isFinal = false;
            emitEvent(e);
        }
        break;
    case T::outputAudioTranscriptDone:
    case T::audioTranscriptDone:
        if (event->transcript) {
            VoiceEvent e = VoiceEvent::of(K::assistantTranscript, event->transcript);
            e.isFinal = true;
            emitEvent(e);
        }
        break;
    case T::functionCallArgumentsDone:
        if (!event->callID || !event->name) {
            emitEvent(VoiceEvent::of(K::error, QStringLiteral("Model poprosił o narzędzie, ale nie podał jego nazwy.")));
            break;
        }
        VoiceEvent e = VoiceEvent::of(K::toolCall);
        e.id = *event->callID;
        e.name = *event->name;
        e.argumentsJSON = event->arguments.value_or(QStringLiteral("{}"));
        emitEvent(e);
        break;
    }
}

void OpenAIRealtimeEngine::sendAudio(const QByteArray& pcm16)
{
    if (!m_socket || pcm16.isEmpty())
        return;
    // Audio failures are not spoken: the next frame follows 20 ms later anyway.
    if (const auto text = encode(client::AppendAudio{QString::fromLatin1(pcm16.toBase64())}); text.ok())
        (void)m_socket->send(text.value());
}

void OpenAIRealtimeEngine::interrupt()
{
    if (m_hasActiveResponse) {
        m_hasActiveResponse = false;
        send(client::CancelResponse{});
    }
    send(client::ClearAudioBuffer{});
}

void OpenAIRealtimeEngine::speakAside(const QString& text)
{
    if (!m_hasActiveResponse)
        send(client::SpeakAside{text});
}

QCoro::Task<bool> OpenAIRealtimeEngine::waitForCancelledResponse()
{
    QPointer<OpenAIRealtimeEngine> self(this);
    const auto step = m_options.timeScale(50ms);
    const auto limit = m_options.timeScale(1500ms);
    std::chrono::milliseconds waited{0};
    // The cancelled response is over when the server sends its "response.done".
    m_cancelPending = true;
    while (self && m_cancelPending && m_socket && waited < limit) {
        co_await QCoro::sleepFor(std::max(step, std::chrono::milliseconds(1)));
        waited += std::max(step, std::chrono::milliseconds(1));
    }
    if (self)
        m_cancelPending = false;
    co_return bool(self);
}

QCoro::Task<> OpenAIRealtimeEngine::sendText(QString text)
{
    QPointer<OpenAIRealtimeEngine> self(this);
    if (m_hasActiveResponse) {
        m_hasActiveResponse = false;
        send(client::CancelResponse{});
        if (!co_await waitForCancelledResponse() || !self)
            co_return;
    }
    if (!send(client::UserText{text}))
        co_return;
    send(client::CreateResponse{});
}

QCoro::Task<> OpenAIRealtimeEngine::sendToolResult(QString id, QString output)
{
    QPointer<OpenAIRealtimeEngine> self(this);
    if (!send(client::FunctionCallOutput{id, output}))
        co_return;
    if (m_hasActiveResponse) {
        m_hasActiveResponse = false;
        send(client::CancelResponse{});
        if (!co_await waitForCancelledResponse() || !self)
            co_return;
    }
    send(client::CreateResponse{kToolResultInstruction});
}

void OpenAIRealtimeEngine::sendImage(const QByteArray& jpeg, const QString& prompt)
{
    if (jpeg.isEmpty())
        return;
    send(client::UserImage{prompt, QString::fromLatin1(jpeg.toBase64())});
}

void OpenAIRealtimeEngine::setTurnDetection(bool enabled)
{
    if (enabled == m_turnDetectionEnabled || !m_sessionConfig)
        return;
    if (!enabled) {
        const bool had = m_sessionConfig->turnDetection.has_value();
        m_suspendedTurnDetection = m_sessionConfig->turnDetection;
        m_sessionConfig->turnDetection.reset();
        m_sessionConfig->turnDetectionClearedExplicitly = true;
        m_turnDetectionEnabled = false;
        traceTurnDetection("zdjęty", had);
        sendConfigurationDirect();
        return;
    }
    m_sessionConfig->turnDetection = m_suspendedTurnDetection;
    m_sessionConfig->turnDetectionClearedExplicitly = false;
    m_suspendedTurnDetection.reset();
    send(client::ClearAudioBuffer{});
    traceTurnDetection("wraca", m_sessionConfig->turnDetection.has_value());
    sendConfigurationDirect();
    m_turnDetectionEnabled = true;
}

} // namespace selvina::voice
