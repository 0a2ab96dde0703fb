// SidecarLog: the application's general log file (sidecar.log), one time-stamped line per entry.
// Thread: append() from any thread; writes happen on the log's own SerialWorker.
#pragma once

#include "core/SerialWorker.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>

namespace selvina {

class SidecarLog {
public:
    // The one process-wide instance, by design: a process has one log file, and every layer writes
    // to it without being handed it (a worker's failed job, the agent runtime, the hot-keys).
    // Created on first use in the log folder, it lives until exit.
    static SidecarLog& shared();

    explicit SidecarLog(QString filePath);
    ~SidecarLog(); // writes what is still queued

    // Never blocks on the file, never reports failure. Blank messages are ignored.
    void append(const QString& message);
    // Blocks until every entry appended so far has been written (tests, shutdown).
    void flush();

    QString filePath() const { return m_path; }

private:
    void drain(); // on the worker: writes everything queued, as one append to the file
    void write(const QByteArray& bytes);

    QString m_path;
    std::mutex m_mutex;
    QByteArray m_queued;
    bool m_drainPosted = false; // a drain is queued on the worker and has not taken the lines yet
    std::unique_ptr<SerialWorker> m_worker;
};

// Shorthand for SidecarLog::shared().append(message).
void logLine(const QString& message);

} // namespace selvina
