// The microphone's echo cancellation on a loop through a private PulseAudio server: the speakers are a
// null sink whose monitor is remapped as the microphone, so everything SpeakerPlayback plays comes back
// through MicrophoneCapture (at full level: a harder case than a room, where the echo arrives weaker).
// The assistant's voice is Polish speech from espeak-ng. Printed:
// - the echo return loss enhancement (the microphone's level before the canceller over its level after
//   it, in dB) while the canceller converges (0-0.5 s, 0.5-1 s) and in steady state (1 s to the end),
//   only over windows where the assistant is audible;
// - the residual echo in dBFS beside the assistant's speech level at the microphone;
// - a second voice (the user) spoken into the same sink while the assistant talks: its level after the
//   canceller, beside the same voice alone and the residual echo at the same moments.
// Each run is one pass; the canceller starts from scratch in each.
#include "EventLoopWaits.h"
#include "PrivatePulseServer.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/pulse/PulseAudioDevices.h"
#include "voice/audio/MicrophoneCapture.h"
#include "voice/audio/Pcm16.h"
#include "voice/audio/SampleRateConverter.h"
#include "voice/audio/SpeakerPlayback.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>

using namespace selvina;
using namespace selvina::bench;

namespace {

constexpr int kRate = 24000;
constexpr int kEspeakRate = 22050;
constexpr double kWindowS = 0.1;     // ERLE and levels per 100 ms
constexpr double kVadWindowS = 0.02; // the loudest 20 ms, the size of a voice activity detector's frame
constexpr double kActiveDbfs = -50;  // a window counts as "the assistant is audible" above this

// espeak-ng's voice, 16-bit mono at its own rate.
QByteArray spoken(const QString& voice, const QString& text)
{
    QProcess espeak;
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), voice, QStringLiteral("--stdout"), text});
    const QByteArray wav = espeak.waitForFinished(30000) ? espeak.readAllStandardOutput() : QByteArray();
    const qsizetype data = wav.indexOf("data");
    return data < 0 ? QByteArray() : wav.mid(data + 8);
}

QByteArray to24k(const QByteArray& pcm)
{
    const std::vector<float> in = voice::floatsFromPcm16(pcm);
    std::vector<float> out(in.size() * 2 + 4096);
    QString error;
    auto converter = voice::SampleRateConverter::make(kEspeakRate, kRate, &error);
    if (!converter)
        return {};
    std::size_t n = converter->process(in.data(), in.size(), out.data(), out.size());
    const std::vector<float> tail(4096, 0.0f); // pushes the converter's delay line out
    n += converter->process(tail.data(), tail.size(), out.data() + n, out.size() - n);
    QByteArray bytes(qsizetype(2 * n), Qt::Uninitialized);
    voice::toPcm16(out.data(), n, bytes.data());
    return bytes;
}

