// AgentBridge: hand a task to the reasoning layer as text, read its events until it ends.
// ClaudeAgentBridge: the one bridge of the application, over the sidecar runtime.
// Thread: main thread.
#pragma once

#include "agent/AgentEvent.h"
#include "agent/SidecarRuntime.h"

#include <memory>

namespace selvina::agent {

class AgentBridge {
public:
    virtual ~AgentBridge() = default;
    // Never fails: every failure arrives as a failed event. Dropping the stream cancels the task.
    virtual AgentEventStream run(const QString& task) = 0;
    // Grants the step a confirmation request asked for (sent only while the sidecar runs).
    virtual void approve(const QString& id) = 0;
    // Stops the reasoning layer and everything it started (application exit).
    virtual QCoro::Task<> shutdown() = 0;
};

class ClaudeAgentBridge final : public AgentBridge {
public:
    explicit ClaudeAgentBridge(Clock& clock, SidecarRuntime::Options options = {});

    AgentEventStream run(const QString& task) override;
    void approve(const QString& id) override;
    QCoro::Task<> shutdown() override { return m_runtime->shutdown(); }
    SidecarRuntime& runtime() { return *m_runtime; }

private:
    std::unique_ptr<SidecarRuntime> m_runtime;
};

} // namespace selvina::agent
