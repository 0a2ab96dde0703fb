// Helpers shared by the test executables: a Qt application around GoogleTest, a temporary home,
// running a coroutine to completion under a watchdog, a private session bus.
// Thread: the test's main thread.
#pragma once

#include "LoopbackRealtimeServer.h"

#include <QProcess>
#include <QTemporaryDir>

#include <qcoro/qcorotask.h>

#include <optional>

namespace selvina::testing {

template <typename T>
std::optional<T> runTask(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
{
    std::optional<T> result;
    auto continuation = task.then([&result](T value) { result = std::move(value); });
    LoopbackRealtimeServer::waitFor([&] { return result.has_value(); }, timeout);
    return result;
}

// Writes a file (creating folders); returns its path.
QString writeFile(const QString& path, const QByteArray& contents);

// Starts a private dbus-daemon in `bus`; answers its address, empty when it did not come up.
QString startSessionBus(QProcess& bus);

} // namespace selvina::testing
