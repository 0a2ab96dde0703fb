#include "tools/DelegateTaskTool.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace selvina::tools {

ToolDefinition DelegateTaskTool::makeDefinition()
{
    ToolDefinition d;
    d.name = QStringLiteral("delegate_task");
    d.actionClass = ActionClass::reversibleWrite;
    d.description = QStringLiteral(
        "Zleca zadanie agentowi z dostępem do powłoki, plików, SSH, przeglądarki, poczty, wiadomości, notatek ORAZ "
        "DOMU — jego urządzeń, czujników i kamer. To jedyna ścieżka do wszystkiego, czego nie widać na ekranie i nie "
        "obejmuje tego system_info. Przykłady, LISTA OTWARTA: zawartość plików i katalogów, stan repozytoriów, "
        "uruchomione procesy, polecenia na zdalnych serwerach, wyszukiwanie w internecie, operacje w poczcie i "
        "wiadomościach, stan domu, obraz z kamer, to co dzieje się na zewnątrz i przy drzwiach. Gdy prośba nie "
        "pasuje do żadnego przykładu, to NIE znaczy, że się nie da — znaczy, że masz zapytać tym narzędziem i "
        "dopiero jego odpowiedź powtórzyć. Użyj także wtedy, gdy odczyt ekranu zawiódł albo nic nie dał — nie "
        "powtarzaj wtedy prób patrzenia na ekran innymi narzędziami, tylko zmień ścieżkę na tę. Zadanie trwa od "
        "kilku sekund do kilku minut, więc uprzedź użytkownika, że pracujesz. Opisz cel całościowo i konkretnie, "
        "bo agent nie widzi Waszej rozmowy.");
    d.parametersJSON = QStringLiteral(
        R"({"type":"object","properties":{"task":{"type":"string","description":"Pełny opis celu wraz z potrzebnym kontekstem. Agent nie zna wcześniejszej rozmowy."}},"required":["task"],"additionalProperties":false})");
    return d;
}

DelegateTaskTool::DelegateTaskTool(agent::AgentBridge* bridge, Note onProgress, Note onActivity)
    : m_definition(makeDefinition()), m_bridge(bridge), m_onProgress(std::move(onProgress)),
      m_onActivity(std::move(onActivity))
{
}

QCoro::Task<ToolOutcome> DelegateTaskTool::execute(QString argumentsJSON)
{
    return runTask(m_bridge, m_onProgress, m_onActivity, std::move(argumentsJSON), std::make_shared<CallCancellation>());
}

QCoro::Task<ToolOutcome> DelegateTaskTool::execute(QString argumentsJSON, std::shared_ptr<CallCancellation> cancellation)
{
    return runTask(m_bridge, m_onProgress, m_onActivity, std::move(argumentsJSON), std::move(cancellation));
}

QCoro::Task<ToolOutcome> DelegateTaskTool::runTask(agent::AgentBridge* bridge, Note onProgress, Note onActivity,
                                                   QString argumentsJSON,
                                                   std::shared_ptr<CallCancellation> cancellation)
{
    const QJsonDocument document = QJsonDocument::fromJson(argumentsJSON.toUtf8());
    const QJsonValue task = document.object().value(QStringLiteral("task"));
    if (!document.isObject() || !task.isString() || task.toString().trimmed().isEmpty())
        co_return ToolError::invalidArguments(QStringLiteral("brak pola „task”"));

    agent::AgentEventStream stream = bridge->run(task.toString());
    // Stopping the stream ends the agent's task and wakes the loop below.
    const auto connection = QObject::connect(cancellation.get(), &CallCancellation::cancelled, cancellation.get(),
                                             [sink = stream.sink()] { sink.stopListening(); });
    if (cancellation->isCancelled())
        stream.stop();

    std::optional<ToolOutcome> outcome;
    while (!outcome) {
        auto next = stream.next();
        const std::optional<agent::AgentEvent> event = co_await next;
        if (!event)
            break;
        switch (event->kind) {
        case agent::AgentEvent::Kind::progress:
            onProgress(event->text);
            break;
        case agent::AgentEvent::Kind::activity:
            onActivity(event->text);
            break;
        case agent::AgentEvent::Kind::confirmationRequired:
            bridge->approve(event->id);
            break;
        case agent::AgentEvent::Kind::finished:
            outcome = ToolOutcome(event->text);
            break;
        case agent::AgentEvent::Kind::failed:
            outcome = ToolOutcome(ToolError::failed(event->text));
            break;
        }
    }
    QObject::disconnect(connection);
    if (outcome)
        co_return *outcome;
    if (cancellation->isCancelled())
        co_return QStringLiteral("Zadanie zostało przerwane przez użytkownika, zanim się skończyło.");
    co_return QStringLiteral("Zadanie zakończyło się bez wyniku.");
}

} // namespace selvina::tools
