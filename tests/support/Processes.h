// Child processes of tests and benchmarks: a private D-Bus session, and ending a child at the end
// of a case.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QProcess>

namespace selvina::testing {

// Starts a private dbus-daemon in `bus`; answers the address it prints first, empty when it ends or
// says nothing within 10 s.
inline QString startSessionBus(QProcess& bus)
{
    bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                              QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    LoopbackRealtimeServer::waitFor([&] { return bus.canReadLine() || bus.state() == QProcess::NotRunning; },
                                    std::chrono::milliseconds(10000));
    return QString::fromUtf8(bus.readLine()).trimmed();
}

// Kills `p` if it still runs and reaps it.
inline void stopProcess(QProcess& p)
{
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(3000);
    }
}

} // namespace selvina::testing
