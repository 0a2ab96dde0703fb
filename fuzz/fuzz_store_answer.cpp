// Takes arbitrary bytes as the store program's answer, as the plug-in store reads it.
#include "core/Clock.h"
#include "plugins/PluginCatalog.h"
#include "plugins/PluginStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

using namespace selvina;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir config;
    static SystemClock clock;
    static plugins::PluginCatalog catalog;
    static plugins::PluginStore store(clock, catalog, plugins::PluginStore::Options{{}, {}, {}, config.path(), {}});
    const QJsonDocument answer = QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!answer.isObject())
        return 0;
    store.apply(answer.object());
    return 0;
}
