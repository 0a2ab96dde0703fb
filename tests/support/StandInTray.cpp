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

} // namespace selvina::testing
