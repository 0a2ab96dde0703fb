// GNOME Shell 43 on Wayland, started once for the whole program (headless, one virtual monitor,
// Xwayland, the appindicator extension enabled in its dconf settings), with the real selvina-voice
// in it against the loopback realtime service and a native Wayland GTK window beside it. The
// shortcut reaches Selvina through GNOME's own custom keybinding, run by the settings daemon's
// media-keys plugin, the tray item reaches the extension's watcher, the screen tools find the
// native window without X11's active window, and the screenshot portal gives a picture with the
// mark drawn over that window, or a refusal that says what to do.
#include "../platform/linux/atspi/DesktopFixture.h"
#include "AssistantProcess.h"
#include "GnomeShellSession.h"
#include "SoundServer.h"
#include "TestSupport.h"

#include "capture/ScreenCaptureProvider.h"
#include "platform/linux/atspi/AtspiDesktop.h"
#include "platform/linux/dbus/PortalScreenshot.h"
#include "platform/linux/gnome/GnomeCustomShortcut.h"
#include "tools/ScreenTools.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <gio/gio.h>

#include <thread>

using namespace selvina;
using namespace selvina::testing;
using platform::GnomeCustomShortcut;

namespace {

bool eventually(const std::function<bool()>& c, int seconds = 20) { return waitFor(c, std::chrono::seconds(seconds)); }

const QString kAppIndicator = QStringLiteral("ubuntu-appindicators@ubuntu.com");
const QString kUsersOwn = QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom0/");
// Control, Alt, Super and Space as X keysyms: the default invocation chord.
const QList<quint32> kChord{0xffe3, 0xffe9, 0xffeb, 0x20};

// Ended in reverse: the assistant (whose end may still start the speech service) before the
// session, which ends everything left in its runtime folder, before the sound server.
struct Session {
    SoundServer sound;
    std::unique_ptr<GnomeShellSession> gnome;
    AssistantProcess app{QStringLiteral(SELVINA_VOICE_BIN), [this](const QJsonObject& f) {
                             if (f[QStringLiteral("type")].toString() == u"response.create") // a silent greeting
                                 app.server().sendText(R"({"type":"response.done","response":{"status":"completed"}})");
                         }};
    QProcess gtk;
    QByteArray gtkOut;
    tools::ElementRegistry elements;
    std::shared_ptr<tools::AccessibilityAccess> access;
    QString skipped; // why nothing can run
    QString failed;  // what did not come up

