#include "diagnostics/PermissionAudit.h"

#include "core/SerialWorker.h"

#include <QFutureWatcher>
#include <QProcess>
#include <QStandardPaths>

#include <qcoro/qcorosignal.h>

#include <atomic>

namespace selvina::diagnostics {

namespace {

// Workers whose probe overran its limit. They are never joined (the probe may hang for good, on a
// dead sound server or a pipe nobody writes); kept reachable so that leak checkers see them.
std::vector<std::unique_ptr<SerialWorker>>& leftBehind()
{
    static auto* workers = new std::vector<std::unique_ptr<SerialWorker>>;
    return *workers;
}

} // namespace

struct PermissionAudit::Worker {
    std::unique_ptr<SerialWorker> thread;
    std::shared_ptr<std::atomic<bool>> busy = std::make_shared<std::atomic<bool>>(false);
};

struct PermissionAudit::Slot {
    QFuture<std::optional<bool>> future;
};

PermissionAudit::PermissionAudit(std::vector<Prerequisite> entries, QProcessEnvironment environment,
                                 std::chrono::milliseconds limit)
    : m_entries(std::move(entries)), m_environment(std::move(environment)), m_limit(limit)
{
    m_workers.resize(m_entries.size());
}

PermissionAudit::~PermissionAudit()
{
    for (auto& worker : m_workers)
        if (worker && worker->busy->load())
            leftBehind().push_back(std::move(worker->thread));
}

void PermissionAudit::post(std::size_t index, Prerequisite::Probe job, std::shared_ptr<Slot> slot)
{
    auto& worker = m_workers[index];
    if (!worker)
        worker = std::make_unique<Worker>();
    // A worker still inside an earlier probe would make this one wait behind it.
    if (worker->busy->load()) {
        leftBehind().push_back(std::move(worker->thread));
        worker = std::make_unique<Worker>();
    }
    if (!worker->thread)
        worker->thread = std::make_unique<SerialWorker>(QStringLiteral("selvina.audit.%1").arg(index));
    worker->busy->store(true);
    slot->future = worker->thread->run(
        [job = std::move(job), busy = worker->busy]() -> std::optional<bool> {
            std::optional<bool> answer = job ? job() : std::nullopt;
            busy->store(false);
            return answer;
        },
        [busy = worker->busy]() -> std::optional<bool> {
            busy->store(false);
            return std::nullopt;
        });
}

namespace {

// Waits for the future until `deadline`; absent when it has not finished by then.
QCoro::Task<std::optional<bool>> answerBy(QFuture<std::optional<bool>> future, std::chrono::steady_clock::time_point deadline)
{
    if (!future.isFinished()) {
        QFutureWatcher<std::optional<bool>> watcher;
        watcher.setFuture(future);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() > 0 && !future.isFinished())
            co_await qCoro(&watcher, &QFutureWatcherBase::finished, left);
    }
    if (!future.isFinished() || future.resultCount() == 0)
        co_return std::nullopt;
    co_return future.result();
}

} // namespace

QCoro::Task<std::optional<bool>> PermissionAudit::runLimited(std::size_t index, Prerequisite::Probe job)
{
    auto slot = std::make_shared<Slot>();
    const auto deadline = std::chrono::steady_clock::now() + m_limit;
    post(index, std::move(job), slot);
    co_return co_await answerBy(slot->future, deadline);
}

QCoro::Task<std::vector<Permission>> PermissionAudit::check()
{
    const auto deadline = std::chrono::steady_clock::now() + m_limit;
    std::vector<std::shared_ptr<Slot>> slots(m_entries.size());
    std::vector<Permission> out;
    out.reserve(m_entries.size());
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const Prerequisite& entry = m_entries[i];
        out.push_back({entry.name, std::nullopt, entry.remedy, entry.impact});
        if (entry.runs == Prerequisite::Runs::onMainThread) {
            if (entry.probe)
                out.back().granted = entry.probe();
            continue;
        }
        slots[i] = std::make_shared<Slot>();
        post(i, entry.probe, slots[i]);
    }
    // All probes run at once, so one deadline holds for all of them.
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (slots[i])
            out[i].granted = co_await answerBy(slots[i]->future, deadline);
    m_last = out;
    if (m_onChecked)
        m_onChecked(out);
    co_return out;
}

QCoro::Task<QStringList> PermissionAudit::lines()
{
    co_return lines(co_await check());
}

QStringList PermissionAudit::lines(const std::vector<Permission>& permissions)
{
    QStringList out;
    for (const Permission& p : permissions) {
        const QString status = !p.granted ? QStringLiteral("?   ") : *p.granted ? QStringLiteral("OK  ") : QStringLiteral("BRAK");
        QString line = status + QLatin1Char(' ') + p.name;
        if (p.granted != true && !p.remedy.isEmpty())
            line += QStringLiteral("  → ") + p.remedy;
        out.append(line);
    }
    return out;
}

int PermissionAudit::missingCount(const std::vector<Permission>& permissions)
{
    return int(std::count_if(permissions.begin(), permissions.end(), [](const Permission& p) { return p.granted == false; }));
}

const Prerequisite* PermissionAudit::find(const QString& name) const
{
    for (const Prerequisite& entry : m_entries)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

bool PermissionAudit::isRequestable(const QString& name) const
{
    const Prerequisite* entry = find(name);
    return entry != nullptr && bool(entry->fix);
}

QCoro::Task<std::optional<bool>> PermissionAudit::request(QString name)
{
    const Prerequisite* entry = find(name);
    if (entry == nullptr)
        co_return std::nullopt;
    if (entry->runs == Prerequisite::Runs::onMainThread && !entry->fix)
        co_return entry->probe ? entry->probe() : std::nullopt;
    co_return co_await runLimited(std::size_t(entry - m_entries.data()), requestJob(*entry));
}

// The state afterwards is what the probe says, whatever the fix answered.
Prerequisite::Probe PermissionAudit::requestJob(const Prerequisite& entry)
{
    if (!entry.fix)
        return entry.probe;
    return [fix = entry.fix, probe = entry.probe]() -> std::optional<bool> {
        fix();
        return probe ? probe() : std::nullopt;
    };
}

QCoro::Task<> PermissionAudit::request()
{
    const std::vector<Permission> now = co_await check();
    for (const Permission& p : now)
        if (p.granted != true && isRequestable(p.name))
            co_await request(p.name);
}

QCoro::Task<Outcome> PermissionAudit::requestOutcome(QString name)
{
    if (co_await request(name) == true)
        co_return Outcome::granted;
    const std::vector<Permission> now = co_await check();
    for (const Permission& p : now) {
        if (p.name != name)
            continue;
        if (p.granted)
            co_return *p.granted ? Outcome::granted : Outcome::denied;
        break;
    }
    co_return isRequestable(name) ? Outcome::pending : Outcome::needsSettings;
}

bool PermissionAudit::hasPanel(const QString& name) const
{
    const Prerequisite* entry = find(name);
    return entry != nullptr && !entry->panel.isEmpty();
}

bool PermissionAudit::openSettings(const QString& name)
{
    const Prerequisite* entry = find(name);
    if (entry == nullptr || entry->panel.isEmpty())
        return false;
    const QString program = QStandardPaths::findExecutable(
        entry->panel.first(), m_environment.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts));
    if (program.isEmpty())
        return false;
    QProcess process;
    process.setProgram(program);
    process.setArguments(entry->panel.mid(1));
    process.setProcessEnvironment(m_environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    return process.startDetached();
}

} // namespace selvina::diagnostics
