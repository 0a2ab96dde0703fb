#include "plugins/PluginCatalog.h"

#include "core/Paths.h"
#include "core/SidecarLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

namespace selvina::plugins {

namespace {

const QString kAgentId = QStringLiteral("agent");

// The file's object; none when it exists and is not an object (a missing file is an empty object).
std::optional<QJsonObject> readObject(const QString& path)
{
    QFile file(path);
    if (!file.exists())
        return QJsonObject{};
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

QStringList sortedStrings(const QSet<QString>& set)
{
    QStringList list(set.begin(), set.end());
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace

QString PluginCatalog::Origin::label() const
{
    switch (kind) {
    case Kind::builtIn:
        return QStringLiteral("wbudowana");
    case Kind::bundledApp:
        return QStringLiteral("w komplecie z aplikacją");
    case Kind::package:
        break;
    }
    return version ? package + QLatin1Char(' ') + *version : package;
}

PluginCatalog::PluginCatalog(Options options, QObject* parent) : QObject(parent), m_options(std::move(options))
{
    if (m_options.configDirectory.isEmpty())
        m_options.configDirectory = paths::configDirectory();
    if (!m_options.engines)
        m_options.engines = [] {
            const auto [claude, codex] = agent::EngineDetector().states();
            return std::pair{claude.available, codex.available};
        };
}

QString PluginCatalog::pluginsFile() const
{
    return QDir(m_options.configDirectory).filePath(QStringLiteral("plugins.json"));
}

QString PluginCatalog::mcpFile() const
{
    return QDir(m_options.configDirectory).filePath(QStringLiteral("mcp.json"));
}

QStringList PluginCatalog::disabled() const
{
    return sortedStrings(m_disabled);
}

void PluginCatalog::reload()
{
    m_disabled.clear();
    if (const auto state = readObject(pluginsFile())) {
        for (const QJsonValue& id : state->value(QStringLiteral("disabled")).toArray())
            if (id.isString())
                m_disabled.insert(id.toString());
    } else {
        logLine(QStringLiteral("[wtyczki] plugins.json jest uszkodzony — pokazuję wszystko jako włączone"));
    }

    m_configuredServers.clear();
    if (const auto mcp = readObject(mcpFile()))
        for (const QString& name : mcp->value(QStringLiteral("mcpServers")).toObject().keys())
            m_configuredServers.insert(name);

    m_plugins.clear();
    const auto [claude, codex] = m_options.engines();
    if (claude && codex) {
        Plugin agent;
        agent.id = kAgentId;
        agent.name = QStringLiteral("Drugi agent");
        agent.summary = QStringLiteral(
            "Pozwala czynnemu agentowi oddać całe zadanie temu drugiemu i poczekać na wynik. Codex ma wtyczkę "
            "computer-use i lepiej radzi sobie z ekranem; Claude ma pocztę, kontakty i kalendarz. Delegowanie płaci "
            "za oba modele, więc agent sięga po nie dopiero, gdy własne próby zawiodą.");
        agent.tools = 3;
        agent.origin = Origin{Origin::Kind::builtIn, {}, std::nullopt};
        agent.vetted = true;
        agent.enabled = !m_disabled.contains(kAgentId);
        agent.engines = {Engine::claude, Engine::codex};
        m_plugins.append(agent);
    }
    Q_EMIT pluginsChanged();
}

bool PluginCatalog::setEnabled(const QString& id, Switch state)
{
    auto read = readObject(pluginsFile());
    if (!read) {
        logLine(QStringLiteral("[wtyczki] plugins.json jest uszkodzony — nie zmieniam stanu"));
        return false;
    }
    QJsonObject object = std::move(*read);
    QSet<QString> disabled;
    for (const QJsonValue& value : object.value(QStringLiteral("disabled")).toArray())
        if (value.isString())
            disabled.insert(value.toString());
    if (state == Switch::off) {
        disabled.insert(id);
    } else {
        disabled.remove(id);
        // Every tool switched off: the plug-in comes back with all of them.
        QJsonObject tools = object.value(QStringLiteral("tools")).toObject();
        const auto entry = tools.constFind(id);
        if (entry != tools.constEnd() && entry->isArray() && entry->toArray().isEmpty()) {
            tools.remove(id);
            object.insert(QStringLiteral("tools"), tools);
        }
    }
    object.insert(QStringLiteral("disabled"), QJsonArray::fromStringList(sortedStrings(disabled)));

    QDir().mkpath(m_options.configDirectory);
    QSaveFile file(pluginsFile());
    // QJsonObject keeps its keys sorted, so the indented form is also the sorted one.
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(object).toJson(QJsonDocument::Indented)) < 0
        || !file.commit()) {
        // The old file stays whole; nothing changed for the sidecar either.
        logLine(QStringLiteral("[wtyczki] nie udało się zapisać plugins.json: ") + file.errorString());
        return false;
    }
    pluginSetChanged();
    return true;
}

void PluginCatalog::pluginSetChanged()
{
    reload();
    Q_EMIT restartForPluginChange();
}

std::optional<PluginCatalog::ToolCount> PluginCatalog::narzedziaWtyczki(const QString& id) const
{
    const auto object = readObject(pluginsFile());
    if (!object)
        return std::nullopt;
    const QJsonValue known = object->value(QStringLiteral("toolsKnown")).toObject().value(id);
    if (!known.isArray())
        return std::nullopt;
    const int all = int(known.toArray().size());
    const QJsonValue selected = object->value(QStringLiteral("tools")).toObject().value(id);
    return ToolCount{selected.isArray() ? int(selected.toArray().size()) : all, all};
}

} // namespace selvina::plugins
