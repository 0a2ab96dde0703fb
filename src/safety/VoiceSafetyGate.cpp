#include "safety/VoiceSafetyGate.h"

#include <algorithm>

namespace selvina::safety {

VoiceSafetyGate::VoiceSafetyGate(std::shared_ptr<ConfirmationPrompting> confirmation,
                                 std::shared_ptr<const HostAllowlist> allowlist, std::shared_ptr<AuditLog> auditLog,
                                 platform::SystemLog& systemLog, Options options)
    : m_confirmation(std::move(confirmation)), m_allowlist(std::move(allowlist)), m_auditLog(std::move(auditLog)),
      m_systemLog(systemLog), m_options(std::move(options))
{
}

QString VoiceSafetyGate::key(const QString& tool, const QString& argumentsJSON)
{
    return tool + QChar(0x1E) + argumentsJSON;
}

RiskAssessment VoiceSafetyGate::assess(const ToolDefinition& tool, const QString& argumentsJSON) const
{
    return safety::assess(tool, argumentsJSON, *m_allowlist, m_options.mode);
}

void VoiceSafetyGate::stash(const QString& key, PendingDecision decision)
{
    m_pending[key].push_back(std::move(decision));
}

qsizetype VoiceSafetyGate::pendingCount() const
{
    qsizetype n = 0;
    for (const auto& list : m_pending)
        n += qsizetype(list.size());
    return n;
}

// Every host the call names must be listed; a call that names none is evaluated with an empty
// host, which is always refused.
bool VoiceSafetyGate::allHostsAllowed(const RiskAssessment& a) const
{
    if (a.detectedHosts.isEmpty())
        return m_allowlist->evaluate(QString()).allowed;
    return std::all_of(a.detectedHosts.begin(), a.detectedHosts.end(),
                       [this](const QString& host) { return m_allowlist->evaluate(host).allowed; });
}

bool VoiceSafetyGate::confirmWithTimeout(platform::SystemLog& log, const QString& intent, double)
{
    log.write(QStringLiteral("[SelvinaVoice] Zamiar bez pytania (zgoda po stronie rozmowy): %1").arg(intent));
    return true;
}

QCoro::Task<bool> VoiceSafetyGate::authorize(ToolDefinition tool, QString argumentsJSON)
{
    const RiskAssessment a = assess(tool, argumentsJSON);
    // Reads stash nothing; with the gate off every call is one, so the key (a copy of arguments
    // that may be large) and the clock are only taken for calls that will be audited.
    if (!a.blockedPattern && a.effectiveClass == ActionClass::read)
        co_return true;
    const QString k = key(tool.name, argumentsJSON);
    const QDateTime now = m_options.clock();
    if (a.blockedPattern) {
        stash(k, {now, ActionClass::irreversible, std::nullopt, false});
        co_return false;
    }
    if (a.effectiveClass == ActionClass::reversibleWrite) {
        stash(k, {now, ActionClass::reversibleWrite, std::nullopt, std::nullopt});
        co_return true;
    }
    if (a.isSSHLike && !allHostsAllowed(a)) {
        stash(k, {now, ActionClass::irreversible, std::nullopt, false});
        co_return false;
    }
    const QString intent = canonicalIntent(argumentsJSON, a.detectedHost, a.detectedCommand);
    const bool granted = confirmWithTimeout(m_systemLog, intent, m_options.confirmationTimeoutSeconds);
    stash(k, {now, ActionClass::irreversible, intent, granted});
    co_return granted;
}

QCoro::Task<> VoiceSafetyGate::record(ToolDefinition tool, QString argumentsJSON, QString outcome)
{
    AuditEntry entry{{}, tool.name, argumentsJSON, {}, std::nullopt, std::nullopt, outcome};
    const auto it = m_pending.find(key(tool.name, argumentsJSON));
    if (it != m_pending.end()) {
        PendingDecision d = std::move(it->front()); // oldest first: identical calls keep their order
        it->pop_front();
        if (it->empty())
            m_pending.erase(it);
        entry.timestamp = d.timestamp;
        entry.actionClass = rawValue(d.actionClass);
        entry.confirmationText = d.confirmationText;
        entry.confirmationGranted = d.confirmationGranted;
    } else {
        const RiskAssessment a = assess(tool, argumentsJSON);
        if (a.effectiveClass == ActionClass::read)
            co_return;
        entry.timestamp = m_options.clock();
        entry.actionClass = rawValue(a.effectiveClass);
    }
    // Keep the log alive across the await even if the conversation is dropped meanwhile.
    const std::shared_ptr<AuditLog> log = m_auditLog;
    co_await log->append(std::move(entry));
}

} // namespace selvina::safety
