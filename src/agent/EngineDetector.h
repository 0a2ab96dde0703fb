// EngineDetector: whether Claude Code and Codex CLI are installed and logged in here, and what
// the user should do when they are not.
// Thread: any; reads files, so call it off the main thread or on an explicit refresh.
#pragma once

#include <QProcessEnvironment>
#include <QString>

#include <optional>
#include <utility>

namespace selvina::agent {

class EngineDetector {
public:
    enum class Engine { claude, codex };
    struct State {
        Engine engine;
        bool available = false;
        std::optional<QString> missing; // what to do, in Polish, when not available
    };

    // The user's environment and home folder by default; tests give their own.
    explicit EngineDetector(QProcessEnvironment environment = QProcessEnvironment::systemEnvironment(),
                            QString home = {});

    static QString rawValue(Engine engine);
    bool claudeLoggedIn() const;
    std::optional<QString> locate(const QString& name) const;
    State checkClaude() const;
    State checkCodex() const;
    std::pair<State, State> states() const { return {checkClaude(), checkCodex()}; }

private:
    QProcessEnvironment m_environment;
    QString m_home;
};

} // namespace selvina::agent
