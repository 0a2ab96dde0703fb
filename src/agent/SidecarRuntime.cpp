#include "agent/SidecarRuntime.h"

#include "agent/ProcessTree.h"
#include "core/SidecarLog.h"

#include <QFileInfo>
#include <QPromise>
#include <QProcessEnvironment>
#include <QTimer>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <deque>
#include <limits>

namespace selvina::agent {

namespace {

const QString kRestartedText = QStringLiteral("Warstwa namysłu została zrestartowana. Powtórz polecenie.");
const QString kSilentText = QStringLiteral("Warstwa namysłu przestała odpowiadać, zadanie nie zostało wykonane.");
const QString kClosedText = QStringLiteral("Sesja agenta została zamknięta.");
const QString kNotHandedText = QStringLiteral("Nie udało się przekazać zadania warstwie namysłu.");
const QString kUnknownAgentError = QStringLiteral("Nieznany błąd agenta.");
const QString kDiedText = QStringLiteral("Proces pomocniczy agenta zakończył się nieoczekiwanie.");
const QString kEarlyDeathText = QStringLiteral(
    "Nie udało się uruchomić agenta. Sprawdź, czy zainstalowano Node.js oraz czy katalog Sidecar został "
    "zbudowany poleceniem npm install i npm run build.");

constexpr qsizetype kStderrLineChars = 2000;
constexpr qsizetype kStderrPendingBytes = 64 * 1024;
constexpr std::chrono::milliseconds kTreeGrace{400};

// The errno behind Qt's "function: system text" (the text is the system's own for that number).
std::optional<int> errnoOf(const QString& qtText)
{
    const qsizetype colon = qtText.indexOf(QLatin1String(": "));
    const QString text = colon < 0 ? qtText : qtText.mid(colon + 2);
    for (int code : {ENOENT, EACCES, ENOEXEC, ENOTDIR, ELOOP, ENAMETOOLONG, ETXTBSY, E2BIG, ENOMEM, EAGAIN, EMFILE,
                     ENFILE, EPERM, EISDIR, ELIBBAD})
        if (text == qt_error_string(code))
            return code;
    return std::nullopt;
}

// Why the system would not start the program (QProcess::FailedToStart), in Polish: Qt's own
// texts are English.
QString describeLaunchFailure(const QString& qtText, const QString& program, const QString& workingDirectory)
{
    if (qtText.startsWith(QLatin1String("chdir:")))
        return QStringLiteral("nie można wejść do katalogu %1").arg(workingDirectory);
    const QFileInfo file(program);
    switch (errnoOf(qtText).value_or(0)) {
    case ENOENT:
        return file.exists() ? QStringLiteral("program %1 wskazuje interpreter, którego nie ma w systemie").arg(program)
                             : QStringLiteral("nie ma programu %1 (Node.js instaluje polecenie sudo apt install nodejs)")
                                   .arg(program);
    case EACCES:
    case EISDIR:
        return file.isDir() ? QStringLiteral("%1 jest katalogiem, a nie programem").arg(program)
                            : QStringLiteral("brak uprawnień do uruchomienia %1 (plik nie jest wykonywalny albo leży "
                                             "na partycji zamontowanej z opcją noexec)")
                                  .arg(program);
    case ENOEXEC:
    case ELIBBAD:
        return QStringLiteral("plik %1 nie jest programem, który ten system potrafi uruchomić").arg(program);
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return QStringLiteral("nieprawidłowa ścieżka programu %1").arg(program);
    case ETXTBSY:
        return QStringLiteral("plik %1 jest właśnie zapisywany, spróbuj za chwilę").arg(program);
    case E2BIG:
        return QStringLiteral("środowisko procesu jest zbyt duże");
    case ENOMEM:
        return QStringLiteral("za mało pamięci, by uruchomić proces");
    case EAGAIN:
        return QStringLiteral("system nie pozwala uruchomić kolejnego procesu (osiągnięto limit procesów)");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("wyczerpano limit otwartych plików");
    case EPERM:
        return QStringLiteral("system nie zezwolił na uruchomienie programu %1").arg(program);
    default:
        return QStringLiteral("system odmówił uruchomienia programu %1").arg(program);
    }
}

// Resolves after the delay on the given clock.
QFuture<void> delayOn(Clock& clock, std::chrono::milliseconds delay, std::unique_ptr<ScheduledCall>& handle)
{
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    handle = clock.after(delay, [promise] { promise->finish(); });
    return promise->future();
}

// A pause in real time that needs no runtime: a tree being ended may outlive it.
QFuture<void> afterRealTime(std::chrono::milliseconds delay)
{
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QTimer::singleShot(delay, [promise] { promise->finish(); });
    return promise->future();
}

} // namespace

struct SidecarRuntime::Running {
    QProcess* process = nullptr; // deleted by terminateTree or once it has finished
    quint64 generation = 0;
    bool started = false; // the exec succeeded
    // Run lines of tasks that came while the process was starting: id, its sink's identity, task.
    std::vector<std::tuple<QString, quint64, QString>> unsentRuns;
    qint64 pid = -1;
    std::optional<ProcessEntry> identity; // read when it started: its pid may serve another process later
    std::chrono::milliseconds startedAt{0};
    bool receivedAnyOutput = false;
    LineBuffer lines;
    std::deque<QString> unrouted; // read, not yet routed: a flood is routed a slice per loop turn
    bool sliceScheduled = false;
    QByteArray stderrPending;
    std::chrono::milliseconds stderrWindowStart{0};
    qsizetype stderrInWindow = 0;
    qsizetype stderrDropped = 0;
    // Every descendant of this process listed so far that was not ended yet: the agents run in
    // process groups of their own and outlive it unless ended by the runtime.
    std::vector<ProcessEntry> agentTrees;
    bool listingDescendants = false;
    std::optional<std::chrono::milliseconds> lastListing;
};

SidecarRuntime::SidecarRuntime(Clock& clock, Options options)
    : m_clock(clock), m_options(std::move(options)), m_worker(std::make_shared<SerialWorker>(QStringLiteral("selvina.processtree")))
{
}

SidecarRuntime::~SidecarRuntime()
{
    // Destroyed without shutdown(): the agents run in process groups of their own and would
    // outlive the sidecars, so their descendants now and every tree recorded before end with them.
    // The main thread waits for this, but only within the bounds set in the header.
    std::vector<std::unique_ptr<Running>> all;
    if (auto current = detachProcess())
        all.push_back(std::move(current));
    while (!m_draining.empty())
        all.push_back(detachProcess(m_draining.back()->generation));
    const auto deadline = std::chrono::steady_clock::now() + kDestroyListing;
    std::vector<ProcessEntry> trees;
    for (const auto& running : all) {
        const bool alive = running->process->state() != QProcess::NotRunning;
        const auto found = ProcessTree::liveTrees(alive ? running->identity : std::nullopt, running->agentTrees, deadline);
        trees.insert(trees.end(), found.begin(), found.end());
        if (alive)
            running->process->terminate();
    }
    ProcessTree::endTrees(trees, kDestroyGrace);
    for (const auto& running : all) {
        QProcess* process = running->process;
        if (process->state() == QProcess::NotRunning) {
            delete process;
            continue;
        }
        // Killed, and reaped by the event loop when the kill lands: nothing here waits for it. At
        // process exit the loop is gone and the child is reaped with us.
        process->kill();
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    }
}

bool SidecarRuntime::isProcessRunning() const
{
    return m_running && m_running->process->state() == QProcess::Running;
}

qint64 SidecarRuntime::processId() const
{
    return m_running ? m_running->pid : -1;
}

SidecarRuntime::Running* SidecarRuntime::processOf(quint64 generation) const
{
    if (m_running && m_running->generation == generation)
        return m_running.get();
    for (const auto& draining : m_draining)
        if (draining->generation == generation)
            return draining.get();
    return nullptr;
}

SidecarRuntime::Running* SidecarRuntime::processOfTask(const QString& id) const
{
    const auto found = m_tasks.find(id);
    return found == m_tasks.end() ? nullptr : processOf(found->second.generation);
}

void SidecarRuntime::start(QString id, QString task, AgentEventSink sink)
{
    // The bridge hands a task over a loop turn after it was asked for. A consumer that stopped
    // listening meanwhile has already been told the task was stopped; running it would carry it
    // out (its steps granted) with no one to hear the result, and no cancel would ever follow.
    const auto withdrawn = [&id, &sink] {
        if (sink.isListening())
            return false;
        logLine(QStringLiteral("[most] zadanie id=") + id + QStringLiteral(" odwołane, zanim poszło do sidecara"));
        return true;
    };
    if (withdrawn())
        return;
    QPointer<SidecarRuntime> self(this);
    const quint64 channel = sink.identity();
    sink.setOnTermination([self, id, channel] {
        // Queued: the hook may run inside the runtime's own delivery. It acts only on its own
        // registration, never on a later task that reuses the id.
        QMetaObject::invokeMethod(
            self.data(),
            [self, id, channel] {
                if (!self)
                    return;
                const auto found = self->m_tasks.find(id);
                if (found != self->m_tasks.end() && found->second.sink.identity() != channel)
                    return;
                self->cancel(id);
                self->discardTask(id);
            },
            Qt::QueuedConnection);
    });

    if (auto launched = ensureProcess(); !launched) {
        sink.deliver(AgentEvent::failed(launched.error().description()));
        sink.finish();
        return;
    }
    m_tasks[id] = LiveTask{sink, m_running->generation, nullptr, std::nullopt, 0};
    m_hasTasks = true;
    armSilenceWatchdog(id);
    if (m_running->started)
        sendRun(id, channel, task);
    else
        m_running->unsentRuns.emplace_back(id, channel, task);
}

void SidecarRuntime::sendRun(const QString& id, quint64 channel, const QString& task)
{
    const auto found = m_tasks.find(id);
    if (found == m_tasks.end() || found->second.sink.identity() != channel)
        return; // stopped while the process was starting
    Running* running = processOf(found->second.generation);
    if (running == nullptr || !send(*running, message::run(id, task))) {
        const AgentEventSink sink = found->second.sink;
        const quint64 generation = found->second.generation;
        m_tasks.erase(found);
        sink.deliver(AgentEvent::failed(kNotHandedText));
        sink.finish();
        afterTasksEnded(generation);
    }
}

void SidecarRuntime::cancel(const QString& id)
{
    Running* running = processOfTask(id);
    if (running != nullptr && running->process->state() == QProcess::Running)
        send(*running, message::cancel(id));
}

void SidecarRuntime::confirm(const QString& id)
{
    // A live task's answer goes to the process that asked, replaced or not.
    Running* running = processOfTask(id);
    if (running == nullptr)
        running = m_running.get();
    if (running != nullptr && running->process->state() == QProcess::Running)
        send(*running, message::confirm(id, true));
}

Status<SidecarLaunchError> SidecarRuntime::ensureProcess()
{
    if (m_running && m_running->process->state() != QProcess::NotRunning)
        return Ok{};
    if (m_running) { // ended, but its end has not been handled yet
        const quint64 generation = m_running->generation;
        const QString message = earlyFailureMessage(*m_running);
        auto stale = detachProcess();
        finishTasksOf(generation, message);
        endTrees(std::move(stale), CountLog::whenAny);
    }

    auto entryPoint = SidecarLocator::resolveEntryPoint(m_options.sidecarDirectories);
    if (!entryPoint)
        return entryPoint.error();
    const auto node = SidecarLocator::resolveNodeExecutable();

    auto running = std::make_unique<Running>();
    running->generation = ++m_generation;
    auto* process = new QProcess;
    running->process = process;
    process->setProgram(node.executable);
    process->setArguments(node.leadingArguments + QStringList{entryPoint.value()});
    process->setWorkingDirectory(QFileInfo(QFileInfo(entryPoint.value()).absolutePath()).absolutePath());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MCP_TOOL_TIMEOUT"), QStringLiteral("20000"));
    if (m_options.addCredentials)
        m_options.addCredentials(environment);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::SeparateChannels);