// The devices, with what the microphone hands over kept (first channel, before any processing).
// Also notes how much the microphone had handed over when the speakers were first given a sound.
class TappedDevices final : public platform::AudioDevices, private platform::AudioInputCallback,
                            private platform::AudioOutputCallback {
public:
    explicit TappedDevices(platform::AudioDevices& inner) : raw(std::size_t(48000) * 60), m_inner(inner) {}
    Result<platform::AudioFormat, platform::AudioDeviceError> defaultInputFormat() override { return m_inner.defaultInputFormat(); }
    Result<platform::AudioFormat, platform::AudioDeviceError> defaultOutputFormat() override { return m_inner.defaultOutputFormat(); }
    Result<std::unique_ptr<platform::AudioStream>, platform::AudioDeviceError>
    openInput(platform::AudioFormat format, std::size_t blockFrames, platform::AudioInputCallback& callback) override
    {
        m_callback = &callback;
        return m_inner.openInput(format, blockFrames, *this);
    }
    Result<std::unique_ptr<platform::AudioStream>, platform::AudioDeviceError>
    openOutput(int sampleRate, int latencyMs, const QString& role, platform::AudioOutputCallback& callback) override
    {
        if (m_output != nullptr) // the user's voice: not the assistant's
            return m_inner.openOutput(sampleRate, latencyMs, role, callback);
        m_output = &callback;
        return m_inner.openOutput(sampleRate, latencyMs, role, *this);
    }
    int addDevicesChangedHandler(std::function<void()> handler) override { return m_inner.addDevicesChangedHandler(std::move(handler)); }
    void removeDevicesChangedHandler(int token) override { m_inner.removeDevicesChangedHandler(token); }
    std::uint64_t connectionNumber() override { return m_inner.connectionNumber(); }

    std::vector<float> raw;
    std::atomic<std::size_t> rawCount{0};
    std::atomic<int> rawRate{0};
    std::atomic<long> firstSoundAtRaw{-1}; // rawCount when the first non-zero sample went to the speakers

private:
    void delayUntilHeard(std::chrono::microseconds delay) noexcept override { m_output->delayUntilHeard(delay); }
    void delaySinceRecorded(std::chrono::microseconds delay) noexcept override { m_callback->delaySinceRecorded(delay); }
    void render(float* mono, std::size_t frames) noexcept override
    {
        m_output->render(mono, frames);
        if (firstSoundAtRaw.load() < 0 && std::any_of(mono, mono + frames, [](float s) { return s != 0.0f; }))
            firstSoundAtRaw = long(rawCount.load());
    }
    void captured(const float* interleaved, std::size_t frames, platform::AudioFormat format) noexcept override
    {
        rawRate.store(format.sampleRate);
        std::size_t at = rawCount.load();
        for (std::size_t i = 0; i < frames && at < raw.size(); ++i, ++at)
            raw[at] = interleaved[i * std::size_t(format.channels)];
        rawCount.store(at);
        m_callback->captured(interleaved, frames, format);
    }
    platform::AudioDevices& m_inner;
    platform::AudioInputCallback* m_callback = nullptr;
    platform::AudioOutputCallback* m_output = nullptr;
};

double dbfs(double meanSquare)
{
    return 10 * std::log10(std::max(meanSquare, 1e-14)); // floor at -140 dBFS: a digital zero
}

double meanSquare(const std::vector<float>& s, double rate, double from, double to)
{
    const auto a = std::size_t(std::max(0.0, from * rate));
    const auto b = std::min(s.size(), std::size_t(std::max(0.0, to * rate)));
    if (b <= a)
        return 0;
    double sum = 0;
    for (std::size_t i = a; i < b; ++i)
        sum += double(s[i]) * s[i];
    return sum / double(b - a);
}

// One pass: the microphone before and after the canceller, both in seconds from the same start.
struct Pass {
    std::vector<float> before; // at beforeRate
    double beforeRate = 48000;
    std::vector<float> after; // at 24 kHz
    double assistantAt = -1;  // when the assistant's first sample was asked for, s
    double userAt = -1;       // when the user's voice was started, s
    double echoDelayMs = -1;  // from the reference's first sound to its echo in the microphone
    int toldDelayMs = -1;     // what the canceller was told at the end, from the server's latencies
    bool cancelling = false;
};

struct Room {
    testing::PrivatePulseServer& pulse;
    platform::PulseAudioDevices& devices;
    platform::fake::MemorySystemLog& log;
};

