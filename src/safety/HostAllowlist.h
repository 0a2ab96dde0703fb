// HostAllowlist: the user's list of SSH hosts that commands may reach, and the command fragments
// that always force confirmation or are always refused (~/.config/selvina-voice/allowlist.json).
// Thread: any; immutable after loading.
#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace selvina::safety {

struct AllowedHost {
    QString host;
    std::optional<QString> note;
};

// What is wrong with the allowlist file, and where.
class AllowlistError {
public:
    enum class Kind { unreadable, notJSON, notObject, missingKey, notArray, elementNotObject, missingField, noteNotText };
    static AllowlistError unreadable(QString systemText) { return {Kind::unreadable, std::move(systemText)}; }
    static AllowlistError notJSON(QString parserText, int offset) { return {Kind::notJSON, std::move(parserText), {}, offset}; }
    static AllowlistError notObject() { return {Kind::notObject}; }
    static AllowlistError missingKey(QString key) { return {Kind::missingKey, std::move(key)}; }
    static AllowlistError notArray(QString key) { return {Kind::notArray, std::move(key)}; }
    // `element` counts from 1, as the user reads the file.
    static AllowlistError elementNotObject(QString key, int element) { return {Kind::elementNotObject, std::move(key), {}, element}; }
    static AllowlistError missingField(QString key, int element, QString field)
    {
        return {Kind::missingField, std::move(key), std::move(field), element};
    }
    static AllowlistError noteNotText(int element) { return {Kind::noteNotText, QStringLiteral("hosts"), {}, element}; }

    Kind kind() const { return m_kind; }
    // The Polish detail the status message quotes, e.g. "klucz „hosts” nie jest tablicą".
    QString description() const;
    bool operator==(const AllowlistError&) const = default;

private:
    AllowlistError(Kind kind, QString text = {}, QString field = {}, int number = 0)
        : m_kind(kind), m_text(std::move(text)), m_field(std::move(field)), m_number(number)
    {
    }
    Kind m_kind;
    QString m_text;  // the key, or the system's or the parser's text
    QString m_field;
    int m_number;    // the element, or the parser's offset
};

struct AllowlistDocument {
    QList<AllowedHost> hosts;
    QList<QString> alwaysConfirm; // plain text fragments, not expressions
    QList<QString> alwaysBlock;

    // Strict: all three keys required, elements must have their string field; other keys ignored.
    static Result<AllowlistDocument, AllowlistError> decode(const QByteArray& json);
    // The document the status messages show as an example, with a private address.
    static QString exampleText();
};

class HostAllowlist {
public:
    struct Decision {
        bool allowed = false;
        QString reason; // set when refused
    };
    enum class VerdictKind { none, confirm, block };
    struct CommandVerdict {
        VerdictKind kind = VerdictKind::none;
        QString pattern; // as written in the file
    };

    // Never fails: a missing or broken file leaves every list empty and says so in statusMessage().
    explicit HostAllowlist(const QString& configPath);
    HostAllowlist(AllowlistDocument document, QString statusMessage);

    static QString defaultConfigPath();

    Decision evaluate(const QString& host) const;
    CommandVerdict commandVerdict(const QString& command) const;

    const AllowlistDocument& document() const { return m_document; }
    const QString& statusMessage() const { return m_statusMessage; }

private:
    AllowlistDocument m_document;
    QString m_statusMessage;
    QList<QString> m_lowerHosts;
    QList<QString> m_lowerConfirm;
    QList<QString> m_lowerBlock;
};

} // namespace selvina::safety
