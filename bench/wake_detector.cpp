// The wake-phrase detector on its evaluation set: missed phrases per condition, hard negatives firing,
// false alarms per hour of continuous non-target speech, CPU share of one core while streaming in 80 ms
// blocks, and detection latency, for the shipped model at a few settings; one line each, ending in PASS
// or FAIL against the goals. A plain program rather than a Google Benchmark: every line is a whole run.
//
// SELVINA_WAKE_MODEL and SELVINA_WAKE_EVAL override the model file and the evaluation folder (written by
// tools/wake/make_eval.py); SELVINA_WAKE_DEFAULT_ONLY=1 runs only the default, with and without voice
// profiles (each run streams all six hours). Counting: each clip goes into a reset spotter and is missed
// without a fire; on the streams a fire within 2 s of the previous one is not counted again.
#include "wake/Enrolment.h"
#include "wake/PhraseSpotter.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <numeric>
#include <optional>

using namespace selvina::wake;

namespace {

constexpr std::size_t kBlock = 1280; // 80 ms at 16 kHz
constexpr std::int64_t kIgnoreAfterFire = 2 * 16000;
volatile float g_sink; // keeps the timed network runs from being optimised away

struct Clip {
    std::vector<float> samples;
    std::int64_t phraseEnd = -1; // -1: no phrase (a hard negative)
    QString voice;
    bool enrolment = false; // one of the sayings a voice profile was made from: not counted with profiles
};

struct Stream {
    std::vector<qint16> samples;
    double hours() const { return double(samples.size()) / 16000.0 / 3600.0; }
};

std::vector<qint16> readRaw(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    std::vector<qint16> out(std::size_t(bytes.size() / 2));
    std::memcpy(out.data(), bytes.constData(), out.size() * 2);
    return out;
}

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Line {
    double missed[3] = {};
    double hardFiring = 0, faPerHour[2] = {}, cpuShare = 0, latencyMean = 0, latencyP95 = 0;
};

struct Evaluation {
    std::vector<Clip> conditions[3]; // clean, snr10, snr5_reverb
    std::vector<Clip> hardNegatives;
    Stream streams[2]; // speech_20db, speech_8db
};

using Profiles = std::map<QString, VoiceProfile>;

// `profiles` (may be empty): each clip runs with its voice's profile, the streams with the first one.
Line run(const std::shared_ptr<const WakeModel>& model, SpotterSettings settings, const Evaluation& set,
    const Profiles& profiles)
{
    const auto profileOf = [&](const QString& voice) -> std::optional<VoiceProfile> {
        const auto found = voice.isNull() ? profiles.begin() : profiles.find(voice);
        return found == profiles.end() ? std::nullopt : std::optional(found->second);
    };
    std::optional<PhraseSpotter> spotterStorage;
    spotterStorage.emplace(model, settings, profileOf({}));
    Line line;
    // CPU over the continuous streams, where the spotter runs as it does for hours; each clip starts in a
    // reset spotter that spends most of it filling its first window.
    double cpu = 0, audioSeconds = 0, streamCpu = 0, streamSeconds = 0;
    std::vector<double> latencies;
    const auto feedClip = [&](const Clip& clip) {
        if (!profiles.empty())
            spotterStorage.emplace(model, settings, profileOf(clip.voice));
        PhraseSpotter& spotter = *spotterStorage;
        spotter.reset();
        const double start = threadSeconds();
        std::int64_t fire = -1;
        // The whole clip, as the listener would keep listening.
        for (std::size_t i = 0; i < clip.samples.size(); i += kBlock) {
            if (spotter.feed(std::span(clip.samples).subspan(i, std::min(kBlock, clip.samples.size() - i))) && fire < 0)
                fire = spotter.lastFireSample();
        }
        cpu += threadSeconds() - start;
        audioSeconds += double(clip.samples.size()) / 16000.0;
        return fire;
    };
    for (int c = 0; c < 3; ++c) {
        int missed = 0;
        int counted = 0;
        for (const Clip& clip : set.conditions[c]) {
            if (clip.enrolment && !profiles.empty())
                continue;
            ++counted;
            const std::int64_t fire = feedClip(clip);
            if (fire < 0)
                ++missed;
            else
                latencies.push_back(double(fire - clip.phraseEnd) / 16.0);
        }
        line.missed[c] = counted == 0 ? 0 : 100.0 * missed / double(counted);
    }
    int hard = 0;
    for (const Clip& clip : set.hardNegatives)
        hard += feedClip(clip) >= 0 ? 1 : 0;
    line.hardFiring = set.hardNegatives.empty() ? 0 : 100.0 * hard / double(set.hardNegatives.size());
    std::vector<float> block(kBlock);
    for (int s = 0; s < 2; ++s) {
        const Stream& stream = set.streams[s];
        if (!profiles.empty())
            spotterStorage.emplace(model, settings, profileOf({}));
        PhraseSpotter& spotter = *spotterStorage;
        spotter.reset();
        std::int64_t lastCounted = -kIgnoreAfterFire - 1;
        int fires = 0;
        const double start = threadSeconds();
        for (std::size_t i = 0; i < stream.samples.size(); i += kBlock) {
            const std::size_t n = std::min(kBlock, stream.samples.size() - i);
            for (std::size_t k = 0; k < n; ++k)
                block[k] = float(stream.samples[i + k]) / 32768.0f;
            if (spotter.feed(std::span(block).first(n)) && spotter.lastFireSample() - lastCounted >= kIgnoreAfterFire) {
                ++fires;
                lastCounted = spotter.lastFireSample();
            }
        }
        streamCpu += threadSeconds() - start;
        streamSeconds += double(stream.samples.size()) / 16000.0;
        line.faPerHour[s] = stream.samples.empty() ? 0 : fires / stream.hours();
    }
    line.cpuShare = streamSeconds > 0 ? 100.0 * streamCpu / streamSeconds : audioSeconds > 0 ? 100.0 * cpu / audioSeconds : 0;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        line.latencyMean = std::accumulate(latencies.begin(), latencies.end(), 0.0) / double(latencies.size());
        line.latencyP95 = latencies[std::min(latencies.size() - 1, std::size_t(0.95 * double(latencies.size())))];
    }
    return line;
}

