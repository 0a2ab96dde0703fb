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

struct AllowlistDocument {
    QList<AllowedHost> hosts;
    QList<QString> alwaysConfirm; // plain text fragments, not expressions
    QList<QString> alwaysBlock;

    // Strict: all three keys required, elements must have their string field; other keys ignored.
    // The error is a Polish description of what is wrong and where.
    static Result<AllowlistDocument, QString> decode(const QByteArray& json);
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
