// End to end on a desktop: the real selvina-voice on Xvfb with a window manager, a private bus,
// a null-sink sound server and the loopback realtime service; keys come through XTEST, a
// stand-in tray host reads and clicks the menu, another X client holds keys first.
#include "AssistantProcess.h"
#include "SoundServer.h"
#include "XDisplay.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFile>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>

using namespace selvina::testing;

namespace {

const QString kCombo = QStringLiteral("ctrl+alt+super+space");

bool wait(const std::function<bool()>& c, int ms = 15000)
{
    return LoopbackRealtimeServer::waitFor(c, std::chrono::milliseconds(ms));
}

QString fileText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Another X client that holds keys before the assistant starts.
class OtherClient {
public:
    OtherClient() : m_c(xcb_connect(nullptr, nullptr)) {}
    ~OtherClient() { xcb_disconnect(m_c); }
    // Grabs the keycode with exactly these modifiers; true when the server agreed.
    bool grab(xcb_keycode_t code, std::uint16_t modifiers)
    {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
        xcb_generic_error_t* e = xcb_request_check(
            m_c, xcb_grab_key_checked(m_c, 1, root, modifiers, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(e);
        return e == nullptr;
    }

private:
    xcb_connection_t* m_c;
};

// Xvfb's default keymap: Space is keycode 65, Escape 9; Super is Mod4.
constexpr xcb_keycode_t kSpaceKey = 65, kEscapeKey = 9;
constexpr std::uint16_t kComboMask = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

} // namespace

// A tray host as the panels have it: a StatusNotifierWatcher that lists its properties in its
// introspection data (the toolkit reads IsStatusNotifierHostRegistered through it).
class StandInWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    QStringList items() const { return m_items; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QString itemService;
    QString itemPath;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message)
    {
        const bool isPath = serviceOrPath.startsWith(QLatin1Char('/'));
        itemService = isPath ? message.service() : serviceOrPath;
        itemPath = isPath ? serviceOrPath : QStringLiteral("/StatusNotifierItem");
        m_items.append(itemService + itemPath);
        Q_EMIT StatusNotifierItemRegistered(itemService);
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QStringList m_items;
};

namespace {

struct MenuEntry {
    int id = 0;
    QString label;
    QString toggleType;
    int toggleState = -1;
};

void readLayout(const QDBusArgument& arg, QList<MenuEntry>& out)
{
    int id = 0;
    QVariantMap props;
    arg.beginStructure();
    arg >> id >> props;
    out.append({id, props.value(QStringLiteral("label")).toString(), props.value(QStringLiteral("toggle-type")).toString(),
                props.value(QStringLiteral("toggle-state"), -1).toInt()});
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        readLayout(child.variant().value<QDBusArgument>(), out);
    }
    arg.endArray();
    arg.endStructure();
}

class DesktopShell : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_display = new XDisplay;
        s_sound = new SoundServer;
    }
    static void TearDownTestSuite()
    {
        delete s_sound;
        delete s_display;
    }

    void SetUp() override
    {
        ASSERT_TRUE(s_display->ok());
        ASSERT_TRUE(s_sound->up());
        m_app = std::make_unique<AssistantProcess>(QStringLiteral(SELVINA_VOICE_BIN), [this](const QJsonObject& f) { onFrame(f); });
        ASSERT_TRUE(m_app->startBus());
        m_app->setVariable(QStringLiteral("SELVINA_TEXT"), QString());
        m_app->setVariable(QStringLiteral("SELVINA_TRACE"), QStringLiteral("1"));
        m_app->setVariable(QStringLiteral("PULSE_SERVER"), s_sound->address());
        m_app->setVariable(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("x11"));
        m_app->setVariable(QStringLiteral("WAYLAND_DISPLAY"), QString());
    }

