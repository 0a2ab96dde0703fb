// End to end on a desktop: the real selvina-voice on Xvfb with a window manager, a private bus,
// a private PulseAudio server whose speakers and microphone are null sinks, and the loopback
// realtime service; keys come through XTEST, a stand-in tray host reads and clicks the menu,
// another X client holds keys first.
#include "AssistantProcess.h"
#include "StandInTray.h"
#include "SoundServer.h"
#include "TestSupport.h"
#include "XDisplay.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>

using namespace selvina::testing;

namespace {

bool eventually(const std::function<bool()>& c) { return waitFor(c, std::chrono::seconds(15)); }

const QString kCombo = QStringLiteral("ctrl+alt+super+space");

// Another X client holds this keycode with exactly these modifiers; true when the server agreed.
// Xvfb's default keymap: Space is keycode 65, Escape 9; Super is Mod4.
bool grabElsewhere(xcb_connection_t* c, xcb_keycode_t code, std::uint16_t modifiers)
{
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_generic_error_t* e = xcb_request_check(
        c, xcb_grab_key_checked(c, 1, root, modifiers, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    std::free(e);
    return e == nullptr;
}

// One selvina-voice on the shared display and sound server, its greeting silent or a tone, and
// what a case looks at (the run log, standard error, the service's link, the microphone frames the
// service received).
class DesktopShell : public ::testing::Test {
protected:
    struct Greeting {
        double seconds = 0;        // of tone, in 100 ms deltas; 0: silent
        bool endsOnItsOwn = true;  // false: left open to be interrupted
    };

    static void SetUpTestSuite()
    {
        s_display = new XDisplay;
        s_sound = new SoundServer;
        if (s_sound->up())
            s_sound->record(); // what the speakers play, all along
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
        ASSERT_TRUE(app.startBus());
        app.useDesktopAudio(s_sound->address());
        app.setVariable(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("x11"));
        app.setVariable(QStringLiteral("WAYLAND_DISPLAY"), QString());
    }
    // Started and past its shortcut registration.
    void start()
    {
        ASSERT_TRUE(app.startAssistant());
        ASSERT_TRUE(logSays(QStringLiteral("[skrót] "))) << said();
    }
    QString log() const
    {
        return app.runLog();
    }
    // Standard error and the run log, for failure messages.
    std::string said() const { return app.assistantStderr().toStdString() + log().toStdString(); }
    bool logSays(const QString& text) { return eventually([&] { return log().contains(text); }); }
    bool stderrSays(const QByteArray& text) { return eventually([&] { return app.assistantStderr().contains(text); }); }
    LoopbackRealtimeServer& server() { return app.server(); }
    bool connected() { return eventually([&] { return server().hasClient(); }); }
    bool disconnected() { return eventually([&] { return !server().hasClient(); }); }
    // How many 20 ms windows of what the speakers played from `from` on are louder than `level`.
    static int loudWindows(qsizetype from, double level)
    {
        int loud = 0;
        for (qsizetype at = from; at + 960 <= s_sound->recorded.size(); at += 960)
            loud += rms(s_sound->recorded.mid(at, 960)) > level;
        return loud;
    }
    // Some clearly audible 20 ms window among what the speakers played from `from` on.
    static bool heardSince(qsizetype from) { return eventually([from] { return loudWindows(from, 0.02) > 0; }); }

    static inline XDisplay* s_display = nullptr;
    static inline SoundServer* s_sound = nullptr;
    Greeting greeting;
    QList<double> microphone; // the level of each microphone frame the service received
    AssistantProcess app{QStringLiteral(SELVINA_VOICE_BIN), [this](const QJsonObject& f) { onFrame(f); }};

private:
    void onFrame(const QJsonObject& f)
    {
        const QString type = f[QStringLiteral("type")].toString();
        if (type == u"input_audio_buffer.append") {
            microphone.append(rms(QByteArray::fromBase64(f[QStringLiteral("audio")].toString().toLatin1())));
        } else if (type == u"response.create") {
            server().sendText(R"({"type":"response.created","response":{"id":"g"}})");
            const QByteArray voice = tone(greeting.seconds);
            for (qsizetype at = 0; at < voice.size(); at += 4800) {
                const QJsonObject delta{{"type", "response.output_audio.delta"},
                                        {"delta", QString::fromLatin1(voice.mid(at, 4800).toBase64())}};
                server().sendText(QJsonDocument(delta).toJson(QJsonDocument::Compact));
            }
            if (greeting.endsOnItsOwn)
                server().sendText(R"({"type":"response.done","response":{"status":"completed"}})");
        } else if (type == u"response.cancel") {
            server().sendText(R"({"type":"response.done","response":{"status":"cancelled"}})");
        }
    }
};

TEST_F(DesktopShell, TheShortcutOpensAndClosesEvenAfterTheKeyboardMapChanges)
{
    start();
    EXPECT_TRUE(log().contains(QStringLiteral("[skrót] wywołanie: Ctrl+Alt+Super+Spacja"))) << said();

    // Held for 2 s, the combination opens one conversation, however often the server repeats it.
    ASSERT_TRUE(XDisplay::hold(kCombo, 2));
    ASSERT_TRUE(connected()) << said();
    ASSERT_TRUE(stderrSays("STAN")) << said();
    EXPECT_EQ(server().connectionCount(), 1) << said();
    const qsizetype beforeClose = s_sound->recorded.size();
    ASSERT_TRUE(XDisplay::key(kCombo));
    ASSERT_TRUE(disconnected()) << said();
    EXPECT_TRUE(heardSince(beforeClose)) << "no end cue";

    // Space leaves the layout, then comes back on another keycode: the grab waits and follows it.
    const auto remapped = [&](const char* change) {
        const qsizetype before = log().count(QStringLiteral("zmiana układu klawiatury"));
        return QProcess::execute(QStringLiteral("xmodmap"), {"-e", change}) == 0
               && eventually([&] { return log().count(QStringLiteral("zmiana układu klawiatury")) > before; });
    };
    ASSERT_TRUE(remapped("keycode 65 = NoSymbol")) << said();
    EXPECT_TRUE(log().contains(QStringLiteral("skrót wróci"))) << said();
    ASSERT_TRUE(remapped("keycode 200 = space")) << said();
    const bool reopened = XDisplay::key(kCombo) && connected();
    QProcess::execute(QStringLiteral("xmodmap"), {"-e", "keycode 200 = XF86TouchpadOn", "-e", "keycode 65 = space"});
    EXPECT_TRUE(reopened) << said();
    EXPECT_EQ(app.stopAssistant(), 0) << said();
}

TEST_F(DesktopShell, EscapeInterruptsTheSpeechThenClosesInSilence)
{
    greeting = {4.0, false};
    start();
    ASSERT_TRUE(XDisplay::key(kCombo));
    ASSERT_TRUE(connected()) << said();
    ASSERT_TRUE(stderrSays("→ speaking")) << said();

    // Held, Escape interrupts once; its repeats must not go on to close the conversation.
    ASSERT_TRUE(XDisplay::hold(QStringLiteral("Escape"), 2));
    ASSERT_TRUE(eventually([&] { return !server().framesOfType(QStringLiteral("input_audio_buffer.clear")).isEmpty(); })) << said();
    EXPECT_FALSE(server().framesOfType(QStringLiteral("response.cancel")).isEmpty());
    EXPECT_TRUE(server().hasClient()) << said();

    // What the delegate then decides, and logs, is DelegateTest's; here the key must reach it.
    ASSERT_TRUE(stderrSays("→ listening")) << said();
    ASSERT_TRUE(XDisplay::key(QStringLiteral("Escape")));
    ASSERT_TRUE(disconnected()) << said();
    EXPECT_TRUE(logSays(QStringLiteral("[esc] klawisz doszedł, na wierzchu: "))) << said();
    EXPECT_EQ(app.stopAssistant(), 0) << said();
}

// The combination and Escape are held by another client: the shortcut is refused and said, a
// second start wakes the first, and Escape still reaches it without being taken.
TEST_F(DesktopShell, TakenKeysAreRefusedOrWatchedAndASecondStartWakesTheFirst)
{
    xcb_connection_t* other = xcb_connect(nullptr, nullptr);
    ASSERT_TRUE(grabElsewhere(other, 65, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4));
    ASSERT_TRUE(grabElsewhere(other, 9, 0));
    start();
    ASSERT_TRUE(logSays(QStringLiteral("[mowa] Nie udało się przypisać skrótu Control plus Alt plus Super plus Spacja. "
                                       "Prawdopodobnie zajmuje go inna aplikacja."))) << said();
    EXPECT_TRUE(log().contains(QStringLiteral("[skrót] odmowa rejestracji Ctrl+Alt+Super+Spacja — status BadAccess (10)")));
    EXPECT_TRUE(QFile::exists(QStringLiteral("/run/systemd/journal/socket"))
                || stderrSays("[SelvinaVoice] Nie udało się zarejestrować skrótu Ctrl+Alt+Super+Spacja (status BadAccess (10))"));

    QProcess second;
    second.setProcessEnvironment(app.environment());
    second.start(QStringLiteral(SELVINA_VOICE_BIN), {});
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_TRUE(connected()) << said();
    EXPECT_EQ(server().connectionCount(), 1);

    // Escape during the greeting would interrupt it; in silence it closes.
    ASSERT_TRUE(stderrSays("zdarzenie: responseFinished")) << said();
    ASSERT_TRUE(XDisplay::key(QStringLiteral("Escape")));
    ASSERT_TRUE(disconnected()) << said();
    EXPECT_TRUE(log().contains(QStringLiteral("słucham zdarzeń XInput 2 bez przechwytywania"))) << said();
    EXPECT_EQ(app.stopAssistant(), 0) << said();
    xcb_disconnect(other);
}

TEST_F(DesktopShell, OfTwoStartsAtOnceOneSurvivesAndTheOtherWakesIt)
{
    QProcess twin;
    ASSERT_TRUE(app.startAssistant());
    twin.setProcessEnvironment(app.environment());
    twin.start(QStringLiteral(SELVINA_VOICE_BIN), {});
    ASSERT_TRUE(connected()) << said();
    // The one that lost the name has ended with 0; the other, which opened the conversation, runs on.
    ASSERT_TRUE(eventually([&] { return twin.state() == QProcess::NotRunning || !app.running(); })) << said();
    const bool twinLost = twin.state() == QProcess::NotRunning;
    EXPECT_EQ(twinLost ? twin.exitCode() : app.stopAssistant(), 0);
    if (twinLost) {
        EXPECT_EQ(app.stopAssistant(), 0) << said();
    } else {
        ::kill(pid_t(twin.processId()), SIGTERM);
        ASSERT_TRUE(twin.waitForFinished(8000));
        EXPECT_EQ(twin.exitCode(), 0);
    }
    EXPECT_EQ(server().connectionCount(), 1);
}

// One start on Wayland without a shortcuts portal: the user hears how to bind the combination
// themselves; the tray item, which does not depend on the shortcut, appears once a host starts.
TEST_F(DesktopShell, OnWaylandTheUserHearsHowToBindTheShortcutAndTheTrayMenuWorks)
{
    app.setVariable(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    // A desktop without a GlobalShortcuts backend, whatever backends this machine has installed
    // (KDE's implements it and would start on the test's X display): the portal the bus starts
    // looks for them in an empty folder.
    QTemporaryDir noBackends;
    QProcess update;
    update.setProcessEnvironment(app.environment());
    update.start(QStringLiteral("dbus-update-activation-environment"), {QStringLiteral("XDG_DESKTOP_PORTAL_DIR=") + noBackends.path()});
    ASSERT_TRUE(update.waitForFinished(10000) && update.exitCode() == 0);
    start();
    ASSERT_TRUE(logSays(QStringLiteral("[mowa] Nie udało się przypisać skrótu Control plus Alt plus Super plus Spacja. "
                                       "Ten pulpit nie pozwala aplikacjom przypisać własnego skrótu."))) << said();
    EXPECT_FALSE(log().contains(QStringLiteral("[menu] ikona w zasobniku gotowa")));

    TrayHost tray(app.busAddress());
    ASSERT_TRUE(tray.ready()) << said();
    EXPECT_EQ(tray.property(QStringLiteral("ToolTip")).value<QDBusArgument>().currentType(), QDBusArgument::StructureType);
    const QString wakeLabel = QStringLiteral("Reaguj na „hej Selvina”");
    EXPECT_NE(tray.entry(QStringLiteral("Zakończ")).id, 0);
    const MenuEntry wake = tray.entry(wakeLabel);
    ASSERT_NE(wake.id, 0);
    EXPECT_EQ(wake.toggleType, u"checkmark");
    EXPECT_EQ(wake.toggleState, 1);

    tray.click(wake.id);
    ASSERT_TRUE(logSays(QStringLiteral("[wybudzanie] wyłączone przez użytkownika"))) << said();
    EXPECT_TRUE(readFile(app.home() + QStringLiteral("/.config/selvina-voice/preferences.ini")).contains("zawolanie=false"));
    EXPECT_TRUE(eventually([&] { return tray.entry(wakeLabel).toggleState == 0; }));

    // "Zakończ" quits, the orderly way.
    tray.click(tray.entry(QStringLiteral("Zakończ")).id);
    ASSERT_TRUE(eventually([&] { return !tray.bus.interface()->isServiceRegistered(QStringLiteral("pl.korlund.selvinavoice")).value(); }))
        << said();
    EXPECT_EQ(app.stopAssistant(), 0) << said();
}

TEST_F(DesktopShell, AutostartedTheAssistantIsHeardAndHearsTheMicrophone)
{
    greeting = {0.6, true};
    app.setVariable(QStringLiteral("SELVINA_AUTOSTART"), QStringLiteral("1"));
    // A sentence an earlier case left the desktop's voice saying (speech-dispatcher starts late and
    // outlives the assistant) must not count as the greeting: 2 s of quiet first.
    ASSERT_TRUE(waitFor([] {
        const qsizetype size = s_sound->recorded.size();
        return size >= 96000 && rms(s_sound->recorded.mid(size - 96000, 96000)) < 0.01;
    }, std::chrono::seconds(30)));
    const qsizetype from = s_sound->recorded.size();
    ASSERT_TRUE(app.startAssistant());

    // The greeting plays to its end, then the conversation listens.
    ASSERT_TRUE(stderrSays("STAN: speaking → listening")) << said();
    const qsizetype silentFrames = microphone.size();
    // 0.6 s of tone reached the speakers: count the 20 ms windows that are clearly loud.
    const int loud = loudWindows(from, 0.2);
    std::printf("greeting heard: %d loud 20 ms windows of 30; %lld microphone frames sent before listening\n",
                loud, static_cast<long long>(silentFrames));
    EXPECT_GE(loud, 25) << s_sound->recorded.size() - from << " bytes recorded";
    EXPECT_LE(loud, 32);

    // Speaking into the room now reaches the service as real sound.
    s_sound->speakIntoRoom(tone(1.0));
    ASSERT_TRUE(eventually([&] {
        return std::any_of(microphone.begin() + silentFrames, microphone.end(), [](double level) { return level > 0.1; });
    }));
    EXPECT_EQ(app.stopAssistant(), 0) << said();
}

// "hej Selvina" in espeak-ng's Polish voice as PCM16 mono at its own rate, kEspeakRate, with
// `padding` seconds of room before and after it.
constexpr int kEspeakRate = 22050;
QByteArray spokenPhrase(const QString& voice, double padding = 1.0)
{
    QProcess espeak;
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), voice, QStringLiteral("--stdout"), QStringLiteral("hej Selvina")});
    const QByteArray wav = espeak.waitForFinished(20000) ? espeak.readAllStandardOutput() : QByteArray();
    const qsizetype data = wav.indexOf("data");
    const QByteArray room(qsizetype(kEspeakRate * padding) * 2, '\0');
    return data < 0 ? QByteArray() : room + wav.mid(data + 8) + room;
}

TEST_F(DesktopShell, TheSpokenPhraseOpensAConversationAndATuneDoesNot)
{
    // A voice recorded for an earlier detector is left out, and the user hears why.
    writeFile(app.home() + QStringLiteral("/.config/selvina-voice/wake-profile.json"),
              R"({"format": 1, "model_sha256": "0123", "similarity_threshold": 0.9, "score_floor": 0.3, "templates": [[0]]})");
    start();
    ASSERT_TRUE(logSays(QStringLiteral("nasłuch działa"))) << said();
    EXPECT_TRUE(log().contains(QStringLiteral("[mowa] Zawołanie „hej Selvina” rozpoznaję teraz bez nauki twojego głosu. "
                                              "Nagrania twojego głosu pochodzą z innej wersji modelu zawołania")))
        << said();
    // A tune into the room: nothing opens.
    s_sound->speakIntoRoom(tone(1.0));
    const QByteArray phrase = spokenPhrase(QStringLiteral("pl+m3"));
    ASSERT_FALSE(phrase.isEmpty()) << "espeak-ng did not speak";
    QThread::msleep(1500);
    EXPECT_FALSE(server().hasClient());

    s_sound->speakIntoRoom(phrase, kEspeakRate);
    ASSERT_TRUE(logSays(QStringLiteral("[wybudzanie] TRAFIENIE"))) << said();
    ASSERT_TRUE(connected()) << said();
    EXPECT_EQ(app.stopAssistant(), 0) << said();
}

TEST_F(DesktopShell, TheUsersPhraseIsRecordedFourTimesFromTheMenuAndKept)
{
    s_sound->keepRoomAwake();
    start();
    TrayHost tray(app.busAddress());
    ASSERT_TRUE(tray.ready()) << said();
    ASSERT_TRUE(logSays(QStringLiteral("nasłuch działa"))) << said();
    const int learn = tray.entry(QStringLiteral("Naucz się, jak wołam „hej Selvina”…")).id;
    ASSERT_NE(learn, 0);
    tray.click(learn);
    const QByteArray phrase = spokenPhrase(QStringLiteral("pl+f2"), 0.3);
    for (int n = 1; n <= 4; ++n) {
        ASSERT_TRUE(logSays(QStringLiteral("nagranie %1 trwa").arg(n))) << said();
        s_sound->speakIntoRoom(phrase, kEspeakRate);
    }
    ASSERT_TRUE(logSays(QStringLiteral("głos użytkownika zapisany"))) << said();
    EXPECT_TRUE(QFile::exists(app.home() + QStringLiteral("/.config/selvina-voice/wake-profile.json")));
    // The listener comes back, now with the user's voice.
    ASSERT_TRUE(eventually([&] { return log().count(QStringLiteral("nasłuch działa")) == 2; })) << said();
    EXPECT_EQ(app.stopAssistant(), 0) << said();
}

} // namespace

