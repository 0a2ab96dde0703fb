// The session-bus side of the desktop shell: the single-instance name and the tray host's watcher.
// Thread: main thread.
#pragma once

#include "platform/DesktopSession.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>

#include <functional>
#include <vector>

namespace selvina::platform {

// Owns the well-known name (pl.korlund.selvinavoice) for as long as the process runs.
class DBusInstanceLock final : public InstanceLock {
public:
    explicit DBusInstanceLock(QString name, QDBusConnection connection = QDBusConnection::sessionBus());
    Claim claim() override;
    void flush() override;
    void release() override;

private:
    QString m_name;
    QDBusConnection m_connection;
};

// A host is there when org.kde.StatusNotifierWatcher is on the bus and says
// IsStatusNotifierHostRegistered; a watcher that comes later, or a host registered later, counts.
class StatusNotifierHostWatch final : public QObject, public TrayHostWatch {
    Q_OBJECT
public:
    explicit StatusNotifierHostWatch(QDBusConnection connection = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    void whenReady(std::function<void()> onReady) override;

private Q_SLOTS:
    void onHostRegistered();

private:
    void askWatcher();
    void ready();

    QDBusConnection m_connection;
    QDBusServiceWatcher m_watcher;
    std::vector<std::function<void()>> m_onReady; // every caller's, in order: the item and the launch advice
    bool m_watching = false;
    bool m_ready = false;
};

} // namespace selvina::platform
