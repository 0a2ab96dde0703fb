// The spotter's firing rules and gate over the loudness model, personal enrolment's refusals and its
// profile file, and, when the shipped model is there, the phrase spoken by espeak-ng.
#include "TestSupport.h"
#include "TinyModel.h"
#include "voice/audio/SampleRateConverter.h"
#include "wake/Enrolment.h"
#include "wake/PhraseSpotter.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::wake;
using namespace selvina::wake::testing;

namespace {

std::shared_ptr<const WakeModel> loudness(double gateEnergy = 0)
{
    return WakeModel::fromBytes(loudnessModel(gateEnergy).bytes()).value();
}

// Feeds in 80 ms blocks, as the capture does; returns the sample positions of the fires.
std::vector<std::int64_t> fires(PhraseSpotter& spotter, const std::vector<float>& audio)
{
    std::vector<std::int64_t> at;
    for (std::size_t i = 0; i < audio.size(); i += 1280) {
        if (spotter.feed(std::span(audio).subspan(i, std::min<std::size_t>(1280, audio.size() - i))))
            at.push_back(spotter.lastFireSample());
    }
    return at;
}

// The loudness model's "phrase": half a second of noise, enough to fill a window past the threshold once.
std::vector<float> phrase(unsigned seed = 1) { return noise(0.5, 0.3f, seed); }

TEST(PhraseSpotter, FiresOncePerPhraseClearsItsBuffersAndResetDropsAHalfSeenPhrase)
{
    auto model = loudness();
    // Without clearing, the windows after the fire still hold the phrase and would fire again.
    PhraseSpotter spotter(model, SpotterSettings::defaultsOf(*model));
    const auto once = fires(spotter, concat({silence(1), phrase(), silence(2)}));
    ASSERT_EQ(once.size(), 1u);
    EXPECT_GT(once[0], 16000);
    EXPECT_LT(once[0], 16000 + 8000);
    spotter.reset();
    const auto twice = fires(spotter, concat({silence(1), phrase(1), silence(2), phrase(2), silence(2)}));
    ASSERT_EQ(twice.size(), 2u);
    EXPECT_GT(twice[1], 3 * 16000 + 8000);

    const std::vector<float> burst = phrase();
    const std::vector<float> firstHalf(burst.begin(), burst.begin() + 4000), secondHalf(burst.begin() + 4000, burst.end());
    for (const bool resetBetween : {false, true}) {
        PhraseSpotter fresh(model, SpotterSettings::defaultsOf(*model));
        EXPECT_TRUE(fires(fresh, concat({silence(1), firstHalf})).empty());
        if (resetBetween)
            fresh.reset();
        EXPECT_EQ(fires(fresh, concat({secondHalf, silence(1)})).size(), resetBetween ? 0u : 1u) << resetBetween;
    }
}

TEST(PhraseSpotter, GatesSilentWindowsWithoutRunningTheNetwork)
{
    auto model = loudness(1.0);
    PhraseSpotter spotter(model, SpotterSettings::defaultsOf(*model));
    std::vector<WindowScore> seen;
    spotter.setWindowObserver([&](const WindowScore& w) { seen.push_back(w); });
    EXPECT_TRUE(fires(spotter, concat({silence(1), noise(2, 1e-4f)})).empty());
    EXPECT_GT(spotter.windowsGated(), 0);
    EXPECT_EQ(spotter.windowsEvaluated(), 0);
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.back().gated);
    EXPECT_EQ(seen.back().score, 0.0f);
    EXPECT_EQ(fires(spotter, concat({phrase(), silence(1)})).size(), 1u);
    EXPECT_GT(spotter.windowsEvaluated(), 0);
    // Windows come every 4 frames (40 ms of audio) once 50 frames exist.
    EXPECT_EQ(seen[1].endSample - seen[0].endSample, 4 * 160);
}

