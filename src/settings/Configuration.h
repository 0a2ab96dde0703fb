// Configuration: keys and model names from config.json, the secret store, the environment and the
// preferences, each overriding the one before; and the service's base address.
// Thread: main thread (reads the files synchronously; the secret store through CachedSecretStore).
#pragma once

#include "core/SerialWorker.h"
#include "platform/SecretStore.h"

#include <QFuture>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

namespace selvina::platform {
class Preferences;
} // namespace selvina::platform

namespace selvina::settings {

// The secret store as the main thread sees it: the two API keys are read on a worker when it is made
// and again whenever the Secret Service reports a change, so that a slow, locked or prompting keyring
// never holds up the main thread: until the first read has answered, the keys read as absent (ready()
// tells when it has). Other accounts, and write() and remove(), wait for the worker; storeLater() and
// eraseLater() do not.
// Thread: main thread; the inner store is called off it only: on the worker, and the two keys' reads
// each on a thread of their own, so the inner store must take calls from several threads at once.
class CachedSecretStore final : public QObject, public platform::SecretStore {
    Q_OBJECT
public:
    explicit CachedSecretStore(platform::SecretStore& inner, QObject* parent = nullptr);

    // The copy of the two keys (absent before the first read has answered); other accounts wait.
    std::optional<QString> read(const QString& account) override;
    bool write(const QString& value, const QString& account) override;
    bool remove(const QString& account) override;
    // The first read of the keys has answered (or given up).
    QFuture<void> ready() const { return m_first; }
    // A change on the worker; the future finishes once the copy holds the keys read after it.
    QFuture<platform::SecretOutcome> storeLater(const QString& value, const QString& account);
    QFuture<platform::SecretOutcome> eraseLater(const QString& account);
    // Reads the keys again; the future finishes once the copy holds what was read.
    QFuture<void> refresh();

private Q_SLOTS:
    void secretsChanged();

private:
    void readKeys(); // worker
    template <typename F>
    auto thenReadKeys(F job); // runs the job on the worker and reads the copy again

    platform::SecretStore& m_inner;
    std::mutex m_mutex;
    std::map<QString, std::optional<QString>> m_keys; // guarded by m_mutex
    std::atomic<bool> m_refreshQueued{false};
    QFuture<void> m_first;
    SerialWorker m_worker{QStringLiteral("selvina.keyring")}; // last: stops before the state above
};

// Where the configuration is read from; the application passes the real ones, tests their own.
struct ConfigurationSources {
    QString directory;                              // the configuration folder
    platform::SecretStore* secrets = nullptr;      // may be null: no secret store
    platform::Preferences* preferences = nullptr;  // may be null
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};

// Where a key was found: OPENAI_API_KEY, the Secret Service keyring, or config.json.
enum class KeySource { environment, keyring, file, none };
QString describe(KeySource source); // "zmienna środowiskowa", "pęk kluczy", "config.json", "BRAK"

// A key together with where it came from; an empty value anywhere counts as no key.
struct ResolvedKey {
    std::optional<QString> value;
    KeySource source = KeySource::none;
    bool operator==(const ResolvedKey&) const = default;
};

// The wake-phrase detector's tuning from config.json: "wake_threshold" (0 < t < 1) and "wake_windows"
// (1 to 10 consecutive windows); absent or out of range: the model's own.
struct WakeTuning {
    std::optional<double> threshold;
    std::optional<int> windows;
    // Reads config.json alone: no keyring, so it never waits.
    static WakeTuning load(const QString& configDirectory);
};

struct Configuration {
    ResolvedKey openAIKey;
    ResolvedKey anthropicKey;
    QString realtimeModel = QStringLiteral("gpt-realtime-2.1");
    QString visionModel = QStringLiteral("gpt-5.6-sol");
    QString claudeModelNote = QStringLiteral("claude-opus-5");
    double overlayOpacity = 0.55;
    // Base of every service address: SELVINA_OPENAI_BASE_URL, else "openai_base_url", else the default.
    QUrl openAIBaseURL = defaultBaseURL();

    static Configuration load(const ConfigurationSources& sources);
    // The same, with `configText` standing for the contents of config.json (load() reads the file,
    // an empty text when it is missing, unreadable or runaway, and hands the bytes here).
    static Configuration fromConfigText(const ConfigurationSources& sources, const QByteArray& configText);
    // The speech key alone, read afresh (the engine asks again before each connection): the
    // environment, then the keyring, then config.json.
    static ResolvedKey resolveOpenAIKey(const ConfigurationSources& sources);
    // The keys the agents log in with (ANTHROPIC_API_KEY, and OPENAI_API_KEY for the OpenAI
    // engine), from the keyring or config.json, put into `environment` where it has none of its own.
    // Reads the keyring's cached answer only: it never waits.
    static void addAgentCredentials(const ConfigurationSources& sources, QProcessEnvironment& environment);
    // The same, bound to `sources`: for the places that start or judge the agents later.
    static std::function<void(QProcessEnvironment&)> agentCredentials(ConfigurationSources sources);

    static QUrl defaultBaseURL() { return QUrl(QStringLiteral("https://api.openai.com")); }
    // The base address after the safety rule: https/wss anywhere, http/ws only on loopback.
    // A refused text is logged and the default returned.
    static QUrl acceptBaseURL(const QString& text, const QString& origin);

    // wss://host/v1/realtime?model=<model> (ws:// for a loopback http base).
    QUrl realtimeURL(const QString& model) const;
    // https://host + path, for the HTTP endpoints.
    QUrl endpointURL(const QString& path) const;
};

} // namespace selvina::settings
