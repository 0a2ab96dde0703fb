// Helpers shared by the test executables: running a coroutine to completion under a watchdog,
// files, the event loop, child processes.
// Thread: the test's main thread.
#pragma once

#include "Processes.h"
#include "core/Result.h"

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

// A call's outcome as one string to compare: its text, "ERR " + its error's description, or
// "timeout" when it did not end in time.
template <typename E>
QString outcomeText(const std::optional<Result<QString, E>>& r)
{
    return !r ? QStringLiteral("timeout") : r->ok() ? r->value() : QStringLiteral("ERR ") + r->error().description();
}

// Writes a file (creating folders); returns its path.
QString writeFile(const QString& path, const QByteArray& contents);
// Writes a file as writeFile does, executable by its owner; returns its path.
QString writeExecutable(const QString& path, const QByteArray& contents);
// A file's contents; empty when it is missing or unreadable.
QByteArray readFile(const QString& path);

// Runs the event loop until the condition holds or the time runs out.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
{
    return LoopbackRealtimeServer::waitFor(condition, timeout);
}
// Runs the event loop for a while, for checks that something did NOT happen.
inline void settle(std::chrono::milliseconds time = std::chrono::milliseconds(100)) { waitFor([] { return false; }, time); }

} // namespace selvina::testing
