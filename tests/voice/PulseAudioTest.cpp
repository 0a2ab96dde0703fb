// Capture and playback through a real PulseAudio server of the test's own: a 48 kHz stereo null sink,
// its monitor remapped as the default microphone, and pacat as an independent recorder and player.
#include "PulseSuite.h"
#include "SoundServer.h"
#include "TestSupport.h"
#include "activation/DeviceWakeInput.h"
#include "activation/WakeWord.h"
#include "voice/audio/MicrophoneCapture.h"
#include "voice/audio/SpeakerPlayback.h"
#include "voice/audio/Sounds.h"

#include <gtest/gtest.h>

#include <QCoroTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <cmath>

namespace selvina::voice {
namespace {

using namespace std::chrono_literals;
using selvina::testing::tone;

class PulseServer : public selvina::testing::PulseSuite {
public:
    // Frames between the first and the last loud sample.
    static long toneFrames(std::unique_ptr<QProcess> recorder) { return selvina::testing::loudSpan(recorded(std::move(recorder))); }
    static void addSink(const QString& name)
    {
        s_pulse->loadModule({QStringLiteral("module-null-sink"), QStringLiteral("sink_name=") + name});
    }

    SpeakerPlayback m_playback{m_devices, nullptr, m_log};
};

QCoro::Task<> setOnceDrained(SpeakerPlayback* playback, bool* drained)
{
    co_await playback->waitUntilDrained();
    *drained = true;
}

// Plays `answer` in 100 ms chunks, as the service sends them, after `interrupts` sentences each cut
// short by a flush; returns the milliseconds from the answer's first chunk to the end of the drain wait.
QCoro::Task<qint64> interruptThenPlay(SpeakerPlayback* playback, int interrupts, QByteArray sentence, QByteArray answer)
{
    if (!(co_await playback->start()))
        co_return -1;
    for (int i = 0; i < interrupts; ++i) {
        auto enqueued = playback->enqueue(sentence); // not inside co_await: GCC 12 would destroy the copy twice
        co_await enqueued;
        co_await QCoro::sleepFor(150ms);
        co_await playback->flush();
    }
    QElapsedTimer clock;
    clock.start();
    for (qsizetype at = 0; at < answer.size(); at += 4800) {
        const QByteArray chunk = answer.mid(at, 4800);
        auto enqueued = playback->enqueue(chunk);
        co_await enqueued;
    }
    co_await playback->waitUntilDrained();
    co_return clock.elapsed();
}

// The drain never returns before the last sample could have played, also after interrupts; how long
// it waits beyond that is the playback benchmark's figure.
TEST_F(PulseServer, DrainWaitsForTheLastSampleAlsoAfterInterrupts)
{
    auto recorder = startRecorder();
    auto elapsed = selvina::testing::runTask(interruptThenPlay(&m_playback, 0, {}, tone(0.5)), 5s);
    ASSERT_TRUE(elapsed);
    QThread::msleep(200);
    EXPECT_GE(*elapsed, 500);
    // All of it reached the sink (a loaded machine may stretch the span with an underrun, never shorten it).
    EXPECT_GE(toneFrames(std::move(recorder)), 12000 - 600);

    SpeakerPlayback buffered(m_devices, nullptr, m_log, {.latencyMs = 400});
    elapsed = selvina::testing::runTask(interruptThenPlay(&buffered, 3, tone(1.0), tone(0.5)), 10s);
    ASSERT_TRUE(elapsed);
    EXPECT_GE(*elapsed, 500);
}

TEST_F(PulseServer, FlushSilencesTheRestAndReleasesWaiters)
{
    auto recorder = startRecorder();
    bool released = false;
    qint64 itemMs = -1;
    auto played = selvina::testing::runTask([&]() -> QCoro::Task<long> {
        if (!(co_await m_playback.start()))
            co_return -1;
        m_playback.markItemStart();
        auto enqueued = m_playback.enqueue(tone(3.0)); // not inside co_await: GCC 12 would destroy the copy twice
        co_await enqueued;
        co_await QCoro::sleepFor(600ms);
        auto waiter = setOnceDrained(&m_playback, &released);
        const auto frames = static_cast<long>(m_playback.playedFrames());
        co_await m_playback.flush();
        itemMs = (co_await m_playback.itemHeardMs()).value_or(-1);
        co_await QCoro::sleepFor(1000ms);
        co_return frames;
    }(), 5s);
    ASSERT_TRUE(played);
    const long heard = toneFrames(std::move(recorder));
    EXPECT_TRUE(released);
    EXPECT_GT(*played, 0);
    EXPECT_LT(heard - *played, 24000 / 2); // not the rest of the tone: under half the second that followed
    EXPECT_NEAR(double(itemMs), heard / 24.0, 100.0); // what the model is told was heard is what the sink played
}

QCoro::Task<bool> listen(MicrophoneCapture* capture, std::chrono::milliseconds duration)
{
    auto started = co_await capture->start(); // kept out of the condition: written inside it, GCC 12 built a coroutine that never resumed
    if (!started)
        co_return false;
    co_await QCoro::sleepFor(duration);
    co_return true;
}

TEST_F(PulseServer, CapturesFirstChannelOfAStereoMicrophoneAndRestartsOnceOnDeviceChanges)
{
    // One second loud on the left, then one second loud on the right only.
    QByteArray stereo(48000 * 2 * 2 * 4, '\0');
    auto* samples = reinterpret_cast<float*>(stereo.data());
    for (int i = 0; i < 96000; ++i) // frame i: [left, right]
        samples[2 * i + (i < 48000 ? 0 : 1)] = static_cast<float>(0.7 * std::sin(2 * M_PI * 300.0 * i / 48000));
    const QString file = selvina::testing::writeFile(s_pulse->filePath(QStringLiteral("stereo.raw")), stereo);

    SystemClock clock;
    MicrophoneCapture capture(m_devices, nullptr, m_log, clock, {.mode = VoiceProcessingMode::off});
    long bytes = 0;
    int chunks = 0;
    double loudest = 0, last = 0;
    QObject::connect(&capture, &AudioCapture::framesAvailable, [&] {
        while (auto frame = capture.takeFrame()) {
            bytes += frame->size();
            ++chunks;
        }
        if (auto level = capture.takeLevel()) {
            loudest = std::max(loudest, *level);
            last = *level;
        }
    });
    auto player = s_pulse->pacat(QStringLiteral("--playback -d selvina_null --raw --format=float32le --rate=48000 --channels=2")
                                     .split(u' ') << file);
    ASSERT_TRUE(selvina::testing::runTask(listen(&capture, 2300ms), 5s).value_or(false));
    player->waitForFinished(3000);
    EXPECT_GT(chunks, 80);
    EXPECT_NEAR(double(bytes) / chunks, 1024.0, 100.0);
    EXPECT_GT(loudest, 0.9);
    EXPECT_LT(last, 0.2); // the right channel alone does not count
    EXPECT_EQ(capture.engineStarts(), 1);

    // Two new devices 0.2 s apart: one restart.
    addSink(QStringLiteral("extra_one"));
    QThread::msleep(200);
    addSink(QStringLiteral("extra_two"));
    ASSERT_TRUE(selvina::testing::runTask(listen(&capture, 700ms), 5s).value_or(false));
    EXPECT_EQ(capture.engineStarts(), 2);
    selvina::testing::runTask(capture.stop().then([] { return true; }));
}

// The generated cues play to the end through their own stream. (A folder without them is logged, not
// fatal: the delegate's tests play their cues from one.)
TEST_F(PulseServer, CuesPlayFromTheResourcesOneAfterTheOther)
{
    CuePlayer player(m_devices, m_log, QStringLiteral(SELVINA_TEST_RESOURCES));
    const auto playCues = [](CuePlayer* player) -> QCoro::Task<bool> {
        co_await player->play(Cue::interrupted);
        co_await player->play(Cue::end);
        co_return true;
    };
    auto recorder = startRecorder();
    ASSERT_TRUE(selvina::testing::runTask(playCues(&player), 5s).value_or(false));
    QThread::msleep(150);
    EXPECT_GT(toneFrames(std::move(recorder)), 24000 * 0.5); // przerwane (0.32 s) and koniec (0.9 s) one after the other
}

// Quitting while the end cue still sounds: the player goes, then the devices, both mid-cue. The cue
// must end without reaching either again (its drain poll used to lock the freed server connection).
TEST_F(PulseServer, CueOutlivedByNeitherPlayerNorDevicesWhenBothGoMidCue)
{
    auto devices = std::make_unique<platform::PulseAudioDevices>(QStringLiteral("test"));
    auto player = std::make_unique<CuePlayer>(*devices, m_log, QStringLiteral(SELVINA_TEST_RESOURCES));
    auto recorder = startRecorder();
    bool ended = false;
    auto cue = [](CuePlayer* p, bool* done) -> QCoro::Task<> {
        co_await p->play(Cue::end);
        *done = true;
    }(player.get(), &ended);
    QByteArray heard;
    ASSERT_TRUE(selvina::testing::waitFor([&] {
        heard += recorder->readAllStandardOutput();
        return selvina::testing::loudSpan(heard) > 0;
    })) << "the cue never sounded";
    ASSERT_FALSE(ended); // 0.9 s long: still sounding
    player.reset();
    devices.reset();
    EXPECT_TRUE(selvina::testing::waitFor([&] { return ended; }));
    selvina::testing::stopProcess(*recorder);
}

TEST_F(PulseServer, OutputDeviceChangeRestartsPlaybackAndReleasesWaiters)
{
    bool released = false;
    EXPECT_TRUE(selvina::testing::runTask([&]() -> QCoro::Task<bool> {
        if (!(co_await m_playback.start()))
            co_return false;
        const QByteArray pcm = tone(3.0);
        auto enqueued = m_playback.enqueue(pcm);
        co_await enqueued;
        auto waiter = setOnceDrained(&m_playback, &released);
        co_await QCoro::sleepFor(200ms);
        addSink(QStringLiteral("extra_playback"));
        co_await QCoro::sleepFor(400ms); // far less than the 3 s queued
        const bool releasedByRestart = released;
        auto enqueuedMore = m_playback.enqueue(pcm.left(4800)); // the restarted stream takes new audio
        co_await enqueuedMore;
        co_await m_playback.waitUntilDrained();
        co_return releasedByRestart;
    }(), 5s).value_or(false));
    EXPECT_TRUE(m_log.lines.isEmpty()) << m_log.lines.join(u'\n').toStdString();
}

// The sound server is killed under an open conversation and started again: the microphone and the
// speakers reopen on the new server by themselves, each says so once, and both work there.
TEST_F(PulseServer, MicrophoneAndSpeakersReopenOnARestartedSoundServer)
{
    SystemClock clock;
    MicrophoneCapture capture(m_devices, nullptr, m_log, clock, {.mode = VoiceProcessingMode::off});
    QList<quint64> back;
    QStringList gone;
    long frames = 0;
    QObject::connect(&capture, &AudioCapture::soundServerBack, [&](quint64 c) { back.append(c); });
    QObject::connect(&m_playback, &AudioPlayback::soundServerBack, [&](quint64 c) { back.append(c); });
    QObject::connect(&capture, &AudioCapture::soundServerGone, [&](const QString& s) { gone.append(s); });
    QObject::connect(&m_playback, &AudioPlayback::soundServerGone, [&](const QString& s) { gone.append(s); });
    QObject::connect(&capture, &AudioCapture::framesAvailable, [&] {
        while (capture.takeFrame())
            ++frames;
    });
    ASSERT_TRUE(selvina::testing::runTask(listen(&capture, 300ms), 5s).value_or(false));
    ASSERT_TRUE(selvina::testing::runTask(m_playback.start().then([](auto started) { return bool(started); })).value_or(false));
    ASSERT_TRUE(selvina::testing::waitFor([&] { return frames > 0; }));

    ASSERT_TRUE(s_pulse->restart());
    ASSERT_TRUE(selvina::testing::waitFor([&] { return back.size() == 2; }, 10s)) << m_log.lines.join(u'\n').toStdString();
    EXPECT_EQ(back[0], back[1]); // one restarted server, one piece of news
    EXPECT_TRUE(gone.isEmpty());
    frames = 0;
    ASSERT_TRUE(selvina::testing::waitFor([&] { return frames > 10; }));
    auto recorder = startRecorder();
    EXPECT_TRUE(selvina::testing::runTask([](SpeakerPlayback* playback) -> QCoro::Task<bool> {
        auto enqueued = playback->enqueue(tone(0.5));
        co_await enqueued;
        co_await playback->waitUntilDrained();
        co_return true;
    }(&m_playback), 5s).value_or(false));
    EXPECT_GT(toneFrames(std::move(recorder)), 6000); // a quarter of the half second at least
    selvina::testing::runTask(capture.stop().then([] { return true; }));
}

// A server that does not come back: both streams give up after their limit and say why; nothing
// waits for ever.
TEST_F(PulseServer, MicrophoneAndSpeakersGiveUpOnASoundServerThatStaysAway)
{
    SystemClock clock;
    MicrophoneCapture capture(m_devices, nullptr, m_log, clock, {.mode = VoiceProcessingMode::off, .reopenLimit = 1500ms});
    SpeakerPlayback playback(m_devices, nullptr, m_log, {.reopenLimit = 1500ms});
    QStringList gone;
    QObject::connect(&capture, &AudioCapture::soundServerGone, [&](const QString& s) { gone.append(s); });
    QObject::connect(&playback, &AudioPlayback::soundServerGone, [&](const QString& s) { gone.append(s); });
    ASSERT_TRUE(selvina::testing::runTask(listen(&capture, 100ms), 5s).value_or(false));
    ASSERT_TRUE(selvina::testing::runTask(playback.start().then([](auto started) { return bool(started); })).value_or(false));
    s_pulse->kill();
    EXPECT_TRUE(selvina::testing::waitFor([&] { return gone.size() == 2; }, 8s));
    EXPECT_EQ(gone, QStringList(2, soundServerGoneSentence()));
    EXPECT_TRUE(selvina::testing::runTask(playback.waitUntilDrained().then([] { return true; }), 2s).has_value());
    EXPECT_TRUE(selvina::testing::runTask(capture.stop().then([] { return true; }), 2s).has_value());
    ASSERT_TRUE(s_pulse->restart());
}

// The wake-phrase listener, waiting between conversations, hears again after a restart of the
// server without being told.
TEST_F(PulseServer, TheWaitingWakeListenerHearsAgainAfterTheSoundServerRestarts)
{
    struct Counting final : activation::SpeechRecognizer {
        std::atomic<long>* samples;
        explicit Counting(std::atomic<long>* s) : samples(s) {}
        bool isAvailable() const override { return true; }
        bool recognizesOnDevice() const override { return true; }
        QString unavailableReason() const override { return {}; }
        void startTask(Handler) override {}
        void append(const float*, std::size_t count) noexcept override { samples->fetch_add(long(count)); }
        void cancelTask() override {}
    };
    std::atomic<long> samples{0};
    SystemClock clock;
    activation::WakeWord listener(std::make_unique<Counting>(&samples), std::make_unique<activation::DeviceWakeInput>(m_devices),
                                  clock, [] {}, {.log = [](const QString&) {}});
    listener.start();
    ASSERT_TRUE(selvina::testing::waitFor([&] { return samples.load() > 16000; }));
    ASSERT_TRUE(s_pulse->restart());
    samples = 0;
    EXPECT_TRUE(selvina::testing::waitFor([&] { return samples.load() > 16000; }, 15s)); // a second of audio
    listener.stop();
}

} // namespace
} // namespace selvina::voice
