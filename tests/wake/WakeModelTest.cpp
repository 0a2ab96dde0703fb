// The wake model's file checks, the log-mel front end against a direct DFT, and features and network
// scores against the trainer's reference fixture.
#include "TinyModel.h"
#include "wake/LogMelFrontEnd.h"
#include "wake/WakeModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <complex>
#include <functional>
#include <numbers>

using namespace selvina::wake;
using namespace selvina::wake::testing;

namespace {

using Kind = WakeModelError::Kind;

QJsonObject layerAt(const QJsonObject& header, int index) { return header["layers"].toArray()[index].toObject(); }

void setLayer(QJsonObject& header, int index, const QJsonObject& layer)
{
    QJsonArray layers = header["layers"].toArray();
    layers[index] = layer;
    header["layers"] = layers;
}

struct Refusal {
    const char* name;
    std::function<QByteArray()> file;
    Kind kind;
};

QByteArray withHeader(const std::function<void(QJsonObject&)>& change)
{
    TinyModel m = everyLayerModel();
    change(m.header);
    return m.bytes();
}

TEST(WakeModelFile, RefusesEveryKindOfBadFile)
{
    const QByteArray good = everyLayerModel().bytes();
    const std::vector<Refusal> refusals{
        {"wrong magic", [&] { return QByteArray("SVWAKE2\n") + good.mid(8); }, Kind::badMagic},
        {"empty", [] { return QByteArray(); }, Kind::badMagic},
        {"header not JSON", [&] { QByteArray b = good; b[12] = 'x'; return b; }, Kind::headerNotJson},
        {"header length past the end", [&] { QByteArray b = good; b[11] = char(0x7f); return b; }, Kind::headerNotJson},
        {"missing key", [] { return withHeader([](QJsonObject& h) { h.remove("gate_energy"); }); }, Kind::missingKey},
        {"mean of 39", [] { return withHeader([](QJsonObject& h) { QJsonArray a = h["mean"].toArray(); a.removeLast(); h["mean"] = a; }); }, Kind::invalidValue},
        {"format 2", [] { return withHeader([](QJsonObject& h) { h["format"] = 2; }); }, Kind::unsupportedFormat},
        {"8 kHz", [] { return withHeader([](QJsonObject& h) { h["sample_rate"] = 8000; }); }, Kind::unsupportedSampleRate},
        {"64 bands", [] { return withHeader([](QJsonObject& h) { h["mel_bands"] = 64; }); }, Kind::unsupportedMelBands},
        {"other hop", [] { return withHeader([](QJsonObject& h) { h["hop"] = 128; }); }, Kind::unsupportedFeatures},
        {"unknown layer", [] { return withHeader([](QJsonObject& h) { setLayer(h, 1, {{"type", "gelu"}}); }); }, Kind::unknownLayer},
        {"channels do not chain", [] { return withHeader([](QJsonObject& h) {
             QJsonObject l = layerAt(h, 4); l["in"] = 4; setLayer(h, 4, l); }); }, Kind::layersDoNotChain},
        {"dense input does not chain", [] { return withHeader([](QJsonObject& h) {
             QJsonObject l = layerAt(h, 6); l["in"] = 61; setLayer(h, 6, l); }); }, Kind::layersDoNotChain},
        {"last layer not one logit", [] { return withHeader([](QJsonObject& h) {
             QJsonArray a = h["layers"].toArray(); a.removeLast(); h["layers"] = a; }); }, Kind::layersDoNotChain},
        {"weights past the blob", [] { return withHeader([](QJsonObject& h) {
             QJsonObject l = layerAt(h, 8); l["weights"] = 10000; setLayer(h, 8, l); }); }, Kind::weightsOutsideBlob},
        {"embedding not a vector", [] { return withHeader([](QJsonObject& h) { h["embedding_layer"] = 2; }); }, Kind::invalidValue},
        {"blob short", [&] { return good.chopped(4); }, Kind::blobSizeMismatch},
        {"blob long", [&] { return good + QByteArray(4, '\0'); }, Kind::blobSizeMismatch},
        {"checksum", [&] { QByteArray b = good; b[b.size() - 1] = char(b[b.size() - 1] ^ 1); return b; }, Kind::checksumMismatch},
    };
    QTemporaryDir dir;
    for (const Refusal& r : refusals) {
        const QString path = dir.filePath(QString::fromLatin1(r.name) + QStringLiteral(".model"));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(r.file());
        f.close();
        const auto loaded = WakeModel::load(path);
        ASSERT_FALSE(loaded.ok()) << r.name;
        EXPECT_EQ(loaded.error().kind(), r.kind) << r.name << ": " << loaded.error().description().toStdString();
    }
    EXPECT_EQ(WakeModel::load(dir.filePath("absent.model")).error().kind(), Kind::unreadable);
    EXPECT_TRUE(WakeModel::fromBytes(good).ok());
}

// The features of the contract computed the slow way: a direct DFT in double precision.
std::array<double, 40> directFeatures(const float* frame, const LogMelFrontEnd::BandValues& mean, const LogMelFrontEnd::BandValues& deviation)
{
    std::array<double, 257> power{};
    for (int i = 0; i < 257; ++i) {
        std::complex<double> sum;
        for (int n = 0; n < 400; ++n)
            sum += double(frame[n]) * (0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / 400))
                * std::polar(1.0, -2 * std::numbers::pi * i * n / 512);
        power[i] = std::norm(sum);
    }
    const auto mel = [](double f) { return 2595 * std::log10(1 + f / 700); };
    std::array<double, 42> p{};
    for (int k = 0; k < 42; ++k)
        p[k] = 700 * (std::pow(10, (mel(60) + (mel(7600) - mel(60)) * k / 41) / 2595) - 1);
    std::array<double, 40> out{};
    for (int k = 0; k < 40; ++k) {
        double e = 0;
        for (int i = 0; i < 257; ++i) {
            const double f = i * 16000.0 / 512;
            e += std::max(0.0, std::min((f - p[k]) / (p[k + 1] - p[k]), (p[k + 2] - f) / (p[k + 2] - p[k + 1]))) * power[i];
        }
        out[k] = (std::log(e + 1e-6) - mean[k]) / deviation[k];
    }
    return out;
}

