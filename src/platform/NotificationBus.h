// NotificationBus: named notifications broadcast between local processes (the text channel, the
// wake request of a second start), each with a small dictionary as payload.
// Thread: main thread; handlers are called there.
#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>

namespace selvina::platform {

class NotificationBus {
public:
    using Handler = std::function<void(const QVariantMap& payload)>;
    virtual ~NotificationBus() = default;
    // False when the bus cannot be reached; the notification is then lost.
    virtual bool post(const QString& name, const QVariantMap& payload) = 0;
    // Returns a token for unsubscribe(), or 0 when the bus cannot be reached.
    virtual int subscribe(const QString& name, Handler handler) = 0;
    virtual void unsubscribe(int token) = 0;
};

} // namespace selvina::platform
