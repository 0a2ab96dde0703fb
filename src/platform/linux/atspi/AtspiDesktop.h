// The accessibility tree of the Linux desktop over AT-SPI 2 (libatspi), with the foreground window
// found through EWMH (xcb/XcbActiveWindow.h) and AT-SPI's own active state. The elements are in
// AtspiElement.h, the role and action tables in AtspiRoles.h, the application-cache reader in
// AtspiCache.h.
// Thread: one serial worker thread for every call (libatspi is not thread-safe); each D-Bus call
// waits 0.35 s at most. Nothing else in the process may iterate the default GLib main context:
// Qt's main loop must run without GLib (QT_NO_GLIB=1).
#pragma once

#include "platform/Accessibility.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

struct _AtspiAccessible;
struct DBusPendingCall;

namespace selvina::platform {

class AtspiDesktop final : public AccessibilityDesktop {
public:
    AtspiDesktop();
    ~AtspiDesktop() override;

    bool isTrusted() override;
    std::vector<ForegroundCandidate> candidates() override;
    AXElementRef window(const ForegroundCandidate& candidate) override;
    Status<AXError> typeText(const QString& text, Typing typing) override;
    Status<AXError> turnWheel(QPointF at, Wheel wheel, int clicks) override;
    void noteSilent(qint64 pid) override;

    // Where a read takes the tree from: the application's own cache, in one call, where it offers
    // one (GTK's bridge does; Qt 6.4 answers with an empty one), else element by element.
    enum class Reading { applicationCache, elementByElement };
    void setReading(Reading reading) { m_reading = reading; }

private:
    bool ensureInitialised();
    void dispatchPending();
    AXElementRef elementFor(std::shared_ptr<_AtspiAccessible> window);

    bool m_available = false; // connected to the accessibility bus, listeners registered
    std::optional<std::chrono::steady_clock::time_point> m_lastAttempt; // of a connection that failed
    Reading m_reading = Reading::applicationCache;
    QSet<QByteArray> m_withoutCache; // applications (bus names) whose cache could not be read
    // Applications whose cache question timed out, each with a ping sent after it.
    QHash<QByteArray, std::shared_ptr<DBusPendingCall>> m_cacheProbes;
    // Applications (by process) that did not answer, each with a ping sent to it that has not yet
    // come back; until it does, the application is not asked anything.
    QHash<qint64, std::shared_ptr<DBusPendingCall>> m_silent;
    QHash<qint64, QString> m_names; // applications' names by process, as they last gave them
};

} // namespace selvina::platform