TEST(LogMelFrontEnd, MatchesADirectTransformOfTonesFedInOddBlocks)
{
    const auto model = WakeModel::fromBytes(everyLayerModel().bytes()).value();
    LogMelFrontEnd frontEnd(model->mean(), model->deviation(), 12);
    std::vector<float> signal(16000 / 4);
    for (std::size_t n = 0; n < signal.size(); ++n)
        signal[n] = float(0.5 * std::sin(2 * std::numbers::pi * 440 * n / 16000) + 0.1 * std::sin(2 * std::numbers::pi * 5100 * n / 16000)
            + 0.001 * std::sin(2 * std::numbers::pi * 7000 * n / 16000));
    std::size_t at = 0;
    int checked = 0;
    for (std::size_t block = 37; at < signal.size(); block = block * 3 % 401 + 1) {
        const std::size_t n = std::min(block, signal.size() - at);
        const int frames = frontEnd.push(std::span(signal).subspan(at, n));
        at += n;
        // Only the newest frame of a push is still in view, so compare when exactly one frame completed.
        if (frames != 1)
            continue;
        const std::int64_t j = frontEnd.frameCount() - 1;
        const auto expected = directFeatures(signal.data() + j * 160, model->mean(), model->deviation());
        for (int k = 0; k < 40; ++k)
            ASSERT_NEAR(frontEnd.newestFrame()[k], expected[k], 2e-3) << "frame " << j << " band " << k;
        ++checked;
    }
    EXPECT_GT(checked, 5);
    EXPECT_EQ(frontEnd.frameCount(), std::int64_t((signal.size() - 400) / 160 + 1));
    // The window holds the newest frames, oldest first.
    EXPECT_EQ(std::memcmp(frontEnd.window() + 11 * 40, frontEnd.newestFrame(), 40 * sizeof(float)), 0);
}

TEST(WakeReference, FeaturesAndScoresMatchTheTrainer)
{
    const QString fixture = qEnvironmentVariable("SELVINA_WAKE_REFERENCE", QStringLiteral(SELVINA_WAKE_REFERENCE));
    if (!QFileInfo::exists(fixture))
        GTEST_SKIP() << "no reference fixture at " << fixture.toStdString() << " (the trainer's script writes it)";
    QFile file(fixture);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject reference = QJsonDocument::fromJson(file.readAll()).object();
    const QString modelPath = QFileInfo(fixture).dir().filePath(reference["model"].toString());
    const auto loaded = WakeModel::load(modelPath);
    ASSERT_TRUE(loaded.ok()) << loaded.error().description().toStdString();
    const auto model = loaded.value();
    std::vector<float> pcm;
    for (const QJsonValue& v : reference["pcm16"].toArray())
        pcm.push_back(float(v.toInt()) / 32768.0f);

    const QJsonArray features = reference["features"].toArray();
    LogMelFrontEnd frontEnd(model->mean(), model->deviation(), model->windowFrames());
    for (int j = 0; j < features.size(); ++j) {
        const std::size_t begin = j == 0 ? 0 : std::size_t(j) * 160 + 240;
        ASSERT_EQ(frontEnd.push(std::span(pcm).subspan(begin, j == 0 ? 400 : 160)), 1);
        const QJsonArray expected = features[j].toArray();
        for (int k = 0; k < 40; ++k)
            ASSERT_NEAR(frontEnd.newestFrame()[k], expected[k].toDouble(), 2e-3) << "frame " << j << " band " << k;
    }

    // Scores of every window in order, from the network itself: the gate may have put 0 in their place.
    LogMelFrontEnd stream(model->mean(), model->deviation(), model->windowFrames());
    WakeModel::Scratch scratch(*model);
    const QJsonArray scores = reference["scores"].toArray();
    int window = 0;
    for (std::span<const float> rest(pcm); stream.pushToNextWindow(rest, model->stepFrames());) {
        ASSERT_LT(window, scores.size());
        const double expected = scores[window].toDouble();
        const bool gated = model->gateEnergy() > 0 && stream.windowPeakEnergy() < model->gateEnergy();
        if (!(gated && expected == 0.0)) {
            EXPECT_NEAR(WakeModel::score(model->logit(stream.window(), scratch)), expected, 2e-3) << "window " << window;
        }
        ++window;
    }
    EXPECT_EQ(window, scores.size());
}

} // namespace
