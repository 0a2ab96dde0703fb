// The agent path measured in-process: delegated tasks through the real sidecar to the stand-in
// Claude Code (first task with the process start, then the steady state), and a flood of
// progress lines from a sidecar that writes as fast as it can — lines per second routed, and
// the longest stall of the main thread's event loop meanwhile.
#include "agent/AgentBridge.h"
#include "core/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace selvina;

namespace {

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

// Runs one task to its end; returns the milliseconds it took, or -1.
double runOnce(agent::AgentBridge& bridge, std::size_t* events = nullptr)
{
    QElapsedTimer t;
    t.start();
    agent::AgentEventStream stream = bridge.run(QStringLiteral("Ile plików mam w Dokumentach?"));
    bool ended = false;
    std::size_t count = 0;
    // Like a real consumer, a few events per turn: the loop's stalls are then the runtime's own.
    const bool ok = waitFor([&] {
        for (int n = 0; n < 64; ++n) {
            auto e = stream.takeReady();
            if (!e)
                break;
            ++count;
            ended = ended || e->isTerminal();
        }
        return ended || stream.hasEnded();
    }, 60000);
    if (events != nullptr)
        *events = count;
    return ok ? double(t.nsecsElapsed()) / 1e6 : -1;
}

void print(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("%-48s median %8.2f ms   p95 %8.2f ms   (%zu rounds)\n", what, ms[ms.size() / 2],
                ms[std::min(ms.size() - 1, std::size_t(double(ms.size()) * 0.95))], ms.size());
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("PATH", QByteArray(SELVINA_FAKE_AGENTS ":") + qgetenv("PATH"));
    QCoreApplication app(argc, argv);
    SystemClock clock;

    {
        agent::ClaudeAgentBridge bridge(clock, {{agent::SidecarLocator::bundledSidecarDirectory()}});
        std::printf("%-48s %8.2f ms\n", "first task (sidecar start, login check)", runOnce(bridge));
        std::vector<double> rounds;
        for (int i = 0; i < 20; ++i)
            rounds.push_back(runOnce(bridge));
        print("task through sidecar and stand-in agent", rounds);
        bool stopped = false;
        auto stopping = bridge.runtime().shutdown().then([&] { stopped = true; });
        waitFor([&] { return stopped; }, 5000);
    }

    QTemporaryDir flood;
    QDir().mkpath(flood.filePath(QStringLiteral("Sidecar/dist")));
    QFile index(flood.filePath(QStringLiteral("Sidecar/dist/index.js")));
    index.open(QIODevice::WriteOnly);
    index.write("require('" SELVINA_FLOOD_SIDECAR "');\n");
    index.close();
    constexpr int kLines = 200000;
    qputenv("FLOOD_LINES", QByteArray::number(kLines));
    agent::ClaudeAgentBridge bridge(clock, {{flood.filePath(QStringLiteral("Sidecar"))}});
    runOnce(bridge); // start the process outside the measurement

    qint64 last = 0;
    qint64 longest = 0;
    QElapsedTimer loop;
    loop.start();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = loop.nsecsElapsed();
        if (last != 0)
            longest = std::max(longest, now - last);
        last = now;
    });
    tick.start(1);
    std::size_t events = 0;
    const double ms = runOnce(bridge, &events);
    tick.stop();
    std::printf("%-48s %8.0f lines/s   (%zu events, %.0f ms)\n", "progress lines routed (100-byte text)",
                double(events) / (ms / 1000.0), events, ms);
    std::printf("%-48s %8.2f ms\n", "longest event-loop stall meanwhile", double(longest) / 1e6);
    bool stopped = false;
    auto stopping = bridge.runtime().shutdown().then([&] { stopped = true; });
    waitFor([&] { return stopped; }, 5000);
    return 0;
}
