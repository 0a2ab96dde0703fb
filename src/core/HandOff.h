// HandOff: tells ThreadSanitizer where data passes from one thread to another through Qt.
// Qt's own locks (QMutex on a futex, the posted-event queues, QFutureInterface's state) are
// invisible to the sanitizer unless Qt itself is built with it, which distribution packages are not:
// without these marks every job posted to a worker and every result read back would be reported
// as a race. The marks are made where this program posts and where the posted work runs; in a
// build without the sanitizer they compile to nothing.
//
// The model is Qt's: posting an event to a thread locks that thread's queue, and the thread locks
// it again to take the event, so everything the poster did before posting happens before anything
// the receiving thread does once it has taken an event. The token of a thread's queue is its QThread.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define SELVINA_HANDOFF_MARKS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SELVINA_HANDOFF_MARKS 1
#endif
#endif

#include <QObject>

#include <utility>

namespace selvina::handoff {

#ifdef SELVINA_HANDOFF_MARKS
// What the calling thread did so far happens before an acquire() of the same token.
void release(const void* token) noexcept;
void acquire(const void* token) noexcept;
// The token of the queue that takes `receiver`'s events (its thread); null for no receiver.
inline const void* queueOf(const QObject* receiver) noexcept
{
    return receiver != nullptr ? receiver->thread() : nullptr;
}
// Before a call is queued by name or a signal is emitted to a receiver on another thread.
inline void beforePost(const void* queue) noexcept
{
    if (queue != nullptr)
        release(queue);
}
// Makes the main thread acquire its queue's token before each event it delivers (idempotent;
// call on the main thread once the application object exists).
void watchMainThread();

// A call queued to a receiver's thread (QMetaObject::invokeMethod with Qt::QueuedConnection). Qt
// moves it into the queued event before posting: the move releases the receiving thread's queue,
// so that the poster's work, the call's own captures included, happens before the call runs. Qt
// destroys it on whichever thread drops the last reference, counted where the sanitizer cannot see:
// the end of the run happens before the destruction.
template <typename F>
class Queued {
public:
    Queued(const QObject* receiver, F call) : m_queue(queueOf(receiver)), m_call(std::move(call)) {}
    Queued(Queued&& other) : m_queue(other.m_queue), m_call(std::move(other.m_call)) { beforePost(m_queue); }
    Queued(const Queued&) = delete;
    Queued& operator=(const Queued&) = delete;
    ~Queued() { acquire(this); }
    void operator()()
    {
        m_call();
        release(this);
    }

private:
    const void* m_queue;
    F m_call;
};

template <typename F>
Queued<F> queued(const QObject* receiver, F call)
{
    return Queued<F>(receiver, std::move(call));
}
#else
inline void release(const void*) noexcept {}
inline void acquire(const void*) noexcept {}
inline void watchMainThread() {}
inline const void* queueOf(const QObject*) noexcept { return nullptr; }
inline void beforePost(const void*) noexcept {}
template <typename F>
F queued(const QObject*, F call)
{
    return call;
}
#endif

} // namespace selvina::handoff
