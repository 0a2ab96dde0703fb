// What a tool offers the voice model: name, description, parameter schema and risk class.
// Thread: any (plain value type).
#pragma once

#include <QString>

#include <optional>

namespace selvina {

enum class ActionClass { read, reversibleWrite, irreversible };

inline QString rawValue(ActionClass c)
{
    switch (c) {
    case ActionClass::read:
        return QStringLiteral("read");
    case ActionClass::reversibleWrite:
        return QStringLiteral("reversibleWrite");
    case ActionClass::irreversible:
        return QStringLiteral("irreversible");
    }
    return {};
}

inline std::optional<ActionClass> actionClassFromRaw(const QString& raw)
{
    for (ActionClass c : {ActionClass::read, ActionClass::reversibleWrite, ActionClass::irreversible})
        if (rawValue(c) == raw)
            return c;
    return std::nullopt;
}

struct ToolDefinition {
    QString name;
    QString description;
    QString parametersJSON; // a JSON Schema object as literal text, passed on unchanged
    ActionClass actionClass = ActionClass::read;
};

} // namespace selvina
