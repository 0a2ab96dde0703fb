#include "voice/OpenAIRealtimeEngine.h"

#include "core/Trace.h"

#include <qcoro/qcorosignal.h>

#include <cstdio>

namespace selvina::voice {

using namespace std::chrono_literals;

const QString OpenAIRealtimeEngine::kToolResultInstruction = QStringLiteral(
    "Odpowiedz po polsku na podstawie wyniku narzędzia. Treść między znacznikami [[CYTAT]] i [[/CYTAT]] "
    "odczytaj DOSŁOWNIE, słowo w słowo, bez streszczania i bez zmiany choćby jednego słowa. Wszystko poza "
    "tymi znacznikami przekaż naturalnie i zwięźle, własnymi słowami. Samych znaczników nie wypowiadaj.");

namespace {

const QString kNotConnected = QStringLiteral("Sesja głosowa nie jest połączona.");
const QString kSessionExpired = QStringLiteral("Sesja rozmowy wygasła. Nawiązuję ją od nowa.");

constexpr qint64 kBytesPerMs = 48; // PCM16 mono at 24 kHz

qsizetype textSize(const RealtimeClientEvent& event)
{
    if (const auto* t = std::get_if<client::UserText>(&event))
        return t->text.size();
    if (const auto* a = std::get_if<client::AssistantText>(&event))
        return a->text.size();
    if (const auto* c = std::get_if<client::FunctionCall>(&event))
        return c->arguments.size() + c->name.size();
    if (const auto* o = std::get_if<client::FunctionCallOutput>(&event))
        return o->output.size();
    return 0;
}

QString withoutFullStop(QString sentence)
{
    while (sentence.endsWith(QLatin1Char('.')))
        sentence.chop(1);
    return sentence;
}

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
    switch (m_kind) {
    case Kind::missingAPIKey:
        return QStringLiteral("Brak klucza OpenAI. Ustaw zmienną OPENAI_API_KEY albo wpisz klucz do pliku "
                              "~/.config/selvina-voice/config.json w polu openai_api_key.");
    case Kind::notConnected:
        return kNotConnected;
    case Kind::transport:
        return m_detail;
    }
    return {};
}

OpenAIRealtimeEngine::OpenAIRealtimeEngine(Options options, QObject* parent)
    : VoiceEngine(parent), m_options(std::move(options))
{
    Q_ASSERT(m_options.clock != nullptr);
}

OpenAIRealtimeEngine::~OpenAIRealtimeEngine()
{
    // A request still waiting for a cancelled response gives up now (and touches nothing more).
    m_destroying = true;
    Q_EMIT cancelWaitWoken();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->stop();
        delete m_socket;
    }
}

void OpenAIRealtimeEngine::emitEvent(VoiceEvent event)
{
    Q_EMIT voiceEvent(event);
}

bool OpenAIRealtimeEngine::hasActiveResponse() const
{
    return std::any_of(m_responses.begin(), m_responses.end(), [](const Response& r) { return !r.cancelled; });
}

QCoro::Task<Status<VoiceEngineError>> OpenAIRealtimeEngine::connectSession(QList<ToolDefinition> tools,
                                                                            QString instructions)
{
    if (m_socket)
        co_return Ok{};
    m_lastServerError.reset();
    const auto key = m_options.apiKey ? m_options.apiKey() : std::nullopt;
    if (!key || key->isEmpty()) {
        const auto error = VoiceEngineError::missingAPIKey();
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
    c.pingInterval = m_options.pingInterval;
    c.maxReconnectAttempts = 8;
    c.clock = m_options.clock;
    c.jitter = m_options.jitter;
    auto* socket = new RealtimeWebSocket(c, this);
    m_socket = socket;
    m_opens = 0;
    connect(socket, &RealtimeWebSocket::transportEvent, this, &OpenAIRealtimeEngine::handleTransport);

    QPointer<OpenAIRealtimeEngine> self(this);
    m_connecting = true;
    const Status<RealtimeTransportError> started = co_await socket->start();
    if (self)
        m_connecting = false;
    if (!self)
        co_return VoiceEngineError::notConnected();
    if (!started.ok()) {
        if (m_socket == socket) {
            m_socket = nullptr;
            m_sessionConfig.reset();
        }
        socket->deleteLater();
        const auto error = VoiceEngineError::transport(started.error().description());
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, error.description()));
        co_return error;
    }
    co_return Ok{};
}