void printLine(const char* label, const SpotterSettings& s, const Line& l)
{
    QStringList failed;
    if (l.missed[0] > 5.0)
        failed << QStringLiteral("clean");
    if (l.missed[1] > 10.0)
        failed << QStringLiteral("10 dB");
    if (l.hardFiring > 2.0)
        failed << QStringLiteral("hard negatives");
    if (l.faPerHour[0] > 0.5 || l.faPerHour[1] > 0.5)
        failed << QStringLiteral("false alarms");
    if (l.cpuShare > 3.0)
        failed << QStringLiteral("CPU");
    std::printf("%sthreshold %.3f, %d window%s: missed clean %.1f %%, 10 dB %.1f %%, 5 dB+reverb %.1f %%; hard negatives "
                "firing %.1f %%; false alarms %.2f/h at 20 dB, %.2f/h at 8 dB; CPU %.2f %% of a core; latency mean %.0f ms, "
                "p95 %.0f ms; %s\n",
        label, double(s.threshold), s.windows, s.windows == 1 ? "" : "s", l.missed[0], l.missed[1], l.missed[2], l.hardFiring,
        l.faPerHour[0], l.faPerHour[1], l.cpuShare, l.latencyMean, l.latencyP95,
        failed.isEmpty() ? "PASS" : qPrintable(QStringLiteral("FAIL (") + failed.join(QStringLiteral(", ")) + QLatin1Char(')')));
    std::fflush(stdout);
}

bool loadEvaluation(const QString& folder, Evaluation& set)
{
    QFile file(QDir(folder).filePath(QStringLiteral("manifest.json")));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject manifest = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject conditions = manifest[QStringLiteral("conditions")].toObject();
    const char* names[] = {"clean", "snr10", "snr5_reverb", "hard_negatives"};
    for (int c = 0; c < 4; ++c) {
        for (const QJsonValue& entry : conditions[QLatin1String(names[c])].toArray()) {
            const QJsonObject o = entry.toObject();
            Clip clip;
            for (qint16 s : readRaw(QDir(folder).filePath(o[QStringLiteral("file")].toString())))
                clip.samples.push_back(float(s) / 32768.0f);
            clip.phraseEnd = o[QStringLiteral("phrase_end")].isDouble() ? o[QStringLiteral("phrase_end")].toInteger() : -1;
            clip.voice = o[QStringLiteral("voice")].toString();
            (c < 3 ? set.conditions[c] : set.hardNegatives).push_back(std::move(clip));
        }
    }
    const QJsonObject streams = manifest[QStringLiteral("streams")].toObject();
    set.streams[0].samples = readRaw(QDir(folder).filePath(streams[QStringLiteral("speech_20db")].toString()));
    set.streams[1].samples = readRaw(QDir(folder).filePath(streams[QStringLiteral("speech_8db")].toString()));
    return true;
}

