#include "settings/ModelCatalog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace selvina::settings {

namespace {

constexpr qint64 kMaxListBytes = 8 * 1024 * 1024;

QStringList idsOf(const QJsonArray& array, const char* field)
{
    QStringList ids;
    for (const QJsonValue& v : array) {
        const QJsonValue id = field ? v.toObject().value(QLatin1String(field)) : v;
        if (id.isString())
            ids.append(id.toString());
    }
    return ids;
}

} // namespace

QString ModelCatalogError::description() const
{
    const QString lead = QStringLiteral("Nie udało się pobrać listy modeli: ");
    switch (m_kind) {
    case Kind::noKey:
        return QStringLiteral("Bez klucza OpenAI nie da się pobrać listy modeli.");
    case Kind::rejected:
        return lead + QStringLiteral("OpenAI odpowiedziało kodem ") + QString::number(m_status);
    case Kind::unreadable:
        return lead + QStringLiteral("nieczytelna odpowiedź");
    case Kind::unreachable:
        return lead + m_problem;
    case Kind::timedOut:
        return lead + QStringLiteral("OpenAI nie odpowiedziało w ciągu 60 s");
    }
    return {};
}

ModelCatalog::Lists ModelCatalog::sorted(const QStringList& ids)
{
    static const char* const kNotReasoning[] = {"tts",        "whisper", "transcribe", "embedding", "dall-e",
                                                "moderation", "image",   "audio",      "sora",      "realtime"};
    Lists lists;
    for (const QString& id : ids) {
        if (id.contains(QLatin1String("realtime")))
            lists.realtime.append(id);
        const QString lower = id.toLower();
        const bool excluded = std::any_of(std::begin(kNotReasoning), std::end(kNotReasoning),
                                          [&](const char* word) { return lower.contains(QLatin1String(word)); });
        if (!excluded
            && (id.startsWith(QLatin1String("gpt-5")) || id.startsWith(QLatin1String("o3"))
                || id.startsWith(QLatin1String("o4")) || id.contains(QLatin1String("codex"))))
            lists.reasoning.append(id);
    }
    lists.realtime.sort();
    lists.reasoning.sort();
    lists.realtime.removeDuplicates();
    lists.reasoning.removeDuplicates();
    return lists;
}

const QStringList& ModelCatalog::realtimeFallback()
{
    static const QStringList models{QStringLiteral("gpt-realtime-2.1"), QStringLiteral("gpt-realtime-2"),
                                    QStringLiteral("gpt-realtime")};
    return models;
}

QStringList ModelCatalog::options(const QStringList& list, const QStringList& fallback, const QString& current)
{
    QStringList offered = list.isEmpty() ? fallback : list;
    if (!current.isEmpty() && !offered.contains(current))
        offered.prepend(current);
    return offered;
}

ModelCatalog::ModelCatalog(ServiceAccess service, QString cacheFile, Clock& clock, QObject* parent)
    : QObject(parent), m_service(std::move(service)), m_cacheFile(std::move(cacheFile)), m_clock(clock)
{
    loadCache();
}

QStringList ModelCatalog::realtimeOptions(const QString& current) const
{
    return options(m_lists.realtime, realtimeFallback(), current);
}

QStringList ModelCatalog::reasoningOptions(const QString& current) const
{
    return options(m_lists.reasoning, {}, current);
}

void ModelCatalog::loadCache()
{
    QFile file(m_cacheFile);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxListBytes)
        return;
    const QJsonObject cache = QJsonDocument::fromJson(file.readAll()).object();
    if (!cache.value(QLatin1String("ids")).isArray())
        return;
    m_lists = sorted(idsOf(cache.value(QLatin1String("ids")).toArray(), nullptr));
    const QJsonValue at = cache.value(QLatin1String("updatedAt"));
    if (at.isDouble())
        m_updatedAt = QDateTime::fromMSecsSinceEpoch(qint64(at.toDouble() * 1000), Qt::UTC);
}