// What a server session knew and a new one does not: running responses, audio that could still be
// cut, half-heard speech.
void OpenAIRealtimeEngine::forgetServerSession()
{
    m_responses.clear();
    m_pendingAsides = 0;
    m_looseAudio = false;
    m_heardItem.reset();
    m_itemToCut.reset();
    m_unconfirmedCreate.reset();
    m_queuedCreate.reset();
    m_userSpeaking = false;
    m_renewDue = false;
    m_sessionAge.reset();
    wakeCancelWaits();
}

bool OpenAIRealtimeEngine::hasSession() const
{
    return m_socket != nullptr && m_socket->isOpen() && !m_connecting;
}

void OpenAIRealtimeEngine::disconnectSession()
{
    if (!m_socket)
        return;
    RealtimeWebSocket* old = m_socket;
    m_socket = nullptr;
    m_sessionConfig.reset();
    forgetServerSession();
    m_owedCreate.reset();
    m_history.clear();
    m_openCalls.clear();
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
    // Reconnecting: the interruption has been reported; what the conversation needs is replayed
    // into the next session.
    if (!m_socket->isOpen())
        return false;
    const auto text = encode(event);
    if (!text.ok()) {
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, text.error().description()));
        return false;
    }
    const auto sent = m_socket->send(text.value());
    if (!sent.ok()) {
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, sent.error().description()));
        return false;
    }
    return true;
}

void OpenAIRealtimeEngine::sendDirect(const RealtimeClientEvent& event)
{
    if (!m_socket || !m_socket->isOpen())
        return;
    if (const auto text = encode(event); text.ok())
        (void)m_socket->send(text.value());
}

void OpenAIRealtimeEngine::sendCreate(const client::CreateResponse& create)
{
    if (m_socket && !m_socket->isOpen()) {
        m_owedCreate = create;
        return;
    }
    if (send(create))
        m_unconfirmedCreate = create;
}

void OpenAIRealtimeEngine::handleTransport(const RealtimeTransportEvent& event)
{
    using K = RealtimeTransportEvent::Kind;
    switch (event.kind) {
    case K::text:
        handleFrame(event.text.value_or(QString()));
        break;
    case K::opened: {
        if (!m_sessionConfig || !m_socket)
            break;
        const bool newSession = m_opens++ > 0;
        sendDirect(client::SessionUpdate{*m_sessionConfig});
        m_turnDetectionEnabled = m_sessionConfig->turnDetection.has_value();
        if (newSession)
            replayInto();
        m_renewDue = false;
        m_sessionAge = clock().after(kSessionRenewal, [this] {
            m_renewDue = true;
            maybeRenew();
        });
        break;
    }
    case K::interrupted: {
        // The answer being given, or asked for, is lost with the session: the next one gives it.
        for (const Response& r : m_responses)
            if (!r.outOfBand && !r.cancelled)
                m_owedCreate = r.request.value_or(client::CreateResponse{});
        if (m_unconfirmedCreate)
            m_owedCreate = m_unconfirmedCreate;
        if (m_queuedCreate)
            m_owedCreate = m_queuedCreate;
        forgetServerSession();
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, interruptionSentence(event)));
        break;
    }
    case K::closed: {
        forgetServerSession();
        // While connectSession() still awaits the handshake it owns the socket and deletes it: a
        // socket deleted now would take the awaiting coroutine with it, and connect would never end.
        if (m_socket && !m_connecting)
            m_socket->deleteLater();
        m_socket = nullptr;
        m_sessionConfig.reset();
        std::optional<QString> reason = m_lastServerError;
        if (!reason && event.text)
            reason = event.closeCode != 0 ? closeSentence(event.closeCode, event.closeReason) : explain(*event.text);
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::disconnected, reason));
        break;
    }
    }
}