    const quint64 generation = running->generation;
    connect(process, &QProcess::started, this, [this, generation] { processStarted(generation); });
    connect(process, &QProcess::readyReadStandardOutput, this, [this, generation] { readOutput(generation); });
    connect(process, &QProcess::readyReadStandardError, this,
            [this, generation] { readErrors(generation, PartialLine::keep); });
    connect(process, &QProcess::finished, this, [this, generation] { processEnded(generation); });

    // The process is ours before it starts; whether the exec succeeded arrives by signal.
    running->startedAt = m_clock.now();
    running->stderrWindowStart = running->startedAt;
    m_running = std::move(running);
    m_isShuttingDown = false;
    process->start();
    if (process->state() == QProcess::NotRunning) { // refused at once, before any signal could be heard
        detachProcess();
        process->deleteLater();
        return launchFailure(*process);
    }
    connect(process, &QProcess::errorOccurred, this, [this, generation](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            processFailedToStart(generation);
    });
    return Ok{};
}

SidecarLaunchError SidecarRuntime::launchFailure(const QProcess& process)
{
    logLine(QStringLiteral("[most] nie uruchomiłem sidecara: ") + process.errorString());
    return SidecarLaunchError::processLaunchFailed(
        describeLaunchFailure(process.errorString(), process.program(), process.workingDirectory()));
}

