// ToolCallTracker: the model's tool calls still running in a conversation — which run of a call id
// is the current one, its watchdog, whether its answer is already on the way, and the cancellation
// that stops a tool when its entry goes for any reason.
// Thread: main thread.
#pragma once

#include "core/Clock.h"
#include "tools/SelvinaTool.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace selvina::conversation {

class ToolCallTracker {
public:
    // Called when a run has had no answer for `watchdog`; the entry stays until answered.
    using Overdue = std::function<void(const QString& id, quint64 token)>;

    ToolCallTracker(Clock& clock, std::chrono::milliseconds watchdog, Overdue overdue);

    struct Run {
        quint64 token; // the run whose answer is wanted
        std::shared_ptr<tools::CallCancellation> cancellation;
    };
    // A new run of `id`; a repeated id replaces the earlier run, whose answer is then dropped.
    Run begin(const QString& id, const QString& name);
    // The first answer of the current run claims it (its watchdog stops) and gets the tool's name;
    // a later answer, or one of a replaced or removed run, gets none.
    std::optional<QString> claimAnswer(const QString& id, quint64 token);
    // The run's answer has reached the model.
    void finish(const QString& id, quint64 token);
    // Escape: every entry goes (their tools are cancelled); returns the ids still owed an answer.
    QStringList cancelAll();
    void clear();

    bool empty() const { return m_calls.empty(); }
    std::size_t size() const { return m_calls.size(); }

private:
    struct Call {
        QString id;
        QString name;
        quint64 token = 0;
        std::unique_ptr<ScheduledCall> watchdog;
        bool delivering = false; // its answer is on the way to the model
        std::shared_ptr<tools::CallCancellation> cancellation = std::make_shared<tools::CallCancellation>();

        Call() = default;
        Call(Call&&) noexcept = default;
        Call& operator=(Call&& other) noexcept;
        ~Call() { cancel(); }
        void cancel();
    };
    Call* find(const QString& id);

    Clock& m_clock;
    std::chrono::milliseconds m_watchdog;
    Overdue m_overdue;
    std::vector<Call> m_calls; // in arrival order
    quint64 m_serial = 0;
};

} // namespace selvina::conversation
