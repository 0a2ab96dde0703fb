#include "settings/Configuration.h"

#include "core/SidecarLog.h"
#include "platform/Preferences.h"
#include "platform/SecretStore.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <future>
#include <vector>

namespace selvina::settings {

namespace {

// config.json's bytes; empty when missing or unreadable. The file is tiny; a runaway one is not
// read at all.
QByteArray readConfigText(const QString& directory)
{
    QFile file(QDir(directory).filePath(QStringLiteral("config.json")));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024)
        return {};
    return file.readAll();
}

// The text as an object; empty when malformed or not an object.
QJsonObject parseConfigText(const QByteArray& text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text);
    return doc.isObject() ? doc.object() : QJsonObject{};
}

QJsonObject readConfigFile(const QString& directory)
{
    return parseConfigText(readConfigText(directory));
}

std::optional<QString> fileString(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

std::optional<QString> environmentKey(const ConfigurationSources& s, const char* name)
{
    const QString v = s.environment.value(QLatin1String(name));
    if (v.isEmpty())
        return std::nullopt;
    return v;
}

std::optional<QString> secretKey(const ConfigurationSources& s, const char* account)
{
    return s.secrets ? s.secrets->read(QLatin1String(account)) : std::nullopt;
}

// The one order every key is looked up in: the environment, the keyring, then config.json.
ResolvedKey resolveKey(const ConfigurationSources& s, const QJsonObject& file, const char* variable,
                       const char* account, const char* fileKey)
{
    if (auto k = environmentKey(s, variable))
        return {k, KeySource::environment};
    if (auto k = secretKey(s, account); k && !k->isEmpty())
        return {k, KeySource::keyring};
    if (auto k = fileString(file, fileKey); k && !k->isEmpty())
        return {k, KeySource::file};
    return {};
}

bool isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

constexpr const char* kCachedAccounts[] = {platform::kOpenAIAccount, platform::kAnthropicAccount};

} // namespace

CachedSecretStore::CachedSecretStore(platform::SecretStore& inner, QObject* parent) : QObject(parent), m_inner(inner)
{
    m_first = refresh();
    // Any item or collection of the Secret Service that changes, is made, goes, locks or unlocks.
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (const char* name : {"ItemCreated", "ItemDeleted", "ItemChanged"})
        bus.connect(QString(), QString(), QStringLiteral("org.freedesktop.Secret.Collection"), QLatin1String(name), this,
                    SLOT(secretsChanged()));
    for (const char* name : {"CollectionCreated", "CollectionDeleted", "CollectionChanged"})
        bus.connect(QString(), QString(), QStringLiteral("org.freedesktop.Secret.Service"), QLatin1String(name), this,
                    SLOT(secretsChanged()));
}

void CachedSecretStore::secretsChanged()
{
    refresh();
}

QFuture<void> CachedSecretStore::refresh()
{
    // A change while a read waits to start is covered by that read.
    if (m_refreshQueued.exchange(true))
        return m_worker.run([] {});
    return m_worker.run([this] { readKeys(); });
}

void CachedSecretStore::readKeys()
{
    m_refreshQueued = false;
    // The keys are asked for at once: a keyring that never answers costs one time-out, not one a key.
    std::vector<std::future<std::optional<QString>>> reads;
    for (const char* account : kCachedAccounts)
        reads.push_back(std::async(std::launch::async, [this, account] { return m_inner.read(QLatin1String(account)); }));
    for (std::size_t i = 0; i < reads.size(); ++i) {
        std::optional<QString> value = reads[i].get();
        std::lock_guard lock(m_mutex);
        m_keys[QLatin1String(kCachedAccounts[i])] = std::move(value);
    }
}

std::optional<QString> CachedSecretStore::read(const QString& account)
{
    {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_keys.find(account); it != m_keys.end())
            return it->second;
    }
    // A keyring that never answers must not hold the main thread: until it has, there is no key.
    if (std::find(std::begin(kCachedAccounts), std::end(kCachedAccounts), account) != std::end(kCachedAccounts))
        return std::nullopt;
    return m_worker.run([this, account] { return m_inner.read(account); }).result();
}

template <typename F>
auto CachedSecretStore::thenReadKeys(F job)
{
    return m_worker.run([this, job = std::move(job)] {
        auto result = job();
        readKeys();
        return result;
    });
}

bool CachedSecretStore::write(const QString& value, const QString& account)
{
    return thenReadKeys([this, value, account] { return m_inner.write(value, account); }).result();
}

bool CachedSecretStore::remove(const QString& account)
{
    return thenReadKeys([this, account] { return m_inner.remove(account); }).result();
}

QFuture<platform::SecretOutcome> CachedSecretStore::storeLater(const QString& value, const QString& account)
{
    return thenReadKeys([this, value, account] { return m_inner.store(value, account); });
}

QFuture<platform::SecretOutcome> CachedSecretStore::eraseLater(const QString& account)
{
    return thenReadKeys([this, account] { return m_inner.erase(account); });
}

QString describe(KeySource source)
{
    switch (source) {
    case KeySource::environment:
        return QStringLiteral("zmienna środowiskowa");
    case KeySource::keyring:
        return QStringLiteral("pęk kluczy");
    case KeySource::file:
        return QStringLiteral("config.json");
    case KeySource::none:
        break;
    }
    return QStringLiteral("BRAK");
}

Configuration Configuration::load(const ConfigurationSources& sources)
{
    return fromConfigText(sources, readConfigText(sources.directory));
}

