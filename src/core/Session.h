// The state of the open conversation as the overlay, the status item and the text channel see it.
// Thread: main thread.
#pragma once

#include <QObject>
#include <QString>

#include <optional>

namespace selvina {

enum class SessionState { listening, thinking, speaking, awaitingConfirmation, failed };

QString sessionStateName(SessionState state); // the case name, "awaitingConfirmation" included
// Lower-cased first: "listening", "thinking", "speaking", "confirm"/"awaitingconfirmation", "failed".
std::optional<SessionState> sessionStateFromName(const QString& name);

// What a conversation reports to the text channel and the run log.
enum class ChatKind { user, assistant, toolCall, toolResult, state, error, ready };
QString chatKindWireValue(ChatKind kind); // "user", "assistant", "tool", "result", "state", "error", "gotowe"

class SessionModel : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    SessionState state() const { return m_state; }
    bool isActive() const { return m_isActive; }
    bool working() const { return m_working; }
    bool compact() const { return m_compact; }
    double audioLevel() const { return m_audioLevel; }

    void setState(SessionState state);
    void setActive(bool active);
    void setWorking(bool working);
    void setCompact(bool compact);
    void setAudioLevel(double level);

Q_SIGNALS:
    void stateChanged(selvina::SessionState state);
    void activeChanged(bool active);
    void workingChanged(bool working);
    void compactChanged(bool compact);
    void audioLevelChanged(double level);

private:
    SessionState m_state = SessionState::listening;
    bool m_isActive = false;
    bool m_working = false;
    bool m_compact = false;
    double m_audioLevel = 0;
};

} // namespace selvina