void SidecarRuntime::processStarted(quint64 generation)
{
    Running* running = processOf(generation);
    if (running == nullptr)
        return;
    Running& r = *running;
    r.started = true;
    r.pid = r.process->processId();
    r.identity = ProcessTree::read(pid_t(r.pid));
    r.lastListing.reset();
    logLine(QStringLiteral("[most] uruchomiłem sidecara, pid ") + QString::number(r.pid));
    for (const auto& [id, channel, task] : std::exchange(r.unsentRuns, {})) {
        sendRun(id, channel, task);
        if (processOf(generation) == nullptr)
            return;
    }
}

void SidecarRuntime::processFailedToStart(quint64 generation)
{
    Running* running = processOf(generation);
    if (running == nullptr)
        return;
    QProcess* process = running->process;
    const SidecarLaunchError error = launchFailure(*process);
    detachProcess(generation);
    process->deleteLater();
    finishTasksOf(generation, error.description());
}

std::unique_ptr<SidecarRuntime::Running> SidecarRuntime::detachProcess()
{
    if (!m_running)
        return nullptr;
    m_running->process->disconnect(this);
    return std::move(m_running);
}

std::unique_ptr<SidecarRuntime::Running> SidecarRuntime::detachProcess(quint64 generation)
{
    if (m_running && m_running->generation == generation)
        return detachProcess();
    const auto found = std::find_if(m_draining.begin(), m_draining.end(),
                                    [generation](const auto& r) { return r->generation == generation; });
    if (found == m_draining.end())
        return nullptr;
    auto running = std::move(*found);
    m_draining.erase(found);
    running->process->disconnect(this);
    return running;
}