QString OpenAIRealtimeEngine::interruptionSentence(const RealtimeTransportEvent& event) const
{
    QString cause;
    if (m_lastServerError)
        cause = *m_lastServerError;
    else if (event.closeCode != 0)
        cause = closeSentence(event.closeCode, event.closeReason);
    else
        cause = event.text.value_or(QString());
    // It says itself that a new session is on its way.
    if (cause == kSessionExpired)
        return cause;
    return QStringLiteral("Połączenie z OpenAI zostało przerwane: ") + withoutFullStop(cause)
        + QStringLiteral(". Próbuję połączyć się ponownie.");
}

QString OpenAIRealtimeEngine::explain(const QString& reason) const
{
    if (m_lastServerError)
        return *m_lastServerError;
    const QString last = closeReasonCode(reason);
    if (RealtimeErrorPayload::recognizedCodes().contains(last)) {
        RealtimeErrorPayload p;
        p.code = last;
        return p.readableMessage();
    }
    return reason;
}

OpenAIRealtimeEngine::Response* OpenAIRealtimeEngine::responseOf(const RealtimeServerEvent& event)
{
    if (m_responses.empty())
        return nullptr;
    if (event.responseID) {
        for (Response& r : m_responses)
            if (r.id == *event.responseID)
                return &r;
        return nullptr;
    }
    return &m_responses.back();
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
    Response* response = responseOf(*event);
    const bool cancelled = response && response->cancelled;
    const bool inBand = !response || !response->outOfBand;
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
        } else {
            emitEvent(VoiceEvent::of(K::configured));
        }
        break;
    case T::error:
        if (!event->error)
            break;
        if (event->error->isActiveResponseConflict()) {
            // Our request came while another response ran: it goes again once that one is done,
            // so that a tool result is never left unanswered.
            if (m_unconfirmedCreate) {
                m_queuedCreate = std::exchange(m_unconfirmedCreate, std::nullopt);
                trace(QStringLiteral("odpowiedź w toku — prośba o odpowiedź czeka na jej koniec"));
            }
            break;
        }
        if (event->error->isBenign())
            break;
        trace(QStringLiteral("błąd usługi: %1: %2")
                  .arg(event->error->code.value_or(QStringLiteral("—")), event->error->message.value_or(QString())));
        m_lastServerError = event->error->readableMessage();
        emitEvent(VoiceEvent::of(K::error, m_lastServerError));
        break;
    case T::speechStarted:
        m_userSpeaking = true;
        if (event->itemID)
            remember(*event->itemID, client::UserText{});
        emitEvent(VoiceEvent::of(K::userSpeechStarted));
        break;
    case T::speechStopped:
        m_userSpeaking = false;
        emitEvent(VoiceEvent::of(K::userSpeechEnded));
        break;
    case T::inputAudioTranscriptionCompleted: {
        if (!event->transcript || event->transcript->trimmed().isEmpty())
            break;
        auto spoken = std::find_if(m_history.begin(), m_history.end(),
                                   [&](const HistoryEntry& e) { return event->itemID && e.itemID == *event->itemID; });
        if (spoken != m_history.end())
            spoken->event = client::UserText{*event->transcript};
        else
            remember(event->itemID.value_or(QString()), client::UserText{*event->transcript});
        break;
    }
    case T::responseCreated: {
        Response r;
        if (event->response && event->response->id)
            r.id = *event->response->id;
        r.outOfBand = !(event->response && event->response->conversationID) && m_pendingAsides > 0;
        if (r.outOfBand)
            --m_pendingAsides;
        else
            r.request = std::exchange(m_unconfirmedCreate, std::nullopt);
        m_responses.push_back(std::move(r));
        m_looseAudio = false;
        emitEvent(VoiceEvent::of(K::responseStarted));
        break;
    }
    case T::responseDone:
        handleResponseDone(*event);
        break;
    case T::outputAudioDelta:
    case T::audioDelta: {
        if (!event->delta || cancelled)
            break;
        const auto decoded = QByteArray::fromBase64Encoding(event->delta->toLatin1(),
                                                            QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.isEmpty() || event->delta->toLatin1().size() != event->delta->size())
            break;
        bool& hadAudio = response ? response->hadAudio : m_looseAudio;
        const bool firstOfResponse = !hadAudio;
        if (firstOfResponse) {
            hadAudio = true;
            emitEvent(VoiceEvent::of(K::assistantAudioStarted));
        }
        if (inBand) {
            const QString itemID = event->itemID.value_or(QString());
            if (firstOfResponse || !m_heardItem || m_heardItem->itemID != itemID) {
                m_heardItem = AudioItem{itemID, 0};
                Q_EMIT audioItemStarted();
            }
            m_heardItem->bytes += decoded.decoded.size();
        }
        Q_EMIT audioChunk(decoded.decoded);
        break;
    }
    case T::outputAudioTranscriptDelta:
    case T::audioTranscriptDelta:
    case T::outputTextDelta:
    case T::textDelta:
        if (event->delta && !event->delta->isEmpty() && !cancelled) {
            VoiceEvent e = VoiceEvent::of(K::assistantTranscript, event->delta);
            e.isFinal = false;
            emitEvent(e);
        }
        break;
    case T::outputAudioTranscriptDone:
    case T::audioTranscriptDone:
        if (event->transcript && !cancelled) {
            if (inBand && !event->transcript->isEmpty())
                remember(event->itemID.value_or(QString()), client::AssistantText{*event->transcript});
            VoiceEvent e = VoiceEvent::of(K::assistantTranscript, event->transcript);
            e.isFinal = true;
            emitEvent(e);
        }
        break;
    case T::functionCallArgumentsDone: {
        if (cancelled) {
            trace(QStringLiteral("wywołanie narzędzia z przerwanej odpowiedzi pominięte"));
            break;
        }
        if (!event->callID || !event->name) {
            emitEvent(VoiceEvent::of(K::error, QStringLiteral("Model poprosił o narzędzie, ale nie podał jego nazwy.")));
            break;
        }
        VoiceEvent e = VoiceEvent::of(K::toolCall);
        e.id = *event->callID;
        e.name = *event->name;
        e.argumentsJSON = event->arguments.value_or(QStringLiteral("{}"));
        m_openCalls.insert(e.id);
        remember(QString(), client::FunctionCall{e.id, e.name, e.argumentsJSON});
        emitEvent(e);
        break;
    }
    }
    maybeRenew();
}

