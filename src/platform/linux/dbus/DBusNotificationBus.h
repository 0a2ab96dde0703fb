// Notifications as the broadcast signal Posted(s name, a{ss} payload) on the session bus, object
// /pl/korlund/selvinavoice, interface pl.korlund.selvinavoice.Notifications.
// Thread: main thread.
#pragma once

#include "platform/NotificationBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <map>

namespace selvina::platform {

class DBusNotificationBus final : public QObject, public NotificationBus {
    Q_OBJECT
public:
    static const QString kPath;
    static const QString kInterface;

    explicit DBusNotificationBus(QDBusConnection connection = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~DBusNotificationBus() override;

    bool post(const QString& name, const QVariantMap& payload) override;
    int subscribe(const QString& name, Handler handler) override;
    void unsubscribe(int token) override;

private Q_SLOTS:
    void onPosted(const QDBusMessage& message);

private:
    struct Subscription {
        QString name;
        Handler handler;
    };
    QDBusConnection m_connection;
    bool m_listening = false;
    std::map<int, Subscription> m_subscriptions;
    int m_nextToken = 1;
};

} // namespace selvina::platform
