// The audio path without a sound server: level meter, PCM16, WAV payloads, the capture chain's block
// sizes, the echo canceller's effect, and that steady-state processing allocates nothing.
#include "platform/fake/MemoryStores.h"
#include "platform/fake/NoAudioDevices.h"
#include "voice/audio/AudioLevelMeter.h"
#include "voice/audio/AudioStreams.h"
#include "voice/audio/EchoCanceller.h"
#include "voice/audio/MicrophoneCapture.h"
#include "voice/audio/Pcm16.h"
#include "voice/audio/SpeakerPlayback.h"

#include "ManualClock.h"
#include "TestSupport.h"

#include <QCoroTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <new>
#include <random>

namespace {
std::atomic<long> g_allocations{0};
thread_local bool g_counting = false;
} // namespace

#ifdef __SANITIZE_THREAD__
// ThreadSanitizer brings its own operator new: replaced here, it would take Qt's allocations into this
// instrumented program, where the sanitizer sees them without the Qt locks that hand them over.
// Allocations are counted through the sanitizer's hook instead.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                                         void (*)(const volatile void*));
namespace {
void countAllocation(const volatile void*, std::size_t)
{
    if (g_counting)
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}
const int g_hooked = __sanitizer_install_malloc_and_free_hooks(countAllocation, nullptr);
} // namespace
#else
void* operator new(std::size_t size)
{
    if (g_counting)
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace selvina::voice {
namespace {

TEST(AudioLevelMeter, MapsLoudnessAndSmoothsRisesFastFallsSlowly)
{
    AudioLevelMeter meter;
    const std::vector<float> loud(800, 0.51f); // just above −6 dBFS
    const std::vector<float> quiet(800, 0.003f); // about −50 dBFS
    EXPECT_FALSE(meter.append(loud.data(), 799).has_value());
    auto first = meter.append(loud.data(), 1);
    ASSERT_TRUE(first);
    EXPECT_NEAR(*first, 0.85, 1e-9);
    double level = *first;
    for (int i = 0; i < 20; ++i)
        level = *meter.append(loud.data(), 800);
    EXPECT_NEAR(level, 1.0, 1e-6);
    const auto fallen = meter.append(quiet.data(), 800);
    EXPECT_NEAR(*fallen, 0.7, 1e-6); // 30 % of the way to 0
}

TEST(Pcm16, ClipsScalesTruncatesAndReadsWaveChunksPastPadding)
{
    const float samples[] = {1.5f, -2.0f, 0.5f, -0.99999f, 0.0f};
    char out[10];
    toPcm16(samples, 5, out);
    const std::int16_t expected[] = {32767, -32767, 16383, -32766, 0};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(qFromLittleEndian<std::int16_t>(out + 2 * i), expected[i]) << i;

    QByteArray wave = waveFromPcm(QByteArray("\x01\x02\x03\x04", 4), 24000);
    wave.insert(12, QByteArray("LIST\x03\x00\x00\x00" "abc" "\x00", 12)); // odd-sized chunk + pad byte
    EXPECT_EQ(pcmFromWave(wave), QByteArray("\x01\x02\x03\x04", 4));
    EXPECT_FALSE(pcmFromWave(QByteArray("RIFF\x04\x00\x00\x00WAVEfmt ", 16)).has_value());
    EXPECT_FALSE(pcmFromWave(QByteArray("RIFX....WAVEdata")).has_value());
    EXPECT_EQ(floatsFromPcm16(QByteArray("\xff\x7f\x01", 3)).size(), 1u);
}

TEST(ChunkRing, AReaderThatFellBehindGetsTheNewest128InOrder)
{
    ChunkRing ring(8);
    for (std::uint32_t i = 0; i < 200; ++i)
        ring.publish(reinterpret_cast<const char*>(&i), sizeof i);
    std::vector<std::uint32_t> taken;
    while (auto chunk = ring.take())
        taken.push_back(qFromLittleEndian<std::uint32_t>(chunk->constData()));
    ASSERT_EQ(taken.size(), 128u);
    EXPECT_EQ(taken.front(), 72u);
    EXPECT_EQ(taken.back(), 199u);
    EXPECT_EQ(ring.dropped(), 72u);
}

class CaptureChain : public ::testing::TestWithParam<bool> {};

// A 48 kHz stereo microphone: 1024-frame blocks become about 512 samples at 24 kHz, from channel 0 only;
// after warm-up, the whole chain (with and without echo cancellation) allocates nothing.
TEST_P(CaptureChain, ConvertsFirstChannelWithoutAllocating)
{
    platform::fake::NoAudioDevices devices;
    platform::fake::MemorySystemLog log;
    selvina::testing::ManualClock clock;
    MicrophoneCapture capture(devices, std::make_shared<EchoReference>(), log, clock);
    ASSERT_TRUE(capture.prepareForTesting({48000, 2}, GetParam()));
    const platform::AudioFormat format{48000, 2};
    std::vector<float> silence(2 * 1024, 0.0f), loudRight(2 * 1024, 0.0f);
    for (std::size_t i = 0; i < 1024; ++i)
        loudRight[2 * i + 1] = static_cast<float>(0.9 * std::sin(2 * M_PI * 440 * i / 48000));
    for (int i = 0; i < 20; ++i)
        capture.processForTesting(loudRight.data(), 1024, format);
    long bytes = 0;
    int chunks = 0;
    while (auto frame = capture.takeFrame()) {
        bytes += frame->size();
        ++chunks;
        for (qsizetype s = 0; s + 1 < frame->size(); s += 2)
            ASSERT_EQ(qFromLittleEndian<std::int16_t>(frame->constData() + s), 0) << "channel 1 leaked in";
    }
    EXPECT_GE(chunks, 18); // the converters hold back a few milliseconds at first
    EXPECT_NEAR(double(bytes) / chunks, 1024.0, 64.0);

    g_allocations = 0;
    g_counting = true;
    for (int i = 0; i < 200; ++i)
        capture.processForTesting(silence.data(), 1024, format);
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(EchoCancellation, CaptureChain, ::testing::Values(false, true));

// Synthetic echo (a pure delayed, attenuated copy) is far easier than a real room: the figure printed
// is what the canceller reaches in the best case, not a promise for loudspeakers and walls. The
// reference and the microphone carry the times the sound server would give them (when a sample is
// heard, when one was recorded), so the canceller is told the real delay, also a long one (a wireless
// headset) far from the delay it assumes without them.
class SyntheticEcho : public ::testing::TestWithParam<int> {};

TEST_P(SyntheticEcho, IsRemovedWithTheDelayMeasuredFromTheStreamsTimes)
{
    auto reference = std::make_shared<EchoReference>();
    QString error;
    auto canceller = EchoCanceller::make(reference, &error);
    ASSERT_TRUE(canceller) << error.toStdString();
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    constexpr std::size_t frame = EchoCanceller::kFrame;
    const std::size_t delay = 24 * std::size_t(GetParam());
    std::vector<float> far(24000 * 12);
    for (std::size_t i = 0; i < far.size(); ++i) // speech-like: noise shaped by a slow syllable envelope
        far[i] = noise(random) * static_cast<float>(0.5 + 0.5 * std::sin(2 * M_PI * 3.0 * i / 24000));
    std::vector<float> out(frame);
    double inEnergy = 0, outEnergy = 0;
    const std::int64_t base = 1'000'000'000'000; // steady-clock ns at the first sample
    const auto at = [&](std::size_t sample) { return base + std::int64_t(sample) * 1'000'000'000 / 24000; };
    for (std::size_t start = 0; start + frame <= far.size(); start += frame) {
        reference->push(far.data() + start, frame, at(start + frame + delay));
        std::vector<float> near(frame);
        for (std::size_t i = 0; i < frame; ++i)
            near[i] = start + i >= delay ? 0.5f * far[start + i - delay] : 0.0f;
        ASSERT_EQ(canceller->process(near.data(), frame, out.data(), frame, at(start + frame)), frame);
        if (start >= far.size() / 2) { // after the filter has converged
            for (std::size_t i = 0; i < frame; ++i) {
                inEnergy += double(near[i]) * near[i];
                outEnergy += double(out[i]) * out[i];
            }
        }
    }
    EXPECT_NEAR(canceller->delayMs(), GetParam(), 2);
    const double reduction = 10 * std::log10(inEnergy / std::max(outEnergy, 1e-12));
    std::printf("echo reduction on a synthetic %d ms echo: %.1f dB\n", GetParam(), reduction);
    EXPECT_GT(reduction, 10.0);
}

INSTANTIATE_TEST_SUITE_P(EchoCanceller, SyntheticEcho, ::testing::Values(50, 250));

// A sound server whose streams never run on their own: the test calls the callbacks itself, under the
// stream's lock as the sound server's audio thread does.
class ScriptedDevices final : public platform::AudioDevices {
public:
    class Stream final : public platform::AudioStream {
    public:
        void lock() override { mutex.lock(); }
        void unlock() override { mutex.unlock(); }
        std::uint64_t playedFrames() override { return played; }
        void dropBuffered() override {}
        std::mutex mutex;
        std::atomic<std::uint64_t> played{0};
    };
    void render(std::vector<float>& out)
    {
        std::lock_guard lock(outputStream->mutex);
        output->render(out.data(), out.size());
    }
    Result<platform::AudioFormat, platform::AudioDeviceError> defaultInputFormat() override { return platform::AudioFormat{48000, 1}; }
    Result<platform::AudioFormat, platform::AudioDeviceError> defaultOutputFormat() override { return platform::AudioFormat{48000, 2}; }
    Result<std::unique_ptr<platform::AudioStream>, platform::AudioDeviceError>
    openInput(platform::AudioFormat, std::size_t, platform::AudioInputCallback&) override
    {
        return std::unique_ptr<platform::AudioStream>(std::make_unique<Stream>());
    }
    Result<std::unique_ptr<platform::AudioStream>, platform::AudioDeviceError>
    openOutput(int, int, const QString&, platform::AudioOutputCallback& callback) override
    {
        output = &callback;
        auto stream = std::make_unique<Stream>();
        outputStream = stream.get();
        return std::unique_ptr<platform::AudioStream>(std::move(stream));
    }
    int addDevicesChangedHandler(std::function<void()>) override { return 1; }
    void removeDevicesChangedHandler(int) override {}

    platform::AudioOutputCallback* output = nullptr;
    Stream* outputStream = nullptr;
};

QCoro::Task<bool> startCapture(MicrophoneCapture* capture) { co_return (co_await capture->start()).ok(); }

// The capture's worker writes while the test reads.
class SharedLog final : public platform::SystemLog {
public:
    void write(const QString& line) override { std::lock_guard lock(m_mutex); m_lines.append(line); }
    QStringList lines() { std::lock_guard lock(m_mutex); return m_lines; }

private:
    std::mutex m_mutex;
    QStringList m_lines;
};

// A silent microphone with echo cancellation: in automatic mode the probe restarts without it (and later
// starts never try it again); with the mode "on" it only reports. The mode's setting is read trimmed
// and case-insensitive.
TEST(SilenceProbe, RecoversOnlyInAutomaticMode)
{
    EXPECT_EQ(voiceProcessingModeFrom(QStringLiteral(" Auto \n")), VoiceProcessingMode::automatic);
    EXPECT_EQ(voiceProcessingModeFrom(QStringLiteral("YES")), VoiceProcessingMode::on);
    EXPECT_EQ(voiceProcessingModeFrom(QStringLiteral("maybe")), VoiceProcessingMode::off);
    for (const auto mode : {VoiceProcessingMode::automatic, VoiceProcessingMode::on}) {
        ScriptedDevices devices;
        SharedLog log;
        selvina::testing::ManualClock clock;
        MicrophoneCapture capture(devices, std::make_shared<EchoReference>(), log, clock,
                                  {.mode = mode, .probeWindow = std::chrono::milliseconds(50)});
        ASSERT_TRUE(selvina::testing::runTask(startCapture(&capture)).value_or(false));
        const bool automatic = mode == VoiceProcessingMode::automatic;
        // Automatic: the report, the restart, and the second probe's report, without echo cancellation.
        const qsizetype expected = automatic ? 3 : 1;
        ASSERT_TRUE(selvina::testing::waitFor([&] { return log.lines().size() >= expected; }));
        const QStringList lines = log.lines();
        EXPECT_EQ(lines.first(), QStringLiteral("[SelvinaVoice] Sonda wejścia (tłumienie echa wł., opóźnienie 60 ms): brak porcji, szczyt sprzętowy "
                                                "0.000000, po konwersji 0.000000"));
        EXPECT_EQ(lines.size(), expected);
        EXPECT_EQ(capture.engineStarts(), automatic ? 2 : 1);
        EXPECT_EQ(capture.voiceProcessingActive(), !automatic);
        if (automatic) {
            selvina::testing::runTask(capture.stop().then([] { return true; }));
            ASSERT_TRUE(selvina::testing::runTask(startCapture(&capture)).value_or(false));
            EXPECT_FALSE(capture.voiceProcessingActive());
        }
    }
}

TEST(SpeakerPlaybackRender, PlaysChunksAndLoopWithoutAllocatingAndCountsOnlyWhatWasHeard)
{
    ScriptedDevices devices;
    platform::fake::MemorySystemLog log;
    SpeakerPlayback playback(devices, nullptr, log);
    bool drained = false;
    EXPECT_TRUE(selvina::testing::runTask([&]() -> QCoro::Task<bool> {
        co_await playback.start();
        // One sample (the odd byte is dropped), a chunk too short to play, then 100 ms.
        for (const QByteArray& chunk : {QByteArray(3, '\x10'), QByteArray(1, '\x10'), QByteArray(4800, '\x20')}) {
            auto enqueued = playback.enqueue(chunk); // not inside co_await: GCC 12 would destroy the copy twice
            co_await enqueued;
        }
        auto looping = playback.startWorkSound(QByteArray(480, '\x08'));
        co_await looping;
        auto waiter = [](SpeakerPlayback* p, bool* done) -> QCoro::Task<> {
            co_await p->waitUntilDrained();
            *done = true;
        }(&playback, &drained);
        std::vector<float> out(2400);
        g_allocations = 0;
        g_counting = true;
        for (int i = 0; i < 10; ++i)
            devices.render(out); // 1 + 2400 samples of voice, then loop alone
        g_counting = false;
        EXPECT_EQ(g_allocations.load(), 0);
        co_await QCoro::sleepFor(std::chrono::milliseconds(30));
        EXPECT_FALSE(drained); // not while the server has not played it
        devices.outputStream->played = 2401; // the server reports the last voice sample heard
        for (int i = 0; i < 400 && !drained; ++i)
            co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        EXPECT_TRUE(drained);

        // The end of one item, then a new one; half of the new item is heard when Escape flushes the rest.
        auto ofOldItem = playback.enqueue(QByteArray(4800, '\x20'));
        co_await ofOldItem;
        playback.markItemStart();
        auto ofNewItem = playback.enqueue(QByteArray(4800, '\x20'));
        co_await ofNewItem;
        devices.render(out); // rendered frames 24000 to 26400
        devices.render(out); // 26400 to 28800
        devices.outputStream->played = 27600;
        EXPECT_EQ((co_await playback.itemHeardMs()).value_or(-1), 50); // of the new item only
        co_await playback.flush();
        devices.outputStream->played = 28800; // the server plays on; the flushed rest is not ours any more
        EXPECT_EQ((co_await playback.itemHeardMs()).value_or(-1), 50);
        co_return true;
    }()).value_or(false));
}

} // namespace
} // namespace selvina::voice