void SidecarRuntime::readOutput(quint64 generation)
{
    Running* running = processOf(generation);
    if (running == nullptr)
        return;
    const QByteArray bytes = running->process->readAllStandardOutput();
    const qsizetype oversized = running->lines.oversizedLines();
    const QStringList lines = running->lines.consume(bytes);
    if (running->lines.oversizedLines() != oversized)
        logLine(QStringLiteral("[most] linia dłuższa niż %1 MiB — pominięta").arg(LineBuffer::kDefaultLimit >> 20));
    running->unrouted.insert(running->unrouted.end(), lines.begin(), lines.end());
    routeLines(generation, kLinesPerTurn);
}

void SidecarRuntime::routeLines(quint64 generation, qsizetype limit)
{
    for (qsizetype n = 0; n < limit; ++n) {
        // A line can end the process's last task and so let the process go: the rest went with it.
        Running* running = processOf(generation);
        if (running == nullptr || running->unrouted.empty())
            return;
        const QString line = std::move(running->unrouted.front());
        running->unrouted.pop_front();
        if (mentionsTerminalType(line))
            logLine(QStringLiteral("[most] surowa linia (") + QString::number(line.size()) + QStringLiteral(" B): ")
                    + line.left(120));
        route(*running, line);
    }
    Running* running = processOf(generation);
    if (running != nullptr && !running->unrouted.empty() && !running->sliceScheduled) {
        running->sliceScheduled = true;
        QTimer::singleShot(0, this, [this, generation] {
            Running* later = processOf(generation);
            if (later == nullptr)
                return;
            later->sliceScheduled = false;
            routeLines(generation, kLinesPerTurn);
        });
    }
}

