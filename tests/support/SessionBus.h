// A private D-Bus session for tests and benchmarks that start their own.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QProcess>

namespace selvina::testing {

// Starts a private dbus-daemon in `bus`; answers its address, empty when it did not come up.
inline QString startSessionBus(QProcess& bus)
{
    bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                              QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    LoopbackRealtimeServer::waitFor([&] { return bus.canReadLine() || bus.state() == QProcess::NotRunning; },
                                    std::chrono::milliseconds(10000));
    return QString::fromUtf8(bus.readLine()).trimmed();
}

} // namespace selvina::testing
