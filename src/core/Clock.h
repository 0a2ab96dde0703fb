// Clock: one-shot timers for the conversation's waits (0.35 s to 600 s), replaceable in tests.
// Thread: the thread that schedules; callbacks run there too.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace selvina {

// Destroying the handle cancels the call if it has not run yet.
class ScheduledCall {
public:
    virtual ~ScheduledCall() = default;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::unique_ptr<ScheduledCall> after(std::chrono::milliseconds delay, std::function<void()> call) = 0;
    // Monotonic time since an arbitrary origin, for measuring gaps between events.
    virtual std::chrono::milliseconds now() const = 0;
};

// Qt timers on the calling thread's event loop.
class SystemClock final : public Clock {
public:
    std::unique_ptr<ScheduledCall> after(std::chrono::milliseconds delay, std::function<void()> call) override;
    std::chrono::milliseconds now() const override;
};

} // namespace selvina