void SidecarRuntime::readErrors(quint64 generation, PartialLine rest)
{
    Running* running = processOf(generation);
    if (running == nullptr)
        return;
    Running& r = *running;
    r.stderrPending.append(r.process->readAllStandardError());

    const auto emitLine = [&](QByteArrayView raw) {
        const QString text = QString::fromUtf8(raw).trimmed();
        if (text.isEmpty())
            return;
        const auto now = m_clock.now();
        if (now - r.stderrWindowStart >= kStderrWindow) {
            if (r.stderrDropped > 0)
                logLine(QStringLiteral("[most] pominięto %1 linii wyjścia błędów sidecara").arg(r.stderrDropped));
            r.stderrWindowStart = now;
            r.stderrInWindow = 0;
            r.stderrDropped = 0;
        }
        // A sidecar that writes errors without end must not flood the log or the memory.
        if (r.stderrInWindow >= kStderrLinesPerWindow) {
            ++r.stderrDropped;
            return;
        }
        ++r.stderrInWindow;
        logLine(text.left(kStderrLineChars));
    };

    qsizetype start = 0;
    for (qsizetype end; (end = r.stderrPending.indexOf('\n', start)) >= 0; start = end + 1)
        emitLine(QByteArrayView(r.stderrPending.constData() + start, end - start));
    r.stderrPending.remove(0, start);
    const bool flush = rest == PartialLine::flush;
    if (flush || r.stderrPending.size() > kStderrPendingBytes) {
        emitLine(r.stderrPending);
        r.stderrPending.clear();
    }
    if (flush && r.stderrDropped > 0) {
        logLine(QStringLiteral("[most] pominięto %1 linii wyjścia błędów sidecara").arg(r.stderrDropped));
        r.stderrDropped = 0;
    }
}

void SidecarRuntime::processEnded(quint64 generation)
{
    readOutput(generation); // the last lines before the end still count, in order
    routeLines(generation, std::numeric_limits<qsizetype>::max());
    Running* running = processOf(generation);
    if (running == nullptr)
        return;
    readErrors(generation, PartialLine::flush);
    const QString message = earlyFailureMessage(*running);
    auto ended = detachProcess(generation);
    if (!m_isShuttingDown)
        finishTasksOf(generation, message);
    // The agents it started were left to another parent: end those it was seen to have.
    if (!ended->agentTrees.empty())
        endTrees(std::move(ended), CountLog::whenAny);
    else
        ended->process->deleteLater();
}

QString SidecarRuntime::earlyFailureMessage(const Running& running) const
{
    if (!running.receivedAnyOutput && m_clock.now() - running.startedAt < kEarlyFailureWindow)
        return kEarlyDeathText;
    return kDiedText;
}

void SidecarRuntime::logAbandoned(const QString& type, const std::optional<QString>& id) const
{
    QStringList live;
    for (const auto& [liveId, task] : m_tasks)
        live.append(liveId);
    logLine(QStringLiteral("[most] PORZUCONO ") + type + QStringLiteral(" id=") + id.value_or(QStringLiteral("—"))
            + QStringLiteral(" (oczekujących: ") + live.join(QLatin1Char(',')) + QLatin1Char(')'));
}

