// What a second start hands the running assistant.
#include "app/SingleInstance.h"

#include <gtest/gtest.h>

using selvina::app::SingleInstance;

TEST(SingleInstance, TheWakePayloadCarriesTheSettingsRequestAndTheActivationToken)
{
    QProcessEnvironment env;
    EXPECT_TRUE(SingleInstance::wakePayload(false, env).isEmpty());
    env.insert(QStringLiteral("DESKTOP_STARTUP_ID"), QStringLiteral("startup-1"));
    EXPECT_EQ(SingleInstance::wakePayload(false, env), (QVariantMap{{"activation_token", "startup-1"}}));
    env.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), QStringLiteral("xdg-2"));
    env.insert(QStringLiteral("SELVINA_SETTINGS"), QStringLiteral("1"));
    const bool settings = SingleInstance::settingsAsked({QStringLiteral("selvina-voice")}, env);
    const QVariantMap payload = SingleInstance::wakePayload(settings, env);
    EXPECT_EQ(payload, (QVariantMap{{"settings", "1"}, {"activation_token", "xdg-2"}}));
    const auto request = SingleInstance::wakeRequestFrom(payload);
    EXPECT_TRUE(request.settings);
    EXPECT_EQ(request.activationToken, u"xdg-2");
    EXPECT_TRUE(SingleInstance::settingsAsked({QStringLiteral("selvina-voice"), QStringLiteral("--ustawienia")}, {}));
    EXPECT_FALSE(SingleInstance::settingsAsked({QStringLiteral("--ustawienia")}, {})); // the program's own name
}
