#include "agent/AgentBridge.h"

#include <QTimer>

namespace selvina::agent {

namespace {
ClaudeAgentBridge* g_shared = nullptr;
}

ClaudeAgentBridge::ClaudeAgentBridge() : ClaudeAgentBridge(SidecarRuntime::Options()) {}

ClaudeAgentBridge::ClaudeAgentBridge(SidecarRuntime::Options options)
    : m_runtime(std::make_unique<SidecarRuntime>(std::move(options)))
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

ClaudeAgentBridge* ClaudeAgentBridge::shared()
{
    return g_shared;
}

void ClaudeAgentBridge::setShared(ClaudeAgentBridge* bridge)
{
    g_shared = bridge;
}

} // namespace selvina::agent