    QString log() const { return app.runLog(); }
    std::string said() const { return app.assistantStderr().toStdString() + log().toStdString(); }
};
Session* g = nullptr;

QString gsettings(const QStringList& arguments)
{
    QProcess p;
    p.start(QStringLiteral("gsettings"), arguments);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString entry(const QString& path, const char* key)
{
    return gsettings({"get", GnomeCustomShortcut::kEntrySchema + QLatin1Char(':') + path, QLatin1String(key)});
}

template <typename T>
T result(QFuture<T> future)
{
    waitFor([&] { return future.isFinished(); }, std::chrono::seconds(15));
    return future.isFinished() ? future.result() : T{};
}

class GnomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        for (const char* program : {"gnome-shell", "Xwayland", "/usr/libexec/gsd-media-keys", "/usr/libexec/xdg-desktop-portal-gnome"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty() && !QFile::exists(QString::fromLatin1(program))) {
                g = new Session;
                g->skipped = QStringLiteral("%1 is not installed (scripts/setup installs it)").arg(QLatin1String(program));
                return;
            }
        g = new Session;
        if (!g->sound.up()) {
            g->failed = QStringLiteral("the sound server did not start");
            return;
        }
        // One home for the shell, its dconf and the assistant: the assistant reads the keybinding
        // that the tests write through the same settings.
        qputenv("HOME", g->app.home().toUtf8());
        qputenv("XDG_CONFIG_HOME", (g->app.home() + QStringLiteral("/config")).toUtf8());
        qputenv("XDG_STATE_HOME", (g->app.home() + QStringLiteral("/state")).toUtf8());
        qputenv("XDG_DATA_HOME", (g->app.home() + QStringLiteral("/data")).toUtf8());
        g->gnome = std::make_unique<GnomeShellSession>();
        if (!g->app.startBus()) {
            g->failed = QStringLiteral("the session bus did not start");
            return;
        }
        QString why;
        if (!g->gnome->start(g->app.busAddress(), {kAppIndicator}, &why)) {
            g->failed = why;
            return;
        }
        // GLib's shared session connection (dconf, the accessibility check) raises SIGTERM in this
        // process when its bus goes, and the bus goes before this process at the end. The reference
        // is kept, so that the connection with this setting is the one every later user shares.
        if (GDBusConnection* session = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr))
            g_dbus_connection_set_exit_on_close(session, FALSE);
        if (startAccessibilityBus().isEmpty()) {
            g->failed = QStringLiteral("the accessibility bus did not start");
            return;
        }
        // A native Wayland GTK window, focused as the last window opened.
        QObject::connect(&g->gtk, &QProcess::readyReadStandardOutput, [] { g->gtkOut += g->gtk.readAllStandardOutput(); });
        QProcessEnvironment gtkEnvironment = QProcessEnvironment::systemEnvironment();
        gtkEnvironment.insert(QStringLiteral("GDK_BACKEND"), QStringLiteral("wayland"));
        g->gtk.setProcessEnvironment(gtkEnvironment);
        g->gtk.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(SELVINA_GTK_WINDOW)});
        if (!eventually([] { return g->gtkOut.contains("ready"); })) {
            g->failed = QStringLiteral("the GTK window did not open: ") + QString::fromUtf8(g->gtk.readAllStandardError());
            return;
        }
        g->gnome->pressChord({0xff1b}); // out of the overview, should it still be open
        g->app.useDesktopAudio(g->sound.address());
        if (!g->app.startAssistant() || !eventually([] { return g->log().contains(QStringLiteral("[skrót] ")); })) {
            g->failed = QStringLiteral("selvina-voice did not start: ") + QString::fromStdString(g->said());
            return;
        }
        g->access = std::make_shared<tools::AccessibilityAccess>(std::make_unique<platform::AtspiDesktop>(), g->elements,
                                                                 QCoreApplication::applicationPid());
    }
    void TearDown() override
    {
        if (g == nullptr)
            return;
        g->access.reset();
        g->app.stopAssistant();
        stopProcess(g->gtk);
        delete g;
        g = nullptr;
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new GnomeEnvironment);

// The whole screen through the real portal, asked from a worker as the capture tools ask it.
Result<QImage, capture::ScreenCaptureError> screenshot(platform::PortalScreenshot& portal)
{
    std::optional<Result<QImage, capture::ScreenCaptureError>> out;
    std::thread worker([&] { out = portal.captureDisplay({}, {}); });
    waitFor([&] { return out.has_value(); }, std::chrono::seconds(30));
    worker.join();
    return *out;
}

QString read()
{
    return outcomeText(runTask(tools::ReadScreenTool(g->access).execute(QStringLiteral(R"({"filter":"all"})")),
                               std::chrono::seconds(10)));
}

// Both displays are set here, as in every GNOME session: the GUI runs on Xwayland, while the
// shortcut and the screenshots take the Wayland paths (the grab through Xwayland would fire only
// while an X11 window has the focus). The tray item is in the extension's watcher.
void TheItemReachesTheAppIndicatorWatcherAndTheWaylandPathsAreChosen()
{
    QDBusConnection bus = QDBusConnection::connectToBus(g->app.busAddress(), QStringLiteral("tray-bus"));
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    const auto items = [&] {
        QDBusMessage get = QDBusMessage::createMethodCall(watcher, "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties", "Get");
        get.setArguments({watcher, QStringLiteral("RegisteredStatusNotifierItems")});
        const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
        return reply.arguments().isEmpty() ? QStringList() : reply.arguments().first().value<QDBusVariant>().variant().toStringList();
    };
    EXPECT_TRUE(eventually([&] { return !items().isEmpty(); })) << g->said();
    EXPECT_TRUE(readFile(QStringLiteral("/proc/%1/cmdline").arg(bus.interface()->servicePid(watcher).value())).contains("gnome-shell"));
    EXPECT_TRUE(g->log().contains(QStringLiteral("[menu] ikona w zasobniku gotowa"))) << g->said();
    // The portal has no shortcuts in GNOME 43: said in the log only, the first launch asks about
    // GNOME's own keybinding instead.
    EXPECT_TRUE(eventually([] { return g->log().contains(QStringLiteral("[skrót] GNOME na Waylandzie")); })) << g->said();
    QDBusConnection::disconnectFromBus(QStringLiteral("tray-bus"));
}