void OpenAIRealtimeEngine::handleResponseDone(const RealtimeServerEvent& event)
{
    using K = VoiceEvent::Kind;
    bool cancelled = false;
    RealtimeServerEvent byID = event; // response.done names its response inside the payload
    byID.responseID = event.response ? event.response->id : std::nullopt;
    if (Response* response = responseOf(byID)) {
        cancelled = response->cancelled;
        m_responses.erase(m_responses.begin() + (response - m_responses.data()));
        if (cancelled)
            wakeCancelWaits();
    }
    m_looseAudio = false;
    // A response we cancelled has been dealt with already: its end changes nothing.
    if (!cancelled) {
        const auto& r = event.response;
        if (r && r->status == QLatin1String("failed")) {
            QString cause = responseFailureCause(*r);
            // A readable message already ends its sentence; a second full stop would be read out.
            if (!cause.endsWith(QLatin1Char('.')))
                cause += QLatin1Char('.');
            emitEvent(VoiceEvent::of(K::error, QStringLiteral("Model nie dokończył odpowiedzi: ") + cause));
        }
        emitEvent(VoiceEvent::of(K::responseFinished, r ? r->status : std::nullopt));
    }
    const bool inBandRunning =
        std::any_of(m_responses.begin(), m_responses.end(), [](const Response& x) { return !x.outOfBand; });
    if (m_queuedCreate && !inBandRunning) {
        const auto create = *std::exchange(m_queuedCreate, std::nullopt);
        sendCreate(create);
    }
}

