// The real MATE and Xfce desktops on X11: Xvfb, the desktop's own window manager (marco, xfwm4)
// and panel (mate-panel, xfce4-panel) on a private session bus, started once per desktop, and the
// real selvina-voice against the loopback realtime service. The tray item must reach the panel's
// own StatusNotifierWatcher with its menu readable, the shortcut and Escape must pass the window
// manager, the mark must stay above a full-screen window without taking its clicks, and a panel
// that restarts must get the item again.
#include "AssistantProcess.h"
#include "BareXDisplay.h"
#include "FullScreenWindow.h"
#include "SoundServer.h"
#include "StandInTray.h"
#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

using namespace selvina::testing;

namespace {

bool eventually(const std::function<bool()>& c) { return waitFor(c, std::chrono::seconds(20)); }

const QString kCombo = QStringLiteral("ctrl+alt+super+space");
constexpr int kWidth = 1280, kHeight = 1024;

struct Desktop {
    const char* name;
    const char* currentDesktop; // XDG_CURRENT_DESKTOP
    const char* windowManager;
    const char* panel;
    const char* trayProcess; // what the process owning the panel's watcher runs
};

class RealPanel : public ::testing::TestWithParam<Desktop> {};

TEST_P(RealPanel, TheItemReachesTheRealPanelAndTheKeysAndTheMarkWorkUnderItsWindowManager)
{
    const Desktop& desktop = GetParam();
    for (const char* program : {desktop.windowManager, desktop.panel})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            GTEST_SKIP() << program << " is not installed (scripts/setup installs it)";

    SoundServer sound;
    ASSERT_TRUE(sound.up());
    AssistantProcess app(QStringLiteral(SELVINA_VOICE_BIN), [&](const QJsonObject& f) {
        if (f[QStringLiteral("type")].toString() == u"response.create") // a silent greeting, then listening
            app.server().sendText(R"({"type":"response.done","response":{"status":"completed"}})");
    });
    ASSERT_TRUE(app.startBus());
    // The window manager and the panel live on the assistant's bus, as in one login session; their
    // settings stay in memory, and the panel's D-Bus-started plug-ins must find the display.
    qputenv("DBUS_SESSION_BUS_ADDRESS", app.busAddress().toUtf8());
    qputenv("GSETTINGS_BACKEND", "memory");
    qputenv("XDG_CURRENT_DESKTOP", desktop.currentDesktop);
    qputenv("XDG_SESSION_TYPE", "x11");
    qunsetenv("WAYLAND_DISPLAY");
    BareXDisplay display("1280x1024x24", {desktop.windowManager});
    ASSERT_TRUE(display.ok()) << desktop.windowManager << " did not come up";
    ASSERT_EQ(QProcess::execute(QStringLiteral("dbus-update-activation-environment"),
                                {"DISPLAY", "GSETTINGS_BACKEND", "XDG_CURRENT_DESKTOP", "HOME"}),
              0);
    app.setVariable(QStringLiteral("SELVINA_TEXT"), QString());
    app.setVariable(QStringLiteral("SELVINA_TRACE"), QStringLiteral("1"));
    app.setVariable(QStringLiteral("PULSE_SERVER"), sound.address());
    const auto log = [&] { return QString::fromUtf8(readFile(app.home() + QStringLiteral("/state/selvina-voice/sidecar.log"))); };
    const auto said = [&] { return app.assistantStderr().toStdString() + log().toStdString(); };

    // Selvina first, the panel after it, as when the autostart wins the race.
    ASSERT_TRUE(app.startAssistant());
    ASSERT_TRUE(eventually([&] { return log().contains(QStringLiteral("[skrót] ")); })) << said();
    EXPECT_FALSE(log().contains(QStringLiteral("[menu] ikona w zasobniku gotowa")));
    QProcess panel;
    panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    panel.start(QString::fromLatin1(desktop.panel), QStringList{});
    ASSERT_TRUE(panel.waitForStarted(5000));

    // The item is in the panel's own watcher, which the panel's notification-area plug-in runs.
    QDBusConnection bus = QDBusConnection::connectToBus(app.busAddress(), QStringLiteral("panel-bus"));
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QStringList items;
    ASSERT_TRUE(eventually([&] {
        items = busProperty(bus, watcher, "/StatusNotifierWatcher", watcher, "RegisteredStatusNotifierItems").toStringList();
        return !items.isEmpty();
    })) << bus.interface()->registeredServiceNames().value().join(' ').toStdString() << "\n" << said();
    ASSERT_TRUE(log().contains(QStringLiteral("[menu] ikona w zasobniku gotowa"))) << said();
    const uint watcherPid = bus.interface()->servicePid(watcher).value();
    EXPECT_TRUE(readFile(QStringLiteral("/proc/%1/cmdline").arg(watcherPid)).contains(desktop.trayProcess));
    EXPECT_TRUE(busProperty(bus, watcher, "/StatusNotifierWatcher", watcher, "IsStatusNotifierHostRegistered").toBool());

    // Its menu, read as the panel reads it.
    ASSERT_EQ(items.size(), 1) << items.join(' ').toStdString();
    const ItemSeen item = readItem(bus, items.first());
    EXPECT_EQ(item.id, u"selvina-voice");
    ASSERT_TRUE(item.error.isEmpty()) << item.error.toStdString();
    EXPECT_NE(item.menu.value(QStringLiteral("Zakończ")).id, 0);
    const MenuEntry wake = item.menu.value(QStringLiteral("Reaguj na „hej Selvina”"));
    EXPECT_EQ(wake.toggleType, u"checkmark");
    EXPECT_EQ(wake.toggleState, 1);

    // A full-screen window of another client, focused: the shortcut still reaches Selvina, whose
    // mark is drawn over the window without taking its clicks.
    constexpr std::uint32_t kGreen = 0x00FF00;
    FullScreenWindow other(0, 0, kWidth, kHeight, kGreen);
    ASSERT_TRUE(eventually([&] { return other.pixel(kWidth / 2, kHeight / 2) == kGreen; }));
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"windowactivate", "--sync", QString::number(other.id)}), 0);
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"key", kCombo}), 0);
    ASSERT_TRUE(eventually([&] { return app.server().hasClient(); })) << said();
    EXPECT_TRUE(eventually([&] { return other.pixel(kWidth / 2, kHeight / 2) != kGreen; })) << "the mark is not over the window";
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"mousemove", QString::number(kWidth / 2), QString::number(kHeight / 2), "click", "1"}), 0);
    EXPECT_TRUE(eventually([&] { return other.clicked(); })) << "the mark took the click";

    // Escape, in silence after the greeting, closes.
    ASSERT_TRUE(eventually([&] { return app.assistantStderr().contains("zdarzenie: responseFinished"); })) << said();
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"key", "Escape"}), 0);
    ASSERT_TRUE(eventually([&] { return !app.server().hasClient(); })) << said();
    EXPECT_TRUE(log().contains(QStringLiteral("[esc] klawisz doszedł"))) << said();

    // The panel restarts (a crash, a settings change): its new watcher gets the item again.
    const auto registered = [&] {
        return !busProperty(bus, watcher, "/StatusNotifierWatcher", watcher, "RegisteredStatusNotifierItems").toStringList().isEmpty();
    };
    panel.terminate();
    ASSERT_TRUE(panel.waitForFinished(10000));
    ASSERT_TRUE(eventually([&] { return !bus.interface()->isServiceRegistered(watcher).value(); })) << "the watcher outlived its panel";
    panel.start(QString::fromLatin1(desktop.panel), QStringList{});
    ASSERT_TRUE(panel.waitForStarted(5000));
    EXPECT_TRUE(eventually(registered)) << said();

    EXPECT_EQ(app.stopAssistant(), 0) << said();
    QDBusConnection::disconnectFromBus(QStringLiteral("panel-bus"));
    panel.terminate();
    if (!panel.waitForFinished(5000))
        stopProcess(panel);
}

// One start of each desktop; the panels' notification areas are the plug-ins that own the watcher.
INSTANTIATE_TEST_SUITE_P(X11, RealPanel,
                         ::testing::Values(Desktop{"Mate", "MATE", "marco", "mate-panel", "notification-area-applet"},
                                           Desktop{"Xfce", "XFCE", "xfwm4", "xfce4-panel", "libsystray.so"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
