// The real MATE and Xfce desktops on X11: Xvfb, the desktop's own window manager (marco, xfwm4)
// and panel (mate-panel, xfce4-panel) on a private session bus with its accessibility bus, started
// once per desktop, and the real selvina-voice against the loopback realtime service. The tray item
// must reach the panel's own StatusNotifierWatcher with its menu readable, the shortcut and Escape
// must pass the window manager (and a change of keyboard layout), the mark must stay above a
// full-screen window without taking its clicks, the screen tools must read, work and capture an
// application of the desktop, and a panel that restarts must get the item again.
#include "AccessibilityBus.h"
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
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

using namespace selvina::testing;

namespace {

bool eventually(const std::function<bool()>& c) { return waitFor(c, std::chrono::seconds(20)); }

const QString kCombo = QStringLiteral("ctrl+alt+super+space");
constexpr int kWidth = 1280, kHeight = 1024;
constexpr std::uint32_t kGreen = 0x00FF00;

// A tool called as the model calls it; answers the output the assistant sent back.
using ToolCall = std::function<QString(const QString& name, const QString& arguments)>;

// The identifier a read gave the element on the line that holds `part` (the first such line).
QString idOn(const QString& read, const QString& part)
{
    const QStringList lines = read.split(QLatin1Char('\n')).filter(part);
    const auto m = QRegularExpression(QStringLiteral("\\[(e\\d+)\\]")).match(lines.value(0));
    return m.hasMatch() ? m.captured(1) : QStringLiteral("e0");
}

QString act(const char* action, const QString& id, const QString& value = {})
{
    QJsonObject args{{"action", action}, {"element_id", id}};
    if (!value.isNull())
        args.insert(QStringLiteral("value"), value);
    return QString::fromUtf8(QJsonDocument(args).toJson(QJsonDocument::Compact));
}

// MATE's launcher editor: a name and a command typed into its fields, then "Ok" writes the launcher.
// Its fields carry no labels of their own: the name field has the focus at the start, the
// command field stands just before "Browse...".
void createLauncher(const ToolCall& tool, const QString& read, const QString& folder)
{
    const QStringList lines = read.split(QLatin1Char('\n'));
    const qsizetype browse = lines.indexOf(QRegularExpression(QStringLiteral(".*„Browse...”.*")));
    ASSERT_GT(browse, 0) << read.toStdString();
    const QString name = idOn(read, QStringLiteral("pole tekstowe (fokus)")), command = idOn(lines[browse - 1], QStringLiteral("pole tekstowe"));
    EXPECT_EQ(tool(QStringLiteral("control_ui"), act("set_value", name, QStringLiteral("Notatki"))), u"Wpisałem „Notatki” w pole tekstowe.");
    EXPECT_EQ(tool(QStringLiteral("control_ui"), act("set_value", command, QStringLiteral("true"))), u"Wpisałem „true” w pole tekstowe.");
    EXPECT_EQ(tool(QStringLiteral("control_ui"), act("press", idOn(read, QStringLiteral("przycisk „Ok”")))), u"Nacisnąłem przycisk „Ok”.");
    QByteArray launcher;
    EXPECT_TRUE(eventually([&] { return !(launcher = readFile(folder + QStringLiteral("/Notatki.desktop"))).isEmpty(); }))
        << QDir(folder).entryList().join(' ').toStdString();
    EXPECT_TRUE(launcher.contains("\nName=Notatki\n") && launcher.contains("\nExec=true\n")) << launcher.toStdString();
}

// Xfce's window manager settings: a press on a theme in the list selects it, and the window manager's
// settings store has it.
void chooseTheme(const ToolCall& tool, const QString& read, const QString&)
{
    const auto theme = [] {
        QProcess query;
        query.start(QStringLiteral("xfconf-query"), {"-c", "xfwm4", "-p", "/general/theme"});
        query.waitForFinished(5000);
        return QString::fromUtf8(query.readAllStandardOutput()).trimmed();
    };
    ASSERT_TRUE(read.contains(QStringLiteral("komórka „Default” (wybrane)"))) << read.toStdString();
    tool(QStringLiteral("control_ui"), act("press", idOn(read, QStringLiteral("komórka „Daloa”"))));
    EXPECT_TRUE(eventually([&] { return theme() == u"Daloa"; })) << theme().toStdString();
    EXPECT_TRUE(tool(QStringLiteral("read_screen"), QStringLiteral("{}")).contains(QStringLiteral("komórka „Daloa” (wybrane)")));
}

// The top-level window (the client's, below the window manager's frame) with this exact title; 0 when none.
xcb_window_t windowNamed(const char* title)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"), {"search", "--name", QStringLiteral("^%1$").arg(QString::fromLatin1(title))});
    search.waitForFinished(5000);
    return QString::fromLatin1(search.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts).value(0).toUInt();
}

