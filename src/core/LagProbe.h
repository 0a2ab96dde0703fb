// LagProbe: how late the main thread's event loop is. A timer asks to run every kPeriod; each time
// it runs later than that by more than kReported, a line is appended to a file:
// "<ms since the probe started> <lateness ms> <of it, ms waiting for a CPU>". The second part is the
// machine's load (other processes had the cores), not this thread's doing; the rest is work or a
// wait of the main thread itself. Switched on by SELVINA_LAG_PROBE=<file>; the benchmark reads it.
// Thread: main thread.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>

namespace selvina {

class LagProbe : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kPeriod{10};
    static constexpr std::chrono::milliseconds kReported{5};

    // None unless SELVINA_LAG_PROBE names a file that can be opened.
    static std::unique_ptr<LagProbe> fromEnvironment();
    explicit LagProbe(const QString& filePath, QObject* parent = nullptr);
    ~LagProbe() override;

    bool isOpen() const { return m_file.isOpen(); }

private:
    void tick();
    qint64 queuedNs() const; // how long this thread has waited for a CPU so far

    QFile m_file;
    QTimer m_timer;
    QElapsedTimer m_clock;
    int m_schedstat = -1; // /proc/thread-self/schedstat of the main thread
    qint64 m_lastMs = 0;
    qint64 m_lastQueuedNs = 0;
};

} // namespace selvina
