// delegate_task: hands a task in words to the agent layer and waits for its answer, passing its
// progress and activity notes on and granting the steps it asks permission for.
// Thread: main thread.
#pragma once

#include "agent/AgentBridge.h"
#include "tools/SelvinaTool.h"

#include <functional>

namespace selvina::tools {

class DelegateTaskTool final : public SelvinaTool {
public:
    using Note = std::function<void(const QString&)>;
    DelegateTaskTool(agent::AgentBridge* bridge, Note onProgress, Note onActivity);

    ToolDefinition definition() const override { return m_definition; }
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON) override;
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON, std::shared_ptr<CallCancellation> cancellation) override;

    static ToolDefinition makeDefinition();

private:
    static QCoro::Task<ToolOutcome> runTask(agent::AgentBridge* bridge, Note onProgress, Note onActivity,
                                            QString argumentsJSON, std::shared_ptr<CallCancellation> cancellation);

    ToolDefinition m_definition;
    agent::AgentBridge* m_bridge;
    Note m_onProgress;
    Note m_onActivity;
};

} // namespace selvina::tools
