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
    std::optional<QString> detectedHost;     // the first of detectedHosts
    QStringList detectedHosts;               // every host the call's texts name, each once
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

// The arguments as the rules read them besides their raw text. `plain` is the same text with its
// strings spelled plainly (\/ and \uXXXX resolved; quotes, backslashes and control characters
// still escaped, as JSON needs them). `values` holds every string and key decoded, in the order
// they stand; a decoded string that itself holds quoted strings (JSON inside a string) is taken
// apart the same way, its plain spelling and its strings following it, down to
// kNestedStringDepth levels. No text is listed twice, and none that equals the raw text.
struct DecodedArguments {
    QString plain;
    QStringList values;
};
inline constexpr int kNestedStringDepth = 8; // each level doubles the backslashes; real calls use 1 or 2
DecodedArguments decodeArguments(const QString& argumentsJSON);

QString canonicalIntent(const QString& argumentsJSON, const std::optional<QString>& host,
                        const std::optional<QString>& command);
QString formatArgumentsForSpeech(const QString& argumentsJSON);
// Values longer than 300 characters are cut, at every level of nesting.
QString stringify(const JSONValue& value);

} // namespace selvina::safety