void OpenAIRealtimeEngine::sendAudio(const QByteArray& pcm16)
{
    if (!m_socket || pcm16.isEmpty())
        return;
    // Audio failures are not spoken: the next frame follows 20 ms later anyway.
    sendDirect(client::AppendAudio{pcm16.toBase64()});
}

void OpenAIRealtimeEngine::cancelActiveResponses()
{
    for (Response& r : m_responses) {
        if (r.cancelled)
            continue;
        r.cancelled = true;
        send(client::CancelResponse{r.id.isEmpty() ? std::nullopt : std::optional<QString>(r.id)});
    }
}

void OpenAIRealtimeEngine::interrupt()
{
    cancelActiveResponses();
    send(client::ClearAudioBuffer{});
    if (m_heardItem)
        m_itemToCut = std::exchange(m_heardItem, std::nullopt);
    // A new session is opened only once the item is cut: the cut trims what it is told.
    if (!m_itemToCut)
        maybeRenew();
}

// The item is cut to what was heard of it, so that the model, and a later session, remember only
// what the user heard. More than the service sent cannot be cut to: the whole was heard.
void OpenAIRealtimeEngine::cutToHeard(std::optional<std::chrono::milliseconds> heardAudio)
{
    const std::optional<AudioItem> item = std::exchange(m_itemToCut, std::nullopt);
    const qint64 ms = item ? item->bytes / kBytesPerMs : 0;
    const qint64 heard = heardAudio ? std::max<qint64>(0, heardAudio->count()) : ms;
    if (item && !item->itemID.isEmpty() && heard < ms) {
        send(client::TruncateItem{item->itemID, heard});
        for (HistoryEntry& entry : m_history) {
            auto* said = std::get_if<client::AssistantText>(&entry.event);
            if (said && entry.itemID == item->itemID)
                said->text = said->text.left(said->text.size() * heard / ms);
        }
    }
    maybeRenew();
}

void OpenAIRealtimeEngine::speakAside(const QString& text)
{
    if (!hasActiveResponse() && send(client::SpeakAside{text}))
        ++m_pendingAsides;
}

bool OpenAIRealtimeEngine::cancelledResponseRunning() const
{
    return std::any_of(m_responses.begin(), m_responses.end(), [](const Response& r) { return r.cancelled; });
}

void OpenAIRealtimeEngine::wakeCancelWaits()
{
    QMetaObject::invokeMethod(this, &OpenAIRealtimeEngine::cancelWaitWoken, Qt::QueuedConnection);
}

QCoro::Task<bool> OpenAIRealtimeEngine::waitForCancelledResponses()
{
    QPointer<OpenAIRealtimeEngine> self(this);
    bool overdue = false;
    // A cancelled response is over when the server sends its "response.done".
    const auto limit = clock().after(kCancelWaitLimit, [this, &overdue] {
        overdue = true;
        Q_EMIT cancelWaitWoken();
    });
    while (cancelledResponseRunning() && m_socket && !overdue) {
        co_await qCoro(this, &OpenAIRealtimeEngine::cancelWaitWoken);
        if (!self || m_destroying)
            co_return false;
    }
    co_return true;
}

QCoro::Task<> OpenAIRealtimeEngine::sendText(QString text)
{
    QPointer<OpenAIRealtimeEngine> self(this);
    if (!m_socket) {
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, kNotConnected));
        co_return;
    }
    remember(QString(), client::UserText{text});
    if (hasActiveResponse()) {
        cancelActiveResponses();
        if (!co_await waitForCancelledResponses() || !self)
            co_return;
    }
    if (m_socket && !m_socket->isOpen()) {
        m_owedCreate = client::CreateResponse{};
        co_return;
    }
    if (!send(client::UserText{text}))
        co_return;
    sendCreate(client::CreateResponse{});
}

