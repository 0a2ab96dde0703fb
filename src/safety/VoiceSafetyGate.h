// VoiceSafetyGate: assesses every tool call of one conversation, refuses what the allowlist
// blocks and SSH to unlisted hosts, and writes the audit entry of every call that is not a read.
// Thread: main thread; audit writes go to the audit log's worker.
#pragma once

#include "platform/SystemLog.h"
#include "safety/AuditLog.h"
#include "safety/HostAllowlist.h"
#include "safety/RiskAssessment.h"
#include "safety/SafetyGating.h"

#include <QDateTime>
#include <QHash>

#include <deque>
#include <functional>
#include <memory>

namespace selvina::safety {

class VoiceSafetyGate final : public SafetyGating {
public:
    struct Options {
        NativeConfirmation mode = nativeConfirmationFromEnvironment();
        double confirmationTimeoutSeconds = 20;
        std::function<QDateTime()> clock = [] { return QDateTime::currentDateTimeUtc(); };
    };

    VoiceSafetyGate(std::shared_ptr<ConfirmationPrompting> confirmation, std::shared_ptr<const HostAllowlist> allowlist,
                    std::shared_ptr<AuditLog> auditLog, platform::SystemLog& systemLog, Options options);

    QCoro::Task<bool> authorize(ToolDefinition tool, QString argumentsJSON) override;
    QCoro::Task<> record(ToolDefinition tool, QString argumentsJSON, QString outcome) override;

    RiskAssessment assess(const ToolDefinition& tool, const QString& argumentsJSON) const;
    // Writes the intent to the system log and grants at once; the time-out can only matter for a
    // prompter that waits for the user, which this gate does not consult.
    static bool confirmWithTimeout(platform::SystemLog& log, const QString& intent, double timeoutSeconds);

    // Decisions waiting for their record() (tests and diagnostics).
    qsizetype pendingCount() const;

private:
    struct PendingDecision {
        QDateTime timestamp;
        ActionClass actionClass;
        std::optional<QString> confirmationText;
        std::optional<bool> confirmationGranted;
    };
    static QString key(const QString& tool, const QString& argumentsJSON);
    bool allHostsAllowed(const RiskAssessment& a) const;
    void stash(const QString& key, PendingDecision decision);

    std::shared_ptr<ConfirmationPrompting> m_confirmation;
    std::shared_ptr<const HostAllowlist> m_allowlist;
    std::shared_ptr<AuditLog> m_auditLog;
    platform::SystemLog& m_systemLog;
    Options m_options;
    QHash<QString, std::deque<PendingDecision>> m_pending;
};

} // namespace selvina::safety
