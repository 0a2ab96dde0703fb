// The run log: every step of a conversation (what was said, tool calls and results, state
// changes, errors) kept in memory for the preview panel and, while the run-preview switch is on,
// written to debug.log one line per step.
// Thread: DebugLog on the main thread; DebugFileLog::append* from any thread, writing on its own
// serial worker.
#pragma once

#include "core/SerialWorker.h"
#include "core/Session.h"

#include <QDateTime>
#include <QObject>
#include <QUuid>

#include <deque>
#include <functional>

namespace selvina {
class WriteFailureNotice;
}

namespace selvina::overlay {

struct DebugEntry {
    QUuid id;
    QDateTime time; // when it was appended
    ChatKind kind = ChatKind::state;
    QString body;
};

// "TY", "REALTIME", "NARZĘDZIE", "WYNIK", "stan", "BŁĄD", "—"
QString panelLabel(ChatKind kind);

class DebugFileLog {
public:
    // Read under its lock on every append; off: entries stay out of the file.
    using Switch = std::function<bool()>;

    // `failures`: told when a line cannot be written (once, until one can be again); none: dropped quietly.
    DebugFileLog(QString filePath, Switch runLogOn, WriteFailureNotice* failures = nullptr);

    // "yyyy-MM-dd HH:mm:ss.zzz<TAB>kind<TAB>body", line breaks in the body as "⏎".
    void append(const DebugEntry& entry);
    // "…<TAB>—<TAB>marker", whatever the switch says.
    void appendMarker(const QString& marker);
    // Resolves once every line handed over so far is written (or given up on).
    QFuture<void> written();

    static QByteArray line(const DebugEntry& entry);

private:
    void write(QByteArray line);

    QString m_path;
    Switch m_on;
    WriteFailureNotice* m_failures;
    SerialWorker m_worker;
};

class DebugLog : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t kLimit = 300;

    // Without a file log the entries stay in memory only.
    explicit DebugLog(DebugFileLog* file, QObject* parent = nullptr);

    void append(ChatKind kind, const QString& body);
    const std::deque<DebugEntry>& entries() const { return m_entries; }

Q_SIGNALS:
    void appended();

private:
    DebugFileLog* m_file;
    std::deque<DebugEntry> m_entries;
};

} // namespace selvina::overlay
