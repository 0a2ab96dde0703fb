// Speaker playback on a PulseAudio server of its own (a null sink, as the audio tests use), measured
// against a recording of the sink's monitor:
// - flush latency: from the flush that Escape makes to the last audible sample, i.e. the part of the
//   recording beyond what the server's clock had played when the flush was asked for;
// - the drain wait after interrupts: how long past an answer's own length the wait for its end lasts;
// - a delta's way to the sink: from the loopback service sending one 100 ms audio delta, through the
//   realtime engine, to the chunk waiting in the playback queue that the server's next request reads.
//   Its place in the server's timeline is fixed from then on (nothing else is written meanwhile), so
//   the wait for that request (up to a quarter of the buffer) is printed apart and costs nothing audible.
#include "LoopbackRealtimeServer.h"
#include "EventLoopWaits.h"
#include "PrivatePulseServer.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/pulse/PulseAudioDevices.h"
#include "EngineOptions.h"
#include "voice/audio/Pcm16.h"
#include "voice/audio/SpeakerPlayback.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>

using namespace selvina;
using namespace selvina::bench;
using selvina::testing::LoopbackRealtimeServer;
using SteadyClock = std::chrono::steady_clock;

namespace {

std::int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count(); }

// The sound server as it is, except that the moment the voice's first audible sample is written is noted.
class TimedDevices final : public platform::AudioDevices, private platform::AudioOutputCallback {
public:
    explicit TimedDevices(platform::AudioDevices& inner) : m_inner(inner) {}
    Result<platform::AudioFormat, platform::AudioDeviceError> defaultInputFormat() override { return m_inner.defaultInputFormat(); }
    Result<platform::AudioFormat, platform::AudioDeviceError> defaultOutputFormat() override { return m_inner.defaultOutputFormat(); }
    Result<std::unique_ptr<platform::AudioStream>, platform::AudioDeviceError>
    openInput(platform::AudioFormat format, std::size_t blockFrames, platform::AudioInputCallback& callback) override
    {
        return m_inner.openInput(format, blockFrames, callback);
    }
    Result<std::unique_ptr<platform::AudioStream>, platform::AudioDeviceError>
    openOutput(int sampleRate, int latencyMs, const QString& role, platform::AudioOutputCallback& callback) override
    {
        m_callback = &callback;
        return m_inner.openOutput(sampleRate, latencyMs, role, *this);
    }
    int addDevicesChangedHandler(std::function<void()> handler) override { return m_inner.addDevicesChangedHandler(std::move(handler)); }
    void removeDevicesChangedHandler(int token) override { m_inner.removeDevicesChangedHandler(token); }

    void arm() { firstVoiceNs = 0; }
    std::atomic<std::int64_t> firstVoiceNs{-1}; // 0: armed, waiting for a voice sample

private:
    void render(float* mono, std::size_t frames) noexcept override
    {
        m_callback->render(mono, frames);
        if (firstVoiceNs.load() == 0 && std::any_of(mono, mono + frames, [](float s) { return s != 0.0f; }))
            firstVoiceNs = nowNs();
    }
    platform::AudioDevices& m_inner;
    platform::AudioOutputCallback* m_callback = nullptr;
};

QByteArray tone(double seconds)
{
    std::vector<float> samples(static_cast<std::size_t>(seconds * 24000));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 440.0 * double(i) / 24000));
    QByteArray pcm(static_cast<qsizetype>(2 * samples.size()), Qt::Uninitialized);
    voice::toPcm16(samples.data(), samples.size(), pcm.data());
    return pcm;
}

