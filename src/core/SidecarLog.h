// SidecarLog: the application's general log file (sidecar.log), one time-stamped line per entry.
// Thread: append() from any thread; writes happen on the log's own serial worker thread.
#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace selvina {

class SidecarLog {
public:
    // The process-wide log in the log folder; created on first use, lives until exit.
    static SidecarLog& shared();

    explicit SidecarLog(QString filePath);
    ~SidecarLog(); // writes what is still queued, then stops the worker

    // Never blocks on the file, never reports failure. Blank messages are ignored.
    void append(const QString& message);
    // Blocks until every entry appended so far has been written (tests, shutdown).
    void flush();

    QString filePath() const { return m_path; }

private:
    void run();
    void write(const QByteArray& line);

    QString m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<QByteArray> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_worker;
};

// Shorthand for SidecarLog::shared().append(message).
void logLine(const QString& message);

} // namespace selvina
