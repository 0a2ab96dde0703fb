// The session's accessibility bus (AT-SPI), started on the session bus the process uses.
// Thread: the test's main thread.
#pragma once

#include <QProcess>
#include <QString>

namespace selvina::testing {

// Starts the session's accessibility bus and its registry; answers the bus's address, empty when it
// did not come up. Both start on demand, and on a loaded machine that can take longer than an
// application waits to register; one that failed to register never appears. So they are started
// before any application, with time to spare.
inline QString startAccessibilityBus()
{
    const auto call = [](const QStringList& arguments) {
        QProcess gdbus;
        gdbus.start(QStringLiteral("gdbus"), QStringList{QStringLiteral("call"), QStringLiteral("--timeout"), QStringLiteral("20")} + arguments);
        gdbus.waitForFinished(25000);
        return QString::fromUtf8(gdbus.readAllStandardOutput());
    };
    const QString reply = call({"--session", "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus", "--method",
                                "org.a11y.Bus.GetAddress"});
    const qsizetype from = reply.indexOf(QLatin1Char('\'')) + 1;
    const QString a11y = reply.mid(from, reply.indexOf(QLatin1Char('\''), from) - from);
    if (!a11y.isEmpty())
        call({"--address", a11y, "--dest", "org.a11y.atspi.Registry", "--object-path", "/org/a11y/atspi/accessible/root",
              "--method", "org.freedesktop.DBus.Properties.Get", "org.a11y.atspi.Accessible", "ChildCount"});
    return a11y;
}

} // namespace selvina::testing