// A loudness-model "saying": three syllable-like bursts in 0.8 s, quiet around them.
std::vector<float> saying(unsigned seed, float amplitude = 0.3f)
{
    return concat({silence(0.5), noise(0.2, amplitude, seed), noise(0.1, 0.003f), noise(0.2, amplitude, seed + 10),
        noise(0.1, 0.003f), noise(0.2, amplitude, seed + 20), silence(0.5)});
}

// A square wave: loud like a saying, with its energy in harmonics instead of spread evenly.
std::vector<float> buzz(double seconds, double hz)
{
    std::vector<float> out(std::size_t(seconds * 16000));
    for (std::size_t n = 0; n < out.size(); ++n)
        out[n] = std::fmod(n * hz / 16000, 1.0) < 0.5 ? 0.3f : -0.3f;
    return out;
}

TEST(Enrolment, RefusesBadRecordingsNamingThem)
{
    using Kind = EnrolmentError::Kind;
    auto model = loudness();
    std::vector<float> clipped = saying(9, 3.0f);
    for (float& s : clipped)
        s = std::clamp(s, -1.0f, 32767.0f / 32768.0f);
    const struct {
        const char* name;
        std::vector<std::vector<float>> recordings;
        EnrolmentError expected;
    } cases[] = {
        {"two recordings", {saying(1), saying(2)}, EnrolmentError::tooFewRecordings()},
        {"silence", {saying(1), noise(2, 1e-4f), saying(3)}, EnrolmentError::silence(2)},
        {"noise only", {saying(1), saying(2), noise(2, 0.1f)}, EnrolmentError::noSpeech(3)},
        {"too short", {concat({silence(0.5), noise(0.2, 0.3f), silence(0.5)}), saying(2), saying(3)}, EnrolmentError::tooShort(1)},
        {"too long", {saying(1), concat({saying(2), saying(3), saying(4)}), saying(5)}, EnrolmentError::tooLong(2)},
        {"clipped", {saying(1), saying(2), clipped}, EnrolmentError::clipped(3)},
    };
    for (const auto& c : cases) {
        const auto result = enrol(*model, c.recordings);
        ASSERT_FALSE(result.ok()) << c.name;
        EXPECT_EQ(result.error(), c.expected) << c.name << ": " << result.error().description().toStdString();
        if (c.expected.kind() != Kind::tooFewRecordings) {
            EXPECT_TRUE(result.error().description().contains(QString::number(c.expected.recording()))) << c.name;
        }
    }
}

// Three sayings make a profile that lets the user's sayings through the spotter and nothing else,
// and that survives its file, which another model refuses.
TEST(Enrolment, AProfileLetsTheUsersSayingsThroughRoundTripsAndRefusesAnotherModelsFile)
{
    auto model = loudness();
    const auto result = enrol(*model, {saying(1), saying(2), saying(3)});
    ASSERT_TRUE(result.ok()) << result.error().description().toStdString();
    const VoiceProfile& profile = result.value();
    // No score reaches 1: only a voice match can fire.
    const SpotterSettings unreachable{1.0f, 2};
    PhraseSpotter plain(model, unreachable);
    // The spotter's rule on its own: the loudness model's embedding (the window itself) is far from a
    // voice's, so its calibration says little.
    VoiceProfile voice = profile;
    voice.similarityThreshold = 0.6f;
    PhraseSpotter personal(model, unreachable, voice);
    EXPECT_TRUE(fires(plain, concat({silence(1), saying(2), silence(1)})).empty());
    EXPECT_EQ(fires(personal, concat({silence(1), saying(2), silence(1)})).size(), 1u);
    EXPECT_TRUE(fires(personal, concat({silence(1), buzz(0.8, 200), silence(1)})).empty());

    ASSERT_EQ(profile.templates.size(), 3u);
    EXPECT_LT(profile.scoreFloor, model->threshold());
    EXPECT_GT(profile.nearestSimilarity(profile.templates[0].data()), profile.similarityThreshold);

    QTemporaryDir dir;
    const QString path = dir.filePath("voice.json");
    ASSERT_TRUE(profile.save(path).ok());
    const auto loaded = VoiceProfile::load(path, *model);
    ASSERT_TRUE(loaded.ok()) << loaded.error().description().toStdString();
    EXPECT_EQ(loaded.value().templates, profile.templates);
    EXPECT_EQ(loaded.value().similarityThreshold, profile.similarityThreshold);

    TinyModel other = loudnessModel();
    other.blob.back() = 7.0f;
    EXPECT_EQ(VoiceProfile::load(path, *WakeModel::fromBytes(other.bytes()).value()).error(), VoiceProfileError::otherModel());
    EXPECT_EQ(VoiceProfile::load(dir.filePath("none.json"), *model).error(), VoiceProfileError::missing());
    selvina::testing::writeFile(path, "{\"format\": 1, \"templates\"");
    EXPECT_EQ(VoiceProfile::load(path, *model).error(), VoiceProfileError::corrupt());
}

