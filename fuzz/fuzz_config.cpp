// Loads arbitrary bytes as config.json and as a service base address.
#include "settings/Configuration.h"
#include "platform/fake/MemoryStores.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

using namespace selvina;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        QFile f(QDir(dir.path()).filePath(QStringLiteral("config.json")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(bytes);
    }
    platform::fake::MemorySecretStore secrets;
    platform::fake::MemoryPreferences prefs;
    settings::ConfigurationSources sources{dir.path(), &secrets, &prefs, QProcessEnvironment()};
    const settings::Configuration c = settings::Configuration::load(sources);
    if (c.overlayOpacity < 0 || c.overlayOpacity > 1 || c.realtimeModel.isEmpty())
        __builtin_trap();
    (void)c.realtimeURL(c.realtimeModel);
    (void)settings::Configuration::resolveOpenAIKey(sources);
    (void)settings::Configuration::acceptBaseURL(QString::fromUtf8(bytes), QStringLiteral("fuzz"));
    return 0;
}
