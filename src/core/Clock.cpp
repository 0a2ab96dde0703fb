#include "core/Clock.h"

#include <QTimer>

namespace selvina {

namespace {

class QtScheduledCall final : public ScheduledCall {
public:
    QtScheduledCall(std::chrono::milliseconds delay, std::function<void()> call) : m_call(std::move(call))
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            // The call may destroy this handle; keep the function alive while it runs.
            auto call = std::move(m_call);
            call();
        });
        m_timer.start(delay);
    }

private:
    QTimer m_timer;
    std::function<void()> m_call;
};

} // namespace

std::unique_ptr<ScheduledCall> SystemClock::after(std::chrono::milliseconds delay, std::function<void()> call)
{
    return std::make_unique<QtScheduledCall>(delay, std::move(call));
}

std::chrono::milliseconds SystemClock::now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

} // namespace selvina