Pass run(Room room, bool cancel, const QByteArray& assistant, const QByteArray& user, double userDelayS,
         int playbackLatencyMs = voice::SpeakerPlayback::Options().latencyMs)
{
    Pass pass;
    TappedDevices devices(room.devices);
    auto reference = std::make_shared<voice::EchoReference>();
    SystemClock clock;
    voice::MicrophoneCapture::Options options;
    options.mode = cancel ? voice::VoiceProcessingMode::on : voice::VoiceProcessingMode::off;
    voice::MicrophoneCapture capture(devices, reference, room.log, clock, options);
    voice::SpeakerPlayback::Options playbackOptions;
    playbackOptions.latencyMs = playbackLatencyMs;
    voice::SpeakerPlayback playback(devices, reference, room.log, playbackOptions);
    // The user's voice: a second stream into the same sink, kept out of the canceller's reference.
    voice::SpeakerPlayback userVoice(devices, nullptr, room.log);
    QByteArray captured;
    QObject::connect(&capture, &voice::AudioCapture::framesAvailable, [&] {
        while (auto frame = capture.takeFrame())
            captured += *frame;
    });
    if (!await(playback.start()).ok() || !await(userVoice.start()).ok() || !await(capture.start()).ok())
        return pass;
    pass.cancelling = capture.voiceProcessingActive();
    pause(500);
    auto seconds = [&] {
        const int rate = devices.rawRate.load();
        return rate > 0 ? double(devices.rawCount.load()) / rate : 0.0;
    };
    const double speechS = double(assistant.size()) / 2 / kRate;
    double userS = 0;
    if (!assistant.isEmpty()) {
        pass.assistantAt = seconds();
        await(done(playback.enqueue(assistant)));
    }
    if (!user.isEmpty()) {
        pause(int(userDelayS * 1000));
        pass.userAt = seconds();
        await(done(userVoice.enqueue(user)));
        userS = double(user.size()) / 2 / kRate;
    }
    const double end = std::max(pass.assistantAt + speechS, pass.userAt + userS) + 0.7;
    waitUntil([&] { return seconds() >= end; }, int((end + 5) * 1000));
    pass.toldDelayMs = capture.echoDelayMs().value_or(-1);
    await(done(userVoice.stop()));
    await(done(capture.stop()));
    await(done(playback.stop()));
    while (auto frame = capture.takeFrame())
        captured += *frame;
    pass.beforeRate = devices.rawRate.load();
    pass.before.assign(devices.raw.begin(), devices.raw.begin() + std::ptrdiff_t(devices.rawCount.load()));
    pass.after = voice::floatsFromPcm16(captured);
    if (const long given = devices.firstSoundAtRaw.load(); given >= 0 && !assistant.isEmpty()) {
        const auto echo = std::find_if(pass.before.begin() + given, pass.before.end(),
                                       [](float s) { return std::fabs(s) > 0.001f; });
        if (echo != pass.before.end())
            pass.echoDelayMs = double(echo - pass.before.begin() - given) * 1000 / pass.beforeRate;
    }
    return pass;
}

struct Window {
    double from, before, after; // mean squares
};

std::vector<Window> windows(const Pass& pass, double from, double to, double size = kWindowS)
{
    std::vector<Window> out;
    for (double t = from; t + size <= to + 1e-9; t += size)
        out.push_back({t, meanSquare(pass.before, pass.beforeRate, t, t + size), meanSquare(pass.after, kRate, t, t + size)});
    return out;
}

