// GDeadline: a GCancellable that cancels itself when a synchronous GLib call outlives its time.
// A locked keyring may wait for a prompt nobody can see; a hung D-Bus service may never answer.
// Thread: created and destroyed on the calling thread; its timer runs on a thread of its own.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace selvina::platform {

class GDeadline {
public:
    explicit GDeadline(std::chrono::milliseconds timeout) : m_cancellable(g_cancellable_new())
    {
        m_thread = std::thread([this, timeout] {
            std::unique_lock lock(m_mutex);
            if (!m_cv.wait_for(lock, timeout, [this] { return m_done; }))
                g_cancellable_cancel(m_cancellable);
        });
    }
    ~GDeadline()
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_one();
        m_thread.join();
        g_object_unref(m_cancellable);
    }
    GDeadline(const GDeadline&) = delete;
    GDeadline& operator=(const GDeadline&) = delete;

    GCancellable* cancellable() const { return m_cancellable; }
    bool expired() const { return g_cancellable_is_cancelled(m_cancellable); }

private:
    GCancellable* m_cancellable;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

} // namespace selvina::platform
