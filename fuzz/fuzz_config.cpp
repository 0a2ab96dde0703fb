// Loads arbitrary bytes as the contents of config.json and as a service base address.
#include "settings/Configuration.h"
#include "platform/fake/MemoryStores.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

using namespace selvina;

// A refused address is logged, and the log writes on its own thread, whose jobs are delivered only
// while an application object exists, as it always does in the program; without one every line
// would stay queued in memory for the whole run.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    platform::fake::MemorySecretStore secrets;
    platform::fake::MemoryPreferences prefs;
    // The text goes straight to the reading that load() hands the file's bytes to: no file per run.
    const settings::ConfigurationSources sources{QString(), &secrets, &prefs, QProcessEnvironment()};
    const settings::Configuration c = settings::Configuration::fromConfigText(sources, bytes);
    if (c.overlayOpacity < 0 || c.overlayOpacity > 1 || c.realtimeModel.isEmpty())
        __builtin_trap();
    // The key comes from the text alone here (no environment, an empty keyring).
    if (c.openAIKey.source != settings::KeySource::none && c.openAIKey.source != settings::KeySource::file)
        __builtin_trap();
    (void)c.realtimeURL(c.realtimeModel);
    (void)settings::Configuration::acceptBaseURL(QString::fromUtf8(bytes), QStringLiteral("fuzz"));
    return 0;
}
