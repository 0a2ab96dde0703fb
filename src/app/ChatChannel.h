// ChatChannel: the text channel — typed questions arrive as "chat.in" notifications, everything
// the conversation reports goes out as "chat.out".
// Thread: main thread.
#pragma once

#include "core/Session.h"
#include "platform/NotificationBus.h"

#include <functional>

namespace selvina::app {

class ChatChannel {
public:
    static const QString kInbound;  // "pl.korlund.selvinavoice.chat.in"
    static const QString kOutbound; // "pl.korlund.selvinavoice.chat.out"

    // SELVINA_TEXT equal to "1", read on every call.
    static bool isEnabled();

    ChatChannel(platform::NotificationBus& bus, std::function<void(const QString&)> onCommand);
    ~ChatChannel(); // stops

    // Subscribes and announces readiness; a second call while subscribed does nothing.
    void start();
    void stop();
    void emit(ChatKind kind, const QString& text, const QVariantMap& extra = {});

private:
    platform::NotificationBus& m_bus;
    int m_observer = 0;
    std::function<void(const QString&)> m_onCommand;
};

} // namespace selvina::app