void SidecarRuntime::route(Running& running, const QString& line)
{
    running.receivedAnyOutput = true;
    const auto decoded = IncomingLine::decode(line);
    if (!decoded) {
        logLine(QStringLiteral("[most] linii nie da się zdekodować: ") + line.left(160));
        return;
    }
    if (!decoded->id) {
        logAbandoned(decoded->type, std::nullopt);
        return;
    }
    const QString id = *decoded->id;
    const auto found = m_tasks.find(id);
    // Only the process that runs a task speaks for it.
    if (found == m_tasks.end() || found->second.generation != running.generation) {
        logAbandoned(decoded->type, id);
        return;
    }
    armSilenceWatchdog(id);
    recordDescendants(running);
    const AgentEventSink sink = found->second.sink;
    const QString& type = decoded->type;
    const bool terminal = type == u"finished" || type == u"failed";
    if (terminal)
        logLine(QStringLiteral("[most] ") + type + QStringLiteral(" id=") + id + QStringLiteral(" odbiorca=")
                + QStringLiteral("jest"));

    if (type == u"progress") {
        sink.deliver(AgentEvent::progress(decoded->text.value_or(QString())));
    } else if (type == u"activity") {
        sink.deliver(AgentEvent::activity(decoded->text.value_or(QString())));
    } else if (type == u"confirm_required") {
        sink.deliver(AgentEvent::confirmationRequired(decoded->intent.value_or(QString()), id));
    } else if (terminal) {
        sink.deliver(type == u"finished" ? AgentEvent::finished(decoded->text.value_or(QString()))
                                          : AgentEvent::failed(decoded->error.value_or(kUnknownAgentError)));
        sink.finish();
        discardTaskSilently(id); // may let a replaced process go: `running` is not used after this
    } else if (type == u"heartbeat") {
        const auto now = m_clock.now();
        auto& last = found->second.lastHeartbeat;
        if (last && now - *last > kHeartbeatGapNoted)
            logLine(QStringLiteral("[most] puls id=%1 po %2 s").arg(id).arg(double((now - *last).count()) / 1000.0, 0, 'f', 1));
        last = now;
    }
}

void SidecarRuntime::discardTask(const QString& id)
{
    if (m_tasks.contains(id))
        logLine(QStringLiteral("[most] zdejmuję odbiorcę id=") + id);
    discardTaskSilently(id);
}

void SidecarRuntime::discardTaskSilently(const QString& id)
{
    const auto found = m_tasks.find(id);
    if (found == m_tasks.end())
        return;
    const quint64 generation = found->second.generation;
    m_tasks.erase(found);
    afterTasksEnded(generation);
}

void SidecarRuntime::afterTasksEnded(quint64 generation)
{
    const bool busy = std::any_of(m_tasks.begin(), m_tasks.end(),
                                  [generation](const auto& entry) { return entry.second.generation == generation; });
    const bool draining = std::any_of(m_draining.begin(), m_draining.end(),
                                      [generation](const auto& r) { return r->generation == generation; });
    if (!busy && draining) {
        auto done = detachProcess(generation);
        logLine(QStringLiteral("[most] wymieniony sidecar, pid ") + QString::number(done->pid)
                + QStringLiteral(", skończył swoje zadania — zamykam go"));
        endTrees(std::move(done), CountLog::always);
    }
    if (m_tasks.empty() && std::exchange(m_hasTasks, false))
        Q_EMIT idle();
}

void SidecarRuntime::armSilenceWatchdog(const QString& id)
{
    const auto found = m_tasks.find(id);
    if (found == m_tasks.end())
        return;
    QPointer<SidecarRuntime> self(this);
    found->second.silenceWatchdog = m_clock.after(kSilenceWindow, [self, id] {
        if (self)
            self->silenceExpired(id);
    });
}

void SidecarRuntime::silenceExpired(const QString& id)
{
    const auto found = m_tasks.find(id);
    if (found == m_tasks.end())
        return;
    const quint64 generation = found->second.generation;
    const Running* running = processOf(generation);
    const bool alive = running != nullptr && running->process->state() == QProcess::Running;
    const int extensions = found->second.silenceExtensions;
    if (alive && extensions < kSilenceExtensions) {
        found->second.silenceExtensions = extensions + 1;
        logLine(QStringLiteral("[most] cisza ") + QString::number(kSilenceWindow.count() / 1000)
                + QStringLiteral(" s dla id=") + id + QStringLiteral(", ") + QStringLiteral("ale proces ")
                + QString::number(running->pid) + QStringLiteral(" żyje — ") + QStringLiteral("przedłużam (")
                + QString::number(extensions + 1) + QLatin1Char('/') + QString::number(kSilenceExtensions)
                + QLatin1Char(')'));
        armSilenceWatchdog(id);
        return;
    }
    const QString reason = alive
        ? QStringLiteral("cisza ") + QString::number(kSilenceWindow.count() / 1000 * (kSilenceExtensions + 1))
            + QStringLiteral(" s mimo żywego procesu")
        : QStringLiteral("proces nie żyje");
    logLine(QStringLiteral("[most] ") + reason + QStringLiteral(" dla id=") + id + QStringLiteral(" — przerywam zadanie"));
    const AgentEventSink sink = found->second.sink;
    m_tasks.erase(found);
    sink.deliver(AgentEvent::failed(kSilentText));
    sink.finish();
    // The process of the silent task is replaced; tasks of other processes go on.
    restartProcess(generation, reason);
    afterTasksEnded(generation);
}

