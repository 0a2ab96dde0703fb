// KDE Plasma on Wayland, in its real parts: KWin on a virtual output with Xwayland, on the assistant's
// private session bus, and the desktop portal with KDE's backend, started by the bus for it; the
// real selvina-voice against the loopback realtime service. The shortcut must be bound through the
// real GlobalShortcuts portal (KDE keeps it under the session's token in kglobalaccel), and a key
// chord entering KWin through its fake-input protocol must open and then close a conversation, with
// the mark (X11, through Xwayland) shown above a native Wayland window meanwhile. KWin alone has no
// tray: the user must hear what to add; Plasma's shell, started after it, gets the item in its tray.
#include "AssistantProcess.h"
#include "KWinFakeInput.h"
#include "KWinSession.h"
#include "SoundServer.h"
#include "StandInTray.h"
#include "TestSupport.h"
#include "platform/linux/atspi/AtspiDesktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QImage>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace selvina::testing;
namespace platform = selvina::platform;

namespace {

bool eventually(const std::function<bool()>& c, std::chrono::seconds within = std::chrono::seconds(30))
{
    return waitFor(c, within);
}

TEST(KdePlasmaWayland, TheRealPortalBindsTheShortcutKWinsKeyPressTogglesAConversationAndPlasmasTrayGetsTheItem)
{
    if (const QString missing = KWinSession::missing(); !missing.isEmpty())
        GTEST_SKIP() << missing.toStdString() << " is not installed (scripts/setup installs it)";

    // Made first, removed last: the bus's services (the document portal, the speech server) keep
    // files in it until the bus is gone.
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    SoundServer sound;
    ASSERT_TRUE(sound.up());
    AssistantProcess app(QStringLiteral(SELVINA_VOICE_BIN), [&](const QJsonObject& f) { completeAnswersSilently(app, f); });
    ASSERT_TRUE(app.startBus());
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // KDE's portal shows a new binding on System Settings' shortcuts page. This session has no System
    // Settings, and the portal hands the page's address to the web browser: a browser of its own
    // takes it (made the bus's BROWSER below).
    const QString pageAsked = app.home() + QStringLiteral("/page-asked");
    const QString browser = writeExecutable(app.home() + QStringLiteral("/bin/browser"),
                                            QStringLiteral("#!/bin/sh\necho \"$1\" >> '%1'\n").arg(pageAsked).toUtf8());
    // Two keyboard layouts, as a Polish user with a second script has them.
    writeFile(app.home() + QStringLiteral("/config/kxkbrc"), "[Layout]\nLayoutList=pl,ua\nUse=true\n");
    // KWin lets a program press keys when the program's desktop file says so: ours, as it is
    // installed, with this test in the assistant's place (the test types as the assistant would,
    // and presses the shortcut through the same protocol).
    const QString desktopFiles = app.home() + QStringLiteral("/desktop-files");
    const QString ours = QString::fromUtf8(readFile(QStringLiteral(SELVINA_DESKTOP_TEMPLATE)))
                             .replace(QStringLiteral("@SELVINA_INSTALLED_PROGRAM@"), QCoreApplication::applicationFilePath());
    writeFile(desktopFiles + QStringLiteral("/applications/selvina-voice.desktop"), ours.toUtf8());
    QProcessEnvironment kwinEnvironment = app.environment();
    kwinEnvironment.insert(QStringLiteral("XDG_DATA_DIRS"), desktopFiles + QStringLiteral(":/usr/local/share:/usr/share"));
    KWinSession kwin(kwinEnvironment, runtime.path());
    ASSERT_TRUE(kwin.ok()) << kwin.output().toStdString();
    QProcess toBus;
    toBus.setProcessEnvironment(app.environment());
    toBus.start(QStringLiteral("dbus-update-activation-environment"), {QStringLiteral("BROWSER=") + browser});
    ASSERT_TRUE(toBus.waitForFinished(10000) && toBus.exitCode() == 0);

    app.setVariable(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    app.setVariable(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
    app.setVariable(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    app.setVariable(QStringLiteral("WAYLAND_DISPLAY"), kwin.waylandDisplay());
    app.setVariable(QStringLiteral("DISPLAY"), kwin.xDisplay());
    app.useDesktopAudio(sound.address());
    const auto log = [&] { return app.runLog(); };
    const auto said = [&] { return app.said(); };
    ASSERT_TRUE(app.startAssistant());

    // The portal bound the default combination, with the keys KDE names it by, and KDE keeps it
    // under our session's token.
    ASSERT_TRUE(eventually([&] { return log().contains(QStringLiteral("[skrót] portal przypisał skróty: ")); })) << said();
    EXPECT_TRUE(log().contains(QStringLiteral("[skrót] portal przypisał skróty: Meta+Ctrl+Alt+Space"))) << said();
    EXPECT_FALSE(log().contains(QStringLiteral("Nie udało się przypisać skrótu"))) << said();
    // Escape cannot be had on this desktop: the first launch says so, and what interrupts instead.
    const QString noEscape = QStringLiteral("Na tym pulpicie w sesji Wayland klawisz Escape nie przerwie Selviny, bo pulpit "
                                            "nie pozwala aplikacjom go przechwycić — przerwiesz ją, zaczynając mówić.");
    EXPECT_TRUE(eventually([&] { return log().contains(noEscape); })) << said();
    QDBusConnection bus = QDBusConnection::connectToBus(app.busAddress(), QStringLiteral("kde-bus"));
    const QDBusMessage components = bus.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.kglobalaccel"), QStringLiteral("/kglobalaccel"), QStringLiteral("org.kde.KGlobalAccel"),
        QStringLiteral("allComponents")));
    ASSERT_EQ(components.type(), QDBusMessage::ReplyMessage) << components.errorMessage().toStdString();
    QStringList paths;
    for (const QDBusObjectPath& p : qdbus_cast<QList<QDBusObjectPath>>(components.arguments().value(0)))
        paths << p.path();
    EXPECT_TRUE(paths.contains(QStringLiteral("/component/selvina_voice"))) << paths.join(' ').toStdString();
    EXPECT_TRUE(eventually([&] { return readFile(pageAsked).contains("systemsettings://kcm_keys/selvina_voice"); }))
        << readFile(pageAsked).toStdString();

    // A native Wayland window covers the screen, focused.
    QProcess window;
    QProcessEnvironment windowEnvironment = app.environment();
    for (const auto& [name, value] : {std::pair{"GDK_BACKEND", QStringLiteral("wayland")},
                                      {"WAYLAND_DISPLAY", kwin.waylandDisplay()}, {"XDG_RUNTIME_DIR", runtime.path()}})
        windowEnvironment.insert(QString::fromLatin1(name), value);
    window.setProcessEnvironment(windowEnvironment);
    window.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(SELVINA_FULLSCREEN_WINDOW)});
    QByteArray windowSaid;
    ASSERT_TRUE(eventually([&] {
        windowSaid += window.readAllStandardOutput();
        return windowSaid.contains("fullscreen") || window.state() == QProcess::NotRunning;
    }));
    ASSERT_TRUE(windowSaid.contains("fullscreen")) << window.readAllStandardError().toStdString();
    const auto centre = [&] {
        const QImage screen = KWinSession::capture(bus);
        return screen.isNull() ? QRgb(0) : screen.pixel(screen.width() / 2, screen.height() / 2) & 0xFFFFFF;
    };
    constexpr QRgb kGreen = 0x00FF00;
    ASSERT_TRUE(eventually([&] { return centre() == kGreen; })) << "KWin's screenshot shows " << std::hex << centre();

