// PermissionAudit: everything on this computer whose absence silently breaks the assistant (a
// muted microphone, the accessibility bus switched off, a locked keyring, …), checked in one pass
// without asking anything, each with what breaks without it and how the user fixes it.
// Thread: main thread; every probe runs on a worker of its own and is given up on after its limit.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace selvina {
class SerialWorker;
}

namespace selvina::diagnostics {

struct Permission {
    QString name;
    std::optional<bool> granted; // true present, false missing, absent when it cannot be told
    QString remedy;              // what the user does about it, short enough to be spoken; may be empty
    QString impact;              // what fails without it
    bool operator==(const Permission&) const = default;
};

// What asking for one prerequisite came to.
enum class Outcome { granted, denied, pending, needsSettings };

// One prerequisite: its texts, how it is probed, what the assistant may do about it itself and the
// desktop's settings panel for it.
struct Prerequisite {
    using Probe = std::function<std::optional<bool>()>;
    // Most probes block (a bus, a sound server, a child process) and run on a worker; a few only
    // read the application's own state, which lives on the main thread.
    enum class Runs { onWorker, onMainThread };

    QString name;
    QString remedy;
    QString impact;
    Probe probe;
    Runs runs = Runs::onWorker;
    Probe fix{};         // on a worker; only requestable entries have one
    QStringList panel{}; // program and arguments of the desktop's settings panel; empty: none
};

class PermissionAudit {
public:
    static constexpr std::chrono::milliseconds kProbeLimit{2000};

    // `environment` is where the panel programs are looked for (PATH) and what they run with.
    explicit PermissionAudit(std::vector<Prerequisite> entries,
                             QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(),
                             std::chrono::milliseconds limit = kProbeLimit);
    // A probe still running past its limit is not waited for: its worker is left to end on its own.
    ~PermissionAudit();
    PermissionAudit(const PermissionAudit&) = delete;
    PermissionAudit& operator=(const PermissionAudit&) = delete;

    // Every entry, in order, probed now and all at once; never asks the user anything. A probe that
    // has not answered within the limit reads as absent.
    QCoro::Task<std::vector<Permission>> check();
    QCoro::Task<QStringList> lines();
    // "OK  " / "BRAK" / "?   " + " " + name, and for the last two "  → " + remedy when there is one.
    static QStringList lines(const std::vector<Permission>& permissions);
    // The entries explicitly missing (false); undecided ones do not count.
    static int missingCount(const std::vector<Permission>& permissions);
    // What the last check() found; empty before the first.
    const std::vector<Permission>& lastCheck() const { return m_last; }
    // Told what every check() found, on the main thread (the menu's count follows the settings' checks).
    void setOnChecked(std::function<void(const std::vector<Permission>&)> onChecked) { m_onChecked = std::move(onChecked); }

    bool isRequestable(const QString& name) const;
    // Fixes what the assistant may fix itself, then probes the entry again: its state afterwards.
    // For an entry that cannot be requested, only the probe.
    QCoro::Task<std::optional<bool>> request(QString name);
    // Requests every requestable entry that is not present now.
    QCoro::Task<> request();
    QCoro::Task<Outcome> requestOutcome(QString name);

    bool hasPanel(const QString& name) const;
    // Opens the desktop's settings panel for the entry; false when there is none or it did not start.
    bool openSettings(const QString& name);

private:
    struct Slot;
    const Prerequisite* find(const QString& name) const;
    static Prerequisite::Probe requestJob(const Prerequisite& entry);
    QCoro::Task<std::optional<bool>> runLimited(std::size_t index, Prerequisite::Probe job);
    void post(std::size_t index, Prerequisite::Probe job, std::shared_ptr<Slot> slot);

    std::vector<Prerequisite> m_entries;
    QProcessEnvironment m_environment;
    std::chrono::milliseconds m_limit;
    struct Worker;
    std::vector<std::unique_ptr<Worker>> m_workers; // one per entry, made on first use
    std::vector<Permission> m_last;
    std::function<void(const std::vector<Permission>&)> m_onChecked;
};

} // namespace selvina::diagnostics
