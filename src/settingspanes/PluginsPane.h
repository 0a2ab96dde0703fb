// PluginsPane ("Wtyczki"): the built-in engine-to-engine plug-in, the installed and installable
// plug-ins, adding one by package name or archive, and one page per installed plug-in with its
// state, its tool switches and its removal. Everything goes through the plug-in catalogue and the
// store. A plug-in's page is a named place of the settings history, so Back leaves it and a
// removed plug-in's page leaves the history.
// Thread: main thread; the store's commands run as child processes, never blocking this thread.
#pragma once

#include "plugins/PluginStore.h"

#include <QSet>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QVBoxLayout;

namespace selvina::plugins {
class PluginCatalog;
}
namespace selvina::settings {
class ReasoningPreferences;
}
namespace selvina::settingswindow {
class NawigacjaUstawien;
}

namespace selvina::settingspanes {

// The name a plug-in is shown under: readable names for the catalogue's own, any other unchanged.
QString nazwaCzytelna(const QString& name);

// The selection stored when one tool's switch turns: a copy of the stored one (every tool when none
// is stored) with the tool put in or taken out.
QSet<QString> selectionAfterSwitch(const plugins::PluginStore::Narzedzia& tools, const QString& tool, bool on);

class PluginPage;

// A rebuild of widgets on the next turn of the event loop, coalesced: the store and the catalogue
// report changes from inside the click of a control that the rebuild deletes.
class DeferredRebuild {
public:
    DeferredRebuild(QObject* owner, std::function<void()> rebuild)
        : m_owner(owner), m_rebuild(std::move(rebuild))
    {
    }
    void schedule();

private:
    void flush();
    QObject* m_owner;
    std::function<void()> m_rebuild;
    bool m_queued = false;
};

class PluginsPane : public QWidget {
    Q_OBJECT
public:
    static QString title() { return QStringLiteral("Wtyczki"); }

    PluginsPane(plugins::PluginCatalog& catalog, plugins::PluginStore& store, settings::ReasoningPreferences& reasoning,
                settingswindow::NawigacjaUstawien& nawigacja, QWidget* parent = nullptr);
    ~PluginsPane() override;

    // The plug-in whose page is shown; none on the list.
    std::optional<QString> shownPlugin() const;

private:
    void followNavigation();
    // Shows the list or the page, hiding the other.
    void showOnly(QWidget* shown);
    void rebuildList();
    void addOwn();

    plugins::PluginCatalog& m_catalog;
    plugins::PluginStore& m_store;
    settings::ReasoningPreferences& m_reasoning;
    settingswindow::NawigacjaUstawien& m_nawigacja;
    // The list and a plug-in's page share the pane, one shown at a time. Not a stacked widget: Orca
    // reads that as a nameless "layered pane" before every control in it.
    QWidget* m_shown = nullptr;
    QVBoxLayout* m_pages = nullptr;
    QWidget* m_list = nullptr;
    QVBoxLayout* m_lists = nullptr; // everything under the introduction
    PluginPage* m_page = nullptr;
    QString m_subject;         // the plug-in of the last install or removal asked for here
    bool m_takeFocus = false;  // the next rebuild places the focus even if the list does not hold it
    DeferredRebuild m_rebuild{this, [this] { rebuildList(); }};
};

// One installed plug-in: asks it for its tools on appearance, then shows its state, a switch per
// tool and its removal (which asks first).
class PluginPage : public QWidget {
    Q_OBJECT
public:
    PluginPage(QString wtyczka, plugins::PluginCatalog& catalog, plugins::PluginStore& store,
               settingswindow::NawigacjaUstawien& nawigacja, QWidget* parent = nullptr);

    const QString& wtyczka() const { return m_wtyczka; }
    bool pytamOUsuniecie() const { return m_pytamOUsuniecie; }

private:
    void rebuild();
    void askToRemove(bool asking);

    QString m_wtyczka;
    plugins::PluginCatalog& m_catalog;
    plugins::PluginStore& m_store;
    settingswindow::NawigacjaUstawien& m_nawigacja;
    QVBoxLayout* m_content = nullptr;
    bool m_pytamOUsuniecie = false;
    bool m_asked = false;    // the plug-in was asked for its tools
    bool m_noAnswer = false; // the plug-in did not list its tools
    QString m_focusAfterRebuild;
    DeferredRebuild m_rebuild{this, [this] { rebuild(); }};
};

} // namespace selvina::settingspanes
