// From the invocation shortcut's key press (XTEST, on Xvfb with openbox) to the realtime
// WebSocket connection reaching the loopback server, through the real selvina-voice with sound
// on a null-sink server. Prints the median and the slowest of 20 rounds in milliseconds.
#include "AssistantProcess.h"
#include "SoundServer.h"
#include "XDisplay.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace selvina::testing;

namespace {

constexpr int kRounds = 20;

bool wait(const std::function<bool()>& c, int ms = 10000)
{
    return LoopbackRealtimeServer::waitFor(c, std::chrono::milliseconds(ms));
}

class Keyboard {
public:
    Keyboard() : m_c(xcb_connect(nullptr, nullptr)), m_symbols(xcb_key_symbols_alloc(m_c)) {}
    ~Keyboard()
    {
        xcb_key_symbols_free(m_symbols);
        xcb_disconnect(m_c);
    }
    // Control+Alt+Super held, Space pressed: returns once the press has left for the server.
    void pressCombination()
    {
        for (xcb_keysym_t sym : {0xffe3u, 0xffe9u, 0xffebu})
            fake(XCB_KEY_PRESS, sym);
        fake(XCB_KEY_PRESS, ' ');
        xcb_flush(m_c);
    }
    void releaseCombination()
    {
        for (xcb_keysym_t sym : {xcb_keysym_t(' '), 0xffebu, 0xffe9u, 0xffe3u})
            fake(XCB_KEY_RELEASE, sym);
        std::free(xcb_get_input_focus_reply(m_c, xcb_get_input_focus(m_c), nullptr)); // a round trip
    }

private:
    void fake(std::uint8_t type, xcb_keysym_t sym)
    {
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(m_symbols, sym);
        if (codes == nullptr)
            return;
        xcb_test_fake_input(m_c, type, codes[0], XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        std::free(codes);
    }
    xcb_connection_t* m_c;
    xcb_key_symbols_t* m_symbols;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    XDisplay display;
    SoundServer sound;
    if (!display.ok() || !sound.up()) {
        std::printf("hot-key → WebSocket: display %s, sound server %s\n", display.ok() ? "up" : "down", sound.up() ? "up" : "down");
        return 1;
    }
    AssistantProcess assistant(QStringLiteral(SELVINA_VOICE_BIN), nullptr);
    if (!assistant.startBus())
        return 1;
    assistant.setVariable(QStringLiteral("SELVINA_TEXT"), QString());
    assistant.setVariable(QStringLiteral("PULSE_SERVER"), sound.address());
    assistant.setVariable(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("x11"));
    assistant.setVariable(QStringLiteral("WAYLAND_DISPLAY"), QString());
    if (!assistant.startAssistant())
        return 1;
    const QString log = assistant.home() + QStringLiteral("/state/selvina-voice/sidecar.log");
    if (!wait([&] {
            QFile f(log);
            return f.open(QIODevice::ReadOnly) && f.readAll().contains("[skrót] wywołanie");
        })) {
        std::printf("hot-key → WebSocket: the shortcut was not registered\n");
        return 1;
    }

    LoopbackRealtimeServer& server = assistant.server();
    QElapsedTimer clock;
    qint64 connectedNs = 0;
    QObject::connect(&server, &LoopbackRealtimeServer::clientConnected, [&] { connectedNs = clock.nsecsElapsed(); });
    Keyboard keyboard;
    std::vector<double> ms;
    for (int round = 0; round < kRounds; ++round) {
        connectedNs = 0;
        const qsizetype framesBefore = server.frames().size();
        clock.start();
        keyboard.pressCombination();
        const bool opened = wait([&] { return connectedNs != 0; });
        keyboard.releaseCombination();
        if (!opened)
            break;
        ms.push_back(double(connectedNs) / 1e6);
        // Once the session is set up it is closed with the same keys; the next round starts idle.
        wait([&] { return server.frames().size() > framesBefore; });
        keyboard.pressCombination();
        keyboard.releaseCombination();
        wait([&] { return !server.hasClient(); });
        wait([] { return false; }, 300);
    }
    assistant.stopAssistant();
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        std::printf("hot-key → WebSocket connection: no samples\n");
        return 1;
    }
    std::printf("%-44s median %7.2f ms   max %7.2f ms   (%zu rounds)\n", "hot-key (XTEST) → WebSocket connection", ms[ms.size() / 2],
                ms.back(), ms.size());
    return 0;
}
