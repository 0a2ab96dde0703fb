#include "core/Session.h"

namespace selvina {

QString sessionStateName(SessionState state)
{
    switch (state) {
    case SessionState::listening:
        return QStringLiteral("listening");
    case SessionState::thinking:
        return QStringLiteral("thinking");
    case SessionState::speaking:
        return QStringLiteral("speaking");
    case SessionState::awaitingConfirmation:
        return QStringLiteral("awaitingConfirmation");
    case SessionState::failed:
        return QStringLiteral("failed");
    }
    return {};
}

std::optional<SessionState> sessionStateFromName(const QString& name)
{
    const QString n = name.toLower();
    if (n == u"listening")
        return SessionState::listening;
    if (n == u"thinking")
        return SessionState::thinking;
    if (n == u"speaking")
        return SessionState::speaking;
    if (n == u"confirm" || n == u"awaitingconfirmation")
        return SessionState::awaitingConfirmation;
    if (n == u"failed")
        return SessionState::failed;
    return std::nullopt;
}

QString chatKindWireValue(ChatKind kind)
{
    switch (kind) {
    case ChatKind::user:
        return QStringLiteral("user");
    case ChatKind::assistant:
        return QStringLiteral("assistant");
    case ChatKind::toolCall:
        return QStringLiteral("tool");
    case ChatKind::toolResult:
        return QStringLiteral("result");
    case ChatKind::state:
        return QStringLiteral("state");
    case ChatKind::error:
        return QStringLiteral("error");
    case ChatKind::ready:
        return QStringLiteral("gotowe");
    }
    return {};
}

void SessionModel::setState(SessionState state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void SessionModel::setActive(bool active)
{
    if (m_isActive == active)
        return;
    m_isActive = active;
    Q_EMIT activeChanged(active);
}

void SessionModel::setWorking(bool working)
{
    if (m_working == working)
        return;
    m_working = working;
    Q_EMIT workingChanged(working);
}

void SessionModel::setCompact(bool compact)
{
    if (m_compact == compact)
        return;
    m_compact = compact;
    Q_EMIT compactChanged(compact);
}

void SessionModel::setAudioLevel(double level)
{
    if (m_audioLevel == level)
        return;
    m_audioLevel = level;
    Q_EMIT audioLevelChanged(level);
}

} // namespace selvina