    // The chord, pressed as a keyboard would: KWin → kglobalaccel → the portal → Selvina. The mark
    // (an X11 window through Xwayland) shows above the native window.
    KWinFakeInput keyboard((runtime.path() + QLatin1Char('/') + kwin.waylandDisplay()).toStdString());
    ASSERT_TRUE(keyboard.ok()) << "KWin did not offer org_kde_kwin_fake_input";
    ASSERT_TRUE(keyboard.chord({KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA, KEY_SPACE}));
    ASSERT_TRUE(eventually([&] { return app.server().hasClient(); })) << said();
    EXPECT_TRUE(eventually([&] { return centre() != kGreen; })) << "the mark is not above the native window";
    ASSERT_TRUE(eventually([&] { return app.assistantStderr().contains("zdarzenie: responseFinished"); })) << said();
    // The whole screen through KDE's screenshot portal, which saves the picture in the Pictures
    // folder of a home that has none yet; the picture is not left there.
    const QString shot = app.callTool(QStringLiteral("take_screenshot"), QStringLiteral(R"({"scope":"full_screen"})"),
                                      std::chrono::seconds(60));
    EXPECT_TRUE(shot.startsWith(QStringLiteral("Zrzut ekranu: "))) << shot.toStdString() << said();
    EXPECT_TRUE(QDir(app.home() + QStringLiteral("/Pictures")).entryList(QDir::Files).isEmpty());
    // Pressed again, it closes the conversation, and the mark goes.
    ASSERT_TRUE(keyboard.chord({KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA, KEY_SPACE}));
    ASSERT_TRUE(eventually([&] { return !app.server().hasClient(); })) << said();
    EXPECT_TRUE(eventually([&] { return centre() == kGreen; })) << "the mark stayed";

