// Global shortcuts on Wayland through the desktop portal's GlobalShortcuts interface (a session,
// then BindShortcuts with a preferred trigger, then Activated signals). Whether the portal has a
// backend for it is known only after a round trip, so registrations are accepted at once and a
// refusal learnt later is reported through the refused handler.
// Thread: main thread.
#pragma once

#include "platform/HotkeySource.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <chrono>
#include <map>

namespace selvina::platform {

class PortalShortcuts final : public QObject, public HotkeySource {
    Q_OBJECT
public:
    // What the user hears when the desktop binds no shortcut for applications.
    static QString remedy();
    // … when the user cancelled the desktop's confirmation (response 1); when the portal refused
    // otherwise (2); when the desktop bound the shortcut without keys (taken by another program).
    static QString cancelledRemedy();
    static QString refusedRemedy();
    static QString noKeysRemedy();

    // `probeTimeout`: how long the first question to the portal may wait (twice, when unanswered).
    explicit PortalShortcuts(QDBusConnection connection = QDBusConnection::sessionBus(),
                             std::chrono::milliseconds probeTimeout = std::chrono::seconds(30), QObject* parent = nullptr);
    ~PortalShortcuts() override;

    Status<HotkeyError> grab(std::uint32_t id, std::uint32_t keyCode, std::uint32_t modifiers,
                                WhenTaken whenTaken) override;
    void release(std::uint32_t id) override;
    QString frontmostApplication() override { return {}; }

private Q_SLOTS:
    void onResponse(const QDBusMessage& message);
    void onActivated(const QDBusMessage& message);

private:
    enum class State { probing, available, unavailable };
    struct Shortcut {
        std::uint32_t keyCode = 0;
        std::uint32_t modifiers = 0;
    };
    void probe(int attempt = 0);
    void scheduleRebind();
    void rebind();
    void checkTriggers(const QVariantMap& results);
    static QString sentenceFor(uint response);
    QString request(const QString& method, const QVariantList& leading, const QString& token,
                    std::function<void(uint response, const QVariantMap& results)> onResponse);
    void refuseAll(const QString& status, const QString& sentence);
    void closeSession();

    QDBusConnection m_connection;
    State m_state = State::probing;
    std::map<std::uint32_t, Shortcut> m_shortcuts;
    std::map<QString, std::function<void(uint, const QVariantMap&)>> m_pending; // request path → handler
    QString m_session;
    quint64 m_generation = 0; // bumps on every rebind; stale answers are dropped
    int m_tokens = 0;
    std::chrono::milliseconds m_probeTimeout;
    bool m_rebindQueued = false;
};

} // namespace selvina::platform
