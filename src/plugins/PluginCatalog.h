// PluginCatalog: the application's own view of the plug-ins — which ones the user switched off
// (plugins.json), which MCP servers the user configured by hand (mcp.json), and the built-in
// engine-to-engine plug-in. Switching a plug-in asks for the sidecar to be replaced.
// Thread: main thread.
#pragma once

#include "agent/EngineDetector.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

namespace selvina::plugins {

class PluginCatalog : public QObject {
    Q_OBJECT
public:
    using Engine = agent::EngineDetector::Engine;

    struct Origin {
        enum class Kind { package, builtIn, bundledApp };
        Kind kind = Kind::builtIn;
        QString package;                // with Kind::package
        std::optional<QString> version; // with Kind::package
        QString label() const;
        bool operator==(const Origin&) const = default;
    };

    struct Plugin {
        QString id;
        QString name;
        QString summary;
        std::optional<int> tools;
        Origin origin;
        bool vetted = false;
        QStringList defects;
        bool enabled = true;
        QList<Engine> engines;
    };

    struct ToolCount {
        int wybranych = 0;
        int wszystkich = 0;
        bool operator==(const ToolCount&) const = default;
    };

    struct Options {
        QString configDirectory;                        // empty: the application's
        std::function<std::pair<bool, bool>()> engines; // claude, codex available; none: EngineDetector
    };

    explicit PluginCatalog(Options options = {}, QObject* parent = nullptr);

    QString pluginsFile() const;
    QString mcpFile() const;

    // Reads both files and the engines again; emits pluginsChanged.
    void reload();
    enum class Switch { on, off };
    // Persists the choice in plugins.json, reloads, and asks for the sidecar's replacement. A
    // plugins.json that is not an object is left as it is (logged).
    // Whether the choice was stored.
    bool setEnabled(const QString& id, Switch state);
    // The store installed, removed, updated or chose tools: reloads and asks for the sidecar's
    // replacement, as a switch does, so that the next task starts the new set.
    void pluginSetChanged();
    // Enabled and known tools of a plug-in, as plugins.json records them; none when not known.
    std::optional<ToolCount> narzedziaWtyczki(const QString& id) const;

    const QList<Plugin>& plugins() const { return m_plugins; }
    const QSet<QString>& configuredServers() const { return m_configuredServers; }
    // The ids switched off, as read by the last reload, sorted.
    QStringList disabled() const;

Q_SIGNALS:
    void pluginsChanged();
    // The plug-in set changed: the sidecar must be replaced now, or once its running tasks end.
    void restartForPluginChange();

private:
    Options m_options;
    QList<Plugin> m_plugins;
    QSet<QString> m_configuredServers;
    QSet<QString> m_disabled;
};

} // namespace selvina::plugins
