#include "wake/Enrolment.h"

#include "wake/LogMelFrontEnd.h"
#include "wake/WakeModel.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace selvina::wake {

QString EnrolmentError::description() const
{
    const QString n = QString::number(m_recording);
    switch (m_kind) {
    case Kind::tooFewRecordings:
        return QStringLiteral("Potrzebuję co najmniej trzech nagrań — powiedz „hej Selvina” jeszcze raz.");
    case Kind::silence:
        return QStringLiteral("Nagranie %1 to sama cisza — powiedz „hej Selvina” wyraźnie, bliżej mikrofonu.").arg(n);
    case Kind::noSpeech:
        return QStringLiteral("W nagraniu %1 słyszę tylko szum, bez mowy — powiedz „hej Selvina” w cichszym miejscu "
                              "albo bliżej mikrofonu.").arg(n);
    case Kind::tooShort:
        return QStringLiteral("Nagranie %1 jest za krótkie — powiedz całe „hej Selvina”, spokojnie.").arg(n);
    case Kind::tooLong:
        return QStringLiteral("Nagranie %1 jest za długie — powiedz samo „hej Selvina”, bez innych słów.").arg(n);
    case Kind::clipped:
        return QStringLiteral("Nagranie %1 jest przesterowane — mów trochę ciszej albo dalej od mikrofonu.").arg(n);
    case Kind::notThePhrase:
        return QStringLiteral("W nagraniu %1 nie słyszę „hej Selvina” — powiedz dokładnie te słowa.").arg(n);
    case Kind::differentPhrase:
        return QStringLiteral("Nagranie %1 brzmi inaczej niż pozostałe — powiedz za każdym razem to samo: "
                              "„hej Selvina”.").arg(n);
    }
    return {};
}