// espeak-ng's Polish voice, converted to 16 kHz.
std::vector<float> speak(const QString& text, const QString& variant)
{
    QProcess espeak;
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), QStringLiteral("pl+") + variant, QStringLiteral("--stdout"), text});
    if (!espeak.waitForFinished(30000))
        return {};
    const QByteArray wav = espeak.readAllStandardOutput();
    if (wav.size() <= 44)
        return {};
    std::vector<float> in;
    for (qsizetype i = 44; i + 1 < wav.size(); i += 2)
        in.push_back(float(qint16(quint8(wav[i]) | quint8(wav[i + 1]) << 8)) / 32768.0f);
    const int rate = quint8(wav[24]) | quint8(wav[25]) << 8 | quint8(wav[26]) << 16; // 22050
    auto converter = voice::SampleRateConverter::make(rate, 16000, nullptr);
    std::vector<float> out(in.size() * 16000 / std::size_t(rate) + 4096);
    out.resize(converter->process(in.data(), in.size(), out.data(), out.size()));
    return concat({silence(0.5), out, silence(0.5)});
}

TEST(ShippedModel, WakesOnTheSpokenPhraseAndEnrolsAVoice)
{
    const QString path = qEnvironmentVariable("SELVINA_WAKE_MODEL", QStringLiteral(SELVINA_WAKE_MODEL));
    if (!QFileInfo::exists(path))
        GTEST_SKIP() << "no shipped model at " << path.toStdString();
    const auto loaded = WakeModel::load(path);
    ASSERT_TRUE(loaded.ok()) << loaded.error().description().toStdString();
    const auto model = loaded.value();
    const std::vector<float> phrase = speak(QStringLiteral("hej Selvina"), QStringLiteral("m3"));
    ASSERT_FALSE(phrase.empty()) << "espeak-ng gave no audio";
    PhraseSpotter spotter(model, SpotterSettings::defaultsOf(*model));
    EXPECT_EQ(fires(spotter, concat({silence(1), phrase, silence(2)})).size(), 1u);
    spotter.reset();
    EXPECT_TRUE(fires(spotter, concat({silence(1), speak(QStringLiteral("dzień dobry wszystkim"), QStringLiteral("m3")), silence(2)})).empty());

    std::vector<std::vector<float>> sayings;
    for (const char* variant : {"f2", "f3", "f4"})
        sayings.push_back(speak(QStringLiteral("hej Selvina"), QString::fromLatin1(variant)));
    const auto profile = enrol(*model, sayings);
    ASSERT_TRUE(profile.ok()) << profile.error().description().toStdString();
    sayings.push_back(speak(QStringLiteral("dzień dobry wszystkim"), QStringLiteral("f2")));
    const auto refused = enrol(*model, sayings);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().recording(), 4) << refused.error().description().toStdString();
}

} // namespace