// A level for printing: an all-zero stretch (the canceller's suppressor silences whole frames) as "zero".
std::string level(double db)
{
    char text[16];
    if (db <= -139.9)
        return "   zero";
    std::snprintf(text, sizeof text, "%7.1f", db);
    return text;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

// The echo's figures over [from, to) s after the assistant's voice began, audible windows only.
void printEcho(const char* label, const Pass& pass, double from, double to)
{
    std::vector<double> erle, residual, speech;
    double sumBefore = 0, sumAfter = 0;
    for (const Window& w : windows(pass, pass.assistantAt + from, pass.assistantAt + to)) {
        if (dbfs(w.before) < kActiveDbfs)
            continue;
        erle.push_back(dbfs(w.before) - dbfs(w.after));
        residual.push_back(dbfs(w.after));
        speech.push_back(dbfs(w.before));
        sumBefore += w.before;
        sumAfter += w.after;
    }
    double loudest = -140;
    for (const Window& w : windows(pass, pass.assistantAt + from, pass.assistantAt + to, kVadWindowS))
        loudest = std::max(loudest, dbfs(w.after));
    if (erle.empty()) {
        std::printf("  %-22s no audible echo\n", label);
        return;
    }
    // Windows silenced to zero give ERLE figures of 100 dB and more: "overall" (all the echo's energy over
    // all of the residual's) is the meaningful one there.
    std::printf("  %-22s ERLE overall %6.1f dB, median %6.1f dB, worst 10%% %6.1f dB | echo %6.1f dBFS, residual %s dBFS "
                "(medians), loudest 20 ms of residual %s dBFS  (%zu windows)\n",
                label, dbfs(sumBefore) - dbfs(sumAfter), median(erle), percentile(erle, 0.1), median(speech),
                level(median(residual)).c_str(), level(loudest).c_str(), erle.size());
}

// The median level (dBFS) of `pass` after the canceller over windows where `reference` (the user's
// voice alone) is audible, times taken from the user's start in each.
double levelWhileUserSpeaks(const Pass& pass, const Pass& reference, double length, std::vector<double>* loudest = nullptr)
{
    std::vector<double> levels;
    for (double t = 0; t + kWindowS <= length; t += kWindowS) {
        const double alone = meanSquare(reference.after, kRate, reference.userAt + t, reference.userAt + t + kWindowS);
        if (dbfs(alone) < kActiveDbfs)
            continue;
        levels.push_back(dbfs(meanSquare(pass.after, kRate, pass.userAt + t, pass.userAt + t + kWindowS)));
    }
    if (loudest != nullptr)
        *loudest = levels;
    return median(levels);
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    QCoreApplication app(argc, argv);
    testing::PrivatePulseServer pulse(
        QStringLiteral("load-module module-null-sink sink_name=bench_room rate=48000 channels=2\n"
                       "load-module module-remap-source master=bench_room.monitor source_name=bench_mic\n"
                       "set-default-sink bench_room\nset-default-source bench_mic"));
    if (!pulse.up()) {
        std::printf("echo cancellation: no PulseAudio server\n");
        return 1;
    }
    pulse.useInThisProcess();
    pulse.keepAwake();
    const QByteArray assistant = to24k(spoken(
        QStringLiteral("pl"), QStringLiteral("Dzień dobry. Na pulpicie masz otwarte trzy okna: przeglądarkę, edytor tekstu "
                                             "i terminal. W przeglądarce jest strona z prognozą pogody na jutro. "
                                             "Czy mam przeczytać, co jest w edytorze?")));
    const QByteArray user = to24k(spoken(QStringLiteral("pl+f3"), QStringLiteral("Przestań. Mam inne pytanie.")));
    if (assistant.isEmpty() || user.isEmpty()) {
        std::printf("echo cancellation: espeak-ng did not speak\n");
        return 1;
    }
    platform::PulseAudioDevices devices(QStringLiteral("bench"));
    platform::fake::MemorySystemLog log;
    Room room{pulse, devices, log};
    const double speechS = double(assistant.size()) / 2 / kRate;
    const double userS = double(user.size()) / 2 / kRate;
    constexpr double userDelayS = 3.0;

    const Pass off = run(room, false, assistant, {}, 0);
    const Pass on = run(room, true, assistant, {}, 0);
    Pass alone = run(room, true, {}, user, 0);
    Pass both = run(room, true, assistant, user, userDelayS);
    // The way from the queue to the microphone, found where the user's voice begins in the pass where it
    // is alone, is taken as the same in the pass with the assistant.
    const auto firstLoud = std::find_if(alone.before.begin() + std::ptrdiff_t(alone.userAt * alone.beforeRate),
                                        alone.before.end(), [](float s) { return std::fabs(s) > 0.003f; });
    const double onset = double(firstLoud - alone.before.begin()) / alone.beforeRate - alone.userAt;
    alone.userAt += onset;
    both.userAt += onset;
    // Longer ways to the loudspeaker (a wireless headset, a server with large buffers): the delay the
    // canceller is told must follow them.
    constexpr int kLongerLatenciesMs[] = {150, 250};
    std::vector<Pass> longer;
    for (const int latency : kLongerLatenciesMs)
        longer.push_back(run(room, true, assistant, {}, 0, latency));
    if (!on.cancelling) {
        std::printf("echo cancellation: the canceller did not start (%s)\n", qPrintable(log.lines.join(u' ')));
        return 1;
    }

    std::printf("Echo on a null-sink loop (speakers' monitor as the microphone), assistant %.1f s of Polish speech\n", speechS);
    std::printf("the echo reaches the microphone %.0f ms after its reference; the canceller is told %d ms (measured "
                "from the server's latencies; %d ms where they are not known)\n",
                on.echoDelayMs, on.toldDelayMs, voice::EchoCanceller::kDelayHintMs);
    std::printf("without the canceller:\n");
    printEcho("whole answer", off, 0, speechS);
    std::printf("with the canceller:\n");
    printEcho("0-0.5 s (converging)", on, 0, 0.5);
    printEcho("0.5-1 s", on, 0.5, 1.0);
    printEcho("1 s-end (steady)", on, 1.0, speechS);
    std::printf("  after the answer ends: %s dBFS\n",
                level(dbfs(meanSquare(on.after, kRate, on.assistantAt + speechS + 0.2, on.assistantAt + speechS + 0.6))).c_str());
    for (double at = 0; at + 1 <= speechS; at += 1) {
        char label[32];
        std::snprintf(label, sizeof label, "second %.0f-%.0f", at, at + 1);
        printEcho(label, on, at, at + 1);
    }

    for (std::size_t i = 0; i < longer.size(); ++i) {
        std::printf("with the canceller, the speakers' stream asking for %d ms of buffering (echo after %.0f ms, "
                    "canceller told %d ms):\n",
                    kLongerLatenciesMs[i], longer[i].echoDelayMs, longer[i].toldDelayMs);
        printEcho("0-0.5 s (converging)", longer[i], 0, 0.5);
        printEcho("0.5-1 s", longer[i], 0.5, 1.0);
        printEcho("1 s-end (steady)", longer[i], 1.0, speechS);
    }

    std::printf("The user speaking %.1f s into the answer (%.1f s of speech), with the canceller:\n", userDelayS, userS);
    std::vector<double> aloneLevels, bothLevels, residualLevels;
    const double userAlone = levelWhileUserSpeaks(alone, alone, userS, &aloneLevels);
    const double userInEcho = levelWhileUserSpeaks(both, alone, userS, &bothLevels);
    // The echo-only pass at the same moments of the answer: what is left of the assistant there.
    Pass echoAtUser = on;
    echoAtUser.userAt = on.assistantAt + (both.userAt - both.assistantAt);
    const double residualThen = levelWhileUserSpeaks(echoAtUser, alone, userS, &residualLevels);
    std::printf("  user alone after the canceller          median %s dBFS  loudest 100 ms %s dBFS\n", level(userAlone).c_str(),
                level(percentile(aloneLevels, 1.0)).c_str());
    std::printf("  user over the assistant, after it       median %s dBFS  loudest 100 ms %s dBFS\n", level(userInEcho).c_str(),
                level(percentile(bothLevels, 1.0)).c_str());
    std::printf("  the assistant alone then, after it      median %s dBFS  loudest 100 ms %s dBFS\n", level(residualThen).c_str(),
                level(percentile(residualLevels, 1.0)).c_str());
    std::printf("  the user's voice loses %.1f dB (median) while the assistant talks\n", userAlone - userInEcho);
    return 0;
}
