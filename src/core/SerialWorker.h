// SerialWorker: a named thread that runs blocking jobs one after another, in the order queued.
// Results come back as QFuture, which a coroutine on the main thread can co_await.
// Thread: run() from any thread; jobs run on the worker's own thread.
#pragma once

#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QThread>

#include <memory>
#include <type_traits>

namespace selvina {

class SerialWorker {
public:
    explicit SerialWorker(const QString& name)
    {
        m_thread.setObjectName(name);
        m_context.moveToThread(&m_thread);
        m_thread.start();
    }
    // Jobs already queued still run; the destructor waits for them.
    ~SerialWorker()
    {
        // The quit is queued behind the jobs; QThread::quit() alone would drop what is still waiting.
        QMetaObject::invokeMethod(&m_context, [this] { m_thread.quit(); }, Qt::QueuedConnection);
        m_thread.wait();
    }
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    template <typename F>
    auto run(F job) -> QFuture<std::invoke_result_t<F>>
    {
        using R = std::invoke_result_t<F>;
        auto promise = std::make_shared<QPromise<R>>();
        QFuture<R> future = promise->future();
        promise->start();
        QMetaObject::invokeMethod(
            &m_context,
            [promise, job = std::move(job)]() mutable {
                if constexpr (std::is_void_v<R>)
                    job();
                else
                    promise->addResult(job());
                promise->finish();
            },
            Qt::QueuedConnection);
        return future;
    }

    // Lives on the worker's thread: timers and queued calls parented to it run there, in order with the jobs.
    QObject* context() { return &m_context; }

private:
    QThread m_thread;
    QObject m_context;
};

} // namespace selvina
