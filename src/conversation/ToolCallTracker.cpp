#include "conversation/ToolCallTracker.h"

namespace selvina::conversation {

ToolCallTracker::Call& ToolCallTracker::Call::operator=(Call&& other) noexcept
{
    if (this != &other) {
        cancel();
        id = std::move(other.id);
        name = std::move(other.name);
        token = other.token;
        watchdog = std::move(other.watchdog);
        delivering = other.delivering;
        cancellation = std::move(other.cancellation);
    }
    return *this;
}

void ToolCallTracker::Call::cancel()
{
    if (cancellation)
        cancellation->cancel();
    cancellation.reset();
}

ToolCallTracker::ToolCallTracker(Clock& clock, std::chrono::milliseconds watchdog, Overdue overdue)
    : m_clock(clock), m_watchdog(watchdog), m_overdue(std::move(overdue))
{
}

ToolCallTracker::Call* ToolCallTracker::find(const QString& id)
{
    for (Call& call : m_calls)
        if (call.id == id)
            return &call;
    return nullptr;
}

ToolCallTracker::Run ToolCallTracker::begin(const QString& id, const QString& name)
{
    Call call;
    call.id = id;
    call.name = name;
    call.token = ++m_serial;
    call.watchdog = m_clock.after(m_watchdog, [this, id, token = call.token] { m_overdue(id, token); });
    const Run run{call.token, call.cancellation};
    if (Call* existing = find(id))
        *existing = std::move(call);
    else
        m_calls.push_back(std::move(call));
    return run;
}

std::optional<QString> ToolCallTracker::claimAnswer(const QString& id, quint64 token)
{
    Call* call = find(id);
    if (call == nullptr || call->token != token || call->delivering)
        return std::nullopt;
    call->delivering = true;
    call->watchdog.reset();
    return call->name;
}

void ToolCallTracker::finish(const QString& id, quint64 token)
{
    std::erase_if(m_calls, [&](const Call& c) { return c.id == id && c.token == token; });
}

QStringList ToolCallTracker::cancelAll()
{
    QStringList owed;
    for (const Call& call : m_calls)
        if (!call.delivering) // an answer already on its way needs no second one
            owed.append(call.id);
    m_calls.clear();
    return owed;
}

void ToolCallTracker::clear()
{
    m_calls.clear();
}

} // namespace selvina::conversation
