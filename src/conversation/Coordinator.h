// Coordinator: one live conversation — the engine's events, the microphone and the speakers, the
// model's tool calls, the timers that end a silent conversation, and the state derived from it all.
// Thread: main thread; every method and every continuation runs there.
#pragma once

#include "conversation/ToolCallTracker.h"
#include "core/Clock.h"
#include "core/Result.h"
#include "core/Session.h"
#include "platform/SystemLog.h"
#include "tools/ToolRegistry.h"
#include "voice/VoiceEngine.h"
#include "voice/audio/AudioCapture.h"
#include "voice/audio/AudioPlayback.h"

#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace selvina::conversation {

// Errors follow one shape across the code: a class with a Kind, a named constructor per kind taking
// only what the sentence needs, and description() = the Polish sentence the user hears.
class ConversationStartError {
public:
    enum class Kind { speakers, microphone, connection };
    // `sentence`: the part's own description of what failed.
    static ConversationStartError speakers(QString sentence) { return {Kind::speakers, std::move(sentence)}; }
    static ConversationStartError microphone(QString sentence) { return {Kind::microphone, std::move(sentence)}; }
    static ConversationStartError connection(QString sentence) { return {Kind::connection, std::move(sentence)}; }

    Kind kind() const { return m_kind; }
    QString description() const { return m_sentence; }
    bool operator==(const ConversationStartError&) const = default;

private:
    ConversationStartError(Kind kind, QString sentence) : m_kind(kind), m_sentence(std::move(sentence)) {}
    Kind m_kind;
    QString m_sentence;
};

// How a start that did not fail ended: the conversation runs, or it was closed while it opened
// (nothing more was switched on; not a failure, nothing to say).
enum class StartOutcome { started, closedWhileStarting };

enum class AssistantAudio { played, ignored };

class Coordinator : public QObject {
    Q_OBJECT
public:
    using Observer = std::function<void(ChatKind kind, const QString& text)>;

    static constexpr auto kToolWatchdog = std::chrono::seconds(600);
    static constexpr auto kAwaitWatchdog = std::chrono::seconds(12);
    static constexpr auto kIdleTimeout = std::chrono::seconds(15);
    static constexpr auto kFarewellLimit = std::chrono::seconds(10);
    static constexpr auto kWorkSoundDelay = std::chrono::milliseconds(350);
    static constexpr auto kWorkVisualDelay = std::chrono::milliseconds(800);
    static constexpr double kAudibleLevel = 0.02;

    static const QString kGreeting;
    static const QString kFarewell;
    static const QString kInterruptedByUserText;
    static const QString kLineNotSent; // before the sentence saying what is wrong
    static const QString kSoundServerBack;
    static QString watchdogText();

    struct Options {
        QString instructions;
        std::optional<QByteArray> workSound; // the loop played while tools run; none: no sound
        Clock* clock = nullptr;              // required: the conversation's timers
        std::optional<bool> bargeIn;         // none: SELVINA_BARGE_IN, read once per process
    };

    Coordinator(SessionModel& session, std::shared_ptr<voice::VoiceEngine> voice,
                std::shared_ptr<voice::AudioCapture> capture, std::shared_ptr<voice::AudioPlayback> playback,
                std::shared_ptr<tools::ToolRegistry> registry, std::shared_ptr<tools::ToolExecutor> executor,
                AssistantAudio assistantAudio, platform::SystemLog& systemLog, Options options,
                QObject* parent = nullptr);
    ~Coordinator() override;

    QCoro::Task<Result<StartOutcome, ConversationStartError>> start();
    QCoro::Task<> stop();
    // Escape: cancels running tool calls, silences the speakers, answers the cancelled calls.
    QCoro::Task<> interruptSpeech();
    // A progress note of the agent layer; nothing is spoken.
    void reportActivity(const QString& text);
    // A typed question (the text channel): sent at once when the conversation runs, kept until it
    // first listens while it is still opening; answered with what is wrong while there is no session
    // to send it to (reconnecting, refused, given up), sent as usual after a failed answer.
    void submitText(const QString& text);
    // Opens without the spoken greeting (a conversation opened by a typed question).
    void skipGreeting() { m_greets = false; }

    // "narzędzia: N, mowa: true|false, czekam na model: true|false"
    QString opisPrzerywalnosci() const;
    // Something Escape can cut short: a tool call, audible speech or an awaited answer.
    bool isInterruptible() const;

    void setObserver(Observer observer) { m_observer = std::move(observer); }
    void reportToObserver(ChatKind kind, const QString& text)
    {
        if (m_observer)
            m_observer(kind, text);
    }
    void setOnIdleTimeout(std::function<void()> onIdleTimeout);

    // A failure of the engine or of the sound server, as the user is to hear it: once per sentence
    // until the conversation works again. `endsConversation`: the conversation cannot go on (the
    // session refused or given up on, the sound server gone). Also news the user must hear about
    // a failure already mended (the sound server restarted), with `endsConversation` false.
    struct Failure {
        QString sentence;
        bool alreadySpoken = false;
        bool endsConversation = false;
    };
    void setOnFailure(std::function<void(const Failure&)> onFailure) { m_onFailure = std::move(onFailure); }

