#include "core/HandOff.h"

#ifdef SELVINA_HANDOFF_MARKS

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>

// QProcess starts its children the vfork way: glibc's clone() with CLONE_VM | CLONE_VFORK, the
// child running on the parent's memory until it executes the program. The child's calls into the
// sanitizer's interceptors then change the state the sanitizer keeps for the parent's thread, and
// from then on it no longer sees that thread's locks: every later hand-off through libpulse's main-
// loop lock (a format query after a `pactl` run, on the same thread) was reported as a race. In this
// build such a start is made a fork() instead, through the sanitizer's own fork handling; the
// child does the same (runs QProcess's start-up and executes the program), and the pidfd QProcess
// asked for is opened after. The linker is told to take this clone() (tsan preset).
extern "C" int clone(int (*child)(void*), void* stack, int flags, void* argument, ...)
{
    va_list more;
    va_start(more, argument);
    pid_t* parentTid = va_arg(more, pid_t*);
    void* tls = va_arg(more, void*);
    pid_t* childTid = va_arg(more, pid_t*);
    va_end(more);
    if ((flags & CLONE_VM) != 0 && (flags & CLONE_VFORK) != 0) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(child(argument));
        if (pid > 0 && (flags & CLONE_PIDFD) != 0)
            *reinterpret_cast<int*>(parentTid) = int(syscall(SYS_pidfd_open, pid, 0));
        return pid;
    }
    using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
    static const auto real = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    return real(child, stack, flags, argument, parentTid, tls, childTid);
}

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
