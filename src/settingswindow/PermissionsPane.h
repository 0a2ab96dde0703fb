// The permissions pane: every prerequisite of the audit, sorted by what the user has to do about
// it, with a button that tries to fix it or opens the desktop's settings for it.
// Thread: main thread; the audit's probes run on its workers, never blocking this thread.
#pragma once

#include "diagnostics/PermissionAudit.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QVBoxLayout;

namespace selvina::settingswindow {

// The four groups, each in the audit's order.
struct PermissionGroups {
    std::vector<diagnostics::Permission> missing, unknown, onUse, granted;
    static PermissionGroups of(const std::vector<diagnostics::Permission>& permissions);
    // "Brakuje 2 z 12", "Komplet zgód, 1 nierozstrzygniętych", "Wszystkie 12 uprawnień nadane".
    QString headline() const;
    // Some missing entry takes effect only in applications started after it was granted.
    bool needsRestart() const;
};

class PermissionsPane : public QWidget {
    Q_OBJECT
public:
    using AuditFactory = std::function<std::shared_ptr<diagnostics::PermissionAudit>()>;
    // `restart`: starts this program anew and ends this instance; none hides the restart button.
    PermissionsPane(AuditFactory makeAudit, std::function<void()> restart, QWidget* parent = nullptr);

    QCoro::Task<> refresh();
    QCoro::Task<> ask(QString name);
    bool refreshing() const { return m_refreshing; }

Q_SIGNALS:
    void refreshed();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuild();
    void addRow(QVBoxLayout* into, const diagnostics::Permission& p, const char* stateWord);

    AuditFactory m_makeAudit;
    std::function<void()> m_restart;
    std::shared_ptr<diagnostics::PermissionAudit> m_audit;
    std::vector<diagnostics::Permission> m_permissions;
    QString m_asking;
    bool m_refreshing = false;
    QPointer<QWidget> m_content;
    QVBoxLayout* m_column = nullptr;
};

} // namespace selvina::settingswindow