// A client window's size with the frame the window manager drew around it (_NET_FRAME_EXTENTS).
QSize framedSize(xcb_window_t window)
{
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 18, "_NET_FRAME_EXTENTS"), nullptr);
    auto* extents = xcb_get_property_reply(c, xcb_get_property(c, 0, window, atom ? atom->atom : 0, XCB_ATOM_CARDINAL, 0, 4), nullptr);
    auto* geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    QSize size;
    if (geometry != nullptr) {
        std::uint32_t frame[4] = {0, 0, 0, 0}; // left, right, top, bottom
        if (extents != nullptr && xcb_get_property_value_length(extents) == 16)
            std::memcpy(frame, xcb_get_property_value(extents), 16);
        size = QSize(int(geometry->width + frame[0] + frame[1]), int(geometry->height + frame[2] + frame[3]));
    }
    std::free(atom), std::free(extents), std::free(geometry);
    xcb_disconnect(c);
    return size;
}

// The picture describe_visual last put into the conversation, decoded.
QImage lastPicture(const LoopbackRealtimeServer& server)
{
    QImage picture;
    for (const QJsonObject& f : server.framesOfType(QStringLiteral("conversation.item.create")))
        for (const QJsonValue part : f[QStringLiteral("item")].toObject()[QStringLiteral("content")].toArray())
            if (part[QStringLiteral("type")].toString() == u"input_image")
                picture.loadFromData(QByteArray::fromBase64(part[QStringLiteral("image_url")].toString().section(QLatin1Char(','), 1).toLatin1()), "JPEG");
    return picture;
}

struct Desktop {
    const char* name;
    const char* currentDesktop; // XDG_CURRENT_DESKTOP
    const char* windowManager;
    const char* panel;
    const char* trayProcess; // what the process owning the panel's watcher runs
    const char* application; // a GTK 3 application of the desktop
    const char* folderOption; // the option that gives it a folder of its own, if it takes one
    const char* windowTitle;
    // Acts in the application's window through control_ui, given the first read of it, and checks
    // what the application did.
    void (*useApplication)(const ToolCall& tool, const QString& read, const QString& folder);
};

void PrintTo(const Desktop& desktop, std::ostream* out) { *out << desktop.name; }

class RealPanel : public ::testing::TestWithParam<Desktop> {};

