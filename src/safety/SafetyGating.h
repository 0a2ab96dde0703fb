// SafetyGating: what the tool executor asks before a call and tells after it.
// ConfirmationPrompting: a way to ask the user about an intent sentence.
// Thread: main thread.
#pragma once

#include "core/ToolDefinition.h"

#include <QString>

#include <qcoro/qcorotask.h>

namespace selvina::safety {

class SafetyGating {
public:
    virtual ~SafetyGating() = default;
    // true: the executor runs the tool; false: it reports the refusal instead.
    virtual QCoro::Task<bool> authorize(ToolDefinition tool, QString argumentsJSON) = 0;
    // Called once after each authorize() with the text the model will receive.
    virtual QCoro::Task<> record(ToolDefinition tool, QString argumentsJSON, QString outcome) = 0;
};

class ConfirmationPrompting {
public:
    virtual ~ConfirmationPrompting() = default;
    virtual QCoro::Task<bool> confirm(QString intent) = 0;
};

// Consent for a risky action is asked by the conversation itself, before the model calls the tool.
class SilentConfirmation final : public ConfirmationPrompting {
public:
    QCoro::Task<bool> confirm(QString) override { co_return true; }
};

} // namespace selvina::safety
