// The risk rules of the safety gate: how a tool call's arguments text is classified, which host
// and command it names, and the sentence that stands for it in the system log.
// Thread: any; the expressions are built once and only read afterwards.
#pragma once

#include "core/JsonValue.h"
#include "core/ToolDefinition.h"
#include "safety/HostAllowlist.h"

#include <QStringList>

#include <optional>

namespace selvina::safety {

// Whether the gate assesses calls at all. Off: every call counts as a read, nothing is refused
// and nothing is audited.
enum class NativeConfirmation { off, on };

// SELVINA_NATIVE_CONFIRMATION == "on" (any case), read once per process on first use.
NativeConfirmation nativeConfirmationFromEnvironment();

struct RiskAssessment {
    ActionClass effectiveClass = ActionClass::read;
    std::optional<QString> blockedPattern;
    std::optional<QString> detectedHost;
    std::optional<QString> detectedCommand;
    bool isSSHLike = false;
};

// Tools that ask the user themselves and are never assessed beyond their name.
bool hasOwnConfirmation(const QString& toolName);

RiskAssessment assess(const ToolDefinition& tool, const QString& argumentsJSON, const HostAllowlist& allowlist,
                      NativeConfirmation mode);

// Names of the dangerous fragments found, in a fixed order.
QStringList detectRiskPatterns(const QString& text);
bool matchesGitPushForce(const QString& text);

QString canonicalIntent(const QString& argumentsJSON, const std::optional<QString>& host,
                        const std::optional<QString>& command);
QString formatArgumentsForSpeech(const QString& argumentsJSON);
// Values longer than 300 characters are cut, at every level of nesting.
QString stringify(const JSONValue& value);

} // namespace selvina::safety