// The user already has a keybinding of their own. Ours is added beside it, runs selvina-voice
// when the chord is pressed in the compositor (a second start wakes the first: the conversation
// opens, and the next press closes it), and is removed alone.
void OurKeybindingBesideTheUsersOwnOpensAndClosesAConversationAndIsRemovedAlone()
{
    const QString list = GnomeCustomShortcut::kListSchema;
    ASSERT_EQ(gsettings({"set", list, "custom-keybindings", QStringLiteral("['%1']").arg(kUsersOwn)}), QString());
    gsettings({"set", GnomeCustomShortcut::kEntrySchema + QLatin1Char(':') + kUsersOwn, "name", "Terminal"});
    gsettings({"set", GnomeCustomShortcut::kEntrySchema + QLatin1Char(':') + kUsersOwn, "command", "gnome-terminal"});
    gsettings({"set", GnomeCustomShortcut::kEntrySchema + QLatin1Char(':') + kUsersOwn, "binding", "<Super>t"});
    const auto usersOwnIntact = [] {
        EXPECT_EQ(entry(kUsersOwn, "name"), u"'Terminal'");
        EXPECT_EQ(entry(kUsersOwn, "command"), u"'gnome-terminal'");
        EXPECT_EQ(entry(kUsersOwn, "binding"), u"'<Super>t'");
    };

    // What the settings daemon runs: the same program in the same session as the running one.
    QString exports;
    const QProcessEnvironment environment = g->app.environment();
    for (const QString& name : environment.keys())
        exports += QStringLiteral("export %1='%2'\n").arg(name, environment.value(name).replace('\'', "'\\''"));
    const QString launcher = writeExecutable(g->app.home() + QStringLiteral("/bin/selvina-voice"),
                                             ("#!/bin/sh\n" + exports + "exec '" SELVINA_VOICE_BIN "' \"$@\"\n").toUtf8());
    GnomeCustomShortcut shortcut(launcher);
    ASSERT_EQ(result(shortcut.add(49, 0x1000 | 0x800 | 0x100)), GnomeCustomShortcut::Outcome::done);
    EXPECT_EQ(gsettings({"get", list, "custom-keybindings"}), QStringLiteral("['%1', '%2']").arg(kUsersOwn, GnomeCustomShortcut::kPath));
    usersOwnIntact();
    const GnomeCustomShortcut::State state = result(shortcut.read());
    EXPECT_TRUE(state.available);
    EXPECT_TRUE(state.ours);
    EXPECT_EQ(state.binding, u"<Control><Alt><Super>space");
    EXPECT_EQ(state.command, launcher + QStringLiteral(" --skrot"));
    // Added twice, listed once.
    ASSERT_EQ(result(shortcut.add(49, 0x1000 | 0x800 | 0x100)), GnomeCustomShortcut::Outcome::done);
    EXPECT_EQ(gsettings({"get", list, "custom-keybindings"}).count(GnomeCustomShortcut::kPath), 1);

    QString why;
    ASSERT_TRUE(g->gnome->startMediaKeys(&why)) << why.toStdString();
    // The plugin asks the shell for its keys after it has taken its bus name: a chord pressed
    // before that is lost, so it is pressed again until the binding has run once (a second start
    // says so in the log and wakes the first).
    const auto launches = [] { return g->log().count(QStringLiteral("[start] Selvina już działa")); };
    bool ran = false;
    for (int attempt = 0; attempt < 4 && !ran; ++attempt) {
        ASSERT_TRUE(g->gnome->pressChord(kChord));
        ran = eventually([&] { return launches() == 1; }, 8);
    }
    ASSERT_TRUE(ran) << g->gnome->mediaKeysLog().toStdString() << "\n" << g->said();
    ASSERT_TRUE(eventually([] { return g->app.server().hasClient(); })) << g->said();
    ASSERT_TRUE(eventually([] { return g->app.assistantStderr().contains("zdarzenie: responseFinished"); })) << g->said();

    // The mark, drawn by an X11 window through Xwayland, is over the native window; the window
    // keeps the keyboard (the mark takes no focus).
    platform::PortalScreenshot portal;
    ASSERT_TRUE(g->gnome->storeScreenshotAnswer(true));
    const auto withMark = screenshot(portal);
    ASSERT_TRUE(withMark.ok()) << withMark.error().description().toStdString();
    EXPECT_TRUE(read().contains(QStringLiteral("Okno: „Zakupy GTK”"))) << read().toStdString();

    // A full-screen native window opened during the conversation: the mark stays above it (its
    // colour, not the window's green, in the middle of the picture).
    {
        QProcess fullScreen;
        QByteArray out;
        QObject::connect(&fullScreen, &QProcess::readyReadStandardOutput, [&] { out += fullScreen.readAllStandardOutput(); });
        QProcessEnvironment wayland = QProcessEnvironment::systemEnvironment();
        wayland.insert(QStringLiteral("GDK_BACKEND"), QStringLiteral("wayland"));
        fullScreen.setProcessEnvironment(wayland);
        fullScreen.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(SELVINA_FULLSCREEN_WINDOW)});
        ASSERT_TRUE(eventually([&] { return out.contains("fullscreen"); })) << fullScreen.readAllStandardError().toStdString();
        settle(std::chrono::milliseconds(1500)); // the mark's re-raise
        const auto over = screenshot(portal);
        ASSERT_TRUE(over.ok());
        const QRgb centre = over.value().pixel(over.value().width() / 2, over.value().height() / 2);
        EXPECT_FALSE(qGreen(centre) > 200 && qRed(centre) < 60) << "the mark is below the full-screen window";
        // The picture the assistant hands the model leaves the mark out: the window's green is in
        // its middle.
        const QString described = g->app.callTool(QStringLiteral("describe_visual"), QStringLiteral(R"({"scope":"full_screen"})"),
                                                  std::chrono::seconds(60));
        EXPECT_TRUE(described.startsWith(QStringLiteral("Obraz z ekranu dołączony"))) << described.toStdString();
        QImage sent;
        eventually([&] {
            for (const QJsonObject& frame : g->app.server().framesOfType(QStringLiteral("conversation.item.create")))
                for (const QJsonValue& part : frame[QStringLiteral("item")][QStringLiteral("content")].toArray())
                    if (const QString url = part[QStringLiteral("image_url")].toString(); url.startsWith(u"data:image/jpeg;base64,"))
                        sent = QImage::fromData(QByteArray::fromBase64(url.mid(url.indexOf(u',') + 1).toLatin1()), "JPEG");
            return !sent.isNull();
        }, 10);
        ASSERT_FALSE(sent.isNull());
        const QRgb sentMiddle = sent.pixel(sent.width() / 2, sent.height() / 2);
        EXPECT_TRUE(qGreen(sentMiddle) > 200 && qRed(sentMiddle) < 60) << "the mark is in the assistant's picture";
        // A click where the mark is lands in the window below it: the desktop gives the whole mark
        // the pointer, so the mark leaves while the pointer comes over it, and comes back after.
        ASSERT_TRUE(g->gnome->clickAt(QPoint(over.value().width() / 2, over.value().height() / 2)));
        EXPECT_TRUE(eventually([&] { return out.contains("clicked"); })) << "the click stayed on the mark";
        EXPECT_TRUE(eventually([&] {
            const auto back = screenshot(portal);
            const QRgb middle = back.ok() ? back.value().pixel(back.value().width() / 2, back.value().height() / 2) : 0;
            return back.ok() && !(qGreen(middle) > 200 && qRed(middle) < 60);
        })) << "the mark did not come back";
        ASSERT_TRUE(g->gnome->pressChord(kChord));
        ASSERT_TRUE(eventually([&] { return launches() == 2; })) << g->said();
        stopProcess(fullScreen);
    }

    ASSERT_TRUE(eventually([] { return !g->app.server().hasClient(); })) << g->said();
    EXPECT_EQ(launches(), 2) << "one press, one start";
    ASSERT_TRUE(eventually([&] {
        const auto plain = screenshot(portal);
        return plain.ok() && plain.value() != withMark.value();
    })) << "the screen looked the same with the mark and without it";
    const auto plain = screenshot(portal);
    ASSERT_TRUE(plain.ok());
    // Where the screens differ is where the mark was. (Where the shell put the window varies with
    // its load; the full-screen case above checks the mark over a window's middle.)
    int differing = 0;
    const QImage a = withMark.value(), b = plain.value();
    for (int y = 0; y < a.height() && y < b.height(); y += 8)
        for (int x = 0; x < a.width() && x < b.width(); x += 8)
            differing += a.pixel(x, y) != b.pixel(x, y);
    EXPECT_GT(differing, 10);

    ASSERT_EQ(result(shortcut.remove()), GnomeCustomShortcut::Outcome::done);
    EXPECT_EQ(gsettings({"get", list, "custom-keybindings"}), QStringLiteral("['%1']").arg(kUsersOwn));
    usersOwnIntact();
    EXPECT_EQ(entry(GnomeCustomShortcut::kPath, "command"), u"''");
    EXPECT_FALSE(result(shortcut.read()).ours);
    // Removed again: nothing of the user's goes with it.
    ASSERT_EQ(result(shortcut.remove()), GnomeCustomShortcut::Outcome::done);
    EXPECT_EQ(gsettings({"get", list, "custom-keybindings"}), QStringLiteral("['%1']").arg(kUsersOwn));
}

