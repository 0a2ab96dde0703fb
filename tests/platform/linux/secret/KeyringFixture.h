// The keyring test fixture: runs only inside the private keyring that scripts/test starts.
// Thread: the test's main thread.
#pragma once

#include "platform/linux/secret/LibsecretStore.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace selvina::platform {

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

} // namespace selvina::platform
