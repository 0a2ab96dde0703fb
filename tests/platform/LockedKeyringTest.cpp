// Runs after every other keyring test: it leaves the login collection locked.
#include "platform/linux/secret/LibsecretStore.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

using namespace selvina::platform;

namespace {

// Runs only where the test script started an unlocked keyring in a private session bus.
class Keyring : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariable("SELVINA_TEST_KEYRING") != QLatin1String("1"))
            GTEST_SKIP() << "no private keyring (scripts/test starts one)";
        store.remove(QLatin1String(kOpenAIAccount));
        store.remove(QLatin1String(kAnthropicAccount));
    }
    static bool lockLoginCollection()
    {
        QProcess p;
        p.start(QStringLiteral("dbus-send"),
                {QStringLiteral("--session"), QStringLiteral("--print-reply"),
                 QStringLiteral("--dest=org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
                 QStringLiteral("org.freedesktop.Secret.Service.Lock"),
                 QStringLiteral("array:objpath:/org/freedesktop/secrets/collection/login")});
        return p.waitForFinished(10000) && p.exitCode() == 0;
    }
    LibsecretStore store;
};

} // namespace

TEST_F(Keyring, LockedKeyringAnswersAbsentWithoutHanging)
{
    ASSERT_TRUE(store.write(QStringLiteral("sk-zamkniety"), QLatin1String(kOpenAIAccount)));
    ASSERT_TRUE(lockLoginCollection());
    LibsecretStore quick(std::chrono::milliseconds(1500));
    QElapsedTimer t;
    t.start();
    const auto value = quick.read(QLatin1String(kOpenAIAccount));
    EXPECT_LT(t.elapsed(), 10000);
    // Either the daemon refuses the prompt at once or the time-out cancels it; both read as absent.
    EXPECT_FALSE(value);
}