// A native Wayland window has no _NET_ACTIVE_WINDOW: the accessibility tree's active frame names
// it, and its elements, whose screen positions the client does not know, are all listed and acted on.
void ReadScreenAndControlUiFindTheFocusedNativeWaylandWindow()
{
    QString screen;
    ASSERT_TRUE(eventually([&] {
        screen = read();
        return screen.contains("„Dodaj”") && screen.contains("Pozycja 1”");
    })) << screen.toStdString();
    EXPECT_TRUE(screen.contains(QStringLiteral("Okno: „Zakupy GTK”"))) << screen.toStdString();
    EXPECT_TRUE(screen.contains(QStringLiteral("pole wyboru „Pilne”"))) << screen.toStdString();
    const auto id = QRegularExpression(QStringLiteral("\\[(e\\d+)\\][^\\n]*„Dodaj”")).match(screen).captured(1);
    ASSERT_FALSE(id.isEmpty()) << screen.toStdString();
    const QString pressed = outcomeText(runTask(
        tools::ControlUITool(g->access).execute(QStringLiteral(R"({"action":"press","element_id":"%1"})").arg(id))));
    EXPECT_EQ(pressed, u"Nacisnąłem przycisk „Dodaj”.");
    EXPECT_TRUE(eventually([] { return g->gtkOut.contains("clicked Dodaj"); }));

    // Keys typed into a native window (what a web form's field needs, which takes no text set through
    // the accessibility interface) go through mutter, which finds each letter in the keyboard layout:
    // with the Polish one, Polish letters too. The old text is replaced.
    ASSERT_EQ(gsettings({"set", "org.gnome.desktop.input-sources", "sources", "[('xkb', 'pl')]"}), QString());
    const auto field = QRegularExpression(QStringLiteral("\\[(e\\d+)\\] pole tekstowe[^\\n]*Nazwa produktu")).match(screen).captured(1);
    ASSERT_FALSE(field.isEmpty()) << screen.toStdString();
    EXPECT_EQ(outcomeText(runTask(tools::ControlUITool(g->access).execute(
                  QStringLiteral(R"({"action":"set_value","element_id":"%1","value":"stare"})").arg(field)))),
              u"Wpisałem „stare” w pole tekstowe „Nazwa produktu”.");
    const QString focused = outcomeText(
        runTask(tools::ControlUITool(g->access).execute(QStringLiteral(R"({"action":"focus","element_id":"%1"})").arg(field))));
    ASSERT_TRUE(focused.startsWith(QStringLiteral("Fokus jest teraz na"))) << focused.toStdString();
    platform::AtspiDesktop keys;
    const auto typed = [&] { return read().contains(QStringLiteral("„Mleko żółte, 2 l”")); };
    for (int attempt = 0; attempt < 3 && !typed(); ++attempt) { // the shell takes the new layout a moment later
        ASSERT_TRUE(keys.typeText(QStringLiteral("Mleko żółte, 2 l"), platform::AccessibilityDesktop::Typing::replacingContents).ok());
        eventually(typed, 3);
    }
    EXPECT_TRUE(typed()) << read().toStdString();
}

