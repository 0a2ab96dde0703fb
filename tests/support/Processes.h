// Child processes of tests and benchmarks: the first line a server prints, a private D-Bus session,
// and ending a child at the end of a case.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QProcess>

namespace selvina::testing {

// The first line `p` prints (a server announcing its address or display); empty when it ends or
// says nothing within 10 s.
inline QString firstLine(QProcess& p)
{
    LoopbackRealtimeServer::waitFor([&] { return p.canReadLine() || p.state() == QProcess::NotRunning; },
                                    std::chrono::milliseconds(10000));
    return QString::fromUtf8(p.readLine()).trimmed();
}

// Starts a private dbus-daemon in `bus`; answers its address, empty when it did not come up.
inline QString startSessionBus(QProcess& bus)
{
    bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                              QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    return firstLine(bus);
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
