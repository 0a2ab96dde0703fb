// A panel's tray host on a private bus, as far as the toolkit asks: a StatusNotifierWatcher the
// item registers with, and the item's menu read and clicked over com.canonical.dbusmenu.
// Thread: the test's main thread.
#pragma once

#include "TestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMap>
#include <QObject>

namespace selvina::testing {

// A tray host as the panels have it, as far as the toolkit asks: a StatusNotifierWatcher that lists
// IsStatusNotifierHostRegistered in its introspection data (the toolkit reads it through that) and
// takes the item's registration.
class StandInWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
public:
    bool hostRegistered() const { return true; }
    QString itemService, itemPath;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message)
    {
        const bool isPath = serviceOrPath.startsWith(QLatin1Char('/'));
        itemService = isPath ? message.service() : serviceOrPath;
        itemPath = isPath ? serviceOrPath : QStringLiteral("/StatusNotifierItem");
    }
};

struct MenuEntry {
    int id = 0;
    QString toggleType;
    int toggleState = -1;
};

// The menu's entries by label, from GetLayout's nested (id, properties, children).
void readLayout(const QDBusArgument& arg, QMap<QString, MenuEntry>& out);

// A property of an object on `bus`; invalid when the call failed.
QVariant busProperty(QDBusConnection& bus, const QString& service, const QString& path, const QString& interface,
                     const QString& name);

// A registered item as a real panel's watcher lists it ("service/path" or "service"): its Id and
// its menu's entries by label, read as the panel reads them; the reason in `error` when unreadable.
struct ItemSeen {
    QString id;
    QMap<QString, MenuEntry> menu;
    QString error;
};
ItemSeen readItem(QDBusConnection& bus, const QString& registered);

// A panel's tray host on the assistant's bus: the watcher the item registers with, and the item's menu.
class TrayHost {
public:
    explicit TrayHost(const QString& busAddress) : bus(QDBusConnection::connectToBus(busAddress, QStringLiteral("tray-host"))) {}
    ~TrayHost() { QDBusConnection::disconnectFromBus(QStringLiteral("tray-host")); }
    QVariantList call(const QString& path, const QString& interface, const QString& method, const QVariantList& args)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(watcher.itemService, path, interface, method);
        message.setArguments(args);
        return bus.call(message, QDBus::Block, 5000).arguments();
    }
    QVariant property(const QString& name)
    {
        const QVariantList reply = call(watcher.itemPath, "org.freedesktop.DBus.Properties", "Get", {"org.kde.StatusNotifierItem", name});
        return reply.isEmpty() ? QVariant() : reply.first().value<QDBusVariant>().variant();
    }
    // The watcher is up, the item has registered with it, and its menu is known.
    bool ready()
    {
        if (!bus.isConnected()
            || !bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher, QDBusConnection::ExportAllContents)
            || !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))
            || !waitFor([&] { return !watcher.itemService.isEmpty(); }, std::chrono::seconds(15)))
            return false;
        menuPath = property(QStringLiteral("Menu")).value<QDBusObjectPath>().path();
        return !menuPath.isEmpty();
    }
    QMap<QString, MenuEntry> entries()
    {
        const QVariantList reply = call(menuPath, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
        QMap<QString, MenuEntry> found;
        if (reply.size() == 2)
            readLayout(reply.at(1).value<QDBusArgument>(), found);
        return found;
    }
    MenuEntry entry(const QString& label) { return entries().value(label); }
    // What a panel does before it shows the menu.
    void aboutToShow() { call(menuPath, "com.canonical.dbusmenu", "AboutToShow", {0}); }
    void click(int id) { call(menuPath, "com.canonical.dbusmenu", "Event", {id, "clicked", QVariant::fromValue(QDBusVariant(QString())), 0u}); }

    QDBusConnection bus;
    StandInWatcher watcher;
    QString menuPath;
};

} // namespace selvina::testing
