#include "platform/linux/dbus/DesktopSessionBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusVariant>

#include <utility>

namespace selvina::platform {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

} // namespace

DBusInstanceLock::DBusInstanceLock(QString name, QDBusConnection connection)
    : m_name(std::move(name)), m_connection(std::move(connection))
{
}

InstanceLock::Claim DBusInstanceLock::claim()
{
    if (!m_connection.isConnected() || m_connection.interface() == nullptr)
        return Claim::noBus;
    // The bus daemon orders simultaneous requests: exactly one process gets the name.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = m_connection.interface()->registerService(
        m_name, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid())
        return Claim::noBus;
    return reply.value() == QDBusConnectionInterface::ServiceRegistered ? Claim::owned : Claim::heldByAnother;
}

void DBusInstanceLock::flush()
{
    // Messages on one connection reach the bus in order: when the bus answers, all before are there.
    if (m_connection.isConnected())
        m_connection.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                         QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")),
                          QDBus::Block, 2000);
}

void DBusInstanceLock::release()
{
    if (m_connection.isConnected() && m_connection.interface() != nullptr)
        m_connection.interface()->unregisterService(m_name);
}

StatusNotifierHostWatch::StatusNotifierHostWatch(QDBusConnection connection, QObject* parent)
    : QObject(parent), m_connection(std::move(connection))
{
}

void StatusNotifierHostWatch::whenReady(std::function<void()> onReady)
{
    if (m_ready) {
        onReady();
        return;
    }
    m_onReady.push_back(std::move(onReady));
    if (m_watching || !m_connection.isConnected())
        return;
    m_watching = true;
    m_watcher.setConnection(m_connection);
    m_watcher.addWatchedService(kWatcherService);
    m_watcher.setWatchMode(QDBusServiceWatcher::WatchForRegistration);
    connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { askWatcher(); });
    m_connection.connect(kWatcherService, kWatcherPath, kWatcherService, QStringLiteral("StatusNotifierHostRegistered"),
                         this, SLOT(onHostRegistered()));
    askWatcher();
}

void StatusNotifierHostWatch::onHostRegistered()
{
    ready();
}

void StatusNotifierHostWatch::askWatcher()
{
    if (m_ready)
        return;
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* call = new QDBusPendingCallWatcher(m_connection.asyncCall(get, 3000), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call] {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
            && reply.arguments().first().value<QDBusVariant>().variant().toBool())
            ready();
    });
}

void StatusNotifierHostWatch::ready()
{
    if (m_ready)
        return;
    m_ready = true;
    m_watcher.removeWatchedService(kWatcherService);
    for (const auto& onReady : std::exchange(m_onReady, {}))
        onReady();
}

} // namespace selvina::platform