void ModelCatalog::saveCache(const QStringList& ids, const QDateTime& at)
{
    QDir().mkpath(QFileInfo(m_cacheFile).absolutePath());
    QSaveFile file(m_cacheFile);
    if (!file.open(QIODevice::WriteOnly))
        return;
    const QJsonObject cache{{QStringLiteral("ids"), QJsonArray::fromStringList(ids)},
                            {QStringLiteral("updatedAt"), double(at.toMSecsSinceEpoch()) / 1000.0}};
    file.write(QJsonDocument(cache).toJson(QJsonDocument::Compact));
    file.commit();
}

void ModelCatalog::refresh()
{
    if (m_loading)
        return;
    const std::optional<QString> key = m_service.apiKey();
    if (!key || key->isEmpty()) {
        m_failure = ModelCatalogError::noKey();
        Q_EMIT changed();
        return;
    }
    m_loading = true;
    m_failure.reset();
    Q_EMIT changed();
    fetch(QPointer<ModelCatalog>(this), *key);
}

QCoro::Task<KeyCheck> ModelCatalog::checkKey(QString key)
{
    QNetworkRequest request(m_service.endpoint(QStringLiteral("/v1/models")));
    request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
    // The exchange ends (cancelled) if the catalogue goes with its network manager.
    const ServiceReply reply = co_await exchange(m_network, request, "GET", {}, m_clock, kKeyCheckTimeout,
                                                 kMaxListBytes, std::make_shared<ServiceCancel>());
    KeyCheck check;
    switch (reply.outcome) {
    case ServiceReply::Outcome::answered:
        if (reply.status == 401 || reply.status == 403) {
            check.verdict = KeyCheck::Verdict::refused;
            check.status = reply.status;
        } else if (reply.status == 200) {
            check.verdict = KeyCheck::Verdict::accepted;
        } else {
            check.problem = QStringLiteral("OpenAI odpowiedziało kodem ") + QString::number(reply.status);
        }
        break;
    case ServiceReply::Outcome::timedOut:
        check.problem = QStringLiteral("OpenAI nie odpowiedziało w ciągu %1 s").arg(kKeyCheckTimeout.count() / 1000);
        break;
    case ServiceReply::Outcome::unreachable:
        check.problem = reply.problem;
        break;
    case ServiceReply::Outcome::oversized:
        check.verdict = KeyCheck::Verdict::accepted; // a list too long to keep is still an answer to the key
        break;
    case ServiceReply::Outcome::cancelled:
        check.problem = QStringLiteral("sprawdzanie przerwane");
        break;
    }
    co_return check;
}

QCoro::Task<> ModelCatalog::fetch(QPointer<ModelCatalog> self, QString key)
{
    QNetworkRequest request(self->m_service.endpoint(QStringLiteral("/v1/models")));
    request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
    const ServiceReply reply = co_await exchange(self->m_network, request, "GET", {}, self->m_clock, kTimeout,
                                                 kMaxListBytes, std::make_shared<ServiceCancel>());
    if (!self)
        co_return;
    std::optional<ModelCatalogError> failure;
    switch (reply.outcome) {
    case ServiceReply::Outcome::answered:
        if (reply.status != 200)
            failure = ModelCatalogError::rejected(reply.status);
        break;
    case ServiceReply::Outcome::timedOut:
        failure = ModelCatalogError::timedOut();
        break;
    case ServiceReply::Outcome::unreachable:
        failure = ModelCatalogError::unreachable(reply.problem);
        break;
    case ServiceReply::Outcome::oversized:
    case ServiceReply::Outcome::cancelled:
        failure = ModelCatalogError::unreadable();
        break;
    }
    if (!failure) {
        const QJsonDocument doc = QJsonDocument::fromJson(reply.body);
        if (!doc.isObject() || !doc.object().value(QLatin1String("data")).isArray())
            failure = ModelCatalogError::unreadable();
        else {
            const QStringList ids = idsOf(doc.object().value(QLatin1String("data")).toArray(), "id");
            const QDateTime now = QDateTime::currentDateTimeUtc();
            self->m_lists = sorted(ids);
            self->m_updatedAt = now;
            self->saveCache(ids, now);
        }
    }
    self->m_failure = failure;
    self->m_loading = false;
    Q_EMIT self->changed();
}

} // namespace selvina::settings
