#include "plugins/PluginStore.h"

#include "agent/EngineDetector.h"
#include "agent/ProcessTree.h"
#include "agent/SidecarLocator.h"
#include "core/Paths.h"
#include "core/SerialWorker.h"
#include "core/SidecarLog.h"
#include "plugins/PluginCatalog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QPromise>
#include <QSaveFile>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <csignal>
#include <deque>

namespace selvina::plugins {

namespace {

const QString kStoreProgram = QStringLiteral("dist/wtyczki-cli.js");
constexpr std::chrono::milliseconds kTreeGrace{300};

bool isExecutableFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

std::chrono::milliseconds limitFor(const QString& command)
{
    static const QStringList fetching{QStringLiteral("zainstaluj"), QStringLiteral("aktualizuj-wszystko"),
                                      QStringLiteral("domyslne")};
    return fetching.contains(command) ? PluginStore::kInstallLimit : PluginStore::kQuickLimit;
}

std::optional<QString> optionalString(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

QStringList strings(const QJsonValue& value)
{
    QStringList list;
    for (const QJsonValue& item : value.toArray())
        if (item.isString())
            list.append(item.toString());
    return list;
}

// Standard error of one command: each full line goes to the log (up to a bound), the last three
// non-empty ones are kept for the failure text.
struct ErrorLines {
    QByteArray pending;
    std::deque<QString> tail;
    qsizetype logged = 0;

    void take(const QByteArray& bytes, bool atEnd)
    {
        pending += bytes;
        for (;;) {
            qsizetype end = pending.indexOf('\n');
            if (end < 0) {
                if (!atEnd || pending.isEmpty())
                    return;
                end = pending.size();
            }
            const QString line = QString::fromUtf8(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            if (line.isEmpty())
                continue;
            if (logged++ < PluginStore::kLoggedStderrLines)
                logLine(QStringLiteral("[wtyczki] ") + line);
            tail.push_back(line);
            if (tail.size() > 3)
                tail.pop_front();
        }
    }
};

} // namespace

QString PluginStoreError::description() const
{
    switch (m_kind) {
    case Kind::storeMissing:
        return QStringLiteral("Nie znalazłem Node albo magazynu wtyczek.");
    case Kind::noAnswer:
        return m_detail.isEmpty() ? QStringLiteral("Magazyn wtyczek nie odpowiedział.") : m_detail.join(QLatin1Char(' '));
    case Kind::timedOut:
        break;
    }
    return QStringLiteral("Magazyn wtyczek nie odpowiedział w ciągu %1 s, więc go zatrzymałem.").arg(m_detail.value(0));
}

PluginStore::PluginStore(Clock& clock, PluginCatalog& catalog, Options options, QObject* parent)
    : QObject(parent),
      m_clock(clock),
      m_catalog(catalog),
      m_options(std::move(options)),
      m_worker(std::make_shared<SerialWorker>(QStringLiteral("selvina.plugins")))
{
    if (m_options.configDirectory.isEmpty())
        m_options.configDirectory = paths::configDirectory();
    if (QFile waiting(deferredRemovalsFile()); waiting.open(QIODevice::ReadOnly))
        for (const QString& name : strings(QJsonDocument::fromJson(waiting.readAll()).array()))
            m_deferredRemovals.emplace_back(name, QStringList{QStringLiteral("usun"), name});
}

PluginStore::~PluginStore()
{
    // A store command must not outlive the application: npm and the plug-in servers it started
    // would go on with no one to stop them.
    std::vector<agent::ProcessEntry> trees;
    const auto deadline = std::chrono::steady_clock::now() + kDestroyListing;
    for (QProcess* process : std::as_const(*m_running)) {
        if (process->processId() <= 0)
            continue;
        const auto root = agent::ProcessTree::read(pid_t(process->processId()));
        if (!root)
            continue;
        auto found = agent::ProcessTree::liveTrees(root, {}, deadline);
        trees.insert(trees.end(), found.begin(), found.end());
        trees.push_back(*root);
    }
    m_running->clear();
    agent::ProcessTree::endTrees(trees, kDestroyGrace);
}

std::optional<QString> PluginStore::nodeExecutable() const
{
    if (m_options.node)
        return isExecutableFile(*m_options.node) ? m_options.node : std::nullopt;
    // An explicit choice that does not run means no Node, not another one.
    if (qEnvironmentVariableIsSet("SELVINA_NODE_BINARY")) {
        const QString chosen = qEnvironmentVariable("SELVINA_NODE_BINARY");
        return isExecutableFile(chosen) ? std::optional<QString>(chosen) : std::nullopt;
    }
    for (const QString& path : {QDir(paths::resourceDirectory()).filePath(QStringLiteral("node")),
                                QStringLiteral("/usr/local/bin/node"), QStringLiteral("/usr/bin/node")})
        if (isExecutableFile(path))
            return path;
    return agent::EngineDetector().locate(QStringLiteral("node")); // a Node of the user's own (nvm and the like)
}

std::optional<QString> PluginStore::programPath() const
{
    if (m_options.program)
        return QFileInfo(*m_options.program).isFile() ? m_options.program : std::nullopt;
    // For the end-to-end tests, which run the real program against a stand-in store.
    if (qEnvironmentVariableIsSet("SELVINA_PLUGIN_STORE")) {
        const QString chosen = qEnvironmentVariable("SELVINA_PLUGIN_STORE");
        return QFileInfo(chosen).isFile() ? std::optional<QString>(chosen) : std::nullopt;
    }
    const QStringList folders = m_options.sidecarDirectories.isEmpty()
        ? QStringList{agent::SidecarLocator::bundledSidecarDirectory(), QDir::current().filePath(QStringLiteral("Sidecar"))}
        : m_options.sidecarDirectories;
    for (const QString& folder : folders) {
        const QFileInfo program(QDir(folder).filePath(kStoreProgram));
        if (program.isFile())
            return program.absoluteFilePath();
    }
    return std::nullopt;
}

QString PluginStore::markerFile() const
{
    return QDir(m_options.configDirectory).filePath(QStringLiteral("wtyczki-pobrane"));
}

QCoro::Task<Result<QJsonObject, PluginStoreError>> PluginStore::run(QStringList arguments)
{
    const auto node = nodeExecutable();
    const auto program = programPath();
    if (!node || !program)
        co_return PluginStoreError::storeMissing();
    const auto limit = limitFor(arguments.value(0));
    // Nothing of the store is touched once the command runs: it may be gone when it ends.
    const std::shared_ptr<SerialWorker> worker = m_worker;
    const std::shared_ptr<QSet<QProcess*>> running = m_running;

    struct Watch {
        std::shared_ptr<QPromise<void>> ended = std::make_shared<QPromise<void>>();
        bool over = false;
        bool timedOut = false;
        ErrorLines errors;
        void end()
        {
            if (!over) {
                over = true;
                ended->finish();
            }
        }
    };
    auto watch = std::make_shared<Watch>();
    watch->ended->start();
    auto process = std::make_unique<QProcess>();
    process->setProgram(*node);
    process->setArguments(QStringList{*program} + arguments);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    QProcess* raw = process.get();
    // Both pipes are drained as data comes (QProcess reads them on every loop turn), so a large
    // output never stalls the child.
    QObject::connect(raw, &QProcess::readyReadStandardError, raw,
                     [raw, watch] { watch->errors.take(raw->readAllStandardError(), false); });
    QObject::connect(raw, &QProcess::finished, raw, [watch] { watch->end(); });
    QObject::connect(raw, &QProcess::errorOccurred, raw, [watch](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            watch->end();
    });
    const std::unique_ptr<ScheduledCall> deadline = m_clock.after(limit, [watch] {
        watch->timedOut = !watch->over;
        watch->end();
    });
    running->insert(raw);
    process->start(QIODevice::ReadOnly);
    co_await watch->ended->future();
    running->remove(raw);

    if (watch->timedOut) {
        const qint64 pid = raw->processId();
        logLine(QStringLiteral("[wtyczki] magazyn wtyczek nie skończył polecenia „") + arguments.value(0)
                + QStringLiteral("” w ciągu ") + QString::number(limit.count() / 1000)
                + QStringLiteral(" s — zatrzymuję go z procesami potomnymi"));
        if (pid > 0) {
            auto ending = worker->run([pid] {
                const auto root = agent::ProcessTree::read(pid_t(pid));
                auto trees = agent::ProcessTree::liveTrees(root, {});
                if (root)
                    trees.push_back(*root);
                agent::ProcessTree::endTrees(trees, kTreeGrace);
            });
            co_await ending;
        }
        // Reaped once it has ended: the process object never waits on this thread.
        QProcess* abandoned = process.release();
        if (abandoned->state() == QProcess::NotRunning) {
            abandoned->deleteLater();
        } else {
            QObject::connect(abandoned, &QProcess::finished, abandoned, &QObject::deleteLater);
            abandoned->kill();
        }
        co_return PluginStoreError::timedOut(std::chrono::duration_cast<std::chrono::seconds>(limit));
    }

    watch->errors.take(raw->readAllStandardError(), true);
    const QJsonDocument answer = QJsonDocument::fromJson(raw->readAllStandardOutput());
    if (answer.isObject())
        co_return answer.object();
    const bool exited = raw->error() != QProcess::FailedToStart && raw->exitStatus() == QProcess::NormalExit;
    co_return PluginStoreError::noAnswer(exited ? raw->exitCode() : -1,
                                         QStringList(watch->errors.tail.begin(), watch->errors.tail.end()));
}

void PluginStore::apply(const QJsonObject& result)
{
    m_installed.clear();
    for (const QJsonValue& value : result.value(QStringLiteral("zainstalowane")).toArray()) {
        const QJsonObject entry = value.toObject();
        const auto nazwa = optionalString(entry, QStringLiteral("nazwa"));
        const auto wersja = optionalString(entry, QStringLiteral("wersja"));
        const auto zrodlo = optionalString(entry, QStringLiteral("zrodlo"));
        if (!nazwa || !wersja || !zrodlo)
            continue;
        m_installed.append({*nazwa, *wersja, *zrodlo, optionalString(entry, QStringLiteral("pakiet")),
                            optionalString(entry, QStringLiteral("opis"))});
    }
    m_available.clear();
    for (const QJsonValue& value : result.value(QStringLiteral("dostepne")).toArray()) {
        const QJsonObject entry = value.toObject();
        const auto nazwa = optionalString(entry, QStringLiteral("nazwa"));
        const auto pakiet = optionalString(entry, QStringLiteral("pakiet"));
        const auto wersja = optionalString(entry, QStringLiteral("wersja"));
        if (!nazwa || !pakiet || !wersja)
            continue;
        const QJsonValue count = entry.value(QStringLiteral("narzedzi"));
        m_available.append({*nazwa, *pakiet, *wersja, entry.value(QStringLiteral("domyslnie")).toBool(),
                            strings(entry.value(QStringLiteral("obejmuje"))),
                            count.isDouble() ? std::optional<int>(count.toInt()) : std::nullopt,
                            entry.value(QStringLiteral("sprawdzony")).toBool(), strings(entry.value(QStringLiteral("wada")))});
    }
    Q_EMIT stateChanged();
}

void PluginStore::setFailure(std::optional<QString> failure)
{
    m_failure = std::move(failure);
    Q_EMIT stateChanged();
}

void PluginStore::afterChange(Effect effect)
{
    refresh();
    if (effect == Effect::pluginSet)
        m_catalog.pluginSetChanged();
    else
        m_catalog.reload();
}

void PluginStore::refresh()
{
    refreshing(QPointer<PluginStore>(this));
}

QCoro::Task<> PluginStore::refreshing(QPointer<PluginStore> self)
{
    auto running = self->run({QStringLiteral("lista")});
    const auto result = co_await running;
    if (!self)
        co_return;
    if (result)
        self->apply(result.value());
    Q_EMIT self->operationFinished(QStringLiteral("lista"));
}

void PluginStore::autoUpdate()
{
    ++m_backgroundChanges;
    updating(QPointer<PluginStore>(this));
}

QCoro::Task<> PluginStore::updating(QPointer<PluginStore> self)
{
    auto running = self->run({QStringLiteral("aktualizuj-wszystko")});
    const auto result = co_await running;
    if (!self)
        co_return;
    const QJsonValue updated = result ? result.value().value(QStringLiteral("zaktualizowane")) : QJsonValue();
    const QJsonArray entries = updated.toArray();
    const bool objects = std::all_of(entries.begin(), entries.end(), [](const QJsonValue& v) { return v.isObject(); });
    if (updated.isArray() && objects && !entries.isEmpty()) {
        for (const QJsonValue& value : entries) {
            const QJsonObject entry = value.toObject();
            const auto nazwa = optionalString(entry, QStringLiteral("nazwa"));
            const auto z = optionalString(entry, QStringLiteral("z"));
            const auto na = optionalString(entry, QStringLiteral("na"));
            if (nazwa && z && na)
                logLine(QStringLiteral("[wtyczki] %1: %2 → %3").arg(*nazwa, *z, *na));
        }
        self->afterChange(Effect::pluginSet);
    }
    --self->m_backgroundChanges;
    Q_EMIT self->operationFinished(QStringLiteral("aktualizuj-wszystko"));
    if (self)
        self->runDeferred();
}

void PluginStore::bootstrapIfNeeded()
{
    if (!QFileInfo::exists(markerFile())) {
        ++m_backgroundChanges;
        bootstrapping(QPointer<PluginStore>(this));
    }
}

QCoro::Task<> PluginStore::bootstrapping(QPointer<PluginStore> self)
{
    auto running = self->run({QStringLiteral("domyslne")});
    const auto result = co_await running;
    if (!self)
        co_return;
    if (result) {
        const bool installed = result.value().value(QStringLiteral("ok")).toBool();
        if (installed) {
            QDir().mkpath(self->m_options.configDirectory);
            QFile marker(self->markerFile());
            if (!marker.open(QIODevice::WriteOnly))
                logLine(QStringLiteral("[wtyczki] nie udało się zapisać znacznika kompletu domyślnego: ") + marker.errorString());
        }
        self->afterChange(installed ? Effect::pluginSet : Effect::lists);
    }
    --self->m_backgroundChanges;
    Q_EMIT self->operationFinished(QStringLiteral("domyslne"));
    if (self)
        self->runDeferred();
}

void PluginStore::perform(const QString& label, const QStringList& arguments)
{
    if (arguments.value(0) == u"usun" && m_options.tasksRunning && m_options.tasksRunning()) {
        if (!hasDeferredRemoval(label)) {
            logLine(QStringLiteral("[wtyczki] usunięcie wtyczki ") + label + QStringLiteral(" czeka na koniec zadania"));
            m_deferredRemovals.emplace_back(label, arguments);
            saveDeferredRemovals();
            Q_EMIT stateChanged();
        }
        Q_EMIT outcome(QStringLiteral("usun-odlozone"), label, std::nullopt);
        return;
    }
    if (m_busy)
        return;
    m_busy = label;
    m_failure.reset();
    Q_EMIT stateChanged();
    performing(QPointer<PluginStore>(this), arguments, Origin::asked);
}

bool PluginStore::hasDeferredRemoval(const QString& label) const
{
    return std::any_of(m_deferredRemovals.begin(), m_deferredRemovals.end(),
                       [&label](const auto& removal) { return removal.first == label; });
}

QString PluginStore::deferredRemovalsFile() const
{
    return QDir(m_options.configDirectory).filePath(QStringLiteral("wtyczki-do-usuniecia.json"));
}

void PluginStore::saveDeferredRemovals() const
{
    QStringList names;
    for (const auto& [label, arguments] : m_deferredRemovals)
        names.append(arguments.value(1));
    if (names.isEmpty()) {
        QFile::remove(deferredRemovalsFile());
        return;
    }
    QDir().mkpath(m_options.configDirectory);
    QSaveFile file(deferredRemovalsFile());
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(QJsonArray::fromStringList(names)).toJson()) < 0
        || !file.commit())
        logLine(QStringLiteral("[wtyczki] nie zapisałem listy wtyczek do usunięcia po zadaniu: ") + file.errorString());
}

void PluginStore::runDeferred()
{
    if (m_busy || m_backgroundChanges > 0 || m_deferredRemovals.empty()
        || (m_options.tasksRunning && m_options.tasksRunning()))
        return;
    auto [label, arguments] = std::move(m_deferredRemovals.front());
    m_deferredRemovals.pop_front();
    saveDeferredRemovals();
    m_busy = label;
    m_failure.reset();
    Q_EMIT stateChanged();
    performing(QPointer<PluginStore>(this), arguments, Origin::deferred);
}

QCoro::Task<> PluginStore::performing(QPointer<PluginStore> self, QStringList arguments, Origin origin)
{
    auto running = self->run(arguments);
    const auto result = co_await running;
    if (!self)
        co_return;
    if (!result) {
        self->m_failure = result.error().description();
    } else if (!result.value().value(QStringLiteral("ok")).toBool()) {
        self->m_failure = optionalString(result.value(), QStringLiteral("komunikat")).value_or(QStringLiteral("Nie udało się."));
    }
    const QString label = self->m_busy.value_or(arguments.value(1));
    self->m_busy.reset();
    Q_EMIT self->stateChanged();
    self->afterChange(self->m_failure ? Effect::lists : Effect::pluginSet);
    const QString command = origin == Origin::deferred ? QStringLiteral("usun-po-zadaniu") : arguments.value(0);
    Q_EMIT self->outcome(command, label, self->m_failure);
    Q_EMIT self->operationFinished(command);
    if (self)
        self->runDeferred();
}

void PluginStore::wczytajNarzedzia(const QString& name)
{
    loadingTools(QPointer<PluginStore>(this), name);
}

QCoro::Task<> PluginStore::loadingTools(QPointer<PluginStore> self, QString name)
{
    auto running = self->run({QStringLiteral("narzedzia"), name});
    const auto result = co_await running;
    if (!self)
        co_return;
    if (!result) {
        self->setFailure(result.error().description());
        Q_EMIT self->outcome(QStringLiteral("narzedzia"), name, self->m_failure);
    } else if (const QJsonObject& answer = result.value(); !answer.value(QStringLiteral("ok")).toBool()) {
        self->setFailure(optionalString(answer, QStringLiteral("komunikat")).value_or(QStringLiteral("Wtyczka nie odpowiedziała.")));
        Q_EMIT self->outcome(QStringLiteral("narzedzia"), name, self->m_failure);
    } else {
        Narzedzia tools;
        for (const QJsonValue& value : answer.value(QStringLiteral("narzedzia")).toArray()) {
            const QJsonObject tool = value.toObject();
            if (const auto nazwa = optionalString(tool, QStringLiteral("nazwa")))
                tools.wszystkie.append({*nazwa, optionalString(tool, QStringLiteral("opis")).value_or(QString())});
        }
        if (!answer.value(QStringLiteral("wszystkieWlaczone")).toBool()) {
            const QStringList chosen = strings(answer.value(QStringLiteral("wybrane")));
            tools.wybrane = QSet<QString>(chosen.begin(), chosen.end());
        }
        // A choice still on its way to the disk is newer than what the plug-in's list says.
        if (const auto shown = self->m_narzedzia.constFind(name); shown != self->m_narzedzia.constEnd() && self->m_storedTools.contains(name))
            tools.wybrane = shown->wybrane;
        self->m_narzedzia.insert(name, tools);
        Q_EMIT self->stateChanged();
    }
    Q_EMIT self->operationFinished(QStringLiteral("narzedzia"));
}

void PluginStore::ustawNarzedzia(const QString& name, const std::optional<QSet<QString>>& wybrane)
{
    if (auto entry = m_narzedzia.find(name); entry != m_narzedzia.end()) {
        if (!m_storedTools.contains(name))
            m_storedTools.insert(name, entry->wybrane);
        entry->wybrane = wybrane;
        Q_EMIT stateChanged();
    }
    // Two store programs writing plugins.json at once may finish in either order: one at a time,
    // and a choice not yet sent gives way to a later one for the same plug-in.
    const auto waiting = std::find_if(m_toolChoices.begin(), m_toolChoices.end(), [&](const ToolChoice& c) { return c.name == name; });
    if (waiting != m_toolChoices.end())
        waiting->wybrane = wybrane;
    else
        m_toolChoices.push_back({name, wybrane});
    if (!m_storingTools)
        storeNextToolChoice();
}

void PluginStore::storeNextToolChoice()
{
    if (m_toolChoices.empty())
        return;
    m_storingTools = true;
    ToolChoice next = std::move(m_toolChoices.front());
    m_toolChoices.pop_front();
    settingTools(QPointer<PluginStore>(this), std::move(next));
}

QCoro::Task<> PluginStore::settingTools(QPointer<PluginStore> self, ToolChoice choice)
{
    QStringList arguments{QStringLiteral("ustaw-narzedzia"), choice.name};
    if (choice.wybrane) {
        QStringList sorted(choice.wybrane->begin(), choice.wybrane->end());
        std::sort(sorted.begin(), sorted.end());
        arguments.append(QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(sorted)).toJson(QJsonDocument::Compact)));
    }
    auto running = self->run(arguments);
    const auto result = co_await running;
    if (!self)
        co_return;
    const bool stored = result && result.value().value(QStringLiteral("ok")).toBool();
    const bool newerWaiting = std::any_of(self->m_toolChoices.begin(), self->m_toolChoices.end(),
                                          [&](const ToolChoice& c) { return c.name == choice.name; });
    if (stored) {
        self->m_toolsStored = true;
        if (self->m_storedTools.contains(choice.name))
            self->m_storedTools[choice.name] = choice.wybrane;
    } else {
        // Not stored (a damaged plugins.json, a disk that takes no write): unless a newer choice is
        // on its way, the switches show again what the disk holds.
        self->setFailure(!result ? result.error().description()
                                 : optionalString(result.value(), QStringLiteral("komunikat"))
                                       .value_or(QStringLiteral("Nie udało się zapisać wyboru narzędzi.")));
        if (auto entry = self->m_narzedzia.find(choice.name);
            !newerWaiting && entry != self->m_narzedzia.end() && self->m_storedTools.contains(choice.name)) {
            entry->wybrane = self->m_storedTools.value(choice.name);
            Q_EMIT self->stateChanged();
        }
        Q_EMIT self->outcome(QStringLiteral("ustaw-narzedzia"), choice.name, self->m_failure);
    }
    if (!newerWaiting)
        self->m_storedTools.remove(choice.name);
    self->m_storingTools = false;
    if (!self->m_toolChoices.empty())
        self->storeNextToolChoice();
    else if (std::exchange(self->m_toolsStored, false))
        self->afterChange(Effect::pluginSet);
    Q_EMIT self->operationFinished(QStringLiteral("ustaw-narzedzia"));
}

} // namespace selvina::plugins
