#include "safety/RiskAssessment.h"

#include "core/TextCut.h"

#include <QRegularExpression>
#include <QSet>

#include <array>
#include <utility>

namespace selvina::safety {

namespace {

using RX = QRegularExpression;

constexpr auto anyCase = RX::CaseInsensitiveOption;

RX expression(const QString& pattern, RX::PatternOptions extra = RX::NoPatternOption)
{
    RX rx(pattern, RX::UseUnicodePropertiesOption | extra);
    rx.optimize();
    return rx;
}

RX expression(const char* pattern, RX::PatternOptions extra = RX::NoPatternOption)
{
    return expression(QString::fromLatin1(pattern), extra);
}

// The risky words, each with the name it is reported by, in the order they are reported.
constexpr std::array<std::pair<const char*, const char*>, 6> kRiskWords{{
    {"rm", R"rx(\brm\b)rx"},
    {"reboot", R"rx(\breboot\b)rx"},
    {"shutdown", R"rx(\bshutdown\b)rx"},
    {"dd", R"rx(\bdd\b)rx"},
    {"mkfs", R"rx(\bmkfs(\.\w+)?\b)rx"},
    {"sudo", R"rx(\bsudo\b)rx"},
}};

struct Expressions {
    std::array<std::pair<QString, RX>, kRiskWords.size()> riskPatterns = [] {
        std::array<std::pair<QString, RX>, kRiskWords.size()> patterns;
        for (std::size_t i = 0; i < kRiskWords.size(); ++i)
            patterns[i] = {QString::fromLatin1(kRiskWords[i].first), expression(kRiskWords[i].second, anyCase)};
        return patterns;
    }();
    // Any of the words at all: one match for the common text that holds none. Setting a match up
    // costs more than running it, and every text the gate reads (the raw arguments, their plain
    // spelling and each decoded value) goes through the words.
    RX anyRiskWord = [] {
        QStringList alternatives;
        for (const auto& [name, pattern] : kRiskWords)
            alternatives.append(QStringLiteral("(?:%1)").arg(QString::fromLatin1(pattern)));
        return expression(alternatives.join(QLatin1Char('|')), anyCase);
    }();
    // A ">" that is not doubled (append), not followed by "=" and not the head of an arrow.
    RX overwriteRedirect = expression(R"rx((?<![>=\-])>(?!>)(?!=))rx");
    RX sshCommand = expression(R"rx(\b(ssh|scp|sftp)\b)rx", anyCase);
    RX hostKey = expression(R"rx("(host|hostname|remote_host|remotehost|target|server|address)"\s*:\s*"([^"]+)")rx", anyCase);
    RX sshInlineHost =
        expression(R"rx(\b(?:ssh|scp|sftp)\s+(?:-{1,2}\S+(?:[ =]\S+)?\s+)*(?:([\w.\-]+)@)?([\w.\-]+)(?::\S*)?)rx", anyCase);
    RX commandKey = expression(R"rx("(command|cmd|script|shell|bash|sh)"\s*:\s*"((?:\\.|[^"\\])*)")rx", anyCase);
    // -f standing alone: after white space or at the start, and before white space, the end, or the
    // quote or escape that follows it inside a JSON string ("git push origin -f" is as forced as
    // "git push -f origin").
    RX shortForce = expression(R"rx((^|\s)-f(?=\s|$|"|\\))rx");
    // In a decoded value: any white space between the words, and -f standing alone.
    RX valuePush = expression(R"rx(git\s+push)rx");
    RX valueShortForce = expression(R"rx((^|\s)-f(\s|$))rx");
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

// What a text is to the rules: the arguments themselves (raw or plainly spelled), or one decoded
// string value.
enum class TextKind { arguments, value };

bool pushesForce(const QString& text, TextKind kind)
{
    if (kind == TextKind::arguments)
        return matchesGitPushForce(text);
    const QString lower = text.toLower();
    const Expressions& rx = expressions();
    return rx.valuePush.match(lower).hasMatch() &&
           (lower.contains(QLatin1String("--force")) || rx.valueShortForce.match(lower).hasMatch());
}

enum class Find { first, all };

// The names found, in the fixed order.
QStringList riskPatternsIn(const QString& text, TextKind kind, Find find)
{
    const Expressions& rx = expressions();
    QStringList found;
    if (rx.anyRiskWord.match(text).hasMatch()) {
        for (const auto& [name, pattern] : rx.riskPatterns) {
            if (pattern.match(text).hasMatch()) {
                found.append(name);
                if (find == Find::first)
                    return found;
            }
        }
    }
    if (pushesForce(text, kind)) {
        found.append(QStringLiteral("git push --force"));
        if (find == Find::first)
            return found;
    }
    if (rx.overwriteRedirect.match(text).hasMatch())
        found.append(QStringLiteral("przekierowanie nadpisujące (>)"));
    return found;
}

// Escapes only what a JSON string cannot hold as it is.
void appendEscaped(QString& out, const QString& value)
{
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
}

// The character a one-letter JSON escape stands for, or 0.
char16_t simpleEscape(char16_t letter)
{
    switch (letter) {
    case u'"': return u'"';
    case u'\\': return u'\\';
    case u'/': return u'/';
    case u'b': return u'\b';
    case u'f': return u'\f';
    case u'n': return u'\n';
    case u'r': return u'\r';
    case u't': return u'\t';
    default: return 0;
    }
}

// Four hexadecimal digits, or -1.
int hexUnit(QStringView digits)
{
    if (digits.size() != 4)
        return -1;
    int code = 0;
    for (const QChar d : digits) {
        const int v = d >= u'0' && d <= u'9' ? d.unicode() - '0'
                    : d >= u'a' && d <= u'f' ? d.unicode() - 'a' + 10
                    : d >= u'A' && d <= u'F' ? d.unicode() - 'A' + 10 : -1;
        if (v < 0)
            return -1;
        code = code * 16 + v;
    }
    return code;
}

struct StringScan {
    QString plain;
    QStringList strings;
};

// Reads the text as JSON leniently: whatever stands between two unescaped double quotes is a
// string, and an escape that JSON does not know is kept as it is. It never fails, so a text that
// is not quite JSON is still read as far as it goes.
StringScan scanStrings(const QString& text)
{
    StringScan out;
    out.plain.reserve(text.size());
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        if (text[i] != u'"') {
            out.plain += text[i++];
            continue;
        }
        ++i;
        QString value;
        bool closed = false;
        while (i < n) {
            const QChar c = text[i];
            if (c == u'"') {
                closed = true;
                ++i;
                break;
            }
            if (c != u'\\' || i + 1 == n) {
                value += c;
                ++i;
                continue;
            }
            const char16_t e = text[i + 1].unicode();
            const char16_t simple = simpleEscape(e);
            const int code = e == u'u' ? hexUnit(QStringView(text).mid(i + 2, 4)) : -1;
            if (simple != 0) {
                value += QChar(simple);
                i += 2;
            } else if (code >= 0) {
                value += QChar(char16_t(code)); // a surrogate pair arrives as its two halves
                i += 6;
            } else {
                value += c; // not an escape: the backslash stands for itself
                ++i;
            }
        }
        out.plain += u'"';
        appendEscaped(out.plain, value);
        if (closed)
            out.plain += u'"';
        out.strings.append(std::move(value));
    }
    return out;
}

void appendDecoded(const QStringList& strings, int depth, QSet<QString>& seen, QStringList& out)
{
    for (const QString& s : strings) {
        if (seen.contains(s))
            continue;
        seen.insert(s);
        out.append(s);
        if (depth >= kNestedStringDepth || !s.contains(u'"'))
            continue;
        StringScan inner = scanStrings(s);
        if (!seen.contains(inner.plain)) {
            seen.insert(inner.plain);
            out.append(inner.plain);
        }
        appendDecoded(inner.strings, depth + 1, seen, out);
    }
}

HostAllowlist::CommandVerdict stricter(HostAllowlist::CommandVerdict a, HostAllowlist::CommandVerdict b)
{
    return int(b.kind) > int(a.kind) ? b : a; // none < confirm < block; the first one found stays
}

std::optional<QString> hostIn(const QString& text)
{
    const Expressions& rx = expressions();
    if (auto host = captured(rx.hostKey, text, 2))
        return host;
    return captured(rx.sshInlineHost, text, 2);
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

DecodedArguments decodeArguments(const QString& argumentsJSON)
{
    StringScan top = scanStrings(argumentsJSON);
    DecodedArguments out;
    out.plain = std::move(top.plain);
    QSet<QString> seen{argumentsJSON, out.plain};
    appendDecoded(top.strings, 1, seen, out.values);
    return out;
}

// Every rule reads the raw text, its plain spelling and each decoded string, and the strictest
// answer counts: "cd /tmp\nrm -rf x" has no word boundary before rm in its JSON text, and
// "rm -rf \/" does not contain "rm -rf /", but their decoded values do. The host and the command
// are read from the plain spelling, where an escaped character cannot cut them short.
RiskAssessment assess(const ToolDefinition& tool, const QString& argumentsJSON, const HostAllowlist& allowlist,
                      NativeConfirmation mode)
{
    RiskAssessment a;
    if (mode == NativeConfirmation::off || hasOwnConfirmation(tool.name))
        return a;

    const DecodedArguments decoded = decodeArguments(argumentsJSON);
    const auto forEachText = [&](const auto& visit) {
        visit(argumentsJSON, TextKind::arguments);
        if (decoded.plain != argumentsJSON)
            visit(decoded.plain, TextKind::arguments);
        for (const QString& value : decoded.values)
            visit(value, TextKind::value);
    };

    HostAllowlist::CommandVerdict verdict;
    forEachText([&](const QString& text, TextKind) { verdict = stricter(verdict, allowlist.commandVerdict(text)); });
    if (verdict.kind == HostAllowlist::VerdictKind::block) {
        a.effectiveClass = ActionClass::irreversible;
        a.blockedPattern = verdict.pattern;
        return a;
    }
    bool risky = verdict.kind == HostAllowlist::VerdictKind::confirm;
    const Expressions& rx = expressions();
    const QString lowerName = tool.name.toLower();
    a.isSSHLike = lowerName.contains(QLatin1String("ssh")) || lowerName.contains(QLatin1String("scp"));
    forEachText([&](const QString& text, TextKind kind) {
        risky = risky || !riskPatternsIn(text, kind, Find::first).isEmpty();
        a.isSSHLike = a.isSSHLike || rx.sshCommand.match(text).hasMatch();
    });
    a.effectiveClass = risky ? ActionClass::irreversible : tool.actionClass;

    const auto addHost = [&a](const QString& text) {
        if (auto host = hostIn(text); host && !a.detectedHosts.contains(*host))
            a.detectedHosts.append(*host);
    };
    addHost(decoded.plain);
    for (const QString& value : decoded.values)
        addHost(value);
    if (!a.detectedHosts.isEmpty())
        a.detectedHost = a.detectedHosts.first();

    const QRegularExpressionMatch command = rx.commandKey.match(decoded.plain);
    if (command.hasMatch()) {
        const QString raw = command.captured(2);
        const auto parsed = JSONValue::parse((QLatin1Char('"') + raw + QLatin1Char('"')).toUtf8());
        a.detectedCommand = parsed && parsed->asString() ? *parsed->asString() : raw;
    }
    return a;
}

QStringList detectRiskPatterns(const QString& text)
{
    return riskPatternsIn(text, TextKind::arguments, Find::all);
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
