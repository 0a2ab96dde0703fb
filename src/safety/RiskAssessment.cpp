#include "safety/RiskAssessment.h"

#include "core/TextCut.h"

#include <QRegularExpression>

#include <array>
#include <utility>

namespace selvina::safety {

namespace {

using RX = QRegularExpression;

RX expression(const char* pattern, bool caseInsensitive)
{
    RX::PatternOptions options = RX::UseUnicodePropertiesOption;
    if (caseInsensitive)
        options |= RX::CaseInsensitiveOption;
    RX rx(QString::fromLatin1(pattern), options);
    rx.optimize();
    return rx;
}

struct Expressions {
    std::array<std::pair<QString, RX>, 6> riskPatterns{{
        {QStringLiteral("rm"), expression(R"rx(\brm\b)rx", true)},
        {QStringLiteral("reboot"), expression(R"rx(\breboot\b)rx", true)},
        {QStringLiteral("shutdown"), expression(R"rx(\bshutdown\b)rx", true)},
        {QStringLiteral("dd"), expression(R"rx(\bdd\b)rx", true)},
        {QStringLiteral("mkfs"), expression(R"rx(\bmkfs(\.\w+)?\b)rx", true)},
        {QStringLiteral("sudo"), expression(R"rx(\bsudo\b)rx", true)},
    }};
    // A ">" that is not doubled (append), not followed by "=" and not the head of an arrow.
    RX overwriteRedirect = expression(R"rx((?<![>=\-])>(?!>)(?!=))rx", false);
    RX sshCommand = expression(R"rx(\b(ssh|scp|sftp)\b)rx", true);
    RX hostKey = expression(R"rx("(host|hostname|remote_host|remotehost|target|server|address)"\s*:\s*"([^"]+)")rx", true);
    RX sshInlineHost =
        expression(R"rx(\b(?:ssh|scp|sftp)\s+(?:-{1,2}\S+(?:[ =]\S+)?\s+)*(?:([\w.\-]+)@)?([\w.\-]+)(?::\S*)?)rx", true);
    RX commandKey = expression(R"rx("(command|cmd|script|shell|applescript|jxa)"\s*:\s*"((?:\\.|[^"\\])*)")rx", true);
    RX shortForce = expression(R"rx((^|\s)-f(\s|$))rx", false);
};

const Expressions& expressions()
{
    static const Expressions e;
    return e;
}

std::optional<QString> captured(const RX& rx, const QString& text, int group)
{
    const QRegularExpressionMatch m = rx.match(text);
    if (!m.hasMatch() || m.capturedLength(group) == 0)
        return std::nullopt;
    return m.captured(group);
}

constexpr qsizetype kSpokenValueLimit = 300; // characters as the user perceives them

QString cutForSpeech(const QString& text)
{
    const QString cut = leadingCharacters(text, kSpokenValueLimit);
    if (cut.size() == text.size())
        return text;
    return cut + QStringLiteral("… (skrócono do potwierdzenia głosowego, pełna treść w dzienniku audytu)");
}

QString joinObject(const JSONValue::Object& object, const QString& separator)
{
    QStringList parts;
    parts.reserve(object.size());
    for (auto it = object.begin(); it != object.end(); ++it) // QMap iterates keys in ascending order
        parts.append(it.key() + QStringLiteral(": ") + stringify(it.value()));
    return parts.join(separator);
}

} // namespace

NativeConfirmation nativeConfirmationFromEnvironment()
{
    static const NativeConfirmation mode =
        qEnvironmentVariable("SELVINA_NATIVE_CONFIRMATION").compare(QLatin1String("on"), Qt::CaseInsensitive) == 0
            ? NativeConfirmation::on
            : NativeConfirmation::off;
    return mode;
}

bool hasOwnConfirmation(const QString& toolName)
{
    return toolName == QLatin1String("delegate_task");
}

RiskAssessment assess(const ToolDefinition& tool, const QString& argumentsJSON, const HostAllowlist& allowlist,
                      NativeConfirmation mode)
{
    RiskAssessment a;
    if (mode == NativeConfirmation::off || hasOwnConfirmation(tool.name))
        return a;

    const HostAllowlist::CommandVerdict verdict = allowlist.commandVerdict(argumentsJSON);
    if (verdict.kind == HostAllowlist::VerdictKind::block) {
        a.effectiveClass = ActionClass::irreversible;
        a.blockedPattern = verdict.pattern;
        return a;
    }
    const bool risky = verdict.kind == HostAllowlist::VerdictKind::confirm || !detectRiskPatterns(argumentsJSON).isEmpty();
    a.effectiveClass = risky ? ActionClass::irreversible : tool.actionClass;

    const Expressions& rx = expressions();
    const QString lowerName = tool.name.toLower();
    a.isSSHLike = rx.sshCommand.match(argumentsJSON).hasMatch() || lowerName.contains(QLatin1String("ssh")) ||
                  lowerName.contains(QLatin1String("scp"));
    a.detectedHost = captured(rx.hostKey, argumentsJSON, 2);
    if (!a.detectedHost)
        a.detectedHost = captured(rx.sshInlineHost, argumentsJSON, 2);

    const QRegularExpressionMatch command = rx.commandKey.match(argumentsJSON);
    if (command.hasMatch()) {
        const QString raw = command.captured(2);
        const auto decoded = JSONValue::parse((QLatin1Char('"') + raw + QLatin1Char('"')).toUtf8());
        a.detectedCommand = decoded && decoded->asString() ? *decoded->asString() : raw;
    }
    return a;
}

QStringList detectRiskPatterns(const QString& text)
{
    const Expressions& rx = expressions();
    QStringList found;
    for (const auto& [name, pattern] : rx.riskPatterns)
        if (pattern.match(text).hasMatch())
            found.append(name);
    if (matchesGitPushForce(text))
        found.append(QStringLiteral("git push --force"));
    if (rx.overwriteRedirect.match(text).hasMatch())
        found.append(QStringLiteral("przekierowanie nadpisujące (>)"));
    return found;
}

bool matchesGitPushForce(const QString& text)
{
    const QString lower = text.toLower();
    // "\n" here is the two characters backslash and n: a line break as it stands inside JSON text.
    const bool push = lower.contains(QLatin1String("git push")) || lower.contains(QLatin1String("git  push")) ||
                      lower.contains(QLatin1String("git\\npush"));
    if (!push)
        return false;
    if (lower.contains(QLatin1String("--force")))
        return true;
    return expressions().shortForce.match(lower).hasMatch();
}

QString canonicalIntent(const QString& argumentsJSON, const std::optional<QString>& host,
                        const std::optional<QString>& command)
{
    if (host && command)
        return QStringLiteral("Wykonam na serwerze ") + *host + QStringLiteral(" polecenie: ") + *command;
    if (command)
        return QStringLiteral("Wykonam polecenie: ") + *command;
    return QStringLiteral("Zamierzam wykonać: ") + formatArgumentsForSpeech(argumentsJSON);
}

QString formatArgumentsForSpeech(const QString& argumentsJSON)
{
    const auto parsed = JSONValue::parse(argumentsJSON.toUtf8());
    const JSONValue::Object* object = parsed ? parsed->asObject() : nullptr;
    if (!object || object->isEmpty())
        return argumentsJSON;
    return joinObject(*object, QStringLiteral(", "));
}

QString stringify(const JSONValue& value)
{
    QString text;
    switch (value.kind()) {
    case JSONValue::Kind::String:
        text = *value.asString();
        break;
    case JSONValue::Kind::Bool:
        text = *value.asBool() ? QStringLiteral("tak") : QStringLiteral("nie");
        break;
    case JSONValue::Kind::Integer:
        text = QString::number(*value.asInteger());
        break;
    case JSONValue::Kind::Number:
        text = QString::number(*value.asNumber(), 'f', QLocale::FloatingPointShortest);
        break;
    case JSONValue::Kind::Null:
        text = QStringLiteral("brak");
        break;
    case JSONValue::Kind::Array: {
        QStringList parts;
        for (const JSONValue& element : *value.asArray())
            parts.append(stringify(element));
        text = parts.join(QStringLiteral("; "));
        break;
    }
    case JSONValue::Kind::Object:
        text = joinObject(*value.asObject(), QStringLiteral("; "));
        break;
    }
    return cutForSpeech(text);
}

} // namespace selvina::safety
