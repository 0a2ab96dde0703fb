// PluginStore: the installed and installable plug-ins, managed through the store program that
// ships beside the sidecar (dist/wtyczki-cli.js, run with Node.js). PluginStoreError: why a
// command of the store program gave no answer.
// Thread: main thread. Every command runs as a child process watched by signals and the clock;
// nothing here waits on the main thread.
#pragma once

#include "core/Clock.h"
#include "core/Result.h"

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QProcess;

namespace selvina {
class SerialWorker;
}

namespace selvina::plugins {

class PluginCatalog;

class PluginStoreError {
public:
    enum class Kind { storeMissing, noAnswer, timedOut };
    static PluginStoreError storeMissing() { return {Kind::storeMissing, -1, {}}; }
    // `stderrTail`: the last non-empty lines of standard error (at most three), `exitCode`: the
    // program's exit status.
    static PluginStoreError noAnswer(int exitCode, QStringList stderrTail) { return {Kind::noAnswer, exitCode, std::move(stderrTail)}; }
    static PluginStoreError timedOut(std::chrono::seconds limit) { return {Kind::timedOut, -1, {QString::number(limit.count())}}; }

    Kind kind() const { return m_kind; }
    int exitCode() const { return m_exitCode; } // -1 when the program did not end by itself
    QString description() const;
    bool operator==(const PluginStoreError&) const = default;

private:
    PluginStoreError(Kind kind, int exitCode, QStringList detail)
        : m_kind(kind), m_exitCode(exitCode), m_detail(std::move(detail))
    {
    }
    Kind m_kind;
    int m_exitCode;
    QStringList m_detail;
};

class PluginStore : public QObject {
    Q_OBJECT
public:
    struct Installed {
        QString nazwa, wersja, zrodlo;
        std::optional<QString> pakiet, opis;
        bool operator==(const Installed&) const = default;
    };
    struct Available {
        QString nazwa, pakiet, wersja;
        bool domyslnie = false;
        QStringList obejmuje;
        std::optional<int> narzedzi;
        bool sprawdzony = false;
        QStringList wada;
        bool operator==(const Available&) const = default;
    };
    struct Tool {
        QString nazwa, opis;
        bool operator==(const Tool&) const = default;
    };
    struct Narzedzia {
        QList<Tool> wszystkie;
        std::optional<QSet<QString>> wybrane; // none: every tool enabled
        bool operator==(const Narzedzia&) const = default;
    };

