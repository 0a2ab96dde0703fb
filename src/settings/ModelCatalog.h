// ModelCatalog: the OpenAI models the settings offer — realtime models for the conversation,
// reasoning models for the agent — fetched from the account's model list on request and kept in a
// cache file, so that the pickers are filled at start without a network call.
// Thread: main thread; the fetch never blocks it.
#pragma once

#include "core/Clock.h"
#include "settings/ServiceRequest.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QObject>
#include <QStringList>

#include <optional>

namespace selvina::settings {

class ModelCatalogError {
public:
    enum class Kind { noKey, rejected, unreadable, unreachable, timedOut };

    static ModelCatalogError noKey() { return {Kind::noKey, 0, {}}; }
    static ModelCatalogError rejected(int status) { return {Kind::rejected, status, {}}; }
    static ModelCatalogError unreadable() { return {Kind::unreadable, 0, {}}; }
    // `problem`: what went wrong with the connection, in Polish.
    static ModelCatalogError unreachable(QString problem) { return {Kind::unreachable, 0, std::move(problem)}; }
    static ModelCatalogError timedOut() { return {Kind::timedOut, 0, {}}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const ModelCatalogError&) const = default;

private:
    ModelCatalogError(Kind kind, int status, QString problem)
        : m_kind(kind), m_status(status), m_problem(std::move(problem))
    {
    }
    Kind m_kind;
    int m_status;
    QString m_problem;
};

// What the service said of a key before it is stored.
struct KeyCheck {
    enum class Verdict { accepted, refused, unverified };
    Verdict verdict = Verdict::unverified;
    int status = 0;  // refused: the HTTP status (401, 403)
    QString problem; // unverified: why, in Polish ("OpenAI nie odpowiedziało w ciągu 15 s", …)
};

class ModelCatalog : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kTimeout{60'000};

    struct Lists {
        QStringList realtime, reasoning;
        bool operator==(const Lists&) const = default;
    };
    // The two lists of a raw model list, each sorted.
    static Lists sorted(const QStringList& ids);
    // The realtime models offered when the catalogue has none.
    static const QStringList& realtimeFallback();
    // `list`, or `fallback` when it is empty, with `current` in front when it is missing there.
    static QStringList options(const QStringList& list, const QStringList& fallback, const QString& current);

    // Loads `cacheFile` now (models-cache.json in the configuration folder).
    ModelCatalog(ServiceAccess service, QString cacheFile, Clock& clock, QObject* parent = nullptr);

    QStringList realtime() const { return m_lists.realtime; }
    QStringList reasoning() const { return m_lists.reasoning; }
    std::optional<QDateTime> updatedAt() const { return m_updatedAt; }
    const std::optional<ModelCatalogError>& failure() const { return m_failure; }
    bool loading() const { return m_loading; }

    // The pickers' lists: the realtime one with the fallback above, the reasoning one without.
    QStringList realtimeOptions(const QString& current) const;
    QStringList reasoningOptions(const QString& current) const;

    // Fetches the model list; does nothing while a fetch runs. The end is announced by changed().
    void refresh();
    // Asks the model list of the configured base with `key`: 401 and 403 refuse it; no answer in
    // kKeyCheckTimeout, no connection or another status leave it unverified.
    static constexpr std::chrono::milliseconds kKeyCheckTimeout{15'000};
    QCoro::Task<KeyCheck> checkKey(QString key);

Q_SIGNALS:
    void changed();

private:
    static QCoro::Task<> fetch(QPointer<ModelCatalog> self, QString key);
    void loadCache();
    void saveCache(const QStringList& ids, const QDateTime& at);

    ServiceAccess m_service;
    QString m_cacheFile;
    Clock& m_clock;
    QNetworkAccessManager m_network;
    Lists m_lists;
    std::optional<QDateTime> m_updatedAt;
    std::optional<ModelCatalogError> m_failure;
    bool m_loading = false;
};

} // namespace selvina::settings
