#include "core/HandOff.h"

#ifdef SELVINA_HANDOFF_MARKS

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <sanitizer/tsan_interface.h>

namespace selvina::handoff {

namespace {

// On the main thread every event passes the application's filters first: the event was taken
// from the queue, so what its poster did before posting is now visible here.
class MainThreadAcquire final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject*, QEvent*) override
    {
        acquire(thread());
        return false;
    }
};

} // namespace

void release(const void* token) noexcept
{
    __tsan_release(const_cast<void*>(token));
}

void acquire(const void* token) noexcept
{
    __tsan_acquire(const_cast<void*>(token));
}

void watchMainThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread())
        return;
    static QPointer<QObject> filter; // main thread only
    if (filter)
        return;
    filter = new MainThreadAcquire(app);
    app->installEventFilter(filter);
}

} // namespace selvina::handoff

#endif
