// selvina-voice: the assistant's entry point.
// Thread: main thread.
#include "app/Configuration.h"
#include "app/SessionDump.h"
#include "core/Paths.h"
#include "core/SidecarLog.h"
#include "platform/linux/secret/LibsecretStore.h"
#include "platform/linux/settings/IniPreferences.h"
#include "settings/SpeechPreferences.h"

#include <QCoreApplication>

#include <cstdio>

using namespace selvina;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("selvina-voice"));

    platform::LibsecretStore secrets;
    platform::IniPreferences preferences(paths::configFile(QStringLiteral("preferences.ini")));
    settings::SpeechPreferences speech(preferences);

    if (qgetenv("SELVINA_DUMP_SESSION") == "1") {
        app::ConfigurationSources sources{paths::configDirectory(), &secrets, &preferences};
        const QByteArray dump = app::sessionDump(speech.snapshot(), app::Configuration::openAIKeySource(sources));
        std::fwrite(dump.constData(), 1, size_t(dump.size()), stdout);
        std::fflush(stdout);
        return 0;
    }

    std::fputs("selvina-voice: rozmowa głosowa nie jest jeszcze zbudowana w tej wersji; "
               "dostępny jest tryb SELVINA_DUMP_SESSION=1.\n",
               stderr);
    return 2;
}
