// AppDelegate: what lives as long as the process — the session model, at most one open
// conversation, the text channel and the cues — and how a conversation is opened and closed.
// Thread: main thread.
#pragma once

#include "app/ChatChannel.h"
#include "app/Composition.h"
#include "platform/NotificationBus.h"
#include "platform/SpeechSynthesizer.h"
#include "voice/audio/Sounds.h"

#include <QObject>

#include <memory>

namespace selvina::app {

class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Services {
        CompositionContext composition;
        platform::NotificationBus* bus = nullptr;
        platform::SpeechSynthesizer* speech = nullptr;
        voice::CuePlayer* cues = nullptr; // none: no cues (text channel)
    };

    explicit AppDelegate(Services services, QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    // `greet`: false for a conversation opened by a typed question, which is its first words.
    void beginSession(bool greet = true);
    void endSession(bool goodbyeAlreadySpoken);
    QCoro::Task<> escapePressed();
    // Closes the open conversation and waits for it to end; 5 s at most.
    QCoro::Task<> shutdown();

    SessionModel& session() { return m_session; }
    conversation::Coordinator* coordinator() const { return m_coordinator.get(); }

Q_SIGNALS:
    void conversationClosed();

private:
    static QCoro::Task<> stopAgentLayer(agent::AgentBridge* bridge, std::shared_ptr<bool> done);
    void startVoice(bool greet);
    void startChatChannel();
    void onCommand(const QString& text);
    void attachObserver();
    // `toChat`: also as "error" on the text channel (a conversation's own failures are there already).
    void speak(const QString& text, bool toChat = true);
    void playCue(voice::Cue cue);
    void onConversationFailure(const conversation::Coordinator::Failure& failure);
    Clock& clock() const;
    static QCoro::Task<> startCoordinator(QPointer<AppDelegate> self, QPointer<conversation::Coordinator> coordinator);
    static QCoro::Task<> stopCoordinator(QPointer<AppDelegate> self,
                                         std::unique_ptr<conversation::Coordinator> coordinator);

    Services m_services;
    SessionModel m_session;
    std::unique_ptr<conversation::Coordinator> m_coordinator;
    std::unique_ptr<ChatChannel> m_chat; // with the text channel: for the whole process
    int m_closing = 0; // conversations whose stop() is still running
    std::unique_ptr<ScheduledCall> m_endCue; // the end cue, after the sentence that ended a conversation
};

} // namespace selvina::app