void SidecarRuntime::restartProcess(quint64 generation, const QString& reason)
{
    auto replaced = detachProcess(generation);
    if (!replaced)
        return;
    logLine(QStringLiteral("[most] wymieniam sidecara (") + reason + QStringLiteral("), pid ")
            + QString::number(replaced->pid));
    finishTasksOf(generation, kRestartedText);
    endTrees(std::move(replaced), CountLog::whenAny);
}

void SidecarRuntime::renewForNextTask()
{
    if (!m_running)
        return;
    const quint64 generation = m_running->generation;
    const bool busy = std::any_of(m_tasks.begin(), m_tasks.end(),
                                  [generation](const auto& entry) { return entry.second.generation == generation; });
    if (busy) {
        // Its tasks finish where they began, answers and cancels included; the next task starts a
        // process that reads the change.
        logLine(QStringLiteral("[most] zmiana ustawień w trakcie zadania — nowe zadania pójdą do nowego sidecara, pid ")
                + QString::number(m_running->pid) + QStringLiteral(" kończy bieżące"));
        m_draining.push_back(std::move(m_running));
        return;
    }
    logLine(QStringLiteral("[most] zmiana ustawień — wymieniam sidecara, pid ") + QString::number(m_running->pid));
    endTrees(detachProcess(), CountLog::always);
}

QCoro::Task<> SidecarRuntime::waitOnClock(std::chrono::milliseconds delay)
{
    std::unique_ptr<ScheduledCall> handle;
    auto waiting = delayOn(m_clock, delay, handle);
    co_await waiting;
}

QCoro::Task<> SidecarRuntime::shutdown()
{
    std::vector<quint64> generations;
    bool anyStarted = false;
    const auto note = [&](Running& r) {
        if (r.process->state() == QProcess::NotRunning)
            return;
        generations.push_back(r.generation);
        if (r.started) { // one still starting has nothing to close
            send(r, message::shutdown());
            anyStarted = true;
        }
    };
    if (m_running)
        note(*m_running);
    for (const auto& draining : m_draining)
        note(*draining);
    if (generations.empty())
        co_return;
    QPointer<SidecarRuntime> self(this);
    m_isShuttingDown = true;
    if (anyStarted) {
        auto grace = waitOnClock(kShutdownGrace);
        co_await grace;
        if (!self)
            co_return;
    }
    std::vector<std::unique_ptr<Running>> stopping;
    for (const quint64 generation : generations)
        if (auto running = detachProcess(generation))
            stopping.push_back(std::move(running));
    finishAllPending(kClosedText);
    std::vector<QCoro::Task<>> endings;
    for (auto& running : stopping) {
        running->process->closeWriteChannel();
        endings.push_back(endTrees(std::move(running), CountLog::whenAny));
    }
    for (auto& ending : endings)
        co_await ending;
}

QCoro::Task<> SidecarRuntime::endTrees(std::unique_ptr<Running> running, CountLog countLog)
{
    std::vector<ProcessEntry> recorded = std::move(running->agentTrees);
    return terminateTree(QPointer<SidecarRuntime>(this), m_worker, running->process, running->identity, running->pid,
                         std::move(recorded), countLog);
}

