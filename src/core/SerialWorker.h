// SerialWorker: a named thread that runs blocking jobs one after another, in the order queued.
// Results come back as QFuture, which a coroutine on the main thread can co_await.
// Thread: run() from any thread; jobs run on the worker's own thread.
#pragma once

#include "core/HandOff.h"

#include <QCoreApplication>
#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QThread>

#include <exception>
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
        handoff::watchMainThread();
    }
    // Jobs already queued still run while the application object exists; the destructor waits for them.
    ~SerialWorker()
    {
        if (QCoreApplication::instance() != nullptr) {
            // The quit is queued behind the jobs; QThread::quit() alone would drop what is still waiting.
            QMetaObject::invokeMethod(
                &m_context,
                handoff::queued(&m_context,
                                [this] {
                                    handoff::release(this);
                                    m_thread.quit();
                                }),
                Qt::QueuedConnection);
        } else {
            // Once the application object is gone (a worker destroyed at exit) queued calls are no
            // longer delivered and a queued quit would wait for ever: the jobs still queued are dropped.
            m_thread.quit();
        }
        m_thread.wait();
        // Whatever the jobs did happens before what the owner frees after this.
        handoff::acquire(this);
    }
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // A job that throws is logged and the worker goes on with the next one; its future ends with
    // the exception stored (a job without a result: simply ends).
    template <typename F>
    auto run(F job) -> QFuture<std::invoke_result_t<F>>
    {
        return post(std::move(job), nullptr);
    }
    // As above, but a job that throws ends its future with fallback()'s value.
    template <typename F, typename Fallback>
    auto run(F job, Fallback fallback) -> QFuture<std::invoke_result_t<F>>
    {
        return post(std::move(job), std::move(fallback));
    }

    // Runs the job and waits for it on the calling thread (an owner's last job before it goes): what
    // the job did happens before what the caller does after.
    template <typename F>
    void runAndWait(F job)
    {
        run(std::move(job)).waitForFinished();
        handoff::acquire(this);
    }

    // Lives on the worker's thread: timers and queued calls parented to it run there, in order with the jobs.
    QObject* context() { return &m_context; }

private:
    template <typename F, typename Fallback>
    auto post(F job, Fallback fallback) -> QFuture<std::invoke_result_t<F>>
    {
        using R = std::invoke_result_t<F>;
        auto promise = std::make_shared<QPromise<R>>();
        QFuture<R> future = promise->future();
        promise->start();
        QMetaObject::invokeMethod(
            &m_context,
            handoff::queued(&m_context, [this, promise, job = std::move(job), fallback = std::move(fallback),
                                         name = m_thread.objectName(), caller = QThread::currentThread()]() mutable {
                // What the job did happens before its result is read: on the thread that queued it,
                // once the future's event reaches that thread, or by the owner once this thread stopped.
                const auto done = [this, caller] {
                    handoff::release(caller);
                    handoff::release(this);
                };
                // An exception must not reach Qt's event loop: it would end the process.
                try {
                    if constexpr (std::is_void_v<R>) {
                        job();
                        done();
                    } else {
                        R result = job();
                        done();
                        promise->addResult(std::move(result));
                    }
                } catch (...) {
                    logThrownJob(name, std::current_exception());
                    if constexpr (!std::is_void_v<R> && !std::is_null_pointer_v<Fallback>) {
                        R result = fallback();
                        done();
                        promise->addResult(std::move(result));
                    } else {
                        done();
                        if constexpr (!std::is_void_v<R>)
                            promise->setException(std::current_exception());
                    }
                }
                promise->finish();
            }),
            Qt::QueuedConnection);
        return future;
    }

    // Into the process's log (core/SidecarLog.h, included by SerialWorker.cpp only: the log itself
    // writes on a SerialWorker).
    static void logThrownJob(const QString& workerName, const std::exception_ptr& exception);

#ifdef SELVINA_HANDOFF_MARKS
    // Takes the worker's queued calls; each one runs after what its poster did before posting.
    class Context final : public QObject {
    public:
        bool event(QEvent* e) override
        {
            handoff::acquire(thread());
            return QObject::event(e);
        }
    };
#else
    using Context = QObject;
#endif

    QThread m_thread;
    Context m_context;
};

} // namespace selvina