// The portal's picture is the whole virtual monitor; a refusal stored by the desktop comes back
// as the sentence that says how to undo it, never as an empty picture.
void TheScreenshotPortalGivesThePictureOrSaysWhyNot()
{
    platform::PortalScreenshot portal;
    ASSERT_TRUE(g->gnome->storeScreenshotAnswer(true));
    EXPECT_TRUE(portal.accessGranted());
    const auto shot = screenshot(portal);
    ASSERT_TRUE(shot.ok()) << shot.error().description().toStdString();
    EXPECT_EQ(shot.value().size(), GnomeShellSession::kMonitor);
    EXPECT_TRUE(QDir(g->app.home()).entryList({QStringLiteral("Screenshot*.png")}, QDir::Files).isEmpty())
        << "the portal's file was left behind";

    ASSERT_TRUE(g->gnome->storeScreenshotAnswer(false));
    EXPECT_FALSE(portal.accessGranted());
    const auto refused = screenshot(portal);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), capture::ScreenCaptureError::Kind::permissionDenied);
    EXPECT_TRUE(refused.error().description().contains(QStringLiteral("nie ma zgody pulpitu na zrzuty ekranu")));

    // No answer stored: the portal asks. GNOME's question closed with Escape answers "no" and
    // stores it (response 2), so the sentence is the refusal's, whose remedy undoes that answer.
    ASSERT_TRUE(g->gnome->forgetScreenshotAnswer());
    std::optional<Result<QImage, capture::ScreenCaptureError>> dismissed;
    std::thread worker([&] { dismissed = portal.captureDisplay({}, {}); });
    for (int attempt = 0; attempt < 10 && !dismissed; ++attempt) {
        settle(std::chrono::milliseconds(1500)); // the question opening
        g->gnome->pressChord({0xff1b});
    }
    waitFor([&] { return dismissed.has_value(); }, std::chrono::seconds(10));
    worker.join();
    ASSERT_TRUE(dismissed.has_value());
    ASSERT_FALSE(dismissed->ok());
    EXPECT_EQ(dismissed->error().kind(), capture::ScreenCaptureError::Kind::permissionDenied)
        << dismissed->error().description().toStdString();
    EXPECT_FALSE(portal.accessGranted()) << "the refusal was not stored";
    ASSERT_TRUE(g->gnome->storeScreenshotAnswer(true));
}

