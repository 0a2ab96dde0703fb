#include "app/AppDelegate.h"

#include "activation/VoiceEnrolment.h"
#include "activation/WakeWord.h"
#include "app/SingleInstance.h"
#include "app/StatusItem.h"
#include "core/SidecarLog.h"
#include "core/Trace.h"
#include "overlay/OverlayController.h"
#include "overlay/RunLog.h"
#include "update/UpdateController.h"

#include <qcoro/qcorotimer.h>

namespace selvina::app {

using conversation::Coordinator;

namespace {

bool switchOn(const char* name)
{
    return qgetenv(name) == "1";
}

// The farewell's last words are the phrase itself; this long after, its echo has died away.
constexpr auto kEchoFadeOut = std::chrono::milliseconds(1500);

} // namespace

AppDelegate::AppDelegate(Services services, QObject* parent)
    : QObject(parent), m_services(std::move(services)), m_debugLog(std::make_unique<overlay::DebugLog>(m_services.runLogFile))
{
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    // The session-configuration dump ends the process in main, before any of this.
    if (handOverToRunningInstance())
        return;
    startPluginMaintenance(); // after the hand-over: a second start must not update the plug-ins too
    if (runDiagnosticsIfAsked())
        return;
    buildStatusItem();
    openSettingsIfAsked();
    przypnijSkrotWywolania();
    if (showStatePreviewIfAsked())
        return;
    connect(this, &AppDelegate::conversationClosed, this, [this] {
        refreshStatusItem();
        // The farewell ends with "…powiedz: hej Selvina.": the listener must not hear its echo.
        m_wakeAfterEcho = clock().after(kEchoFadeOut, [this] { startWakeWordListening(); });
        if (m_updates)
            m_updates->instalujJesliCicho();
    });
    if (switchOn("SELVINA_AUTOSTART") || ChatChannel::isEnabled())
        beginSession();
    else
        startWakeWordListening();
    startUpdates();
    subscribeToPreferences();
    requestMissingPermissions();
}

Clock& AppDelegate::clock() const
{
    return *m_services.composition.clock;
}

void AppDelegate::beginSession(Greeting greeting)
{
    if (m_coordinator || m_waitingForMicrophone)
        return;
    if (!keysRead()) { // the keyring's first answer decides between a conversation and the preview
        whenKeysRead([this, greeting] { beginSession(greeting); });
        return;
    }
    m_wakeAfterEcho.reset();
    if (m_enrolment) {
        logLine(QStringLiteral("[wybudzanie] nauka głosu przerwana przez rozmowę"));
        m_enrolment.reset();
        m_enrolmentSpeech.reset();
    }
    if (m_wakeWord) {
        m_wakeWord->stop();
        // The listener and a conversation never hold the microphone at once.
        if (m_wakeWord->holdsMicrophone()) {
            m_waitingForMicrophone = true;
            m_wakeWord->whenReleased(this, [this, greeting] {
                m_waitingForMicrophone = false;
                beginSession(greeting);
            });
            return;
        }
    }
    m_session.setState(SessionState::listening);
    if (!ChatChannel::isEnabled())
        if (auto* mark = overlay())
            mark->show();
    // The channel exists before the conversation so that a failure to build or start it reaches
    // the typing user as well; it stays after the conversation, so that a typed question can open
    // the next one.
    if (ChatChannel::isEnabled() && m_services.bus != nullptr && !m_chat)
        m_chat = std::make_unique<ChatChannel>(*m_services.bus, [self = QPointer<AppDelegate>(this)](const QString& text) {
            if (self)
                self->onCommand(text);
        });
    startVoice(greeting);
    registerEscape();
    startChatChannel();
    attachObserver();
    refreshStatusItem();
    startWakeWordListening();
}

void AppDelegate::startVoice(Greeting greeting)
{
    CompositionContext context = m_services.composition;
    context.textChannel = ChatChannel::isEnabled();
    Composition::Made made = Composition::makeCoordinator(m_session, context);
    if (auto* preview = std::get_if<Composition::Preview>(&made)) {
        if (!m_simulator) {
            m_simulator = std::make_unique<overlay::AudioLevelSimulator>(clock(), [this](double level) {
                m_session.setAudioLevel(level);
            });
            m_simulator->start();
        }
        speak(QStringLiteral("Tryb poglądowy. Brakuje: ") + preview->missing.join(QStringLiteral(", "))
              + QStringLiteral(". ")
              + QStringLiteral("Wpisz klucz w: ") + keyPlace() + QStringLiteral("."));
        return;
    }
    m_coordinator = std::move(std::get<std::unique_ptr<Coordinator>>(made));
    if (greeting == Greeting::skip)
        m_coordinator->skipGreeting();
    QPointer<AppDelegate> self(this);
    m_coordinator->setOnIdleTimeout([self] {
        if (self)
            self->endSession(EndCue::alreadyHeard);
    });
    m_coordinator->setOnFailure([self](const Coordinator::Failure& failure) {
        if (self)
            self->onConversationFailure(failure);
    });
    startCoordinator(self, QPointer<Coordinator>(m_coordinator.get()));
}

QCoro::Task<> AppDelegate::startCoordinator(QPointer<AppDelegate> self, QPointer<Coordinator> coordinator)
{
    auto starting = coordinator->start();
    const auto started = co_await starting;
    if (started.ok() || !self || !coordinator || self->m_coordinator.get() != coordinator.data())
        co_return;
    self->m_session.setState(SessionState::failed);
    self->speak(QStringLiteral("Nie udało się uruchomić rozmowy. ") + started.error().description());
}

void AppDelegate::startChatChannel()
{
    if (!m_chat)
        return;
    if (m_coordinator) {
        ChatChannel* chat = m_chat.get();
        m_coordinator->setObserver([chat](ChatKind kind, const QString& text) { chat->emit(kind, text); });
    }
    m_chat->start();
}

void AppDelegate::onCommand(const QString& text)
{
    if (!m_coordinator) {
        logLine(QStringLiteral("[tekst] polecenie bez otwartej rozmowy — otwieram rozmowę"));
        beginSession(Greeting::skip);
        if (!m_coordinator)
            return; // the preview has said what is missing
    }
    m_coordinator->submitText(text);
}

// Said outside the realtime voice, which may be what failed. A session that is over ends the
// conversation, with the end cue once the sentence has been said.
void AppDelegate::onConversationFailure(const Coordinator::Failure& failure)
{
    if (!failure.alreadySpoken)
        speak(failure.sentence, ChatCopy::alreadySent);
    if (!failure.endsConversation)
        return;
    // On the next turn of the event loop: the news comes from deep inside the engine, which closing
    // the conversation destroys.
    const auto saying = m_services.speech != nullptr
        ? std::chrono::milliseconds(kSpokenCharacter.count() * failure.sentence.size())
        : std::chrono::milliseconds(0);
    QMetaObject::invokeMethod(
        this,
        [this, saying, failed = QPointer<Coordinator>(m_coordinator.get())] {
            if (!failed || m_coordinator.get() != failed.data())
                return;
            endSession(EndCue::alreadyHeard);
            m_endCue = clock().after(saying, [self = QPointer<AppDelegate>(this)] {
                if (self)
                    self->playCue(voice::Cue::end);
            });
        },
        Qt::QueuedConnection);
}

void AppDelegate::attachObserver()
{
    // With the text channel the conversation reports to it instead.
    if (m_chat || !m_coordinator)
        return;
    m_coordinator->setObserver([self = QPointer<AppDelegate>(this)](ChatKind kind, const QString& text) {
        if (!self)
            return;
        self->m_debugLog->append(kind, text);
        if (kind == ChatKind::state)
            self->refreshDebugPanel();
    });
}

void AppDelegate::endSession(EndCue cue)
{
    if (cue == EndCue::play)
        playCue(voice::Cue::end);
    releaseEscape();
    m_simulator.reset();
    m_session.setAudioLevel(0);
    if (!m_coordinator) {
        m_session.setActive(false); // the overlay follows
        Q_EMIT conversationClosed();
        return;
    }
    std::unique_ptr<Coordinator> closing = std::move(m_coordinator);
    closing->setOnIdleTimeout(nullptr);
    closing->setOnFailure(nullptr);
    closing->setObserver(nullptr);
    stopCoordinator(QPointer<AppDelegate>(this), std::move(closing));
}

QCoro::Task<> AppDelegate::stopCoordinator(QPointer<AppDelegate> self, std::unique_ptr<Coordinator> coordinator)
{
    ++self->m_closing;
    // The close may come from inside the conversation itself (its idle hook, called while the engine
    // hands on a frame): let that call return before anything of it is stopped or freed.
    co_await QCoro::sleepFor(std::chrono::milliseconds(0));
    co_await coordinator->stop();
    coordinator.reset();
    if (!self)
        co_return;
    --self->m_closing;
    self->m_session.setActive(false);
    Q_EMIT self->conversationClosed();
}

QCoro::Task<> AppDelegate::escapePressed()
{
    QPointer<AppDelegate> self(this);
    if (!m_coordinator) {
        logLine(QStringLiteral("[esc] brak sesji — zamykam"));
        endSession(EndCue::play);
        co_return;
    }
    const bool interruptible = m_coordinator->isInterruptible();
    logLine(QStringLiteral("[esc] przerywalne: %1 (%2)")
                .arg(interruptible ? QStringLiteral("true") : QStringLiteral("false"),
                     m_coordinator->opisPrzerywalnosci()));
    if (!interruptible) {
        endSession(EndCue::play);
        co_return;
    }
    playCue(voice::Cue::interrupted);
    QPointer<Coordinator> coordinator(m_coordinator.get());
    co_await coordinator->interruptSpeech();
}

QCoro::Task<> AppDelegate::shutdown()
{
    QPointer<AppDelegate> self(this);
    if (m_coordinator)
        endSession(EndCue::alreadyHeard);
    // The sidecar stops with everything it started; a hung part never holds up quitting for more
    // than 5 s.
    auto sidecarDown = std::make_shared<bool>(m_services.composition.agent == nullptr);
    if (!*sidecarDown)
        stopAgentLayer(m_services.composition.agent, sidecarDown);
    for (int waited = 0; self && (self->m_closing > 0 || !*sidecarDown) && waited < 5000; waited += 20)
        co_await QCoro::sleepFor(std::chrono::milliseconds(20));
}

QCoro::Task<> AppDelegate::stopAgentLayer(agent::AgentBridge* bridge, std::shared_ptr<bool> done)
{
    auto stopping = bridge->shutdown();
    co_await stopping;
    *done = true;
}

void AppDelegate::speak(const QString& text, ChatCopy chat)
{
    logLine(QStringLiteral("[mowa] ") + text);
    if (m_chat && chat == ChatCopy::send)
        m_chat->emit(ChatKind::error, text);
    if (m_services.speech == nullptr || !m_services.speech->speak(text))
        logLine(QStringLiteral("[mowa] brak syntezatora mowy (spd-say, espeak-ng) — komunikat tylko w dzienniku"));
}

void AppDelegate::playCue(voice::Cue cue)
{
    if (m_services.cues != nullptr)
        trackCue(QPointer<AppDelegate>(this), m_services.cues->play(cue));
}

} // namespace selvina::app
