// The main thread while the keyring never answers: a private session bus on which a stand-in owns
// the Secret Service and leaves every call unanswered. Measures how long the configuration takes to
// load on the main thread right after the key store is made (its first read still hanging), how long
// starting a save takes there, and the longest gap of a 5 ms timer over the next 4 s. Goal: no gap
// over 50 ms.
#include "Processes.h"
#include "settings/Configuration.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/secret/LibsecretStore.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace selvina;

namespace {

// Takes every call to the Secret Service and answers none.
class SilentService final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage&, const QDBusConnection&) override { return true; }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QProcess daemon;
    const QString address = testing::startSessionBus(daemon);
    if (address.isEmpty()) {
        std::printf("no dbus-daemon\n");
        return 1;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    QDBusConnection stand = QDBusConnection::connectToBus(address, QStringLiteral("stand-in"));
    SilentService silent;
    stand.registerVirtualObject(QStringLiteral("/org/freedesktop/secrets"), &silent, QDBusConnection::SubPath);
    stand.registerService(QStringLiteral("org.freedesktop.secrets"));

    QTemporaryDir home;
    platform::LibsecretStore keyring(std::chrono::milliseconds(3000), std::chrono::milliseconds(3000));
    platform::fake::MemoryPreferences preferences;
    QElapsedTimer t;
    t.start();
    settings::CachedSecretStore keys(keyring);
    const settings::ConfigurationSources sources{home.path(), &keys, &preferences, QProcessEnvironment()};
    const bool hasKey = settings::Configuration::load(sources).openAIKey.value.has_value();
    const double loadMs = double(t.nsecsElapsed()) / 1e6;
    t.restart();
    QFuture<platform::SecretOutcome> saving = keys.storeLater(QStringLiteral("sk-bench"), QLatin1String(platform::kOpenAIAccount));
    const double saveMs = double(t.nsecsElapsed()) / 1e6;

    // The event loop's longest gap while the reads and the save hang and then give up.
    double worst = 0;
    QElapsedTimer tick;
    tick.start();
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        worst = std::max(worst, double(tick.nsecsElapsed()) / 1e6 - 5.0);
        tick.restart();
    });
    timer.start(5);
    QTimer::singleShot(4000, &app, &QCoreApplication::quit);
    app.exec();
    std::printf("store made + configuration loaded on the main thread: %7.2f ms (key %s)\n", loadMs, hasKey ? "read" : "absent");
    std::printf("save started on the main thread:                     %7.2f ms\n", saveMs);
    std::printf("longest main-thread gap over 4 s (5 ms timer):      %7.2f ms   goal < 50 ms\n", worst);
    std::printf("first read finished: %s; save outcome: %s\n", keys.ready().isFinished() ? "yes" : "no",
                saving.isFinished() ? (saving.result() == platform::SecretOutcome::timedOut ? "timedOut" : "other") : "pending");
    saving.waitForFinished();
    testing::stopProcess(daemon);
    return 0;
}
