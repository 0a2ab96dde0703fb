// Waits for bench programs that drive the audio classes from main(): the event loop runs (sleeping
// between events, as the application's does) while a condition or a coroutine is waited for.
// Thread: the main thread.
#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <optional>

namespace selvina::bench {

// Runs the event loop until the condition holds or `ms` pass; returns the condition.
inline bool waitUntil(const std::function<bool()>& condition, int ms)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    check.start(1);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (!condition())
        loop.exec();
    return condition();
}

inline void pause(int ms)
{
    waitUntil([] { return false; }, ms);
}

// The task's result, waited for up to 10 s.
template <typename T>
T await(QCoro::Task<T> task)
{
    std::optional<T> result;
    auto continuation = task.then([&result](T value) { result = std::move(value); });
    waitUntil([&] { return result.has_value(); }, 10000);
    return result.value();
}

// A task without a result as one that await() can wait for.
inline QCoro::Task<bool> done(QCoro::Task<> task)
{
    co_await task;
    co_return true;
}

} // namespace selvina::bench