    // Started and past its shortcut registration.
    void start()
    {
        ASSERT_TRUE(m_app->startAssistant());
        ASSERT_TRUE(wait([&] { return log().contains(QStringLiteral("[skrót] ")); })) << stderrText();
    }
    QString log() const { return fileText(m_app->home() + QStringLiteral("/state/selvina-voice/sidecar.log")); }
    std::string stderrText() const { return m_app->assistantStderr().toStdString() + log().toStdString(); }
    LoopbackRealtimeServer& server() { return m_app->server(); }
    bool connected() { return wait([&] { return server().hasClient(); }); }
    bool disconnected() { return wait([&] { return !server().hasClient(); }); }
    // Some clearly audible 20 ms window among what the speakers played from `from` on.
    static bool heardSince(qsizetype from)
    {
        return wait([from] {
            for (qsizetype at = from; at + 960 <= s_sound->recorded.size(); at += 960)
                if (rms(s_sound->recorded.mid(at, 960)) > 0.02)
                    return true;
            return false;
        });
    }

    // The greeting is silent, or 4 s of speech in 100 ms deltas left open to be interrupted.
    void onFrame(const QJsonObject& f)
    {
        const QString type = f[QStringLiteral("type")].toString();
        if (type == u"response.create") {
            server().sendText(R"({"type":"response.created","response":{"id":"g"}})");
            if (!m_speakOnGreeting) {
                server().sendText(R"({"type":"response.done","response":{"status":"completed"}})");
                return;
            }
            const QByteArray voice = tone(4.0);
            for (qsizetype at = 0; at < voice.size(); at += 4800) {
                const QJsonObject delta{{"type", "response.output_audio.delta"},
                                        {"delta", QString::fromLatin1(voice.mid(at, 4800).toBase64())}};
                server().sendText(QJsonDocument(delta).toJson(QJsonDocument::Compact));
            }
        } else if (type == u"response.cancel") {
            server().sendText(R"({"type":"response.done","response":{"status":"cancelled"}})");
        }
    }

    static XDisplay* s_display;
    static SoundServer* s_sound;
    std::unique_ptr<AssistantProcess> m_app;
    bool m_speakOnGreeting = false;
};

XDisplay* DesktopShell::s_display = nullptr;
SoundServer* DesktopShell::s_sound = nullptr;

TEST_F(DesktopShell, TheShortcutOpensAndClosesEvenAfterTheKeyboardMapChanges)
{
    start();
    EXPECT_TRUE(log().contains(QStringLiteral("[skrót] wywołanie: Ctrl+Alt+Super+Spacja"))) << stderrText();
    if (s_sound->recorded.isEmpty())
        s_sound->record();

    ASSERT_TRUE(XDisplay::key(kCombo));
    ASSERT_TRUE(connected()) << stderrText();
    ASSERT_TRUE(wait([&] { return m_app->assistantStderr().contains("STAN"); })) << stderrText();
    const qsizetype beforeClose = s_sound->recorded.size();
    ASSERT_TRUE(XDisplay::key(kCombo));
    ASSERT_TRUE(disconnected()) << stderrText();
    EXPECT_TRUE(heardSince(beforeClose)) << "no end cue";

    // Space moves to another keycode: the grab follows it.
    ASSERT_EQ(QProcess::execute(QStringLiteral("xmodmap"), {QStringLiteral("-e"), QStringLiteral("keycode 65 = NoSymbol"),
                                                           QStringLiteral("-e"), QStringLiteral("keycode 200 = space")}), 0);
    ASSERT_TRUE(wait([&] { return log().contains(QStringLiteral("zmiana układu klawiatury")); })) << stderrText();
    const bool pressed = XDisplay::key(kCombo);
    const bool reopened = pressed && connected();
    QProcess::execute(QStringLiteral("xmodmap"), {QStringLiteral("-e"), QStringLiteral("keycode 200 = XF86TouchpadOn"),
                                                  QStringLiteral("-e"), QStringLiteral("keycode 65 = space")});
    EXPECT_TRUE(reopened) << stderrText();
    EXPECT_EQ(m_app->stopAssistant(), 0) << stderrText();
}

