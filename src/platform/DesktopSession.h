// The session-level facilities of the desktop the shell needs: one running instance per user
// session, the tray host's presence, and the user's login items.
// Thread: main thread; handlers are called there.
#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace selvina::platform {

// Exactly one process of the session holds the claim; the bus decides between simultaneous starts.
class InstanceLock {
public:
    enum class Claim { owned, heldByAnother, noBus };
    virtual ~InstanceLock() = default;
    virtual Claim claim() = 0;
    // Returns once everything this process has sent on the bus so far is with the bus (a process
    // about to end after posting a notification).
    virtual void flush() = 0;
    // Gives the claim up before this process hands over to a newer build of itself.
    virtual void release() {}
};

// Whether a panel that shows status items is running; the item must not be created before.
class TrayHostWatch {
public:
    virtual ~TrayHostWatch() = default;
    // Calls `onReady` once, on the main thread, as soon as a host is registered (at once when one
    // already is). Never, when none ever appears.
    virtual void whenReady(std::function<void()> onReady) = 0;
};

// Start at login.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // The state the desktop will act on at the next login.
    virtual bool isEnabled() = 0;
    // None on success; else the reason, in Polish, for the sentence the user is shown.
    virtual std::optional<QString> setEnabled(bool enabled) = 0;
};

} // namespace selvina::platform
