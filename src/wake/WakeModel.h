// WakeModel: the wake-phrase network read from its file (magic, JSON header, float32 blob), checked
// completely on load, and run on one window of log-mel frames.
// Thread: a loaded model is immutable and may be shared between threads; each caller of logit() owns
// its own Scratch.
#pragma once

#include "core/Result.h"
#include "wake/LogMelFrontEnd.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <memory>
#include <vector>

namespace selvina::wake {

class WakeModelError {
public:
    enum class Kind {
        unreadable, // the file cannot be opened or read
        badMagic,
        headerNotJson,
        missingKey,
        invalidValue, // a key of the wrong type or out of range
        unsupportedFormat,
        unsupportedSampleRate,
        unsupportedMelBands,
        unsupportedFeatures, // frame, hop, FFT, band edges or floor other than this program computes
        unknownLayer,
        layersDoNotChain,
        weightsOutsideBlob,
        blobSizeMismatch,
        checksumMismatch,
    };

    static WakeModelError unreadable(QString path) { return {Kind::unreadable, std::move(path)}; }
    static WakeModelError badMagic() { return {Kind::badMagic, {}}; }
    static WakeModelError headerNotJson() { return {Kind::headerNotJson, {}}; }
    static WakeModelError missingKey(QString key) { return {Kind::missingKey, std::move(key)}; }
    static WakeModelError invalidValue(QString key) { return {Kind::invalidValue, std::move(key)}; }
    static WakeModelError unsupportedFormat(int format) { return {Kind::unsupportedFormat, QString::number(format)}; }
    static WakeModelError unsupportedSampleRate(int rate) { return {Kind::unsupportedSampleRate, QString::number(rate)}; }
    static WakeModelError unsupportedMelBands(int bands) { return {Kind::unsupportedMelBands, QString::number(bands)}; }
    static WakeModelError unsupportedFeatures(QString key) { return {Kind::unsupportedFeatures, std::move(key)}; }
    static WakeModelError unknownLayer(int index) { return {Kind::unknownLayer, QString::number(index)}; }
    static WakeModelError layersDoNotChain(int index) { return {Kind::layersDoNotChain, QString::number(index)}; }
    static WakeModelError weightsOutsideBlob(int index) { return {Kind::weightsOutsideBlob, QString::number(index)}; }
    static WakeModelError blobSizeMismatch() { return {Kind::blobSizeMismatch, {}}; }
    static WakeModelError checksumMismatch() { return {Kind::checksumMismatch, {}}; }

    Kind kind() const { return m_kind; }
    // The key, layer index or value the refusal names (empty where there is none).
    const QString& detail() const { return m_detail; }
    QString description() const;
    bool operator==(const WakeModelError&) const = default;

private:
    WakeModelError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}
    Kind m_kind;
    QString m_detail;
};

class WakeModel {
public:
    enum class LayerType { conv2d, dwconv2d, maxpool2d, relu, flatten, dense };

    struct Shape {
        int channels = 0, height = 1, width = 1;
        bool vector = false; // after flatten: `channels` values
        std::size_t size() const { return std::size_t(channels) * height * width; }
    };

    struct Layer {
        LayerType type;
        Shape input, output;
        int kernelH = 1, kernelW = 1, strideH = 1, strideW = 1, padH = 0, padW = 0;
        std::size_t weights = 0, bias = 0; // float offsets into the blob
    };

    // Working memory for one caller of logit(): sized once from the model, never reallocated.
    class Scratch {
    public:
        explicit Scratch(const WakeModel& model);

    private:
        friend class WakeModel;
        std::vector<float> m_a, m_b, m_padded, m_wide;
    };

    static Result<std::shared_ptr<const WakeModel>, WakeModelError> load(const QString& path);
    static Result<std::shared_ptr<const WakeModel>, WakeModelError> fromBytes(const QByteArray& bytes);

    int windowFrames() const { return m_windowFrames; }
    int stepFrames() const { return m_stepFrames; }
    float threshold() const { return m_threshold; }
    int windows() const { return m_windows; }
    float gateEnergy() const { return m_gateEnergy; } // 0: no gate
    int embeddingLayer() const { return m_embeddingLayer; }
    int embeddingSize() const { return int(m_layers[std::size_t(m_embeddingLayer)].output.size()); }
    const LogMelFrontEnd::BandValues& mean() const { return m_mean; }
    const LogMelFrontEnd::BandValues& deviation() const { return m_deviation; }
    const QString& trained() const { return m_trained; }
    const QString& blobSha256() const { return m_blobSha256; } // lower-case hex
    const std::vector<Layer>& layers() const { return m_layers; }

    // `window`: [windowFrames][40] normalised frames, oldest first. `embeddingOut`, when given, receives
    // embeddingSize() values. Allocates nothing.
    float logit(const float* window, Scratch& scratch, float* embeddingOut = nullptr) const noexcept;
    static float score(float logit) noexcept;

private:
    WakeModel() = default;

    int m_windowFrames = 0, m_stepFrames = 0, m_windows = 0, m_embeddingLayer = 0;
    float m_threshold = 0.5f, m_gateEnergy = 0.0f;
    LogMelFrontEnd::BandValues m_mean{}, m_deviation{};
    QString m_trained, m_blobSha256;
    std::vector<Layer> m_layers;
    std::vector<float> m_blob;
};

} // namespace selvina::wake
