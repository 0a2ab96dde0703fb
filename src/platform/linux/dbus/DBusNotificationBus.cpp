#include "platform/linux/dbus/DBusNotificationBus.h"

#include <QDBusArgument>
#include <QDBusMetaType>

namespace selvina::platform {

const QString DBusNotificationBus::kPath = QStringLiteral("/pl/korlund/selvinavoice");
const QString DBusNotificationBus::kInterface = QStringLiteral("pl.korlund.selvinavoice.Notifications");

namespace {

using StringMap = QMap<QString, QString>;

// The payload as sent: a{ss} by this program; a{sv} from a script is read too, so that a value of
// the wrong type arrives as what it is and can be refused by the receiver.
std::optional<QVariantMap> payloadOf(const QVariant& argument)
{
    if (!argument.canConvert<QDBusArgument>())
        return std::nullopt;
    const auto dbus = argument.value<QDBusArgument>();
    QVariantMap out;
    if (dbus.currentSignature() == u"a{ss}") {
        StringMap map;
        dbus >> map;
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            out.insert(it.key(), it.value());
        return out;
    }
    if (dbus.currentSignature() == u"a{sv}") {
        dbus >> out;
        return out;
    }
    return std::nullopt;
}

} // namespace

DBusNotificationBus::DBusNotificationBus(QDBusConnection connection, QObject* parent)
    : QObject(parent), m_connection(std::move(connection))
{
    qDBusRegisterMetaType<StringMap>();
}

DBusNotificationBus::~DBusNotificationBus()
{
    if (m_listening)
        m_connection.disconnect(QString(), kPath, kInterface, QStringLiteral("Posted"), this,
                                SLOT(onPosted(QDBusMessage)));
}

bool DBusNotificationBus::post(const QString& name, const QVariantMap& payload)
{
    if (!m_connection.isConnected())
        return false;
    StringMap strings;
    for (auto it = payload.cbegin(); it != payload.cend(); ++it)
        strings.insert(it.key(), it.value().toString());
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("Posted"));
    signal << name << QVariant::fromValue(strings);
    return m_connection.send(signal);
}

int DBusNotificationBus::subscribe(const QString& name, Handler handler)
{
    if (!m_connection.isConnected())
        return 0;
    if (!m_listening) {
        m_listening = m_connection.connect(QString(), kPath, kInterface, QStringLiteral("Posted"), this,
                                           SLOT(onPosted(QDBusMessage)));
        if (!m_listening)
            return 0;
    }
    const int token = m_nextToken++;
    m_subscriptions.emplace(token, Subscription{name, std::move(handler)});
    return token;
}

void DBusNotificationBus::unsubscribe(int token)
{
    m_subscriptions.erase(token);
}

void DBusNotificationBus::onPosted(const QDBusMessage& message)
{
    const QVariantList args = message.arguments();
    if (args.size() != 2 || args[0].typeId() != QMetaType::QString)
        return;
    const QString name = args[0].toString();
    const std::optional<QVariantMap> payload = payloadOf(args[1]);
    if (!payload)
        return;
    // A handler may unsubscribe (itself or another); walk a copy of the matching tokens.
    std::vector<int> tokens;
    for (const auto& [token, subscription] : m_subscriptions)
        if (subscription.name == name)
            tokens.push_back(token);
    for (int token : tokens) {
        auto it = m_subscriptions.find(token);
        if (it != m_subscriptions.end()) {
            Handler handler = it->second.handler;
            handler(*payload);
        }
    }
}

} // namespace selvina::platform
