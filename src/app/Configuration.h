// Configuration: keys and model names from config.json, the secret store, the environment and the
// preferences, each overriding the one before; and the service's base address.
// Thread: main thread (reads files and the secret store synchronously).
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

#include <optional>

namespace selvina::platform {
class SecretStore;
class Preferences;
} // namespace selvina::platform

namespace selvina::app {

// Where the configuration is read from; the application passes the real ones, tests their own.
struct ConfigurationSources {
    QString directory;                              // the configuration folder
    platform::SecretStore* secrets = nullptr;      // may be null: no secret store
    platform::Preferences* preferences = nullptr;  // may be null
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};

enum class KeySource { environment, keychain, file, none };
QString describe(KeySource source); // "zmienna środowiskowa", "pęk kluczy", "config.json", "BRAK"

struct Configuration {
    std::optional<QString> openAIKey;
    std::optional<QString> anthropicKey;
    QString realtimeModel = QStringLiteral("gpt-realtime-2.1");
    QString visionModel = QStringLiteral("gpt-5.6-sol");
    QString claudeModelNote = QStringLiteral("claude-opus-5");
    double overlayOpacity = 0.55;
    // Base of every service address: SELVINA_OPENAI_BASE_URL, else "openai_base_url", else the default.
    QUrl openAIBaseURL = defaultBaseURL();

    static Configuration load(const ConfigurationSources& sources);
    // The speech key alone, read afresh: environment, secret store, then a non-empty file value.
    static std::optional<QString> resolvedOpenAIKey(const ConfigurationSources& sources);
    static KeySource openAIKeySource(const ConfigurationSources& sources);

    static QUrl defaultBaseURL() { return QUrl(QStringLiteral("https://api.openai.com")); }
    // The base address after the safety rule: https/wss anywhere, http/ws only on loopback.
    // A refused text is logged and the default returned.
    static QUrl acceptBaseURL(const QString& text, const QString& origin);

    // wss://host/v1/realtime?model=<model> (ws:// for a loopback http base).
    QUrl realtimeURL(const QString& model) const;
    // https://host + path, for the HTTP endpoints.
    QUrl endpointURL(const QString& path) const;
};

} // namespace selvina::app