    // The layout switches while the shortcut is held by the desktop: the same chord still opens and
    // closes (KDE binds it by key, and resolves it in every layout).
    const auto layout = [&](const char* method, const QVariantList& args = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.kde.keyboard"), QStringLiteral("/Layouts"),
                                                           QStringLiteral("org.kde.KeyboardLayouts"), QString::fromLatin1(method));
        call.setArguments(args);
        return bus.call(call, QDBus::Block, 5000);
    };
    const QDBusMessage switched = layout("setLayout", {uint(1)});
    ASSERT_EQ(switched.type(), QDBusMessage::ReplyMessage) << switched.errorMessage().toStdString();
    ASSERT_TRUE(eventually([&] { return layout("getLayout").arguments().value(0).toUInt() == 1; }));
    ASSERT_TRUE(keyboard.chord({KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA, KEY_SPACE}));
    ASSERT_TRUE(eventually([&] { return app.server().hasClient(); })) << said();
    ASSERT_TRUE(eventually([&] { return app.server().connectionCount() == 2; })) << said();
    ASSERT_TRUE(keyboard.chord({KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA, KEY_SPACE}));
    ASSERT_TRUE(eventually([&] { return !app.server().hasClient(); })) << said();
    window.terminate();
    window.waitForFinished(5000);

    // A native Wayland GTK window with controls, focused: read_screen names it and its elements
    // (through the accessibility bus the session bus starts), and control_ui presses its button.
    QProcess gtk;
    gtk.setProcessEnvironment(windowEnvironment);
    gtk.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(SELVINA_GTK_WINDOW)});
    QByteArray gtkSaid;
    const auto gtkOut = [&] { return gtkSaid += gtk.readAllStandardOutput(); };
    ASSERT_TRUE(eventually([&] { return gtkOut().contains("ready") || gtk.state() == QProcess::NotRunning; }));
    ASSERT_TRUE(gtkSaid.contains("ready")) << gtk.readAllStandardError().toStdString();
    ASSERT_TRUE(keyboard.chord({KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA, KEY_SPACE}));
    ASSERT_TRUE(eventually([&] { return app.server().connectionCount() == 3 && app.server().hasClient(); })) << said();
    const auto tool = [&](const QString& name, const QString& arguments) { return app.callTool(name, arguments); };
    QString screen;
    EXPECT_TRUE(eventually([&] {
        screen = tool(QStringLiteral("read_screen"), QStringLiteral(R"({"filter":"all"})"));
        return screen.contains(QStringLiteral("„Dodaj”"));
    })) << screen.toStdString();
    EXPECT_TRUE(screen.contains(QStringLiteral("Okno: „Zakupy GTK”"))) << screen.toStdString();
    EXPECT_TRUE(screen.contains(QStringLiteral("pole wyboru „Pilne”"))) << screen.toStdString();
    const QString button = QRegularExpression(QStringLiteral("\\[(e\\d+)\\][^\\n]*„Dodaj”")).match(screen).captured(1);
    ASSERT_FALSE(button.isEmpty()) << screen.toStdString();
    EXPECT_EQ(tool(QStringLiteral("control_ui"), QStringLiteral(R"({"action":"press","element_id":"%1"})").arg(button)),
              u"Nacisnąłem przycisk „Dodaj”.");
    EXPECT_TRUE(eventually([&] { return gtkOut().contains("clicked Dodaj"); })) << gtkSaid.toStdString();
    // Typing as keys (what a field that takes no text through the accessibility bus gets) goes
    // through KWin. The Ukrainian layout is active, which has no Latin letters: the Polish one is
    // switched to for the typing, and back after it.
    const QString field = QRegularExpression(QStringLiteral("\\[(e\\d+)\\] pole tekstowe[^\\n]*Nazwa produktu")).match(screen).captured(1);
    ASSERT_FALSE(field.isEmpty()) << screen.toStdString();
    EXPECT_TRUE(tool(QStringLiteral("control_ui"), QStringLiteral(R"({"action":"focus","element_id":"%1"})").arg(field))
                    .startsWith(QStringLiteral("Fokus jest teraz na")));
    for (const auto& [name, value] : {std::pair{"DBUS_SESSION_BUS_ADDRESS", app.busAddress()}, {"XDG_SESSION_TYPE", QStringLiteral("wayland")},
                                      {"WAYLAND_DISPLAY", kwin.waylandDisplay()}, {"XDG_RUNTIME_DIR", runtime.path()}})
        qputenv(name, value.toUtf8());
    ASSERT_TRUE(platform::AtspiDesktop().typeText(QStringLiteral("Mleko żółte, 2 l"),
                                                  platform::AccessibilityDesktop::Typing::replacingContents).ok());
    EXPECT_TRUE(eventually([&] { return gtkOut().contains("text: Mleko żółte, 2 l\n"); })) << gtkSaid.toStdString();
    EXPECT_EQ(layout("getLayout").arguments().value(0).toUInt(), 1u);
    // A character on no key of either layout: nothing is typed.
    EXPECT_EQ(platform::AtspiDesktop().typeText(QStringLiteral("中"), platform::AccessibilityDesktop::Typing::intoFocus).error().kind(),
              platform::AXError::Kind::valueRefused);
    ASSERT_TRUE(keyboard.chord({KEY_LEFTCTRL, KEY_LEFTALT, KEY_LEFTMETA, KEY_SPACE}));
    ASSERT_TRUE(eventually([&] { return !app.server().hasClient(); })) << said();
    gtk.terminate();
    gtk.waitForFinished(5000);

    // KWin without Plasma's shell has no tray: the user hears what to add, once.
    const QString trayAdvice = QStringLiteral("[mowa] Ikona Selvina nie pojawiła się w zasobniku systemowym. "
                                              "Dodaj do panelu element Zasobnik systemowy.");
    EXPECT_TRUE(eventually([&] { return log().contains(trayAdvice); }, std::chrono::seconds(60))) << said();
    EXPECT_EQ(log().count(trayAdvice), 1);
    EXPECT_EQ(log().count(noEscape), 1) << "said again with the conversations";

    // Plasma's shell comes later, as the session starts it: the activity manager it needs, KDE's
    // daemon with the StatusNotifierWatcher module (loaded in the session's second phase), then
    // plasmashell (on Xwayland: Qt 5's Wayland plug-in is not installed), whose system tray is the
    // host. The item reaches its watcher, with the menu readable.
    QProcessEnvironment plasmaEnvironment = windowEnvironment;
    plasmaEnvironment.remove(QStringLiteral("GDK_BACKEND"));
    plasmaEnvironment.insert(QStringLiteral("DISPLAY"), kwin.xDisplay());
    plasmaEnvironment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("KDE"));
    plasmaEnvironment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess activities, daemon, shell;
    for (auto& [process, program] : {std::pair<QProcess*, QString>{&activities, QStringLiteral("/usr/lib/x86_64-linux-gnu/libexec/kactivitymanagerd")},
                                     {&daemon, QStringLiteral("kded5")}}) {
        process->setProcessEnvironment(plasmaEnvironment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, QStringList{});
    }
    const auto registered = [&](const char* name) { return bus.interface()->isServiceRegistered(QString::fromLatin1(name)).value(); };
    ASSERT_TRUE(eventually([&] { return registered("org.kde.ActivityManager") && registered("org.kde.kded5"); }));
    const QDBusMessage load = bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.kde.kded5"), QStringLiteral("/kded"),
                                                                      QStringLiteral("org.kde.kded5"), QStringLiteral("loadModule"))
                                       << QStringLiteral("statusnotifierwatcher"));
    ASSERT_EQ(load.arguments().value(0).toBool(), true) << load.errorMessage().toStdString();
    shell.setProcessEnvironment(plasmaEnvironment);
    shell.start(QStringLiteral("plasmashell"), QStringList{});
    ASSERT_TRUE(shell.waitForStarted(10000));
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QStringList items;
    ASSERT_TRUE(eventually([&] {
        items = busProperty(bus, watcher, "/StatusNotifierWatcher", watcher, "RegisteredStatusNotifierItems").toStringList();
        return !items.isEmpty();
    }, std::chrono::seconds(90))) << said();
    QStringList names;
    EXPECT_TRUE(eventually([&] {
        names = bus.interface()->registeredServiceNames().value();
        return std::any_of(names.cbegin(), names.cend(), [&](const QString& name) {
            return name.startsWith(QStringLiteral("org.kde.StatusNotifierHost-"))
                   && bus.interface()->servicePid(name).value() == uint(shell.processId());
        });
    })) << "no host of plasmashell's among " << names.join(' ').toStdString();
    EXPECT_TRUE(busProperty(bus, watcher, "/StatusNotifierWatcher", watcher, "IsStatusNotifierHostRegistered").toBool());
    EXPECT_TRUE(eventually([&] { return log().contains(QStringLiteral("[menu] ikona w zasobniku gotowa")); })) << said();
    ASSERT_EQ(items.size(), 1) << items.join(' ').toStdString();
    const ItemSeen item = readItem(bus, items.first());
    EXPECT_EQ(item.id, u"selvina-voice");
    EXPECT_TRUE(item.error.isEmpty()) << item.error.toStdString();
    EXPECT_NE(item.menu.value(QStringLiteral("Zakończ")).id, 0);

    EXPECT_EQ(app.stopAssistant(), 0) << said();
    // The next login: the tray takes the item again, and what the first launch said is not said again.
    ASSERT_TRUE(app.startAssistant());
    EXPECT_TRUE(eventually([&] { return log().count(QStringLiteral("[menu] ikona w zasobniku gotowa")) == 2; })) << said();
    // What the launch says follows its audit; a sentence said again would come right after it.
    // (The network's row is the last; it says OK or BRAK as the machine has a route or not.)
    static const QRegularExpression lastRow(QStringLiteral("\\[uprawnienia\\] \\S+ +Sieć lokalna"));
    ASSERT_TRUE(eventually([&] { return log().count(lastRow) == 2; })) << said();
    waitFor([] { return false; }, std::chrono::seconds(2));
    EXPECT_EQ(log().count(noEscape), 1) << said();
    EXPECT_EQ(log().count(QStringLiteral("Selvina działa w tle.")), 1) << said();
    EXPECT_EQ(app.stopAssistant(), 0) << said();
    for (QProcess* process : {&shell, &daemon, &activities}) {
        process->terminate();
        if (!process->waitForFinished(5000))
            stopProcess(*process);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("kde-bus"));
}

} // namespace