// Xwayland missing (here: a start that is not given its display): the assistant runs without
// windows, and its launch says so, with the package to install, instead of the GNOME question
// that would send the user to a settings window that cannot open.
void WithoutXwaylandTheLaunchSaysWhatIsMissing()
{
    AssistantProcess bare(QStringLiteral(SELVINA_VOICE_BIN), {});
    ASSERT_TRUE(bare.startBus());
    bare.setVariable(QStringLiteral("DISPLAY"), QString());
    bare.setVariable(QStringLiteral("SELVINA_TEXT"), QString());
    bare.setVariable(QStringLiteral("PULSE_SERVER"), g->sound.address());
    ASSERT_TRUE(bare.startAssistant());
    const auto log = [&] { return bare.runLog(); };
    ASSERT_TRUE(eventually([&] { return log().contains(QStringLiteral("[mowa] ")); })) << bare.assistantStderr().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("nie działa Xwayland"))) << log().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("sudo apt install xwayland"))) << log().toStdString();
    EXPECT_FALSE(log().contains(QStringLiteral("Dodaj skrót do GNOME"))) << log().toStdString();
    EXPECT_EQ(bare.stopAssistant(), 0);
}

// One start of the shell for all of it (it takes some 20 s on a loaded machine); each part
// leaves the session as it found it.
TEST(GnomeWayland, TrayKeybindingScreenToolsScreenshotAndMarkInTheRealShell)
{
    ASSERT_NE(g, nullptr);
    if (!g->skipped.isEmpty())
        GTEST_SKIP() << g->skipped.toStdString();
    ASSERT_TRUE(g->failed.isEmpty()) << g->failed.toStdString();
    {
        SCOPED_TRACE("TheItemReachesTheAppIndicatorWatcherAndTheWaylandPathsAreChosen");
        TheItemReachesTheAppIndicatorWatcherAndTheWaylandPathsAreChosen();
    }
    {
        SCOPED_TRACE("ReadScreenAndControlUiFindTheFocusedNativeWaylandWindow");
        ReadScreenAndControlUiFindTheFocusedNativeWaylandWindow();
    }
    {
        SCOPED_TRACE("TheScreenshotPortalGivesThePictureOrSaysWhyNot");
        TheScreenshotPortalGivesThePictureOrSaysWhyNot();
    }
    {
        SCOPED_TRACE("OurKeybindingBesideTheUsersOwnOpensAndClosesAConversationAndIsRemovedAlone");
        OurKeybindingBesideTheUsersOwnOpensAndClosesAConversationAndIsRemovedAlone();
    }
    {
        SCOPED_TRACE("WithoutXwaylandTheLaunchSaysWhatIsMissing");
        WithoutXwaylandTheLaunchSaysWhatIsMissing();
    }
}

} // namespace