TEST_P(RealPanel, TheItemTheKeysTheMarkAndTheScreenToolsWorkInTheRealDesktop)
{
    const Desktop& desktop = GetParam();
    for (const char* program : {desktop.windowManager, desktop.panel})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            GTEST_SKIP() << program << " is not installed (scripts/setup installs it)";

    SoundServer sound;
    ASSERT_TRUE(sound.up());
    AssistantProcess app(QStringLiteral(SELVINA_VOICE_BIN), [&](const QJsonObject& f) { completeAnswersSilently(app, f); });
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
    ASSERT_FALSE(startAccessibilityBus().isEmpty());
    app.useDesktopAudio(sound.address());
    const auto log = [&] { return app.runLog(); };
    const auto said = [&] { return app.said(); };

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
    FullScreenWindow other(0, 0, kWidth, kHeight, kGreen);
    ASSERT_TRUE(eventually([&] { return other.pixel(kWidth / 2, kHeight / 2) == kGreen; }));
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"windowactivate", "--sync", QString::number(other.id)}), 0);
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"key", kCombo}), 0);
    ASSERT_TRUE(eventually([&] { return app.server().hasClient(); })) << said();
    EXPECT_TRUE(eventually([&] { return other.pixel(kWidth / 2, kHeight / 2) != kGreen; })) << "the mark is not over the window";
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"mousemove", QString::number(kWidth / 2), QString::number(kHeight / 2), "click", "1"}), 0);
    EXPECT_TRUE(eventually([&] { return other.clicked(); })) << "the mark took the click";

    // The desktop's own application in front. What the model calls, the way it calls it: read_screen
    // lists the window, control_ui acts in it (checked in what the application did), take_screenshot
    // and describe_visual capture that window and nothing else.
    QTemporaryDir work;
    QProcess application;
    application.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    application.start(QString::fromLatin1(desktop.application), desktop.folderOption ? QStringList{QString::fromLatin1(desktop.folderOption), work.path()} : QStringList{});
    xcb_window_t window = 0;
    ASSERT_TRUE(eventually([&] { return (window = windowNamed(desktop.windowTitle)) != 0; })) << desktop.application;
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"windowactivate", "--sync", QString::number(window)}), 0);
    const QSize framed = framedSize(window);
    const ToolCall tool = [&](const QString& name, const QString& arguments) { return app.callTool(name, arguments); };
    const QString read = tool(QStringLiteral("read_screen"), QStringLiteral("{}"));
    EXPECT_TRUE(read.startsWith(QStringLiteral("Aplikacja: %1 · Okno: „%2”\n").arg(desktop.application, desktop.windowTitle)))
        << read.toStdString();
    const QString shot = tool(QStringLiteral("take_screenshot"), QStringLiteral(R"({"scope":"active_window"})"));
    EXPECT_TRUE(shot.startsWith(QStringLiteral("Zrzut ekranu: aktywne okno „%1”").arg(desktop.windowTitle))) << shot.toStdString();
    EXPECT_TRUE(shot.contains(QStringLiteral("(oryginalnie %1×%2 px)").arg(framed.width()).arg(framed.height())))
        << shot.toStdString() << " " << framed.width() << "x" << framed.height();
    EXPECT_EQ(tool(QStringLiteral("describe_visual"), QStringLiteral(R"({"scope":"active_window"})")),
              u"Obraz z ekranu dołączony do rozmowy. Opisz, co na nim widzisz.");
    const QImage picture = lastPicture(app.server());
    EXPECT_EQ(picture.size(), framed);
    EXPECT_NE(picture.pixel(picture.width() / 2, picture.height() / 2) & 0xFFFFFF, kGreen) << "the window under it was captured";
    desktop.useApplication(tool, read, work.path());
    stopProcess(application);

    // Escape, in silence once every response has finished (those the assistant asked for and
    // those that called the tools), closes.
    const auto silent = [&] {
        return app.assistantStderr().count("zdarzenie: responseFinished")
               == app.server().framesOfType(QStringLiteral("response.create")).size() + app.toolCalls();
    };
    ASSERT_TRUE(eventually(silent)) << said();
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"key", "Escape"}), 0);
    ASSERT_TRUE(eventually([&] { return !app.server().hasClient(); })) << said();
    EXPECT_TRUE(eventually([&] { return log().count(QStringLiteral("[esc] klawisz doszedł")) == 1; })) << said();

    // The user switches to another keyboard layout while the keys are grabbed: the grabs follow
    // the new map, and the shortcut and Escape still work.
    ASSERT_EQ(QProcess::execute(QStringLiteral("setxkbmap"), {"-layout", "fr"}), 0);
    settle(std::chrono::milliseconds(500)); // the new map's notifications reach the assistant first
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"key", kCombo}), 0);
    ASSERT_TRUE(eventually([&] { return app.server().hasClient(); })) << said();
    ASSERT_TRUE(eventually(silent)) << said();
    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {"key", "Escape"}), 0);
    ASSERT_TRUE(eventually([&] { return !app.server().hasClient(); })) << said();
    EXPECT_TRUE(eventually([&] { return log().count(QStringLiteral("[esc] klawisz doszedł")) == 2; })) << said();

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
                         ::testing::Values(Desktop{"Mate", "MATE", "marco", "mate-panel", "notification-area-applet", "mate-desktop-item-edit", "--create-new",
                                                   "Create Launcher", createLauncher},
                                           Desktop{"Xfce", "XFCE", "xfwm4", "xfce4-panel", "libsystray.so", "xfwm4-settings", nullptr, "Window Manager",
                                                   chooseTheme}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
