#include "conversation/Coordinator.h"

#include "core/Trace.h"

namespace selvina::conversation {

using voice::VoiceEvent;
using K = VoiceEvent::Kind;

const QString Coordinator::kGreeting = QStringLiteral("Słucham, w czym mogę pomóc?");
const QString Coordinator::kFarewell = QStringLiteral("Jeżeli będziesz chciał wrócić do rozmowy, powiedz: hej Selvina.");
const QString Coordinator::kLineNotSent = QStringLiteral("Polecenie nie zostało wysłane. ");
const QString Coordinator::kSoundServerBack =
    QStringLiteral("Serwer dźwięku uruchomił się ponownie. Mikrofon i głośniki działają dalej.");

namespace {

QString yesNo(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

bool bargeInFromEnvironment()
{
    static const bool on = qEnvironmentVariable("SELVINA_BARGE_IN").toLower() == u"on";
    return on;
}

QString eventLabel(const VoiceEvent& event)
{
    switch (event.kind) {
    case K::connected:
        return QStringLiteral("connected");
    case K::userSpeechStarted:
        return QStringLiteral("userSpeechStarted");
    case K::userSpeechEnded:
        return QStringLiteral("userSpeechEnded");
    case K::responseStarted:
        return QStringLiteral("responseStarted");
    case K::responseFinished:
        return QStringLiteral("responseFinished");
    case K::assistantAudioStarted:
        return QStringLiteral("assistantAudioStarted");
    case K::disconnected:
        return QStringLiteral("disconnected(") + event.text.value_or(QStringLiteral("—")) + QLatin1Char(')');
    case K::toolCall:
        return QStringLiteral("toolCall(") + event.name + QLatin1Char(')');
    case K::error:
        return QStringLiteral("error: ") + event.text.value_or(QString());
    case K::assistantTranscript:
        return event.isFinal ? QStringLiteral("ASYSTENT: ") + event.text.value_or(QString())
                             : QStringLiteral("assistantTranscript(…)");
    case K::configured:
        return QStringLiteral("configured");
    }
    return {};
}

QString asSentence(QString text)
{
    if (!text.endsWith(QLatin1Char('.')))
        text += QLatin1Char('.');
    return text;
}

} // namespace

Coordinator::Coordinator(SessionModel& session, std::shared_ptr<voice::VoiceEngine> voice,
                         std::shared_ptr<voice::AudioCapture> capture, std::shared_ptr<voice::AudioPlayback> playback,
                         std::shared_ptr<tools::ToolRegistry> registry, std::shared_ptr<tools::ToolExecutor> executor,
                         AssistantAudio assistantAudio, platform::SystemLog& systemLog, Options options,
                         QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_voice(std::move(voice))
    , m_capture(std::move(capture))
    , m_playback(std::move(playback))
    , m_executor(std::move(executor))
    , m_registry(std::move(registry))
    , m_assistantAudio(assistantAudio)
    , m_systemLog(systemLog)
    , m_options(std::move(options))
    , m_bargeIn(m_options.bargeIn.value_or(bargeInFromEnvironment()))
    , m_calls(*m_options.clock, kToolWatchdog,
              [this](const QString& id, quint64 token) { finishCall(id, token, watchdogText()); })
{
}

Coordinator::~Coordinator()
{
    for (const auto& c : m_tasks)
        QObject::disconnect(c);
}

QCoro::Task<Result<StartOutcome, ConversationStartError>> Coordinator::start()
{
    QPointer<Coordinator> self(this);
    auto playback = m_playback;
    auto capture = m_capture;
    auto voice = m_voice;
    m_startupMute = true;

    trace(QStringLiteral("start: uruchamiam odtwarzanie"));
    const auto played = co_await playback->start();
    if (!played.ok())
        co_return failedToStart(self, ConversationStartError::speakers(played.error().description()));
    if (!self || m_stopped) // closed while starting: nothing more may be switched on
        co_return StartOutcome::closedWhileStarting;

    trace(QStringLiteral("start: odtwarzanie OK, uruchamiam mikrofon"));
    const auto captured = co_await capture->start();
    if (!captured.ok())
        co_return failedToStart(self, ConversationStartError::microphone(captured.error().description()));
    if (!self || m_stopped) // closed while starting: nothing more may be switched on
        co_return StartOutcome::closedWhileStarting;

    trace(QStringLiteral("start: mikrofon OK, łączę z modelem"));
    // Consumers are attached before the connection opens: the engine's first events may arrive
    // while connectSession() is still returning.
    m_tasks.push_back(connect(voice.get(), &voice::VoiceEngine::voiceEvent, this, &Coordinator::enqueueEvent));
    m_tasks.push_back(connect(capture.get(), &voice::AudioCapture::framesAvailable, this, &Coordinator::takeFrames));
    m_tasks.push_back(connect(capture.get(), &voice::AudioCapture::levelAvailable, this, &Coordinator::takeInputLevels));
    m_tasks.push_back(connect(m_playback.get(), &voice::AudioPlayback::levelAvailable, this,
                              &Coordinator::takeOutputLevels));
    m_tasks.push_back(connect(capture.get(), &voice::AudioCapture::soundServerBack, this, &Coordinator::soundServerBack));
    m_tasks.push_back(connect(m_playback.get(), &voice::AudioPlayback::soundServerBack, this, &Coordinator::soundServerBack));
    m_tasks.push_back(connect(capture.get(), &voice::AudioCapture::soundServerGone, this, &Coordinator::soundServerGone));
    m_tasks.push_back(connect(m_playback.get(), &voice::AudioPlayback::soundServerGone, this, &Coordinator::soundServerGone));
    if (m_assistantAudio == AssistantAudio::played) {
        // Direct, like the chunks: the mark reaches the speakers between the right two chunks.
        m_tasks.push_back(connect(voice.get(), &voice::VoiceEngine::audioItemStarted, this,
                                  [this] { m_playback->markItemStart(); }));
        m_tasks.push_back(connect(voice.get(), &voice::VoiceEngine::audioChunk, this, &Coordinator::playChunk));
    }

    auto connecting = voice->connectSession(m_registry->definitions(), m_options.instructions);
    const auto connected = co_await connecting;
    if (!connected.ok()) {
        if (self) {
            for (const auto& c : m_tasks)
                QObject::disconnect(c);
            m_tasks.clear();
        }
        co_return failedToStart(self, ConversationStartError::connection(connected.error().description()));
    }
    if (!self || m_stopped) {
        voice->disconnectSession();
        co_return StartOutcome::closedWhileStarting;
    }
    m_started = true;
    trace(QStringLiteral("start: connect() wrócił bez błędu"));
    co_return StartOutcome::started;
}

// A conversation that could not open stays open as failed; what is typed into it is answered
// with the reason.
ConversationStartError Coordinator::failedToStart(QPointer<Coordinator> self, ConversationStartError error)
{
    if (self) {
        self->m_hasFailed = true;
        self->m_lastFailure = asSentence(error.description());
        self->refuseWaitingTexts();
    }
    return error;
}

QCoro::Task<> Coordinator::stop()
{
    QPointer<Coordinator> self(this);
    auto voice = m_voice;
    auto capture = m_capture;
    auto playback = m_playback;
    m_stopped = true;
    m_idleTimer.reset();
    m_awaitWatchdog.reset();
    m_workVisualEntry.reset();
    m_farewellLimit.reset();
    m_onIdleTimeout = nullptr;
    // Late answers of cancelled calls find no entry and are dropped: the connection is closing.
    m_calls.clear();
    refreshWorkSound();
    for (const auto& c : m_tasks)
        QObject::disconnect(c);
    m_tasks.clear();
    m_pendingEvents.clear();
    m_waitingTexts.clear();
    m_onFailure = nullptr;
    if (m_framesCaptured > 0)
        trace(QStringLiteral("mikrofon: STRUMIEŃ ZAMKNIĘTY po %1 ramkach").arg(m_framesCaptured));
    voice->disconnectSession();
    co_await capture->stop();
    co_await playback->stop();
    if (self)
        m_session.setAudioLevel(0);
}

void Coordinator::recomputeState()
{
    SessionState next = SessionState::listening;
    if (m_hasFailed)
        next = SessionState::failed;
    else if (!m_calls.empty() || m_awaitingModel)
        next = SessionState::thinking;
    else if (m_speechAudible)
        next = SessionState::speaking;
    apply(next);
}

void Coordinator::apply(SessionState state)
{
    refreshWorkSound();
    refreshAwaitWatchdog();
    refreshIdleTimer();
    if (state == SessionState::listening)
        m_startupMute = false;
    const SessionState old = m_session.state();
    if (old != state) {
        m_session.setState(state);
        trace(QStringLiteral("STAN: %1 → %2 (narzędzia: %3, czekam: %4, mowa: %5)")
                  .arg(sessionStateName(old), sessionStateName(state))
                  .arg(m_calls.size())
                  .arg(yesNo(m_awaitingModel), yesNo(m_speechAudible)));
        reportToObserver(ChatKind::state, sessionStateName(state));
        if (state != SessionState::speaking)
            m_session.setAudioLevel(0);
    }
    // A line typed while the conversation opened goes once it listens; one at a time, so that
    // none cuts off the answer to the one before. Last: it changes the state again.
    // After a failed answer on a session that goes on, the next line is sent as well.
    const bool sendsNow = state == SessionState::listening || (state == SessionState::failed && sessionGoesOn());
    if (sendsNow && m_connected && !m_waitingTexts.isEmpty())
        deliverText(m_waitingTexts.takeFirst());
}

void Coordinator::submitText(const QString& text)
{
    if (m_stopped)
        return;
    // Only a lost session refuses the line; a failed answer has been said, and the next line goes.
    if (m_hasFailed && !sessionGoesOn()) {
        reportToObserver(ChatKind::error,
                         kLineNotSent + m_lastFailure.value_or(QStringLiteral("Rozmowa nie jest połączona z OpenAI.")));
        return;
    }
    if (!m_connected || !m_waitingTexts.isEmpty()) {
        m_waitingTexts.append(text);
        return;
    }
    deliverText(text);
}

bool Coordinator::sessionGoesOn() const
{
    return m_connected && m_voice->hasSession();
}

void Coordinator::deliverText(const QString& text)
{
    // A line sent into a working session starts afresh: a failure it meets is said again.
    if (m_hasFailed)
        recovered();
    reportToObserver(ChatKind::user, text);
    m_awaitingModel = true;
    recomputeState();
    m_voice->sendText(text);
}

// Lines still waiting when the conversation fails get the failure as their answer.
void Coordinator::refuseWaitingTexts()
{
    for (const QString& text : std::exchange(m_waitingTexts, {}))
        submitText(text);
}

QString Coordinator::opisPrzerywalnosci() const
{
    return QStringLiteral("narzędzia: %1, mowa: %2, czekam na model: %3")
        .arg(m_calls.size())
        .arg(yesNo(m_speechAudible || m_outputLevel > kAudibleLevel), yesNo(m_awaitingModel));
}

bool Coordinator::isInterruptible() const
{
    return !m_calls.empty() || m_speechAudible || m_outputLevel > kAudibleLevel || m_awaitingModel;
}

void Coordinator::setOnIdleTimeout(std::function<void()> onIdleTimeout)
{
    m_onIdleTimeout = std::move(onIdleTimeout);
    refreshIdleTimer();
}

void Coordinator::enqueueEvent(const VoiceEvent& event)
{
    if (m_stopped)
        return;
    m_pendingEvents.push_back(event);
    if (!m_pumping)
        pumpEvents(QPointer<Coordinator>(this));
}

QCoro::Task<> Coordinator::pumpEvents(QPointer<Coordinator> self)
{
    self->m_pumping = true;
    while (self && !self->m_pendingEvents.empty()) {
        VoiceEvent event = std::move(self->m_pendingEvents.front());
        self->m_pendingEvents.pop_front();
        auto handling = self->handle(std::move(event));
        co_await handling;
    }
    if (self)
        self->m_pumping = false;
}

void Coordinator::report(const VoiceEvent& event)
{
    if (!m_observer)
        return;
    switch (event.kind) {
    case K::disconnected:
        m_observer(ChatKind::error, QStringLiteral("rozłączono: ") + event.text.value_or(QStringLiteral("bez powodu")));
        break;
    case K::assistantTranscript:
        if (event.isFinal)
            m_observer(ChatKind::assistant, event.text.value_or(QString()));
        break;
    case K::toolCall:
        m_observer(ChatKind::toolCall, event.name + QLatin1Char(' ') + event.argumentsJSON);
        break;
    case K::error:
        m_observer(ChatKind::error, event.text.value_or(QString()));
        break;
    default:
        break;
    }
}

QCoro::Task<> Coordinator::handle(VoiceEvent event)
{
    QPointer<Coordinator> self(this);
    trace(QStringLiteral("zdarzenie: ") + eventLabel(event));
    report(event);
    switch (event.kind) {
    case K::connected:
        m_connected = true;
        recovered();
        m_speechAudible = false;
        if (!m_greets)
            break;
        m_awaitingModel = true;
        recomputeState();
        m_voice->speakAside(kGreeting);
        co_return;
    case K::configured:
        recovered();
        break;
    case K::disconnected:
        m_connected = false;
        m_hasFailed = event.text.has_value();
        m_awaitingModel = false;
        m_speechAudible = false;
        m_userSpeaking = false;
        if (event.text)
            fail(*event.text, true);
        if (!self) // the failure has closed the conversation
            co_return;
        break;
    case K::userSpeechStarted:
        // No idle close while the user talks, however long.
        m_userSpeaking = true;
        // The service heard the user: the session works, whatever answer failed before.
        if (m_hasFailed && sessionGoesOn())
            recovered();
        refreshIdleTimer();
        if (m_speechAudible) {
            co_await silence(self, m_voice, m_playback);
            if (!self || m_stopped)
                co_return;
            m_speechAudible = false;
            ++m_speechGeneration;
        }
        break;
    case K::userSpeechEnded:
        m_userSpeaking = false;
        refreshIdleTimer();
        if (m_calls.empty())
            m_awaitingModel = true;
        break;
    case K::responseStarted:
        m_awaitingModel = true;
        break;
    case K::assistantAudioStarted:
        m_awaitingModel = false;
        m_speechAudible = true;
        ++m_speechGeneration;
        break;
    case K::responseFinished:
        m_awaitingModel = false;
        if (event.text == u"completed")
            recovered();
        if (m_speechAudible) {
            // A farewell already heard closes the conversation in there, and this object with it.
            startDrainTask();
            if (!self)
                co_return;
        }
        break;
    case K::assistantTranscript:
        co_return;
    case K::toolCall:
        onToolCall(event.id, event.name, event.argumentsJSON);
        co_return;
    case K::error:
        m_systemLog.write(QStringLiteral("[SelvinaVoice] Błąd warstwy głosowej: ") + event.text.value_or(QString()));
        m_hasFailed = true;
        // A lost session never says that the user stopped talking.
        m_userSpeaking = false;
        fail(event.text.value_or(QString()), false);
        if (!self)
            co_return;
        break;
    }
    recomputeState();
}

void Coordinator::fail(const QString& sentence, bool endsConversation)
{
    m_lastFailure = sentence;
    if (endsConversation || !sessionGoesOn())
        refuseWaitingTexts();
    // start() reports a failure while opening itself.
    if (!m_started || !m_onFailure)
        return;
    const bool alreadySpoken = m_spokenFailure == sentence;
    m_spokenFailure = sentence;
    // Last: the handler may close the conversation, and this object with it.
    auto onFailure = m_onFailure;
    onFailure(Failure{sentence, alreadySpoken, endsConversation});
}

// The microphone and the speakers each reopen on the restarted server: the user hears of it once.
void Coordinator::soundServerBack(quint64 connection)
{
    if (m_stopped || !m_started || connection == m_soundServerTold)
        return;
    m_soundServerTold = connection;
    trace(QStringLiteral("serwer dźwięku wrócił (połączenie %1)").arg(connection));
    if (auto onFailure = m_onFailure)
        onFailure(Failure{kSoundServerBack, false, false});
}

// Without a microphone or speakers the conversation cannot go on.
void Coordinator::soundServerGone(const QString& sentence)
{
    if (m_stopped || std::exchange(m_soundServerGone, true))
        return;
    m_systemLog.write(QStringLiteral("[SelvinaVoice] ") + sentence);
    m_hasFailed = true;
    recomputeState();
    fail(sentence, true); // last: the delegate closes the conversation
}

// The session works (configured, or an answer came through): whatever failed is over.
void Coordinator::recovered()
{
    if (m_soundServerGone) // the session may work; without a microphone and speakers nothing can
        return;
    if (m_hasFailed)
        trace(QStringLiteral("rozmowa znowu działa"));
    m_hasFailed = false;
    m_lastFailure.reset();
    m_spokenFailure.reset();
}

void Coordinator::startDrainTask()
{
    drain(QPointer<Coordinator>(this), m_playback, m_speechGeneration);
}

QCoro::Task<> Coordinator::drain(QPointer<Coordinator> self, std::shared_ptr<voice::AudioPlayback> playback,
                                 qint64 generation)
{
    co_await playback->waitUntilDrained();
    if (!self || self->m_stopped || self->m_speechGeneration != generation)
        co_return;
    self->m_speechAudible = false;
    self->recomputeState();
    if (self && self->m_sayingGoodbye)
        self->closeAfterFarewell();
}

void Coordinator::takeFrames()
{
    while (!m_stopped) {
        std::optional<QByteArray> frame = m_capture->takeFrame();
        if (!frame)
            return;
        ++m_framesCaptured;
        if (m_framesCaptured == 1 || m_framesCaptured % 200 == 0)
            trace(QStringLiteral("mikrofon: ramka #%1, %2 B").arg(m_framesCaptured).arg(frame->size()));
        if (shouldForward())
            m_voice->sendAudio(*frame);
        else
            m_voice->sendAudio(QByteArray(frame->size(), '\0'));
        ++m_framesSent;
    }
}

bool Coordinator::shouldForward()
{
    if (m_bargeIn)
        return true;
    const bool forward = !m_startupMute && !m_speechAudible && m_outputLevel <= kAudibleLevel
        && m_calls.empty() && !m_awaitingModel;
    if (forward) {
        if (m_suppressedFrames > 0) {
            trace(QStringLiteral("wracam do prawdziwego dźwięku po %1 ramkach ciszy").arg(m_suppressedFrames));
            m_suppressedFrames = 0;
        }
        return true;
    }
    if (++m_suppressedFrames == 1)
        trace(QStringLiteral("głośniki grają — w miejsce dźwięku idzie cisza"));
    return false;
}

void Coordinator::takeInputLevels()
{
    while (!m_stopped) {
        const std::optional<double> level = m_capture->takeLevel();
        if (!level)
            return;
        m_inputLevel = *level;
        m_inputPeak = std::max(m_inputPeak, *level);
        if (++m_levelSamples % 30 == 0) {
            trace(QStringLiteral("poziom wejścia: teraz %1, szczyt %2")
                      .arg(m_inputLevel, 0, 'f', 3)
                      .arg(m_inputPeak, 0, 'f', 3));
            m_inputPeak = 0;
        }
        if (m_session.state() == SessionState::listening)
            m_session.setAudioLevel(*level);
    }
}

void Coordinator::takeOutputLevels()
{
    while (!m_stopped) {
        const std::optional<double> level = m_playback->takeLevel();
        if (!level)
            return;
        m_outputLevel = *level;
        if (m_session.state() == SessionState::speaking)
            m_session.setAudioLevel(*level);
    }
}

void Coordinator::playChunk(const QByteArray& chunk)
{
    if (m_stopped)
        return;
    ++m_chunksPlayed;
    if (m_chunksPlayed == 1 || m_chunksPlayed % 50 == 0)
        trace(QStringLiteral("odtwarzanie: porcja #%1, %2 B").arg(m_chunksPlayed).arg(chunk.size()));
    // The speakers queue the chunk before the task first suspends, so arrival order is kept
    // without waiting here.
    m_playback->enqueue(chunk);
}

// The model stops and the speakers go quiet at once; the answer is then cut to what the speakers
// say was heard of it. Speakers that cannot tell (a typed conversation shows the whole answer)
// leave it whole.
QCoro::Task<> Coordinator::silence(QPointer<Coordinator> self, std::shared_ptr<voice::VoiceEngine> voice,
                                   std::shared_ptr<voice::AudioPlayback> playback)
{
    voice->interrupt();
    auto flushing = playback->flush();
    auto asking = playback->itemHeardMs(); // after the flush: what it drops was not heard
    co_await flushing;
    const std::optional<qint64> heardMs = co_await asking;
    if (self && !self->m_stopped)
        voice->cutToHeard(heardMs ? std::optional(std::chrono::milliseconds(*heardMs)) : std::nullopt);
}

void Coordinator::refreshAwaitWatchdog()
{
    if (!(m_awaitingModel && m_calls.empty()) || m_stopped) {
        m_awaitWatchdog.reset();
        return;
    }
    if (m_awaitWatchdog)
        return;
    m_awaitWatchdog = clock().after(kAwaitWatchdog, [this] {
        if (!m_awaitingModel || !m_calls.empty())
            return;
        trace(QStringLiteral("model milczy od 12 s — przestaję czekać"));
        m_awaitingModel = false;
        m_awaitWatchdog.reset();
        recomputeState();
        if (m_sayingGoodbye)
            closeAfterFarewell();
    });
}

void Coordinator::refreshIdleTimer()
{
    m_idleTimer.reset();
    if (m_stopped || !m_connected || m_hasFailed || m_userSpeaking || !m_calls.empty() || m_awaitingModel
        || m_speechAudible || m_sayingGoodbye || !m_onIdleTimeout)
        return;
    m_idleTimer = clock().after(kIdleTimeout, [this] { sayGoodbye(); });
}

void Coordinator::sayGoodbye()
{
    if (m_sayingGoodbye || !m_calls.empty() || m_speechAudible || m_hasFailed)
        return;
    m_sayingGoodbye = true;
    trace(QStringLiteral("bezczynność 15 s — żegnam i zamykam sesję"));
    m_awaitingModel = true;
    recomputeState();
    m_voice->speakAside(kFarewell);
    m_farewellLimit = clock().after(kFarewellLimit, [this] {
        if (!m_sayingGoodbye)
            return;
        trace(QStringLiteral("pożegnanie nie wybrzmiało w limicie — zamykam mimo to"));
        closeAfterFarewell();
    });
}

// Whichever path comes first (farewell heard, its limit, the await watchdog) closes exactly once.
void Coordinator::closeAfterFarewell()
{
    if (!m_sayingGoodbye)
        return;
    m_sayingGoodbye = false;
    m_farewellLimit.reset();
    if (auto onIdleTimeout = m_onIdleTimeout)
        onIdleTimeout();
}

} // namespace selvina::conversation
