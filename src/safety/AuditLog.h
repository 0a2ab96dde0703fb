// AuditLog: the append-only record of tool calls the safety gate considered risky
// (audit.log in the log folder), one compact JSON object per line.
// Thread: append() from the main thread; every file write runs on the log's own worker thread.
#pragma once

#include "core/SerialWorker.h"

#include <QDateTime>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace selvina {
class WriteFailureNotice;
}

namespace selvina::safety {

struct AuditEntry {
    QDateTime timestamp;
    QString tool;
    QString argumentsJSON;
    QString actionClass;
    std::optional<QString> confirmationText;
    std::optional<bool> confirmationGranted;
    QString outcome;

    // One line without the line feed; timestamps in UTC whole seconds ("2026-01-31T12:00:00Z").
    QByteArray encoded() const;
};

class AuditLog {
public:
    // `failures`: told when an entry cannot be written (once, until one can be again).
    explicit AuditLog(QString filePath, WriteFailureNotice* failures = nullptr);

    static QString defaultFilePath();

    // Completes once the line is on disk or has failed. Never fails outward: a failure writes one
    // line to standard error, is said once, and loses only this entry; the file keeps whole lines.
    QCoro::Task<> append(AuditEntry entry);

    const QString& filePath() const { return m_path; }

private:
    QFuture<void> post(AuditEntry entry);

    QString m_path;
    WriteFailureNotice* m_failures;
    SerialWorker m_worker{QStringLiteral("audit-log")};
};

} // namespace selvina::safety
