// A locked keyring whose unlock prompt shows on a screen and is never answered, as when a blind
// user cannot see it: a private bus, gnome-keyring and its prompter on an X server of their own.
#include "BareXDisplay.h"
#include "Processes.h"
#include "LoopbackRealtimeServer.h"

#include "platform/linux/secret/LibsecretStore.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace selvina::platform;
using namespace selvina::testing;
using namespace std::chrono_literals;

namespace {

// `call` on a thread of its own; empty when it has not come back within `within` (the thread is
// then left behind, as the call may never return).
template <typename F>
auto within(std::chrono::milliseconds limit, F call) -> std::optional<decltype(call())>
{
    auto task = std::make_shared<std::packaged_task<decltype(call())()>>(std::move(call));
    auto answer = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (answer.wait_for(limit) != std::future_status::ready)
        return std::nullopt;
    return answer.get();
}

TEST(KeyringPrompt, AnUnlockPromptNobodyAnswersEndsTheCallsInTheirTime)
{
    XServer screen("1024x768x24");
    ASSERT_FALSE(screen.number().empty());
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral("run")));
    QFile::setPermissions(home.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    for (const auto& [name, value] : {std::pair{"HOME", home.path()}, {"XDG_DATA_HOME", home.filePath(QStringLiteral("share"))},
                                      {"XDG_RUNTIME_DIR", home.filePath(QStringLiteral("run"))},
                                      {"DISPLAY", QStringLiteral(":") + QString::fromStdString(screen.number())}})
        qputenv(name, value.toUtf8());
    QProcess bus;
    const QString address = startSessionBus(bus);
    ASSERT_FALSE(address.isEmpty());
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    QProcess keyring;
    keyring.start(QStringLiteral("gnome-keyring-daemon"), {"--foreground", "--unlock", "--components=secrets"});
    ASSERT_TRUE(keyring.waitForStarted(5000));
    keyring.write("selvina-test");
    keyring.closeWriteChannel();
    QDBusConnection connection = QDBusConnection::connectToBus(address, QStringLiteral("prompt-test"));
    ASSERT_TRUE(LoopbackRealtimeServer::waitFor([&] { return connection.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value(); }));

    const QString account = QLatin1String(kOpenAIAccount);
    LibsecretStore store(1000ms, 5000ms);
    ASSERT_TRUE(store.write(QStringLiteral("sk-zamkniety"), account));
    QDBusMessage lock = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
                                                       QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
    lock << QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/collection/login"))});
    ASSERT_EQ(connection.call(lock).type(), QDBusMessage::ReplyMessage);

    // The read asks the keyring to unlock: the prompter's window shows, and the read's time runs out.
    const auto read = within(10s, [&] { return store.read(account); });
    ASSERT_TRUE(read.has_value()) << "the read never came back";
    EXPECT_FALSE(*read);
    EXPECT_TRUE(connection.interface()->isServiceRegistered(QStringLiteral("org.gnome.keyring.SystemPrompter")).value())
        << "no unlock prompt was shown";
    // Again, with the first call's prompt perhaps still on the screen; and a change the same.
    const auto again = within(10s, [&] { return store.read(account); });
    ASSERT_TRUE(again.has_value()) << "the second read never came back";
    EXPECT_FALSE(*again);
    const auto changed = within(15s, [&] { return store.store(QStringLiteral("sk-nowy"), account); });
    ASSERT_TRUE(changed.has_value()) << "the change never came back";
    EXPECT_TRUE(*changed == SecretOutcome::locked || *changed == SecretOutcome::timedOut) << int(*changed);

    // This time the user answers the prompt the change brings up: the change is made, and the next
    // read answers with it.
    auto answered = std::async(std::launch::async, [&] { return store.store(QStringLiteral("sk-odblokowany"), account); });
    const bool typed = QProcess::execute(QStringLiteral("xdotool"),
                                         {"search", "--sync", "--name", "Unlock Login Keyring", "windowfocus", "--sync", "type",
                                          "--delay", "20", "selvina-test"}) == 0
                       && QProcess::execute(QStringLiteral("xdotool"), {"key", "Return"}) == 0;
    EXPECT_TRUE(typed);
    ASSERT_EQ(answered.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answered.get(), SecretOutcome::done);
    EXPECT_EQ(store.read(account), QStringLiteral("sk-odblokowany"));

    QDBusConnection::disconnectFromBus(QStringLiteral("prompt-test"));
    stopProcess(keyring);
    stopProcess(bus);
}

} // namespace