namespace {

constexpr int kMinRecordings = 3;
constexpr int kBlock = 160; // 10 ms energy blocks
constexpr double kSilenceDb = -50.0; // dBFS: nothing in the recording is louder than this
constexpr double kSpeechOverFloorDb = 12.0; // speech stands this far above the recording's own floor
constexpr int kMinSpeechBlocks = 10; // 100 ms of speech-like energy at least
constexpr double kMinSpeechSeconds = 0.4;
constexpr double kMaxSpeechSeconds = 2.5;
constexpr double kClippedFraction = 0.005;
constexpr float kFullScale = 32767.0f / 32768.0f;
// Cosine. The shipped network's embedding keeps sayings of the phrase and other speech in the same
// voice close together; looser matching let false alarms through (measured on training voices:
// 0.8 gave 4 times the false alarms of no profile at 8 dB, 0.97 about the same as none).
constexpr float kMinSimilarity = 0.97f;
constexpr float kScoreFloorShare = 0.95f; // of the threshold, or of the user's weakest saying when lower
constexpr int kNegativeOffsetFrames = 50; // windows this far (0.5 s) from the best one lack part of the phrase

struct Level {
    int firstSpeech = -1, lastSpeech = -1, speechBlocks = 0;
    double peakDb = -200.0;
    int quietestBlock = 0;
};

Level measure(const std::vector<float>& samples)
{
    Level level;
    const int blocks = int(samples.size() / kBlock);
    std::vector<double> db(std::size_t(std::max(blocks, 0)));
    for (int b = 0; b < blocks; ++b) {
        double sum = 0;
        for (int i = 0; i < kBlock; ++i) {
            const double s = samples[std::size_t(b) * kBlock + i];
            sum += s * s;
        }
        db[b] = 10.0 * std::log10(sum / kBlock + 1e-12);
        level.peakDb = std::max(level.peakDb, db[b]);
        if (db[b] < db[level.quietestBlock])
            level.quietestBlock = b;
    }
    if (blocks == 0)
        return level;
    std::vector<double> sorted = db;
    std::nth_element(sorted.begin(), sorted.begin() + blocks / 10, sorted.end());
    const double floorDb = sorted[std::size_t(blocks / 10)];
    const double speechDb = std::max(floorDb + kSpeechOverFloorDb, kSilenceDb);
    for (int b = 0; b < blocks; ++b) {
        if (db[b] < speechDb)
            continue;
        if (level.firstSpeech < 0)
            level.firstSpeech = b;
        level.lastSpeech = b;
        ++level.speechBlocks;
    }
    return level;
}

struct Scored {
    float bestScore = 0.0f;
    std::int64_t bestFrame = 0;
    std::vector<float> bestEmbedding;
    std::vector<std::pair<std::int64_t, std::vector<float>>> windows; // frame count at each window, embedding
};

// Runs the network over the recording placed after a window's worth of its own quietest 10 ms (so the
// first windows see room tone, as when listening, not digital silence) and a little of it after.
Scored score(const WakeModel& model, const std::vector<float>& samples, const Level& level)
{
    const std::size_t windowSamples = std::size_t(model.windowFrames()) * LogMelFrontEnd::kHop + LogMelFrontEnd::kFrameLength;
    const float* quiet = samples.data() + std::size_t(level.quietestBlock) * kBlock;
    std::vector<float> padded;
    padded.reserve(samples.size() + windowSamples + 8000);
    for (std::size_t i = 0; i < windowSamples; ++i)
        padded.push_back(quiet[i % kBlock]);
    padded.insert(padded.end(), samples.begin(), samples.end());
    for (std::size_t i = 0; i < 8000; ++i) // 0.5 s
        padded.push_back(quiet[i % kBlock]);

    LogMelFrontEnd frontEnd(model.mean(), model.deviation(), model.windowFrames());
    WakeModel::Scratch scratch(model);
    Scored result;
    std::vector<float> embedding(std::size_t(model.embeddingSize()));
    std::span<const float> rest(padded);
    while (frontEnd.pushToNextWindow(rest, model.stepFrames())) {
        const float s = WakeModel::score(model.logit(frontEnd.window(), scratch, embedding.data()));
        if (result.bestEmbedding.empty() || s > result.bestScore) {
            result.bestScore = s;
            result.bestFrame = frontEnd.frameCount();
            result.bestEmbedding = embedding;
        }
        result.windows.emplace_back(frontEnd.frameCount(), embedding);
    }
    return result;
}

double median(std::vector<float> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t m = values.size() / 2;
    return values.size() % 2 != 0 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

} // namespace

namespace {

// The checks one recording must pass by itself; its level and scores for the set's checks.
std::optional<EnrolmentError> checkOne(const WakeModel& model, const std::vector<float>& samples, int number,
                                       Scored* scoredOut)
{
    const Level level = measure(samples);
    if (level.peakDb < kSilenceDb)
        return EnrolmentError::silence(number);
    const auto clippedSamples = std::count_if(samples.begin(), samples.end(), [](float s) { return std::abs(s) >= kFullScale; });
    if (double(clippedSamples) > kClippedFraction * double(samples.size()))
        return EnrolmentError::clipped(number);
    if (level.speechBlocks < kMinSpeechBlocks)
        return EnrolmentError::noSpeech(number);
    const double seconds = double(level.lastSpeech - level.firstSpeech + 1) * kBlock / LogMelFrontEnd::kSampleRate;
    if (seconds < kMinSpeechSeconds)
        return EnrolmentError::tooShort(number);
    if (seconds > kMaxSpeechSeconds)
        return EnrolmentError::tooLong(number);
    Scored scored = score(model, samples, level);
    // Far under what the network gives even an unfamiliar voice saying the phrase.
    if (scored.bestScore < model.threshold() / 20.0f)
        return EnrolmentError::notThePhrase(number);
    if (scoredOut)
        *scoredOut = std::move(scored);
    return std::nullopt;
}

} // namespace

std::optional<EnrolmentError> checkRecording(const WakeModel& model, const std::vector<float>& recording16k, int number)
{
    return checkOne(model, recording16k, number, nullptr);
}

Result<VoiceProfile, EnrolmentError> enrol(const WakeModel& model, const std::vector<std::vector<float>>& recordings16k)
{
    if (int(recordings16k.size()) < kMinRecordings)
        return EnrolmentError::tooFewRecordings();
    std::vector<Scored> scored(recordings16k.size());
    float lowestBest = 1.0f;
    for (int r = 0; r < int(recordings16k.size()); ++r) {
        if (auto problem = checkOne(model, recordings16k[std::size_t(r)], r + 1, &scored[std::size_t(r)]))
            return *problem;
        lowestBest = std::min(lowestBest, scored[std::size_t(r)].bestScore);
    }

    const std::size_t dims = std::size_t(model.embeddingSize());
    const int count = int(scored.size());
    // Each recording against its nearest sibling: how alike the user's own sayings are.
    std::vector<float> sibling(std::size_t(count), -1.0f);
    // Windows that hold only part of the phrase, against the other recordings: how alike they must not be.
    std::vector<float> partial;
    for (int r = 0; r < count; ++r) {
        for (int o = 0; o < count; ++o) {
            if (o == r)
                continue;
            sibling[r] = std::max(sibling[r], cosineSimilarity(scored[r].bestEmbedding.data(), scored[o].bestEmbedding.data(), dims));
        }
        for (const auto& [frame, embedding] : scored[r].windows) {
            if (std::abs(frame - scored[r].bestFrame) < kNegativeOffsetFrames)
                continue;
            float nearest = -1.0f;
            for (int o = 0; o < count; ++o) {
                if (o != r)
                    nearest = std::max(nearest, cosineSimilarity(embedding.data(), scored[o].bestEmbedding.data(), dims));
            }
            partial.push_back(nearest);
        }
    }
    // A recording of another phrase resembles its siblings no more than windows holding only part of the
    // phrase typically do. (Sayings of the phrase itself vary widely with prosody, so nothing stricter.)
    const double typicalPartial = partial.empty() ? -1.0 : median(partial);
    const int outlier = int(std::min_element(sibling.begin(), sibling.end()) - sibling.begin());
    if (sibling[outlier] < typicalPartial)
        return EnrolmentError::differentPhrase(outlier + 1);

    VoiceProfile profile;
    profile.modelSha256 = model.blobSha256();
    for (Scored& s : scored)
        profile.templates.push_back(std::move(s.bestEmbedding));
    // Between the loosest match among the user's own sayings and the closest partial window, so that each
    // saying would have been recognised from the others and no part of the phrase is; above the closest
    // partial window when the sayings are looser than that.
    const float loosest = *std::min_element(sibling.begin(), sibling.end());
    const float closestPartial = partial.empty() ? -1.0f : *std::max_element(partial.begin(), partial.end());
    // Never below kMinSimilarity: a loose pair among the sayings must not open the detector to everything.
    profile.similarityThreshold = closestPartial < loosest ? 0.5f * (loosest + closestPartial) : closestPartial + 0.02f;
    profile.similarityThreshold = std::clamp(profile.similarityThreshold, kMinSimilarity, 0.999f);
    // The network must still lean clearly towards the phrase: a voice match lowers the threshold a little,
    // enough for each of the user's own sayings to pass.
    profile.scoreFloor = kScoreFloorShare * std::min(model.threshold(), lowestBest);
    return profile;
}

} // namespace selvina::wake
