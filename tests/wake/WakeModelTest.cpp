// The wake model's file checks, and the log-mel features (fed in odd blocks) and network scores against
// the trainer's reference fixture.
#include "TestSupport.h"
#include "TinyModel.h"
#include "wake/LogMelFrontEnd.h"
#include "wake/WakeModel.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace selvina::wake;
using namespace selvina::wake::testing;
using selvina::testing::writeFile;

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
        const auto loaded = WakeModel::load(writeFile(dir.filePath(QString::fromLatin1(r.name) + ".model"), r.file()));
        ASSERT_FALSE(loaded.ok()) << r.name;
        EXPECT_EQ(loaded.error().kind(), r.kind) << r.name << ": " << loaded.error().description().toStdString();
    }
    EXPECT_EQ(WakeModel::load(dir.filePath("absent.model")).error().kind(), Kind::unreadable);
    EXPECT_TRUE(WakeModel::fromBytes(good).ok());
}

TEST(WakeReference, FeaturesAndScoresMatchTheTrainer)
{
    const QString fixture = qEnvironmentVariable("SELVINA_WAKE_REFERENCE", QStringLiteral(SELVINA_WAKE_REFERENCE));
    if (!QFileInfo::exists(fixture))
        GTEST_SKIP() << "no reference fixture at " << fixture.toStdString() << " (the trainer's script writes it)";
    const QJsonObject reference = QJsonDocument::fromJson(selvina::testing::readFile(fixture)).object();
    const QString modelPath = QFileInfo(fixture).dir().filePath(reference["model"].toString());
    const auto loaded = WakeModel::load(modelPath);
    ASSERT_TRUE(loaded.ok()) << loaded.error().description().toStdString();
    const auto model = loaded.value();
    std::vector<float> pcm;
    for (const QJsonValue& v : reference["pcm16"].toArray())
        pcm.push_back(float(v.toInt()) / 32768.0f);

    // Fed in blocks of odd sizes; every frame a push completed is compared where the window holds it
    // (the newest last), which also checks the window's order.
    const QJsonArray features = reference["features"].toArray();
    LogMelFrontEnd frontEnd(model->mean(), model->deviation(), 12);
    const std::size_t end = std::min(pcm.size(), std::size_t(features.size() - 1) * 160 + 400);
    for (std::size_t at = 0, block = 37; at < end; block = block * 3 % 401 + 1) {
        const std::size_t n = std::min(block, end - at);
        const int frames = frontEnd.push(std::span(pcm).subspan(at, n));
        at += n;
        for (int back = 0; back < frames; ++back) {
            const std::int64_t j = frontEnd.frameCount() - 1 - back;
            const float* row = frontEnd.window() + (11 - back) * 40;
            const QJsonArray expected = features[j].toArray();
            for (int k = 0; k < 40; ++k)
                ASSERT_NEAR(row[k], expected[k].toDouble(), 2e-3) << "frame " << j << " band " << k;
        }
    }
    EXPECT_EQ(frontEnd.frameCount(), features.size());
    EXPECT_EQ(std::memcmp(frontEnd.window() + 11 * 40, frontEnd.newestFrame(), 40 * sizeof(float)), 0);

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
