#include "settingspanes/SettingsServices.h"

#include <QDir>

namespace selvina::settingspanes {

settings::ServiceAccess serviceAccess(const settings::ConfigurationSources& sources)
{
    return {[sources](const QString& path) { return settings::Configuration::load(sources).endpointURL(path); },
            [sources] { return settings::Configuration::resolveOpenAIKey(sources).value; }};
}

SettingsServices makeSettingsServices(const settings::ConfigurationSources& sources, platform::AudioDevices& devices,
                                      platform::SystemLog& log, Clock& clock)
{
    const QDir folder(sources.directory);
    SettingsServices services;
    services.reasoning = std::make_unique<settings::ReasoningPreferences>(
        folder.filePath(QStringLiteral("config.json")), *sources.preferences,
        [sources] {
            // Ready also with a key saved in the settings window, as the agents will be started.
            QProcessEnvironment environment = sources.environment;
            settings::Configuration::addAgentCredentials(sources, environment);
            return agent::EngineDetector(environment).states();
        });
    services.catalog = std::make_unique<settings::ModelCatalog>(
        serviceAccess(sources), folder.filePath(QStringLiteral("models-cache.json")), clock);
    services.preview = std::make_unique<settings::VoicePreview>(serviceAccess(sources), devices, log, clock);
    return services;
}

} // namespace selvina::settingspanes
