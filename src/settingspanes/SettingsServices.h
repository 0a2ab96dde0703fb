// What the reasoning and speech panes need beyond the speech preferences, made in one place from
// the application's configuration: the reasoning preferences, the model catalogue and the voice
// sample, all reaching the service at the configured base address with the resolved key.
// Thread: main thread.
#pragma once

#include "settings/Configuration.h"
#include "settings/ModelCatalog.h"
#include "settings/ReasoningPreferences.h"
#include "settings/VoicePreview.h"

#include <memory>

namespace selvina::settingspanes {

// The configured base address and the OpenAI key, both read afresh on each request.
settings::ServiceAccess serviceAccess(const settings::ConfigurationSources& sources);

struct SettingsServices {
    std::unique_ptr<settings::ReasoningPreferences> reasoning; // config.json of sources.directory
    std::unique_ptr<settings::ModelCatalog> catalog;           // models-cache.json beside it
    std::unique_ptr<settings::VoicePreview> preview;
};

// `sources.preferences` must be set (the voice effort lives there); the engines are detected in
// the user's environment and home folder.
SettingsServices makeSettingsServices(const settings::ConfigurationSources& sources, platform::AudioDevices& devices,
                                      platform::SystemLog& log, Clock& clock);

} // namespace selvina::settingspanes
