// SelvinaTool: one tool the voice model may call; ToolError: how a call fails, in Polish.
// Thread: main thread (a tool that blocks switches to its own worker and comes back).
#pragma once

#include "core/Result.h"
#include "core/ToolDefinition.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>

namespace selvina::tools {

class ToolError {
public:
    enum class Kind { unknownTool, invalidArguments, notPermitted, failed, other };

    static ToolError unknownTool(QString name) { return {Kind::unknownTool, std::move(name)}; }
    static ToolError invalidArguments(QString detail) { return {Kind::invalidArguments, std::move(detail)}; }
    static ToolError notPermitted(QString detail) { return {Kind::notPermitted, std::move(detail)}; }
    static ToolError failed(QString detail) { return {Kind::failed, std::move(detail)}; }
    // An error of another subsystem (screen capture, …) handed on with its own description().
    static ToolError described(QString description) { return {Kind::other, std::move(description)}; }

    Kind kind() const { return m_kind; }

    QString description() const
    {
        switch (m_kind) {
        case Kind::unknownTool:
            return QStringLiteral("Nie znam narzędzia ") + m_payload + QLatin1Char('.');
        case Kind::invalidArguments:
            return QStringLiteral("Nieprawidłowe argumenty: ") + m_payload;
        case Kind::notPermitted:
            return QStringLiteral("Brak zgody na wykonanie: ") + m_payload;
        case Kind::failed:
            return QStringLiteral("Nie udało się wykonać: ") + m_payload;
        case Kind::other:
            break;
        }
        return m_payload;
    }

private:
    ToolError(Kind kind, QString payload) : m_kind(kind), m_payload(std::move(payload)) {}
    Kind m_kind;
    QString m_payload;
};

using ToolOutcome = Result<QString, ToolError>;

// Raised once when the conversation no longer wants a call's answer (Escape, the end of the
// conversation, the call's watchdog). Tools that run for long stop their work on it.
class CallCancellation : public QObject {
    Q_OBJECT
public:
    void cancel()
    {
        if (m_cancelled)
            return;
        m_cancelled = true;
        Q_EMIT cancelled();
    }
    bool isCancelled() const { return m_cancelled; }

Q_SIGNALS:
    void cancelled();

private:
    bool m_cancelled = false;
};

class SelvinaTool {
public:
    virtual ~SelvinaTool() = default;
    virtual ToolDefinition definition() const = 0;
    // The text is the call's output for the model; an error becomes "BŁĄD: " + its description.
    virtual QCoro::Task<ToolOutcome> execute(QString argumentsJSON) = 0;
    // Tools that can stop early take the call's cancellation; the rest ignore it.
    virtual QCoro::Task<ToolOutcome> execute(QString argumentsJSON, std::shared_ptr<CallCancellation> cancellation)
    {
        (void)cancellation;
        return execute(std::move(argumentsJSON));
    }
};

} // namespace selvina::tools