// The cost of the network alone on one window of real features, and of the front end per second.
void printCost(const std::shared_ptr<const WakeModel>& model, const Evaluation& set)
{
    std::vector<float> audio;
    for (const Clip& clip : set.conditions[0])
        audio.insert(audio.end(), clip.samples.begin(), clip.samples.end());
    audio.resize(std::max<std::size_t>(audio.size(), std::size_t(model->windowFrames() + 3) * 160), 0.0f);
    LogMelFrontEnd frontEnd(model->mean(), model->deviation(), model->windowFrames());
    const double frontStart = threadSeconds();
    frontEnd.push(audio);
    const double frontSeconds = threadSeconds() - frontStart;
    WakeModel::Scratch scratch(*model);
    float sink = 0;
    constexpr int kRuns = 400;
    const double netStart = threadSeconds();
    for (int i = 0; i < kRuns; ++i)
        sink += model->logit(frontEnd.window(), scratch);
    const double perWindow = (threadSeconds() - netStart) / kRuns;
    const double windowsPerSecond = 16000.0 / (160.0 * model->stepFrames());
    const double audioSeconds = double(audio.size()) / 16000.0;
    g_sink = sink;
    std::printf("cost: network %.0f us per window (%.1f windows/s), features %.2f ms per s of audio: %.2f %% of a core\n",
        perWindow * 1e6, windowsPerSecond, frontSeconds / audioSeconds * 1e3,
        100.0 * (perWindow * windowsPerSecond + frontSeconds / audioSeconds));
}

} // namespace

int main()
{
    const QString modelPath = qEnvironmentVariable("SELVINA_WAKE_MODEL", QStringLiteral(SELVINA_WAKE_MODEL_FILE));
    const QString evalFolder = qEnvironmentVariable("SELVINA_WAKE_EVAL", QStringLiteral(SELVINA_WAKE_EVAL_FOLDER));
    const auto loaded = WakeModel::load(modelPath);
    if (!loaded.ok()) {
        std::printf("no wake model: %s\n", qPrintable(loaded.error().description()));
        return 0;
    }
    const auto model = loaded.value();
    Evaluation set;
    if (!loadEvaluation(evalFolder, set)) {
        std::printf("no evaluation set in %s (tools/wake/make_eval.py writes it)\n", qPrintable(evalFolder));
        return 0;
    }
    std::printf("model %s (%s); %zu/%zu/%zu clips, %zu hard negatives, %.2f h + %.2f h of speech\n",
        qPrintable(QFileInfo(modelPath).fileName()), qPrintable(model->trained()), set.conditions[0].size(),
        set.conditions[1].size(), set.conditions[2].size(), set.hardNegatives.size(), set.streams[0].hours(),
        set.streams[1].hours());
    printCost(model, set);

    const SpotterSettings defaults = SpotterSettings::defaultsOf(*model);
    std::vector<SpotterSettings> settings{defaults};
    if (qEnvironmentVariableIntValue("SELVINA_WAKE_DEFAULT_ONLY") != 1) {
        settings.push_back({defaults.threshold - 0.1f, defaults.windows});
        // Above the default, halfway to 1 when 0.1 more would reach it.
        settings.push_back({std::min(defaults.threshold + 0.1f, 0.5f * (defaults.threshold + 1.0f)), defaults.windows});
        for (int w = 1; w <= 3; ++w) {
            if (w != defaults.windows)
                settings.push_back({defaults.threshold, w});
        }
    }
    for (const SpotterSettings& s : settings) {
        if (s.threshold > 0.0f && s.threshold < 1.0f)
            printLine("", s, run(model, s, set, {}));
    }

    // Personal enrolment: each held-out voice enrols from its first three clean clips; its other clips
    // are counted with its profile, the streams run with the first voice's.
    Profiles profiles;
    std::map<QString, std::vector<Clip*>> byVoice;
    for (Clip& clip : set.conditions[0])
        byVoice[clip.voice].push_back(&clip);
    int refused = 0;
    for (auto& [voice, clips] : byVoice) {
        if (voice.isEmpty() || clips.size() < 3)
            continue;
        std::vector<std::vector<float>> sayings;
        for (int i = 0; i < 3; ++i) {
            clips[std::size_t(i)]->enrolment = true;
            sayings.push_back(clips[std::size_t(i)]->samples);
        }
        auto profile = enrol(*model, sayings);
        if (profile.ok())
            profiles.emplace(voice, std::move(profile.value()));
        else {
            ++refused;
            std::printf("%s: %s\n", qPrintable(voice), qPrintable(profile.error().description()));
        }
    }
    if (!profiles.empty()) {
        std::printf("voice profiles: %zu voices enrolled, %d refused\n", profiles.size(), refused);
        printLine("with voice profiles, ", defaults, run(model, defaults, set, profiles));
    }
    return 0;
}