// Descendants first (they are found only while their parent lives), then the process; after
// 400 ms whatever is left is killed — a sidecar that ignores SIGTERM must not outlive us.
QCoro::Task<> SidecarRuntime::terminateTree(QPointer<SidecarRuntime> self, std::shared_ptr<SerialWorker> worker,
                                            QPointer<QProcess> process, std::optional<ProcessEntry> root, qint64 pid,
                                            std::vector<ProcessEntry> recorded, CountLog countLog)
{
    auto listing = worker->run([root, recorded = std::move(recorded)] {
        const std::vector<ProcessEntry> found = ProcessTree::liveTrees(root, recorded);
        for (const ProcessEntry& e : found)
            ProcessTree::signalTree(e, SIGTERM);
        return found;
    });
    const std::vector<ProcessEntry> found = co_await listing;
    if (process && process->state() != QProcess::NotRunning)
        process->terminate();

    auto grace = afterRealTime(kTreeGrace);
    co_await grace;
    auto sweep = worker->run([found] {
        for (const ProcessEntry& e : found)
            ProcessTree::signalTree(e, SIGKILL);
    });
    co_await sweep;
    if (process) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            QObject::connect(process.data(), &QProcess::finished, process.data(), &QObject::deleteLater);
        } else {
            process->deleteLater();
        }
    }
    if (!found.empty() || countLog == CountLog::always)
        logLine(QStringLiteral("[most] zakończyłem ") + QString::number(found.size()) + QStringLiteral(" procesów potomnych"));
    if (self)
        Q_EMIT self->treeTerminated(pid, int(found.size()));
}

// Lists the process's descendants on a line of a live task, at most every kDescendantsRefresh.
void SidecarRuntime::recordDescendants(Running& running)
{
    if (!running.identity || running.listingDescendants)
        return;
    const auto now = m_clock.now();
    if (running.lastListing && now - *running.lastListing < kDescendantsRefresh)
        return;
    running.lastListing = now;
    running.listingDescendants = true;
    listDescendants(QPointer<SidecarRuntime>(this), m_worker, running.generation, *running.identity, running.agentTrees);
}

QCoro::Task<> SidecarRuntime::listDescendants(QPointer<SidecarRuntime> self, std::shared_ptr<SerialWorker> worker,
                                              quint64 generation, ProcessEntry root, std::vector<ProcessEntry> recorded)
{
    auto listing = worker->run([root, recorded = std::move(recorded)] { return ProcessTree::liveTrees(root, recorded); });
    std::vector<ProcessEntry> found = co_await listing;
    if (!self)
        co_return;
    Running* running = self->processOf(generation);
    if (running == nullptr)
        co_return; // being ended: its ending lists the trees afresh
    running->listingDescendants = false;
    // Trees ended meanwhile are still listed here; ending them again finds them gone.
    running->agentTrees = std::move(found);
    Q_EMIT self->descendantsRecorded(int(running->agentTrees.size()));
}

void SidecarRuntime::finishAllPending(const QString& message)
{
    auto tasks = std::move(m_tasks);
    m_tasks.clear();
    for (const auto& [id, task] : tasks) {
        task.sink.deliver(AgentEvent::failed(message));
        task.sink.finish();
    }
    if (std::exchange(m_hasTasks, false))
        Q_EMIT idle();
}

void SidecarRuntime::finishTasksOf(quint64 generation, const QString& message)
{
    std::vector<AgentEventSink> failing;
    for (auto it = m_tasks.begin(); it != m_tasks.end();) {
        if (it->second.generation == generation) {
            failing.push_back(it->second.sink);
            it = m_tasks.erase(it);
        } else {
            ++it;
        }
    }
    for (const AgentEventSink& sink : failing) {
        sink.deliver(AgentEvent::failed(message));
        sink.finish();
    }
    if (!failing.empty())
        afterTasksEnded(generation);
}

bool SidecarRuntime::send(Running& running, const QJsonObject& message)
{
    QProcess* process = running.process;
    if (process->state() != QProcess::Running || !process->isWritable()) {
        logLine(QStringLiteral("[most] brak wejścia sidecara — wiadomość nie poszła"));
        return false;
    }
    const auto line = encodeLine(message);
    if (!line) {
        logLine(QStringLiteral("[most] nie udało się zakodować wiadomości"));
        return false;
    }
    if (process->write(*line) != line->size()) {
        logLine(QStringLiteral("[most] zapis do sidecara nie powiódł się: ") + process->errorString());
        return false;
    }
    return true;
}

} // namespace selvina::agent
