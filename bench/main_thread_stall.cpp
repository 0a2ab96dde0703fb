// The main thread's longest stall in the real selvina-voice, at launch and while a conversation
// opens, with a sound server that never answers: PULSE_SERVER names a socket that accepts and then
// says nothing. The assistant's own lag probe (SELVINA_LAG_PROBE) reports every late turn of its
// event loop, and how much of it the thread only waited for a CPU that other processes had (on a
// loaded machine); "held" is the rest, the main thread's own work or wait. The private session
// bus has no keyring: the key store answers at once, and the speech key comes from
// OPENAI_API_KEY. Goal: nothing held over 50 ms.
#include "AssistantProcess.h"
#include "platform/linux/dbus/DBusNotificationBus.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <algorithm>
#include <cstdio>
#include <vector>

using selvina::testing::AssistantProcess;
using selvina::testing::LoopbackRealtimeServer;

namespace {

constexpr qint64 kGoalMs = 50;

void pause(int ms)
{
    LoopbackRealtimeServer::waitFor([] { return false; }, std::chrono::milliseconds(ms));
}

struct Stalls {
    qint64 held = 0;      // the longest lateness less its wait for a CPU
    qint64 heldAt = 0;    // ms after the probe started
    qint64 late = 0;      // the longest lateness, the machine's load included
    int turns = 0;        // turns later than the probe's 5 ms
};

// What the probe wrote from byte `from` on.
Stalls stalls(const QString& path, qint64 from)
{
    Stalls out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
        return out;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 3)
            continue;
        ++out.turns;
        const qint64 late = fields[1].toLongLong();
        const qint64 held = late - fields[2].toLongLong();
        out.late = std::max(out.late, late);
        if (held > out.held) {
            out.held = held;
            out.heldAt = fields[0].toLongLong();
        }
    }
    return out;
}

void report(const char* phase, const Stalls& s)
{
    std::printf("%-46s held %5lld ms (at %6lld ms)   late %5lld ms   late turns %3d   %s\n", phase,
                static_cast<long long>(s.held), static_cast<long long>(s.heldAt), static_cast<long long>(s.late), s.turns,
                s.held <= kGoalMs ? "ok" : "OVER 50 ms");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int connected = 0;
    AssistantProcess assistant(QStringLiteral(SELVINA_VOICE_BIN), [&](const QJsonObject&) {});
    QObject::connect(&assistant.server(), &LoopbackRealtimeServer::clientConnected, [&] { ++connected; });

    // Accepts, reads nothing, answers nothing: a sound server that hangs (as one still starting).
    QLocalServer silent;
    std::vector<QLocalSocket*> held;
    const QString socket = assistant.home() + QStringLiteral("/silent-pulse");
    if (!silent.listen(socket)) {
        std::fputs("bench_main_thread: no silent socket\n", stderr);
        return 1;
    }
    QObject::connect(&silent, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* s = silent.nextPendingConnection())
            held.push_back(s);
    });
    const QString probe = assistant.home() + QStringLiteral("/lag-probe");
    assistant.setVariable(QStringLiteral("SELVINA_TEXT"), QString());
    assistant.setVariable(QStringLiteral("DISPLAY"), QString());
    assistant.setVariable(QStringLiteral("WAYLAND_DISPLAY"), QString());
    assistant.setVariable(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socket);
    assistant.setVariable(QStringLiteral("SELVINA_LAG_PROBE"), probe);
    if (!assistant.startBus() || !assistant.startAssistant()) {
        std::fputs("bench_main_thread: the assistant did not start\n", stderr);
        return 1;
    }
    // The wake-phrase listener opens the microphone at launch, and retries 3 s after its server
    // gave no answer for 3 s: long enough for two rounds.
    pause(7000);
    const qint64 launched = QFile(probe).size();
    report("main thread, launch", stalls(probe, 0));
    std::printf("%-46s %d\n", "sound-server connections held", int(held.size()));

    selvina::platform::DBusNotificationBus bus(QDBusConnection::connectToBus(assistant.busAddress(), QStringLiteral("bench")));
    bus.post(QStringLiteral("pl.korlund.selvinavoice.wake"), {});
    pause(8000);
    report("main thread, opening a conversation", stalls(probe, launched));
    std::printf("%-46s %s\n", "assistant still running", assistant.running() ? "yes" : "NO");
    std::printf("%-46s %d\n", "realtime connections", connected);
    return 0;
}