void print(const char* what, std::vector<double> values, const char* unit = "ms")
{
    if (values.empty()) {
        std::printf("%-52s no measurement\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    std::printf("%-52s median %7.2f %s   p95 %7.2f %s   max %7.2f %s   (%zu rounds)\n", what, values[values.size() / 2],
                unit, values[std::min(values.size() - 1, std::size_t(double(values.size()) * 0.95))], unit,
                values.back(), unit, values.size());
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);
    testing::PrivatePulseServer pulse(QStringLiteral("load-module module-null-sink sink_name=bench_null rate=48000 "
                                                     "channels=2\nset-default-sink bench_null"));
    if (!pulse.up()) {
        std::printf("playback latency: no PulseAudio server\n");
        return 1;
    }
    pulse.useInThisProcess();
    pulse.keepAwake();
    platform::PulseAudioDevices pulseDevices(QStringLiteral("bench"));
    TimedDevices devices(pulseDevices);
    platform::fake::MemorySystemLog log;
    voice::SpeakerPlayback playback(devices, nullptr, log);
    if (!await(playback.start()).ok()) {
        std::printf("playback latency: the playback did not start\n");
        return 1;
    }

    // Flush latency, with the flush at a different point of the sentence each round.
    std::vector<double> flushMs, flushCallMs;
    {
        auto recorder = pulse.recordMono(QStringLiteral("bench_null.monitor"));
        pause(200);
        const QByteArray sentence = tone(1.0);
        for (int round = 0; round < 20; ++round) {
            playback.markItemStart();
            await(done(playback.enqueue(sentence)));
            pause(250 + 17 * (round % 7));
            const qint64 heardMs = await(playback.itemHeardMs()).value_or(0);
            const std::int64_t askedNs = nowNs();
            await(done(playback.flush()));
            flushCallMs.push_back(double(nowNs() - askedNs) / 1e6);
            pause(250);
            const long span = testing::loudSpan(recorder->readAllStandardOutput());
            if (span > 0)
                flushMs.push_back(double(span) / 24.0 - double(heardMs));
        }
        recorder->kill();
        recorder->waitForFinished(2000);
    }

    // The drain wait after interrupts, with a long buffer: each flush throws away what the server still
    // held, and the answer counts as heard once its own last sample has played, not one discarded buffer
    // later per interrupt. Printed beyond the answer's own 0.5 s.
    std::vector<double> drainMs;
    {
        voice::SpeakerPlayback::Options options;
        options.latencyMs = 400;
        voice::SpeakerPlayback buffered(pulseDevices, nullptr, log, options);
        if (await(buffered.start()).ok()) {
            const QByteArray sentence = tone(1.0);
            const QByteArray answer = tone(0.5);
            for (int round = 0; round < 5; ++round) {
                for (int i = 0; i < 3; ++i) {
                    await(done(buffered.enqueue(sentence)));
                    pause(150);
                    await(done(buffered.flush()));
                }
                const std::int64_t beginNs = nowNs();
                for (qsizetype at = 0; at < answer.size(); at += 4800) {
                    const QByteArray chunk = answer.mid(at, 4800);
                    await(done(buffered.enqueue(chunk)));
                }
                await(done(buffered.waitUntilDrained()));
                drainMs.push_back(double(nowNs() - beginNs) / 1e6 - 500.0);
            }
            await(done(buffered.stop()));
        }
    }

    // A delta's way from the service to the sound server.
    std::vector<double> toEngineMs, toQueueMs, toServerMs;
    {
        LoopbackRealtimeServer server;
        SystemClock clock;
        voice::OpenAIRealtimeEngine engine(testing::engineOptions(server, clock));
        std::int64_t engineNs = 0;
        std::atomic<std::int64_t> queuedNs{0};
        // As the conversation does it: each chunk goes to the speakers as it comes, without waiting.
        QObject::connect(&engine, &voice::VoiceEngine::audioChunk, [&](const QByteArray& pcm) {
            engineNs = nowNs();
            auto queued = done(playback.enqueue(pcm)).then([&](bool) { queuedNs = nowNs(); });
        });
        server.setOnFrame([&](const QJsonObject& frame) {
            if (frame[QStringLiteral("type")].toString() == QLatin1String("session.update"))
                server.sendText(R"({"type":"session.updated","session":{}})");
        });
        if (!await(engine.connectSession({}, QStringLiteral("Benchmark"))).ok()) {
            std::printf("playback latency: the engine did not connect\n");
            return 1;
        }
        pause(300);
        const QByteArray voice = tone(0.1);
        for (int round = 0; round < 40; ++round) {
            const QByteArray id = "resp_" + QByteArray::number(round);
            server.sendText(R"({"type":"response.created","response":{"id":")" + id + R"(","status":"in_progress"}})");
            pause(20);
            const QJsonObject delta{{"type", "response.output_audio.delta"}, {"response_id", QString::fromLatin1(id)},
                                    {"item_id", QStringLiteral("item_%1").arg(round)}, {"output_index", 0},
                                    {"content_index", 0}, {"delta", QString::fromLatin1(voice.toBase64())}};
            const QByteArray text = QJsonDocument(delta).toJson(QJsonDocument::Compact);
            engineNs = 0;
            queuedNs = 0;
            devices.arm();
            const std::int64_t sentNs = nowNs();
            server.sendText(text);
            waitUntil([&] { return devices.firstVoiceNs.load() > 0 && queuedNs.load() > 0; }, 2000);
            if (engineNs > 0 && queuedNs.load() > 0 && devices.firstVoiceNs.load() > 0) {
                toEngineMs.push_back(double(engineNs - sentNs) / 1e6);
                toQueueMs.push_back(double(queuedNs.load() - sentNs) / 1e6);
                toServerMs.push_back(double(devices.firstVoiceNs.load() - sentNs) / 1e6);
            }
            server.sendText(R"({"type":"response.done","response":{"id":")" + id + R"(","status":"completed"}})");
            pause(150);
        }
        engine.disconnectSession();
    }
    await(done(playback.stop()));

    print("flush (Escape) to the last audible sample", flushMs);
    print("flush (Escape) until the call returns", flushCallMs);
    print("drain after 3 interrupts, past the answer (400 ms)", drainMs);
    print("delta arrival to audio out of the engine", toEngineMs);
    print("delta arrival to the sink's queue", toQueueMs);
    print("delta arrival to the server's next request for it", toServerMs);
    return 0;
}
