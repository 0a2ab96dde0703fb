// SidecarRuntime: the agent sidecar process — found, started on the first task, fed JSON lines,
// read, watched for silence, replaced when it hangs or the settings or plug-ins change, stopped
// with everything it started. A process replaced while tasks run keeps those tasks (their lines,
// answers and cancels) until the last one ends, while new tasks go to a new process.
// Thread: main thread; nothing here blocks it (timers, pipes and signals only, the start
// included; /proc is read on a worker) except the bounded end of the destructor.
#pragma once

#include "agent/AgentEvent.h"
#include "agent/ProcessTree.h"
#include "agent/SidecarLocator.h"
#include "agent/SidecarProtocol.h"
#include "core/Clock.h"
#include "core/Result.h"
#include "core/SerialWorker.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace selvina::agent {

class SidecarRuntime : public QObject {
    Q_OBJECT
public:
    struct Options {
        QStringList sidecarDirectories; // none: the locator's folders
        // Adds to each new process's environment what the agents log in with (the keys the user
        // saved in the settings window live in the keyring, not in the assistant's environment).
        // Called on the main thread at every start: it must not wait.
        std::function<void(QProcessEnvironment&)> addCredentials;
    };

    static constexpr std::chrono::milliseconds kSilenceWindow{30'000};
    static constexpr int kSilenceExtensions = 5;
    static constexpr std::chrono::milliseconds kHeartbeatGapNoted{15'000};
    static constexpr std::chrono::milliseconds kEarlyFailureWindow{1'000};
    static constexpr std::chrono::milliseconds kShutdownGrace{500};
    static constexpr qsizetype kStderrLinesPerWindow = 200;
    static constexpr std::chrono::milliseconds kStderrWindow{10'000};
    static constexpr qsizetype kLinesPerTurn = 256; // routed per event-loop turn, so a flood never stalls it
    // The sidecar's descendants are listed again on a task's line at most this often, so that the
    // agents (in process groups of their own) can be ended even once the sidecar is gone.
    static constexpr std::chrono::milliseconds kDescendantsRefresh{2'000};
    // Destroyed without shutdown(): the process table is read for at most kDestroyListing, SIGTERM
    // has kDestroyGrace, then SIGKILL, reaped later by the event loop — 200 ms at the very worst.
    static constexpr std::chrono::milliseconds kDestroyListing{100};
    static constexpr std::chrono::milliseconds kDestroyGrace{100};

    // The clock times the silence, the heartbeats and the shutdown's grace.
    explicit SidecarRuntime(Clock& clock, Options options = {});
    ~SidecarRuntime() override; // ends the process and the agent trees, within the bounds above

    // Registers the task and sends its run line (once the process has started); every outcome
    // arrives through the sink.
    void start(QString id, QString task, AgentEventSink sink);
    // A cancel line while the task is live and the process runs.
    void cancel(const QString& id);
    // The answer to a confirmation request, to the process that runs the task (else the current
    // one), when it runs; a failed write is logged only.
    void confirm(const QString& id);
    // The next task runs in a new process, which reads the settings and plug-ins as they are now.
    // The current process goes now when it has no task, else once its tasks have ended; none of
    // them is cut. Plug-ins, keys and reasoning settings that changed come in this way.
    void renewForNextTask();
    // The shutdown line, 0.5 s, then the whole process tree; the tasks still live fail.
    QCoro::Task<> shutdown();

    // The process new tasks go to.
    bool isProcessRunning() const;
    qint64 processId() const; // -1 without a process
    std::size_t liveTaskCount() const { return m_tasks.size(); }
    // Replaced processes still finishing their tasks.
    std::size_t drainingCount() const { return m_draining.size(); }

Q_SIGNALS:
    // The last live task has ended, in whichever process (a plug-in removal waits for this).
    void idle();
    // A process was replaced or stopped and its whole tree was sent its signals (tests, logs).
    void treeTerminated(qint64 pid, int descendants);
    // The sidecar's descendants were listed and recorded (tests).
    void descendantsRecorded(int count);

private:
    struct Running;
    // A task from its start until its last event: where its events go, and its silence.
    struct LiveTask {
        AgentEventSink sink;
        quint64 generation = 0; // of the process it runs in
        std::unique_ptr<ScheduledCall> silenceWatchdog;
        std::optional<std::chrono::milliseconds> lastHeartbeat;
        int silenceExtensions = 0;
    };
    // What standard error still holds after its last full line.
    enum class PartialLine { keep, flush };
    // Whether ending the trees logs a count of none.
    enum class CountLog { whenAny, always };

    // Starts the process unless one runs or is starting; its start is reported by signals.
    Status<SidecarLaunchError> ensureProcess();
    // The process of that generation, current or draining; none once it was let go.
    Running* processOf(quint64 generation) const;
    Running* processOfTask(const QString& id) const;
    void processStarted(quint64 generation);
    void processFailedToStart(quint64 generation);
    static SidecarLaunchError launchFailure(const QProcess& process); // logged with Qt's own text
    void sendRun(const QString& id, quint64 channel, const QString& task);
    void readOutput(quint64 generation);
    void routeLines(quint64 generation, qsizetype limit);
    void readErrors(quint64 generation, PartialLine rest);
    void processEnded(quint64 generation);
    QString earlyFailureMessage(const Running& running) const;
    void route(Running& running, const QString& line);
    void logAbandoned(const QString& type, const std::optional<QString>& id) const;
    void discardTask(const QString& id);
    void discardTaskSilently(const QString& id);
    // A draining process whose tasks have all ended goes; the runtime says when no task is left.
    void afterTasksEnded(quint64 generation);
    void armSilenceWatchdog(const QString& id);
    void silenceExpired(const QString& id);
    void restartProcess(quint64 generation, const QString& reason);
    void finishAllPending(const QString& message);
    // Fails the live tasks of one process.
    void finishTasksOf(quint64 generation, const QString& message);
    bool send(Running& running, const QJsonObject& message);
    // Takes the process away from the runtime: no callback of it is heard again.
    std::unique_ptr<Running> detachProcess();
    std::unique_ptr<Running> detachProcess(quint64 generation);
    // Ends the process with its descendants and every tree recorded for it before; not a
    // coroutine itself, so the runtime may go while the returned task runs.
    QCoro::Task<> endTrees(std::unique_ptr<Running> running, CountLog countLog);
    static QCoro::Task<> terminateTree(QPointer<SidecarRuntime> self, std::shared_ptr<SerialWorker> worker,
                                       QPointer<QProcess> process, std::optional<ProcessEntry> root, qint64 pid,
                                       std::vector<ProcessEntry> recorded, CountLog countLog);
    void recordDescendants(Running& running);
    static QCoro::Task<> listDescendants(QPointer<SidecarRuntime> self, std::shared_ptr<SerialWorker> worker,
                                         quint64 generation, ProcessEntry root, std::vector<ProcessEntry> recorded);
    QCoro::Task<> waitOnClock(std::chrono::milliseconds delay);

    Clock& m_clock;
    Options m_options;
    std::shared_ptr<SerialWorker> m_worker;
    std::unique_ptr<Running> m_running; // where new tasks go
    // Replaced while tasks ran: each still serves its own tasks and goes after the last one.
    std::vector<std::unique_ptr<Running>> m_draining;
    quint64 m_generation = 0;
    std::map<QString, LiveTask> m_tasks;
    bool m_isShuttingDown = false;
    bool m_hasTasks = false; // a task was live since idle() was last said
};

} // namespace selvina::agent