TEST_F(DesktopShell, EscapeInterruptsTheSpeechThenClosesInSilence)
{
    m_speakOnGreeting = true;
    start();
    ASSERT_TRUE(XDisplay::key(kCombo));
    ASSERT_TRUE(connected()) << stderrText();
    ASSERT_TRUE(wait([&] { return m_app->assistantStderr().contains("→ speaking"); })) << stderrText();

    ASSERT_TRUE(XDisplay::key(QStringLiteral("Escape")));
    ASSERT_TRUE(wait([&] { return !server().framesOfType(QStringLiteral("input_audio_buffer.clear")).isEmpty(); }))
        << stderrText();
    EXPECT_FALSE(server().framesOfType(QStringLiteral("response.cancel")).isEmpty());
    EXPECT_TRUE(server().hasClient());
    EXPECT_TRUE(log().contains(QStringLiteral("[esc] przerywalne: true")));

    ASSERT_TRUE(wait([&] { return m_app->assistantStderr().contains("→ listening"); })) << stderrText();
    ASSERT_TRUE(XDisplay::key(QStringLiteral("Escape")));
    ASSERT_TRUE(disconnected()) << stderrText();
    EXPECT_TRUE(log().contains(QStringLiteral("[esc] przerywalne: false"))) << stderrText();
    EXPECT_TRUE(log().contains(QStringLiteral("[esc] klawisz doszedł, na wierzchu: "))) << stderrText();
    EXPECT_EQ(m_app->stopAssistant(), 0) << stderrText();
}

// The combination and Escape are held by another client: the shortcut is refused and said, a
// second start wakes the first, and Escape still reaches it without being taken.
TEST_F(DesktopShell, TakenKeysAreRefusedOrWatchedAndASecondStartWakesTheFirst)
{
    OtherClient other;
    ASSERT_TRUE(other.grab(kSpaceKey, kComboMask));
    ASSERT_TRUE(other.grab(kEscapeKey, 0));
    start();
    ASSERT_TRUE(wait([&] { return log().contains(QStringLiteral("[mowa] Nie udało się")); })) << stderrText();
    EXPECT_TRUE(log().contains(QStringLiteral("[skrót] odmowa rejestracji Ctrl+Alt+Super+Spacja — status BadAccess (10)")));
    EXPECT_TRUE(log().contains(QStringLiteral("[mowa] Nie udało się przypisać skrótu Control plus Alt plus Super plus Spacja. "
                                              "Prawdopodobnie zajmuje go inna aplikacja.")))
        << stderrText();
    if (!QFile::exists(QStringLiteral("/run/systemd/journal/socket"))) {
        EXPECT_TRUE(wait([&] {
            return m_app->assistantStderr().contains(
                "[SelvinaVoice] Nie udało się zarejestrować skrótu Ctrl+Alt+Super+Spacja (status BadAccess (10))");
        }));
    }

    QProcess second;
    second.setProcessEnvironment(m_app->environment());
    second.start(QStringLiteral(SELVINA_VOICE_BIN), {});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_TRUE(connected()) << stderrText();
    EXPECT_EQ(server().connectionCount(), 1);

    // Escape during the greeting would interrupt it; in silence it closes.
    ASSERT_TRUE(wait([&] { return m_app->assistantStderr().contains("zdarzenie: responseFinished"); })) << stderrText();
    ASSERT_TRUE(XDisplay::key(QStringLiteral("Escape")));
    ASSERT_TRUE(disconnected()) << stderrText();
    EXPECT_TRUE(log().contains(QStringLiteral("słucham zdarzeń XInput 2 bez przechwytywania"))) << stderrText();
    EXPECT_EQ(m_app->stopAssistant(), 0) << stderrText();
}

TEST_F(DesktopShell, OfTwoStartsAtOnceOneSurvivesAndTheOtherWakesIt)
{
    QProcess twin;
    twin.setProcessEnvironment(m_app->environment());
    ASSERT_TRUE(m_app->startAssistant());
    twin.start(QStringLiteral(SELVINA_VOICE_BIN), {});
    ASSERT_TRUE(connected()) << stderrText();
    // The one that lost the name has ended with 0; the other, which opened the conversation, runs on.
    ASSERT_TRUE(wait([&] { return twin.state() == QProcess::NotRunning || !m_app->running(); })) << stderrText();
    const bool twinLost = twin.state() == QProcess::NotRunning;
    EXPECT_EQ(twinLost ? twin.exitCode() : m_app->stopAssistant(), 0);
    if (twinLost) {
        EXPECT_EQ(m_app->stopAssistant(), 0) << stderrText();
    } else {
        ::kill(pid_t(twin.processId()), SIGTERM);
        ASSERT_TRUE(twin.waitForFinished(8000));
        EXPECT_EQ(twin.exitCode(), 0);
    }
    EXPECT_EQ(server().connectionCount(), 1);
}

