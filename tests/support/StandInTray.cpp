#include "StandInTray.h"

namespace selvina::testing {

// The menu's entries by label, from GetLayout's nested (id, properties, children).
void readLayout(const QDBusArgument& arg, QMap<QString, MenuEntry>& out)
{
    int id = 0;
    QVariantMap props;
    arg.beginStructure();
    arg >> id >> props;
    out.insert(props.value(QStringLiteral("label")).toString(),
               {id, props.value(QStringLiteral("toggle-type")).toString(), props.value(QStringLiteral("toggle-state"), -1).toInt()});
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        readLayout(child.variant().value<QDBusArgument>(), out);
    }
    arg.endArray();
    arg.endStructure();
}

QVariant busProperty(QDBusConnection& bus, const QString& service, const QString& path, const QString& interface,
                     const QString& name)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call.setArguments({interface, name});
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    return reply.arguments().isEmpty() ? QVariant() : reply.arguments().first().value<QDBusVariant>().variant();
}

ItemSeen readItem(QDBusConnection& bus, const QString& registered)
{
    ItemSeen seen;
    const qsizetype slash = registered.indexOf(QLatin1Char('/'));
    const QString service = slash < 0 ? registered : registered.left(slash);
    const QString path = slash < 0 ? QStringLiteral("/StatusNotifierItem") : registered.mid(slash);
    const QString item = QStringLiteral("org.kde.StatusNotifierItem");
    seen.id = busProperty(bus, service, path, item, QStringLiteral("Id")).toString();
    const QString menuPath = busProperty(bus, service, path, item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    if (menuPath.isEmpty()) {
        seen.error = QStringLiteral("no menu");
        return seen;
    }
    QDBusMessage layout = QDBusMessage::createMethodCall(service, menuPath, QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("GetLayout"));
    layout.setArguments({0, -1, QStringList()});
    const QDBusMessage reply = bus.call(layout, QDBus::Block, 5000);
    if (reply.arguments().size() != 2)
        seen.error = reply.errorMessage();
    else
        readLayout(reply.arguments().at(1).value<QDBusArgument>(), seen.menu);
    return seen;
}

} // namespace selvina::testing
