#include "KeyringFixture.h"

#include <QProcess>

#include <gtest/gtest.h>

using namespace selvina::platform;

TEST_F(Keyring, WriteReadReplaceRemove)
{
    const QString account = QLatin1String(kOpenAIAccount);
    const QString other = QLatin1String(kAnthropicAccount);
    EXPECT_FALSE(store.read(account));
    ASSERT_TRUE(store.write(QStringLiteral("  sk-pierwszy\n"), account));
    EXPECT_EQ(store.read(account), QStringLiteral("sk-pierwszy"));
    ASSERT_TRUE(store.write(QStringLiteral("sk-drugi-żółw"), account));
    EXPECT_EQ(store.read(account), QStringLiteral("sk-drugi-żółw"));
    EXPECT_FALSE(store.read(other)); // accounts are separate
    EXPECT_TRUE(store.remove(account));
    EXPECT_FALSE(store.read(account));
    EXPECT_TRUE(store.remove(account)); // nothing to remove still succeeds
    // A whitespace-only write removes the item; with no item it still succeeds.
    EXPECT_TRUE(store.write(QStringLiteral(" \t\n"), other));
    ASSERT_TRUE(store.write(QStringLiteral("ant-key"), other));
    EXPECT_TRUE(store.write(QStringLiteral("   "), other));
    EXPECT_FALSE(store.read(other));
    // An item stored by another program under our attributes with an empty secret reads as absent.
    QProcess p;
    p.start(QStringLiteral("secret-tool"), {QStringLiteral("store"), QStringLiteral("--label=pusty"),
                                            QStringLiteral("service"), QLatin1String(kSecretService),
                                            QStringLiteral("account"), account});
    ASSERT_TRUE(p.waitForStarted());
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_FALSE(store.read(account));
}

TEST(SecretStoreWithoutBus, ReadsAbsentAndReportsFailure)
{
    const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/selvina-bus");
    {
        LibsecretStore store(std::chrono::milliseconds(2000));
        EXPECT_FALSE(store.read(QLatin1String(kOpenAIAccount)));
        EXPECT_FALSE(store.write(QStringLiteral("sk-x"), QLatin1String(kOpenAIAccount)));
        EXPECT_EQ(store.store(QStringLiteral("sk-x"), QLatin1String(kOpenAIAccount)), SecretOutcome::noService);
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
}