Configuration Configuration::fromConfigText(const ConfigurationSources& sources, const QByteArray& configText)
{
    Configuration c;
    const QJsonObject file = parseConfigText(configText);
    c.openAIKey = resolveKey(sources, file, "OPENAI_API_KEY", platform::kOpenAIAccount, "openai_api_key");
    c.anthropicKey = resolveKey(sources, file, "ANTHROPIC_API_KEY", platform::kAnthropicAccount, "anthropic_api_key");
    for (auto [key, field] : {std::pair{"realtime_model", &c.realtimeModel}, std::pair{"vision_model", &c.visionModel},
                              std::pair{"claude_model", &c.claudeModelNote}}) {
        const auto v = fileString(file, key);
        if (v && !v->isEmpty())
            *field = *v;
    }
    const QJsonValue opacity = file.value(QLatin1String("overlay_opacity"));
    if (opacity.isDouble()) {
        const double o = opacity.toDouble();
        c.overlayOpacity = o <= 0 ? 0.0 : (o > 1 ? 1.0 : o);
    }

    if (sources.preferences) {
        sources.preferences->refresh();
        const QString model = sources.preferences->value(QStringLiteral("speech.model")).toString();
        if (!model.isEmpty())
            c.realtimeModel = model;
    }

    if (const auto base = environmentKey(sources, "SELVINA_OPENAI_BASE_URL"))
        c.openAIBaseURL = acceptBaseURL(*base, QStringLiteral("SELVINA_OPENAI_BASE_URL"));
    else if (const auto base = fileString(file, "openai_base_url"); base && !base->isEmpty())
        c.openAIBaseURL = acceptBaseURL(*base, QStringLiteral("config.json openai_base_url"));
    return c;
}

WakeTuning WakeTuning::load(const QString& configDirectory)
{
    const QJsonObject file = readConfigFile(configDirectory);
    WakeTuning tuning;
    const QJsonValue threshold = file.value(QLatin1String("wake_threshold"));
    if (threshold.isDouble() && threshold.toDouble() > 0 && threshold.toDouble() < 1)
        tuning.threshold = threshold.toDouble();
    else if (!threshold.isUndefined())
        logLine(QStringLiteral("[konfiguracja] wake_threshold musi być liczbą między 0 a 1 — używam wartości modelu"));
    const QJsonValue windows = file.value(QLatin1String("wake_windows"));
    if (windows.isDouble() && windows.toDouble() == double(windows.toInt()) && windows.toInt() >= 1 && windows.toInt() <= 10)
        tuning.windows = windows.toInt();
    else if (!windows.isUndefined())
        logLine(QStringLiteral("[konfiguracja] wake_windows musi być liczbą całkowitą od 1 do 10 — używam wartości modelu"));
    return tuning;
}

ResolvedKey Configuration::resolveOpenAIKey(const ConfigurationSources& sources)
{
    return resolveKey(sources, readConfigFile(sources.directory), "OPENAI_API_KEY", platform::kOpenAIAccount,
                      "openai_api_key");
}

void Configuration::addAgentCredentials(const ConfigurationSources& sources, QProcessEnvironment& environment)
{
    const QJsonObject file = readConfigFile(sources.directory);
    const auto add = [&](const char* variable, const char* account, const char* fileKey) {
        if (environment.value(QLatin1String(variable)).isEmpty())
            if (const auto key = resolveKey(sources, file, variable, account, fileKey).value)
                environment.insert(QLatin1String(variable), *key);
    };
    add("ANTHROPIC_API_KEY", platform::kAnthropicAccount, "anthropic_api_key");
    add("OPENAI_API_KEY", platform::kOpenAIAccount, "openai_api_key");
}

std::function<void(QProcessEnvironment&)> Configuration::agentCredentials(ConfigurationSources sources)
{
    return [sources = std::move(sources)](QProcessEnvironment& environment) { addAgentCredentials(sources, environment); };
}

QUrl Configuration::acceptBaseURL(const QString& text, const QString& origin)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    QString problem;
    if (!url.isValid() || url.host().isEmpty())
        problem = QStringLiteral("to nie jest poprawny adres");
    else if (url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        problem = QStringLiteral("adres nie może mieć zapytania, fragmentu ani danych logowania");
    else if (scheme == QLatin1String("http") || scheme == QLatin1String("ws")) {
        if (!isLoopbackHost(url.host()))
            problem = QStringLiteral("nieszyfrowane połączenie jest dozwolone tylko z tym komputerem");
    } else if (scheme != QLatin1String("https") && scheme != QLatin1String("wss"))
        problem = QStringLiteral("nieobsługiwany protokół");
    if (!problem.isEmpty()) {
        logLine(QStringLiteral("[konfiguracja] odrzucam adres usługi z %1 (%2): %3 — używam %4")
                    .arg(origin, text, problem, defaultBaseURL().toString()));
        return defaultBaseURL();
    }
    QUrl clean = url;
    clean.setPath(url.path().endsWith(QLatin1Char('/')) ? url.path().chopped(1) : url.path());
    return clean;
}

QUrl Configuration::realtimeURL(const QString& model) const
{
    QUrl url = openAIBaseURL;
    const QString scheme = url.scheme().toLower();
    url.setScheme(scheme == QLatin1String("http") || scheme == QLatin1String("ws") ? QStringLiteral("ws")
                                                                                  : QStringLiteral("wss"));
    url.setPath(url.path() + QStringLiteral("/v1/realtime"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("model"), model);
    url.setQuery(query);
    return url;
}

QUrl Configuration::endpointURL(const QString& path) const
{
    QUrl url = openAIBaseURL;
    const QString scheme = url.scheme().toLower();
    url.setScheme(scheme == QLatin1String("http") || scheme == QLatin1String("ws") ? QStringLiteral("http")
                                                                                  : QStringLiteral("https"));
    url.setPath(url.path() + path);
    return url;
}

} // namespace selvina::settings
