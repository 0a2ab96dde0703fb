#include "agent/AgentBridge.h"

#include <QTimer>

namespace selvina::agent {

ClaudeAgentBridge::ClaudeAgentBridge(Clock& clock, SidecarRuntime::Options options)
    : m_runtime(std::make_unique<SidecarRuntime>(clock, std::move(options)))
{
}

AgentEventStream ClaudeAgentBridge::run(const QString& task)
{
    AgentEventStream stream;
    const QString id = makeTaskId();
    // The task starts after the caller holds its stream, as if on its own.
    QTimer::singleShot(0, m_runtime.get(), [runtime = m_runtime.get(), id, task, sink = stream.sink()] {
        runtime->start(id, task, sink);
    });
    return stream;
}

void ClaudeAgentBridge::approve(const QString& id)
{
    m_runtime->confirm(id);
}

} // namespace selvina::agent