TEST_F(DesktopShell, WithoutAShortcutsPortalOnWaylandTheUserHearsHowToBindOne)
{
    m_app->setVariable(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    start();
    ASSERT_TRUE(wait([&] { return log().contains(QStringLiteral("[mowa] Nie udało się")); })) << stderrText();
    EXPECT_TRUE(log().contains(QStringLiteral("[mowa] Nie udało się przypisać skrótu Control plus Alt plus Super plus "
                                              "Spacja. Ten pulpit nie pozwala aplikacjom przypisać własnego skrótu.")))
        << stderrText();
    EXPECT_EQ(m_app->stopAssistant(), 0) << stderrText();
}

TEST_F(DesktopShell, TheTrayItemAppearsOnceAHostStartsAndItsMenuWorks)
{
    start();
    EXPECT_FALSE(log().contains(QStringLiteral("[menu] ikona w zasobniku gotowa")));

    QDBusConnection bus = QDBusConnection::connectToBus(m_app->busAddress(), QStringLiteral("tray-host"));
    ASSERT_TRUE(bus.isConnected());
    StandInWatcher watcher;
    ASSERT_TRUE(bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher, QDBusConnection::ExportAllContents));
    ASSERT_TRUE(bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")));
    ASSERT_TRUE(wait([&] { return !watcher.itemService.isEmpty(); })) << stderrText();

    const auto call = [&](const QString& path, const QString& interface, const QString& method, const QVariantList& args) {
        QDBusMessage message = QDBusMessage::createMethodCall(watcher.itemService, path, interface, method);
        message.setArguments(args);
        return bus.call(message, QDBus::Block, 5000).arguments();
    };
    const auto property = [&](const QString& name) {
        const QVariantList reply = call(watcher.itemPath, "org.freedesktop.DBus.Properties", "Get", {"org.kde.StatusNotifierItem", name});
        return reply.isEmpty() ? QVariant() : reply.first().value<QDBusVariant>().variant();
    };
    EXPECT_EQ(property(QStringLiteral("ToolTip")).value<QDBusArgument>().currentType(), QDBusArgument::StructureType);
    const QString menuPath = property(QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    ASSERT_FALSE(menuPath.isEmpty());
    const auto layout = [&] {
        const QVariantList reply = call(menuPath, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
        QList<MenuEntry> entries;
        if (reply.size() == 2)
            readLayout(reply.at(1).value<QDBusArgument>(), entries);
        return entries;
    };
    const auto click = [&](int id) {
        call(menuPath, "com.canonical.dbusmenu", "Event", {id, "clicked", QVariant::fromValue(QDBusVariant(QString())), 0u});
    };
    const auto entry = [](const QList<MenuEntry>& entries, const QString& label) {
        for (const MenuEntry& e : entries)
            if (e.label == label)
                return e;
        return MenuEntry{};
    };
    const QString wakeLabel = QStringLiteral("Reaguj na „hej Selvina”");
    QList<MenuEntry> entries = layout();
    EXPECT_NE(entry(entries, QStringLiteral("Zakończ")).id, 0);
    const MenuEntry wake = entry(entries, wakeLabel);
    ASSERT_NE(wake.id, 0) << entries.size();
    EXPECT_EQ(wake.toggleType, u"checkmark");
    EXPECT_EQ(wake.toggleState, 1);

    click(wake.id);
    ASSERT_TRUE(wait([&] { return log().contains(QStringLiteral("[wybudzanie] wyłączone przez użytkownika")); })) << stderrText();
    EXPECT_TRUE(fileText(m_app->home() + QStringLiteral("/.config/selvina-voice/preferences.ini"))
                    .contains(QStringLiteral("zawolanie=false")));
    EXPECT_TRUE(wait([&] { return entry(layout(), wakeLabel).toggleState == 0; }));

    // "Zakończ" quits, the orderly way.
    click(entry(layout(), QStringLiteral("Zakończ")).id);
    ASSERT_TRUE(wait([&] { return !bus.interface()->isServiceRegistered(QStringLiteral("pl.korlund.selvinavoice")).value(); }))
        << stderrText();
    EXPECT_EQ(m_app->stopAssistant(), 0) << stderrText();
    QDBusConnection::disconnectFromBus(QStringLiteral("tray-host"));
}

} // namespace

#include "DesktopShellTest.moc"