    std::size_t runningToolCount() const { return m_calls.size(); }

private:
    // The state.
    void recomputeState();
    void apply(SessionState state);

    // Engine events, one at a time in arrival order.
    void enqueueEvent(const voice::VoiceEvent& event);
    static QCoro::Task<> pumpEvents(QPointer<Coordinator> self);
    QCoro::Task<> handle(voice::VoiceEvent event);
    void report(const voice::VoiceEvent& event);
    static ConversationStartError failedToStart(QPointer<Coordinator> self, ConversationStartError error);
    void fail(const QString& sentence, bool endsConversation);
    void recovered();
    void deliverText(const QString& text);
    bool sessionGoesOn() const; // a failure has left the session open: what is said next is sent
    void refuseWaitingTexts();
    void soundServerBack(quint64 connection);
    void soundServerGone(const QString& sentence);
    void startDrainTask();
    static QCoro::Task<> drain(QPointer<Coordinator> self, std::shared_ptr<voice::AudioPlayback> playback,
                               qint64 generation);

    // Audio in both directions.
    void takeFrames();
    void takeInputLevels();
    void takeOutputLevels();
    void playChunk(const QByteArray& chunk);
    bool shouldForward();
    static QCoro::Task<> silence(QPointer<Coordinator> self, std::shared_ptr<voice::VoiceEngine> voice,
                                 std::shared_ptr<voice::AudioPlayback> playback);

    // Timers.
    void refreshAwaitWatchdog();
    void refreshIdleTimer();
    void sayGoodbye();
    void closeAfterFarewell();

    // Tool calls.
    void onToolCall(const QString& id, const QString& name, const QString& argumentsJSON);
    static QCoro::Task<> runCall(QPointer<Coordinator> self, std::shared_ptr<tools::ToolExecutor> executor,
                                 QString id, QString name, QString argumentsJSON, quint64 token,
                                 std::shared_ptr<tools::CallCancellation> cancellation);
    void finishCall(const QString& id, quint64 token, const QString& output);
    static QCoro::Task<> deliverToolResult(QPointer<Coordinator> self, std::shared_ptr<voice::VoiceEngine> voice,
                                           QString id, QString name, QString output, quint64 token);
    void refreshWorkSound();
    static QCoro::Task<> workSoundAfterDrain(QPointer<Coordinator> self,
                                             std::shared_ptr<voice::AudioPlayback> playback, qint64 generation);
    void refreshWorkVisual(bool working);

    Clock& clock() const { return *m_options.clock; }

    SessionModel& m_session;
    std::shared_ptr<voice::VoiceEngine> m_voice;
    std::shared_ptr<voice::AudioCapture> m_capture;
    std::shared_ptr<voice::AudioPlayback> m_playback;
    std::shared_ptr<tools::ToolExecutor> m_executor;
    std::shared_ptr<tools::ToolRegistry> m_registry;
    AssistantAudio m_assistantAudio;
    platform::SystemLog& m_systemLog;
    Options m_options;
    bool m_bargeIn = false;

    std::vector<QMetaObject::Connection> m_tasks; // the consumers: events, frames, levels, assistant audio
    Observer m_observer;
    ToolCallTracker m_calls;
    bool m_awaitingModel = false;
    bool m_speechAudible = false;
    qint64 m_speechGeneration = 0;
    bool m_hasFailed = false;
    bool m_workSoundPlaying = false;
    bool m_startupMute = false;
    std::unique_ptr<ScheduledCall> m_workVisualEntry;
    qint64 m_workSoundGeneration = 0;
    std::unique_ptr<ScheduledCall> m_workSoundDelay;
    std::unique_ptr<ScheduledCall> m_awaitWatchdog;
    std::function<void()> m_onIdleTimeout;
    std::unique_ptr<ScheduledCall> m_idleTimer;
    std::unique_ptr<ScheduledCall> m_farewellLimit;
    bool m_sayingGoodbye = false;
    bool m_interrupting = false;
    bool m_stopped = false;
    bool m_started = false;       // start() has succeeded
    bool m_connected = false;     // the session has been configured and not closed since
    bool m_userSpeaking = false;  // between the service hearing the user start and stop
    bool m_greets = true;
    std::optional<QString> m_lastFailure;   // what is wrong while failed
    std::optional<QString> m_spokenFailure; // said since the conversation last worked
    std::function<void(const Failure&)> m_onFailure;
    QStringList m_waitingTexts;   // typed before the conversation first listened
    quint64 m_soundServerTold = 0; // the restarted server's connection the user was told of
    bool m_soundServerGone = false;
    double m_inputLevel = 0;
    double m_inputPeak = 0;
    qint64 m_levelSamples = 0;
    double m_outputLevel = 0;
    qint64 m_suppressedFrames = 0;
    qint64 m_framesCaptured = 0;
    qint64 m_framesSent = 0;
    qint64 m_chunksPlayed = 0;

    std::deque<voice::VoiceEvent> m_pendingEvents;
    bool m_pumping = false;
};

} // namespace selvina::conversation
