// ToolRegistry: the tools of one conversation by name. ToolExecutor: the one way a call is run,
// past the safety gate, always answering with text.
// Thread: main thread.
#pragma once

#include "safety/SafetyGating.h"
#include "tools/SelvinaTool.h"

#include <QList>
#include <QMap>

#include <memory>
#include <vector>

namespace selvina::tools {

class ToolRegistry {
public:
    // In order; a later tool with the same name replaces the earlier one.
    void registerTools(std::vector<std::shared_ptr<SelvinaTool>> tools);
    std::shared_ptr<SelvinaTool> tool(const QString& name) const; // exact, case-sensitive
    QList<ToolDefinition> definitions() const;                     // by name, ascending

private:
    QMap<QString, std::shared_ptr<SelvinaTool>> m_tools;
};

class ToolExecutor {
public:
    ToolExecutor(std::shared_ptr<ToolRegistry> registry, std::shared_ptr<safety::SafetyGating> gate);

    // Never fails and never throws; several calls may run at once.
    QCoro::Task<QString> execute(QString name, QString argumentsJSON,
                                 std::shared_ptr<CallCancellation> cancellation = nullptr);

    static QString refusalText() { return QStringLiteral("Nie wykonano — brak potwierdzenia."); }

private:
    std::shared_ptr<ToolRegistry> m_registry;
    std::shared_ptr<safety::SafetyGating> m_gate;
};

} // namespace selvina::tools