    // Installing and updating fetch packages; the other commands only read or start one server.
    static constexpr std::chrono::milliseconds kQuickLimit{60'000};
    static constexpr std::chrono::milliseconds kInstallLimit{600'000};
    static constexpr qsizetype kLoggedStderrLines = 200; // per command

    struct Options {
        std::optional<QString> node;         // none: found as the sidecar runtime finds it
        std::optional<QString> program;      // none: wtyczki-cli.js beside the sidecar's entry point
        QStringList sidecarDirectories;      // none: the locator's folders
        QString configDirectory;             // empty: the application's (holds the marker file)
        // Whether an agent task runs now (none: never). A removal waits until none runs.
        std::function<bool()> tasksRunning;
    };

    // The store program and its children, when the store goes with a command still running: the
    // process table is read for at most kDestroyListing, SIGTERM has kDestroyGrace, then SIGKILL.
    static constexpr std::chrono::milliseconds kDestroyListing{100};
    static constexpr std::chrono::milliseconds kDestroyGrace{200};

    PluginStore(Clock& clock, PluginCatalog& catalog, Options options = {}, QObject* parent = nullptr);
    ~PluginStore() override; // ends the commands still running, within the bounds above

    // Background work; each returns at once, its failures are silent.
    void refresh();
    void autoUpdate();
    void bootstrapIfNeeded();
    // One install or remove command ("zainstaluj" + package or address, "usun" + name), shown as
    // `label` in `busy`; ignored while another one runs. A removal asked for while a task runs is
    // put off (outcome "usun-odlozone"): the task's agent may run the plug-in's server from the
    // files it deletes. It is carried out by runDeferred() once no task runs.
    void perform(const QString& label, const QStringList& arguments);
    // The removals put off, one after another, when no task runs and no other command does. They
    // are kept in a file until done: one the application quit before is carried out at the next
    // start, once its update of the plug-ins has ended.
    void runDeferred();
    bool hasDeferredRemoval(const QString& label) const;
    QString deferredRemovalsFile() const;
    void wczytajNarzedzia(const QString& name);
    // none: every tool enabled. Shown at once; stored one choice at a time, and of the choices
    // made while one is being stored only the latest, so that the last one the user made is the
    // one on disk whatever the timing.
    void ustawNarzedzia(const QString& name, const std::optional<QSet<QString>>& wybrane);

    // One command of the store program and its JSON answer.
    QCoro::Task<Result<QJsonObject, PluginStoreError>> run(QStringList arguments);

    const QList<Installed>& installed() const { return m_installed; }
    const QList<Available>& available() const { return m_available; }
    const QMap<QString, Narzedzia>& narzedzia() const { return m_narzedzia; }
    const std::optional<QString>& busy() const { return m_busy; }
    const std::optional<QString>& failure() const { return m_failure; }

    std::optional<QString> nodeExecutable() const;
    std::optional<QString> programPath() const;
    QString markerFile() const;
    // Takes over the lists of a "lista" answer (entries without their required keys are skipped).
    void apply(const QJsonObject& result);

Q_SIGNALS:
    void stateChanged();
    // A background or foreground operation has ended and its result was applied (tests, panes).
    void operationFinished(const QString& command);
    // What the user asked for has ended: an install or removal ("zainstaluj", "usun", with its
    // label), a tool list ("narzedzia") or a tool selection ("ustaw-narzedzia", with the plug-in's
    // name); `failure` is the text shown for it, none on success. For the panes to say it. A
    // removal put off is "usun-odlozone" when asked for and "usun-po-zadaniu" when carried out
    // (said by the application, the settings window may be closed by then).
    void outcome(const QString& command, const QString& subject, const std::optional<QString>& failure);

private:
    static QCoro::Task<> refreshing(QPointer<PluginStore> self);
    static QCoro::Task<> updating(QPointer<PluginStore> self);
    static QCoro::Task<> bootstrapping(QPointer<PluginStore> self);
    enum class Origin { asked, deferred };
    static QCoro::Task<> performing(QPointer<PluginStore> self, QStringList arguments, Origin origin);
    static QCoro::Task<> loadingTools(QPointer<PluginStore> self, QString name);
    // `before`: the selection shown until now, shown again when the new one was not stored.
    struct ToolChoice {
        QString name;
        std::optional<QSet<QString>> wybrane;
    };
    void storeNextToolChoice();
    static QCoro::Task<> settingTools(QPointer<PluginStore> self, ToolChoice choice);
    void setFailure(std::optional<QString> failure);
    void saveDeferredRemovals() const;
    // What a finished operation changed: only what the lists show, or also what the sidecar starts.
    enum class Effect { lists, pluginSet };
    void afterChange(Effect effect); // refresh(), the catalogue's reload(), and for a new plug-in set the sidecar's replacement

    Clock& m_clock;
    PluginCatalog& m_catalog;
    Options m_options;
    std::shared_ptr<SerialWorker> m_worker;
    // The commands running now; shared with them, since a command may outlive the store.
    std::shared_ptr<QSet<QProcess*>> m_running = std::make_shared<QSet<QProcess*>>();
    QList<Installed> m_installed;
    QList<Available> m_available;
    QMap<QString, Narzedzia> m_narzedzia;
    std::optional<QString> m_busy;
    std::optional<QString> m_failure;
    std::deque<std::pair<QString, QStringList>> m_deferredRemovals; // label, arguments
    int m_backgroundChanges = 0; // an update or the default set being installed: the folder is taken
    std::deque<ToolChoice> m_toolChoices; // waiting to be stored, one per plug-in: its latest
    bool m_storingTools = false;
    bool m_toolsStored = false; // since the last choice in the queue was taken
    // Per plug-in with a choice waiting or being stored: the selection last known on disk, shown
    // again when the latest choice could not be stored.
    QMap<QString, std::optional<QSet<QString>>> m_storedTools;
};

} // namespace selvina::plugins
