// read_screen and control_ui: the foreground window read through the accessibility tree, and one
// action on an element of the last read.
// Thread: main thread; the tree and the elements are used on the accessibility worker only.
#pragma once

#include "tools/AccessibilityTree.h"

namespace selvina::tools {

class ReadScreenTool final : public SelvinaTool {
public:
    explicit ReadScreenTool(std::shared_ptr<AccessibilityAccess> access) : m_access(std::move(access)) {}
    ToolDefinition definition() const override;
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON) override;

private:
    std::shared_ptr<AccessibilityAccess> m_access;
};

class ControlUITool final : public SelvinaTool {
public:
    enum class Action { press, setValue, scroll, focus };
    enum class Direction { up, down, left, right };
    struct Arguments {
        Action action = Action::press;
        QString elementIdentifier;
        std::optional<QString> value;
        std::optional<Direction> direction;
    };

    explicit ControlUITool(std::shared_ptr<AccessibilityAccess> access) : m_access(std::move(access)) {}
    ToolDefinition definition() const override;
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON) override;

    static Result<Arguments, ToolError> decode(const QString& argumentsJSON);
    // Runs on the accessibility worker: identity check, then the action; `desktop` types where a
    // field ignores the value it is given, and hears of an application that did not answer.
    static ToolOutcome perform(const ElementRecord& record, const Arguments& arguments,
                               platform::AccessibilityDesktop& desktop);

private:
    static ToolOutcome act(const ElementRecord& record, const Arguments& arguments, platform::AccessibilityDesktop& desktop);
    std::shared_ptr<AccessibilityAccess> m_access;
};

} // namespace selvina::tools
