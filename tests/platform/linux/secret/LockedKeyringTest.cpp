// Runs after every other keyring test: it leaves the login collection locked.
#include "KeyringFixture.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace selvina::platform;

TEST_F(Keyring, LockedKeyringAnswersAbsentWithoutHanging)
{
    ASSERT_TRUE(store.write(QStringLiteral("sk-zamkniety"), QLatin1String(kOpenAIAccount)));
    ASSERT_TRUE(lockLoginCollection());
    LibsecretStore quick(std::chrono::milliseconds(1500), std::chrono::milliseconds(5000));
    QElapsedTimer t;
    t.start();
    const auto value = quick.read(QLatin1String(kOpenAIAccount));
    EXPECT_LT(t.elapsed(), 10000);
    // Either the daemon refuses the prompt at once or the time-out cancels it; both read as absent.
    EXPECT_FALSE(value);
    // A change asks the keyring to unlock; with no one to answer its prompt, it is refused as locked
    // (or, with a prompt left open, given up on), and the item keeps its value.
    const SecretOutcome changed = quick.store(QStringLiteral("sk-nowy"), QLatin1String(kOpenAIAccount));
    EXPECT_TRUE(changed == SecretOutcome::locked || changed == SecretOutcome::timedOut) << int(changed);
}