QCoro::Task<> OpenAIRealtimeEngine::sendToolResult(QString id, QString output)
{
    QPointer<OpenAIRealtimeEngine> self(this);
    if (!m_socket) {
        emitEvent(VoiceEvent::of(VoiceEvent::Kind::error, kNotConnected));
        co_return;
    }
    m_openCalls.remove(id);
    remember(QString(), client::FunctionCallOutput{id, output});
    const client::CreateResponse answer{kToolResultInstruction};
    if (!m_socket->isOpen()) {
        m_owedCreate = answer;
        co_return;
    }
    if (!send(client::FunctionCallOutput{id, output}))
        co_return;
    if (hasActiveResponse()) {
        cancelActiveResponses();
        if (!co_await waitForCancelledResponses() || !self)
            co_return;
    }
    sendCreate(answer);
    maybeRenew();
}

void OpenAIRealtimeEngine::sendImage(const QByteArray& jpeg, const QString& prompt)
{
    if (jpeg.isEmpty())
        return;
    send(client::UserImage{prompt, QString::fromLatin1(jpeg.toBase64())});
}

void OpenAIRealtimeEngine::suspendTurnDetection()
{
    if (!m_turnDetectionEnabled || !m_sessionConfig)
        return;
    const bool had = m_sessionConfig->turnDetection.has_value();
    m_suspendedTurnDetection = m_sessionConfig->turnDetection;
    m_sessionConfig->turnDetection.reset();
    m_sessionConfig->turnDetectionClearedExplicitly = true;
    m_turnDetectionEnabled = false;
    traceTurnDetection("zdjęty", had);
    sendDirect(client::TurnDetectionUpdate{std::nullopt});
}

void OpenAIRealtimeEngine::resumeTurnDetection()
{
    if (m_turnDetectionEnabled || !m_sessionConfig)
        return;
    m_sessionConfig->turnDetection = m_suspendedTurnDetection;
    m_sessionConfig->turnDetectionClearedExplicitly = false;
    m_suspendedTurnDetection.reset();
    send(client::ClearAudioBuffer{});
    traceTurnDetection("wraca", m_sessionConfig->turnDetection.has_value());
    sendDirect(client::TurnDetectionUpdate{m_sessionConfig->turnDetection});
    m_turnDetectionEnabled = true;
}

void OpenAIRealtimeEngine::remember(QString itemID, RealtimeClientEvent event)
{
    m_history.push_back(HistoryEntry{std::move(itemID), std::move(event)});
    qsizetype total = 0;
    for (const HistoryEntry& e : m_history)
        total += textSize(e.event);
    // The oldest go first; a tool result whose call went with them would confuse the service.
    while (!m_history.empty() && (total > kHistoryCharacters ||
                                  std::holds_alternative<client::FunctionCallOutput>(m_history.front().event))) {
        total -= textSize(m_history.front().event);
        m_history.erase(m_history.begin());
    }
}

// A new server session knows nothing: it is told the conversation so far as text (audio cannot be
// replayed), and an answer that the lost session owed is asked for again.
void OpenAIRealtimeEngine::replayInto()
{
    int replayed = 0;
    for (const HistoryEntry& entry : m_history) {
        const auto* user = std::get_if<client::UserText>(&entry.event);
        if (user && user->text.isEmpty())
            continue; // speech the service never transcribed
        sendDirect(entry.event);
        ++replayed;
    }
    trace(QStringLiteral("nowa sesja: odtworzono %1 wpisów rozmowy").arg(replayed));
    if (m_owedCreate)
        sendCreate(*std::exchange(m_owedCreate, std::nullopt));
}

bool OpenAIRealtimeEngine::isQuiet() const
{
    return m_responses.empty() && m_pendingAsides == 0 && !m_unconfirmedCreate && !m_queuedCreate && !m_owedCreate
        && !m_userSpeaking && m_openCalls.isEmpty();
}

void OpenAIRealtimeEngine::maybeRenew()
{
    if (!m_renewDue || !m_socket || !m_socket->isOpen() || !isQuiet())
        return;
    m_renewDue = false;
    m_sessionAge.reset();
    trace(QStringLiteral("sesja zbliża się do limitu godziny — otwieram nową w cichej chwili"));
    m_heardItem.reset(); // the new session has no audio to cut
    m_itemToCut.reset();
    m_socket->renew();
}

} // namespace selvina::voice
