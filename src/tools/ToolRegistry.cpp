#include "tools/ToolRegistry.h"

#include <exception>

namespace selvina::tools {

void ToolRegistry::registerTools(std::vector<std::shared_ptr<SelvinaTool>> tools)
{
    for (auto& t : tools)
        if (t)
            m_tools.insert(t->definition().name, std::move(t));
}

std::shared_ptr<SelvinaTool> ToolRegistry::tool(const QString& name) const
{
    return m_tools.value(name);
}

QList<ToolDefinition> ToolRegistry::definitions() const
{
    QList<ToolDefinition> out;
    out.reserve(m_tools.size());
    for (const auto& t : m_tools) // QMap keeps names in ascending order
        out.append(t->definition());
    return out;
}

ToolExecutor::ToolExecutor(std::shared_ptr<ToolRegistry> registry, std::shared_ptr<safety::SafetyGating> gate)
    : m_registry(std::move(registry)), m_gate(std::move(gate))
{
}

QCoro::Task<QString> ToolExecutor::execute(QString name, QString argumentsJSON,
                                           std::shared_ptr<CallCancellation> cancellation)
{
    if (!cancellation)
        cancellation = std::make_shared<CallCancellation>();
    // Own references: the conversation may drop the executor while this call is still running.
    const std::shared_ptr<SelvinaTool> tool = m_registry->tool(name);
    const std::shared_ptr<safety::SafetyGating> gate = m_gate;
    if (!tool)
        co_return ToolError::unknownTool(name).description();
    const ToolDefinition definition = tool->definition();

    if (!co_await gate->authorize(definition, argumentsJSON)) {
        co_await gate->record(definition, argumentsJSON, refusalText());
        co_return refusalText();
    }
    QString text;
    try {
        auto running = tool->execute(argumentsJSON, cancellation);
        const ToolOutcome outcome = co_await running;
        text = outcome ? outcome.value() : QStringLiteral("BŁĄD: ") + outcome.error().description();
    } catch (const std::exception& e) {
        text = QStringLiteral("BŁĄD: ") + ToolError::failed(QString::fromUtf8(e.what())).description();
    } catch (...) {
        text = QStringLiteral("BŁĄD: ") + ToolError::failed(QStringLiteral("nieznany błąd")).description();
    }
    co_await gate->record(definition, argumentsJSON, text);
    co_return text;
}

} // namespace selvina::tools
