#include "agent/EngineDetector.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace selvina::agent {

EngineDetector::EngineDetector(QProcessEnvironment environment, QString home)
    : m_environment(std::move(environment)), m_home(home.isEmpty() ? QDir::homePath() : std::move(home))
{
}

QString EngineDetector::rawValue(Engine engine)
{
    return engine == Engine::claude ? QStringLiteral("claude") : QStringLiteral("codex");
}

// Claude Code keeps its Linux login in a file (there is no Secret Service item); an API key or
// a long-lived OAuth token in the environment logs it in as well.
bool EngineDetector::claudeLoggedIn() const
{
    if (m_environment.contains(QStringLiteral("ANTHROPIC_API_KEY"))
        || m_environment.contains(QStringLiteral("CLAUDE_CODE_OAUTH_TOKEN")))
        return true;
    const QString configDir = m_environment.value(QStringLiteral("CLAUDE_CONFIG_DIR"));
    const QString folder = configDir.isEmpty() ? QDir(m_home).filePath(QStringLiteral(".claude")) : configDir;
    QFile file(QDir(folder).filePath(QStringLiteral(".credentials.json")));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.read(1 << 20));
    return document.isObject() && document.object().contains(QStringLiteral("claudeAiOauth"));
}

std::optional<QString> EngineDetector::locate(const QString& name) const
{
    QStringList folders;
    for (const QString& part : m_environment.value(QStringLiteral("PATH")).split(QLatin1Char(':')))
        if (!part.isEmpty())
            folders.append(part);
    // Where npm, the native installers and Debian put the commands when PATH lacks them.
    folders << QDir(m_home).filePath(QStringLiteral(".local/bin")) << QStringLiteral("/usr/local/bin")
            << QStringLiteral("/usr/bin");
    for (const QString& folder : folders) {
        const QFileInfo candidate(folder + QLatin1Char('/') + name);
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.filePath();
    }
    return std::nullopt;
}

EngineDetector::State EngineDetector::checkClaude() const
{
    if (!locate(QStringLiteral("claude")))
        return {Engine::claude, false,
                QStringLiteral("Nie znaleziono polecenia claude. Zainstaluj Claude Code poleceniem "
                               "npm install -g @anthropic-ai/claude-code.")};
    if (!claudeLoggedIn())
        return {Engine::claude, false,
                QStringLiteral("Claude Code nie jest zalogowany. Wykonaj w terminalu polecenie claude i zaloguj się "
                               "— poświadczenia trafiają do pliku ~/.claude/.credentials.json.")};
    return {Engine::claude, true, std::nullopt};
}

EngineDetector::State EngineDetector::checkCodex() const
{
    const auto found = locate(QStringLiteral("codex"));
    if (!found)
        return {Engine::codex, false,
                QStringLiteral("Nie znaleziono polecenia codex. Zainstaluj Codex CLI poleceniem "
                               "npm install -g @openai/codex.")};
    const QString codexHome = m_environment.value(QStringLiteral("CODEX_HOME"));
    const QString folder = codexHome.isEmpty() ? QDir(m_home).filePath(QStringLiteral(".codex")) : codexHome;
    if (QFileInfo::exists(QDir(folder).filePath(QStringLiteral("auth.json")))
        || m_environment.contains(QStringLiteral("CODEX_API_KEY")))
        return {Engine::codex, true, std::nullopt};
    return {Engine::codex, false,
            QStringLiteral("Codex jest zainstalowany (") + *found + QStringLiteral("), ale niezalogowany. ")
                + QStringLiteral("Wykonaj w terminalu polecenie codex login.")};
}

} // namespace selvina::agent
