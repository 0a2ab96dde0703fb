#include "wake/WakeModel.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace selvina::wake {

static_assert(std::endian::native == std::endian::little, "the model blob is read in place as little-endian float32");

QString WakeModelError::description() const
{
    const QString damaged = QStringLiteral("Plik modelu zawołania jest uszkodzony (%1).");
    switch (m_kind) {
    case Kind::unreadable:
        return QStringLiteral("Nie mogę odczytać pliku modelu zawołania %1.").arg(m_detail);
    case Kind::badMagic:
        return QStringLiteral("To nie jest plik modelu zawołania.");
    case Kind::headerNotJson:
        return damaged.arg(QStringLiteral("nagłówek nie jest poprawnym JSON-em"));
    case Kind::missingKey:
        return damaged.arg(QStringLiteral("w nagłówku brak klucza %1").arg(m_detail));
    case Kind::invalidValue:
        return damaged.arg(QStringLiteral("niepoprawna wartość klucza %1").arg(m_detail));
    case Kind::unsupportedFormat:
        return QStringLiteral("Plik modelu zawołania ma wersję %1, której ten program nie zna.").arg(m_detail);
    case Kind::unsupportedSampleRate:
        return QStringLiteral("Model zawołania jest dla dźwięku %1 Hz, a ten program słucha w 16000 Hz.").arg(m_detail);
    case Kind::unsupportedMelBands:
        return QStringLiteral("Model zawołania oczekuje %1 pasm, a ten program liczy 40.").arg(m_detail);
    case Kind::unsupportedFeatures:
        return QStringLiteral("Model zawołania liczy cechy dźwięku inaczej niż ten program (%1).").arg(m_detail);
    case Kind::unknownLayer:
        return damaged.arg(QStringLiteral("nieznana warstwa numer %1").arg(m_detail));
    case Kind::layersDoNotChain:
        return damaged.arg(QStringLiteral("rozmiary warstwy numer %1 nie pasują do poprzedniej").arg(m_detail));
    case Kind::weightsOutsideBlob:
        return damaged.arg(QStringLiteral("wagi warstwy numer %1 wychodzą poza dane").arg(m_detail));
    case Kind::blobSizeMismatch:
        return damaged.arg(QStringLiteral("dane wag mają inny rozmiar niż zapisany w nagłówku"));
    case Kind::checksumMismatch:
        return damaged.arg(QStringLiteral("suma kontrolna się nie zgadza"));
    }
    return {};
}

namespace {

constexpr char kMagic[] = "SVWAKE1\n";
constexpr int kMagicSize = 8;

using Error = WakeModelError;

// Reads [a, b] or a single number meaning [a, a]; `fallback` when absent.
bool readPair(const QJsonObject& layer, const char* key, int fallbackA, int fallbackB, int& a, int& b)
{
    const QJsonValue v = layer.value(QLatin1String(key));
    if (v.isUndefined()) {
        a = fallbackA;
        b = fallbackB;
        return true;
    }
    if (v.isDouble()) {
        a = b = v.toInt(-1);
        return v.toDouble() == a;
    }
    const QJsonArray pair = v.toArray();
    if (pair.size() != 2 || !pair[0].isDouble() || !pair[1].isDouble())
        return false;
    a = pair[0].toInt(-1);
    b = pair[1].toInt(-1);
    return pair[0].toDouble() == a && pair[1].toDouble() == b;
}

bool readCount(const QJsonObject& layer, const char* key, int& out)
{
    const QJsonValue v = layer.value(QLatin1String(key));
    out = v.toInt(-1);
    return v.isDouble() && v.toDouble() == out && out > 0;
}

} // namespace

Result<std::shared_ptr<const WakeModel>, WakeModelError> WakeModel::load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error::unreadable(path);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Error::unreadable(path);
    return fromBytes(bytes);
}

Result<std::shared_ptr<const WakeModel>, WakeModelError> WakeModel::fromBytes(const QByteArray& bytes)
{
    if (bytes.size() < kMagicSize + 4 || std::memcmp(bytes.constData(), kMagic, kMagicSize) != 0)
        return Error::badMagic();
    const auto* lengthBytes = reinterpret_cast<const unsigned char*>(bytes.constData() + kMagicSize);
    const quint64 headerLength = quint64(lengthBytes[0]) | quint64(lengthBytes[1]) << 8 | quint64(lengthBytes[2]) << 16
        | quint64(lengthBytes[3]) << 24;
    const qsizetype headerStart = kMagicSize + 4;
    if (headerLength > quint64(bytes.size() - headerStart))
        return Error::headerNotJson();
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes.mid(headerStart, qsizetype(headerLength)), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return Error::headerNotJson();
    const QJsonObject header = document.object();

    static const char* const kKeys[] = {"format", "sample_rate", "frame_length", "hop", "fft", "mel_bands", "fmin",
        "fmax", "log_floor", "window_frames", "step_frames", "threshold", "windows", "gate_energy", "embedding_layer",
        "mean", "std", "blob_floats", "blob_sha256", "trained", "layers"};
    for (const char* key : kKeys) {
        if (!header.contains(QLatin1String(key)))
            return Error::missingKey(QString::fromLatin1(key));
    }
    const auto number = [&](const char* key) { return header.value(QLatin1String(key)).toDouble(-1e300); };
    if (number("format") != 1)
        return Error::unsupportedFormat(header.value(QLatin1String("format")).toInt());
    if (number("sample_rate") != LogMelFrontEnd::kSampleRate)
        return Error::unsupportedSampleRate(header.value(QLatin1String("sample_rate")).toInt());
    if (number("mel_bands") != LogMelFrontEnd::kBands)
        return Error::unsupportedMelBands(header.value(QLatin1String("mel_bands")).toInt());
    const struct {
        const char* key;
        double value;
    } kFeatures[] = {{"frame_length", LogMelFrontEnd::kFrameLength}, {"hop", LogMelFrontEnd::kHop},
        {"fft", LogMelFrontEnd::kFftSize}, {"fmin", LogMelFrontEnd::kMinFrequency},
        {"fmax", LogMelFrontEnd::kMaxFrequency}, {"log_floor", 1e-6}};
    for (const auto& feature : kFeatures) {
        if (std::abs(number(feature.key) - feature.value) > 1e-9 * std::max(1.0, feature.value))
            return Error::unsupportedFeatures(QString::fromLatin1(feature.key));
    }

    std::shared_ptr<WakeModel> model(new WakeModel);
    const auto positive = [&](const char* key, int& out) {
        out = header.value(QLatin1String(key)).toInt(-1);
        return number(key) == out && out > 0;
    };
    if (!positive("window_frames", model->m_windowFrames))
        return Error::invalidValue(QStringLiteral("window_frames"));
    if (!positive("step_frames", model->m_stepFrames))
        return Error::invalidValue(QStringLiteral("step_frames"));
    if (!positive("windows", model->m_windows))
        return Error::invalidValue(QStringLiteral("windows"));
    model->m_threshold = float(number("threshold"));
    if (!(model->m_threshold > 0.0f && model->m_threshold <= 1.0f))
        return Error::invalidValue(QStringLiteral("threshold"));
    model->m_gateEnergy = float(number("gate_energy"));
    if (!(model->m_gateEnergy >= 0.0f))
        return Error::invalidValue(QStringLiteral("gate_energy"));
    for (const char* key : {"mean", "std"}) {
        const QJsonArray values = header.value(QLatin1String(key)).toArray();
        if (values.size() != LogMelFrontEnd::kBands)
            return Error::invalidValue(QString::fromLatin1(key));
        auto& target = key[0] == 'm' ? model->m_mean : model->m_deviation;
        for (int k = 0; k < LogMelFrontEnd::kBands; ++k) {
            target[k] = float(values[k].toDouble(std::nan("")));
            if (!std::isfinite(target[k]) || (key[0] == 's' && !(target[k] > 0.0f)))
                return Error::invalidValue(QString::fromLatin1(key));
        }
    }
    model->m_trained = header.value(QLatin1String("trained")).toString();
    model->m_blobSha256 = header.value(QLatin1String("blob_sha256")).toString().toLower();

    const double blobFloats = number("blob_floats");
    if (!(blobFloats >= 0) || blobFloats != std::floor(blobFloats))
        return Error::invalidValue(QStringLiteral("blob_floats"));
    const qsizetype blobStart = headerStart + qsizetype(headerLength);
    const qsizetype blobBytes = bytes.size() - blobStart;
    if (double(blobBytes) != blobFloats * 4)
        return Error::blobSizeMismatch();
    const QByteArray digest = QCryptographicHash::hash(QByteArrayView(bytes).sliced(blobStart), QCryptographicHash::Sha256);
    if (QString::fromLatin1(digest.toHex()) != model->m_blobSha256)
        return Error::checksumMismatch();
    model->m_blob.resize(std::size_t(blobBytes / 4));
    std::memcpy(model->m_blob.data(), bytes.constData() + blobStart, std::size_t(blobBytes));
    for (float w : model->m_blob) {
        if (!std::isfinite(w))
            return Error::invalidValue(QStringLiteral("blob"));
    }

    const QJsonArray layers = header.value(QLatin1String("layers")).toArray();
    if (layers.isEmpty())
        return Error::invalidValue(QStringLiteral("layers"));
    Shape shape{1, model->m_windowFrames, LogMelFrontEnd::kBands, false};
    for (int index = 0; index < layers.size(); ++index) {
        const QJsonObject object = layers[index].toObject();
        const QString type = object.value(QLatin1String("type")).toString();
        Layer layer{};
        layer.input = shape;
        std::size_t weightCount = 0, biasCount = 0;
        bool sizesRead = true;
        if (type == QLatin1String("conv2d") || type == QLatin1String("dwconv2d")) {
            const bool depthwise = type == QLatin1String("dwconv2d");
            layer.type = depthwise ? LayerType::dwconv2d : LayerType::conv2d;
            int in = 0, out = 0;
            if (depthwise && object.contains(QLatin1String("channels"))) {
                sizesRead = readCount(object, "channels", in);
                out = in;
            } else {
                sizesRead = readCount(object, "in", in) && readCount(object, "out", out);
            }
            sizesRead = sizesRead && readPair(object, "kernel", -1, -1, layer.kernelH, layer.kernelW)
                && readPair(object, "stride", 1, 1, layer.strideH, layer.strideW)
                && readPair(object, "padding", 0, 0, layer.padH, layer.padW) && layer.kernelH > 0 && layer.kernelW > 0
                && layer.strideH > 0 && layer.strideW > 0 && layer.padH >= 0 && layer.padW >= 0;
            if (!sizesRead)
                return Error::invalidValue(QStringLiteral("layers[%1]").arg(index));
            if (shape.vector || in != shape.channels || (depthwise && out != in))
                return Error::layersDoNotChain(index);
            shape.channels = out;
            shape.height = (layer.input.height + 2 * layer.padH - layer.kernelH) / layer.strideH + 1;
            shape.width = (layer.input.width + 2 * layer.padW - layer.kernelW) / layer.strideW + 1;
            if (layer.input.height + 2 * layer.padH < layer.kernelH || layer.input.width + 2 * layer.padW < layer.kernelW)
                return Error::layersDoNotChain(index);
            weightCount = std::size_t(out) * (depthwise ? 1 : in) * layer.kernelH * layer.kernelW;
            biasCount = std::size_t(out);
        } else if (type == QLatin1String("maxpool2d")) {
            layer.type = LayerType::maxpool2d;
            if (!readPair(object, "kernel", -1, -1, layer.kernelH, layer.kernelW) || layer.kernelH <= 0 || layer.kernelW <= 0
                || !readPair(object, "stride", layer.kernelH, layer.kernelW, layer.strideH, layer.strideW)
                || layer.strideH <= 0 || layer.strideW <= 0)
                return Error::invalidValue(QStringLiteral("layers[%1]").arg(index));
            if (shape.vector || shape.height < layer.kernelH || shape.width < layer.kernelW)
                return Error::layersDoNotChain(index);
            shape.height = (shape.height - layer.kernelH) / layer.strideH + 1;
            shape.width = (shape.width - layer.kernelW) / layer.strideW + 1;
        } else if (type == QLatin1String("relu")) {
            layer.type = LayerType::relu;
        } else if (type == QLatin1String("flatten")) {
            layer.type = LayerType::flatten;
            shape = Shape{int(shape.size()), 1, 1, true};
        } else if (type == QLatin1String("dense")) {
            layer.type = LayerType::dense;
            int in = 0, out = 0;
            if (!readCount(object, "in", in) || !readCount(object, "out", out))
                return Error::invalidValue(QStringLiteral("layers[%1]").arg(index));
            if (!shape.vector || std::size_t(in) != shape.size())
                return Error::layersDoNotChain(index);
            shape = Shape{out, 1, 1, true};
            weightCount = std::size_t(out) * in;
            biasCount = std::size_t(out);
        } else {
            return Error::unknownLayer(index);
        }
        if (weightCount > 0) {
            const double weights = object.value(QLatin1String("weights")).toDouble(-1);
            const double bias = object.value(QLatin1String("bias")).toDouble(-1);
            if (!(weights >= 0) || !(bias >= 0) || weights != std::floor(weights) || bias != std::floor(bias))
                return Error::invalidValue(QStringLiteral("layers[%1]").arg(index));
            if (weights + double(weightCount) > blobFloats || bias + double(biasCount) > blobFloats)
                return Error::weightsOutsideBlob(index);
            layer.weights = std::size_t(weights);
            layer.bias = std::size_t(bias);
        }
        layer.output = shape;
        model->m_layers.push_back(layer);
    }
    const Layer& last = model->m_layers.back();
    if (last.type != LayerType::dense || last.output.channels != 1)
        return Error::layersDoNotChain(int(layers.size()) - 1);
    const double embedding = number("embedding_layer");
    model->m_embeddingLayer = int(embedding);
    if (embedding != model->m_embeddingLayer || embedding < 0 || embedding >= layers.size()
        || !model->m_layers[std::size_t(model->m_embeddingLayer)].output.vector)
        return Error::invalidValue(QStringLiteral("embedding_layer"));
    return std::shared_ptr<const WakeModel>(std::move(model));
}

WakeModel::Scratch::Scratch(const WakeModel& model)
{
    std::size_t largest = model.m_layers.front().input.size(), padded = 0, wide = 0;
    for (const Layer& layer : model.m_layers) {
        largest = std::max(largest, layer.output.size());
        if (layer.type == LayerType::conv2d || layer.type == LayerType::dwconv2d) {
            const std::size_t paddedW = std::size_t(layer.input.width + 2 * layer.padW);
            padded = std::max(padded, std::size_t(layer.input.channels) * (layer.input.height + 2 * layer.padH) * paddedW);
            wide = std::max(wide, std::size_t(layer.output.height) * paddedW);
        }
    }
    m_a.assign(largest, 0.0f);
    m_b.assign(largest, 0.0f);
    m_padded.assign(padded, 0.0f);
    m_wide.assign(wide, 0.0f);
}

float WakeModel::score(float logit) noexcept
{
    return 1.0f / (1.0f + std::exp(-logit));
}

namespace {

using Layer = WakeModel::Layer;

// Copies [C][H][W] into the middle of a zeroed [C][H + 2ph][W + 2pw] so the kernels need no bounds tests.
void padInput(const Layer& l, const float* in, float* padded)
{
    const int hp = l.input.height + 2 * l.padH, wp = l.input.width + 2 * l.padW;
    if (l.padH == 0 && l.padW == 0) {
        std::memcpy(padded, in, l.input.size() * sizeof(float));
        return;
    }
    std::fill(padded, padded + std::size_t(l.input.channels) * hp * wp, 0.0f);
    for (int c = 0; c < l.input.channels; ++c) {
        for (int y = 0; y < l.input.height; ++y)
            std::memcpy(padded + (std::size_t(c) * hp + y + l.padH) * wp + l.padW,
                in + (std::size_t(c) * l.input.height + y) * l.input.width, std::size_t(l.input.width) * sizeof(float));
    }
}

// out[y][x] += w · in[y·sh + ky][x·sw + kx] over one plane. With unit width stride the rows are computed
// at the padded width, so the inner loop runs over one long contiguous stretch; `wide` holds that result.
void accumulatePlane(const Layer& l, const float* __restrict plane, const float* __restrict kernel,
    float* __restrict wide, float* __restrict out)
{
    const int wp = l.input.width + 2 * l.padW;
    const int ho = l.output.height, wo = l.output.width;
    if (l.strideW == 1 && l.strideH == 1) {
        // Rows of `wide` are wp long; the last kw − 1 columns of each are junk that is never read.
        const int length = (ho - 1) * wp + wo;
        for (int ky = 0; ky < l.kernelH; ++ky) {
            for (int kx = 0; kx < l.kernelW; ++kx) {
                const float w = kernel[ky * l.kernelW + kx];
                const float* __restrict src = plane + std::size_t(ky) * wp + kx;
                for (int j = 0; j < length; ++j)
                    wide[j] += w * src[j];
            }
        }
        return;
    }
    for (int ky = 0; ky < l.kernelH; ++ky) {
        for (int kx = 0; kx < l.kernelW; ++kx) {
            const float w = kernel[ky * l.kernelW + kx];
            for (int y = 0; y < ho; ++y) {
                const float* __restrict src = plane + std::size_t(y * l.strideH + ky) * wp + kx;
                float* __restrict dst = out + std::size_t(y) * wo;
                if (l.strideW == 1) {
                    for (int x = 0; x < wo; ++x)
                        dst[x] += w * src[x];
                } else {
                    for (int x = 0; x < wo; ++x)
                        dst[x] += w * src[x * l.strideW];
                }
            }
        }
    }
}

// 1×1, unit stride, no padding: out[o][p] = b[o] + Σ_i w[o][i] · in[i][p]. Four output channels at a time
// share each load of the input.
void pointwise(const Layer& l, const float* blob, const float* __restrict in, float* __restrict out)
{
    const std::size_t plane = std::size_t(l.output.height) * l.output.width;
    const int channelsIn = l.input.channels, channelsOut = l.output.channels;
    int o = 0;
    for (; o + 4 <= channelsOut; o += 4) {
        float* __restrict r0 = out + o * plane;
        float* __restrict r1 = r0 + plane;
        float* __restrict r2 = r1 + plane;
        float* __restrict r3 = r2 + plane;
        std::fill(r0, r0 + plane, blob[l.bias + o]);
        std::fill(r1, r1 + plane, blob[l.bias + o + 1]);
        std::fill(r2, r2 + plane, blob[l.bias + o + 2]);
        std::fill(r3, r3 + plane, blob[l.bias + o + 3]);
        const float* w = blob + l.weights + std::size_t(o) * channelsIn;
        for (int i = 0; i < channelsIn; ++i) {
            const float w0 = w[i], w1 = w[channelsIn + i], w2 = w[2 * channelsIn + i], w3 = w[3 * channelsIn + i];
            const float* __restrict src = in + i * plane;
            for (std::size_t p = 0; p < plane; ++p) {
                const float v = src[p];
                r0[p] += w0 * v;
                r1[p] += w1 * v;
                r2[p] += w2 * v;
                r3[p] += w3 * v;
            }
        }
    }
    for (; o < channelsOut; ++o) {
        float* __restrict r = out + o * plane;
        std::fill(r, r + plane, blob[l.bias + o]);
        for (int i = 0; i < channelsIn; ++i) {
            const float w = blob[l.weights + std::size_t(o) * channelsIn + i];
            const float* __restrict src = in + i * plane;
            for (std::size_t p = 0; p < plane; ++p)
                r[p] += w * src[p];
        }
    }
}

void convolve(const Layer& l, const float* blob, const float* padded, float* wide, float* out)
{
    const bool depthwise = l.type == WakeModel::LayerType::dwconv2d;
    const int hp = l.input.height + 2 * l.padH, wp = l.input.width + 2 * l.padW;
    const std::size_t planeIn = std::size_t(hp) * wp, planeOut = std::size_t(l.output.height) * l.output.width;
    const std::size_t kernelSize = std::size_t(l.kernelH) * l.kernelW;
    const bool unitStride = l.strideH == 1 && l.strideW == 1;
    const std::size_t wideSize = std::size_t(l.output.height) * wp;
    for (int o = 0; o < l.output.channels; ++o) {
        const float bias = blob[l.bias + o];
        float* plane = out + o * planeOut;
        float* target = unitStride ? wide : plane;
        std::fill(target, target + (unitStride ? wideSize : planeOut), bias);
        const int firstIn = depthwise ? o : 0, lastIn = depthwise ? o + 1 : l.input.channels;
        for (int i = firstIn; i < lastIn; ++i) {
            const float* kernel = blob + l.weights + (std::size_t(o) * (depthwise ? 1 : l.input.channels) + (i - firstIn))
                * kernelSize;
            accumulatePlane(l, padded + i * planeIn, kernel, wide, plane);
        }
        if (unitStride) {
            for (int y = 0; y < l.output.height; ++y)
                std::memcpy(plane + std::size_t(y) * l.output.width, wide + std::size_t(y) * wp,
                    std::size_t(l.output.width) * sizeof(float));
        }
    }
}

void maxPool(const Layer& l, const float* in, float* out)
{
    const int h = l.input.height, w = l.input.width, ho = l.output.height, wo = l.output.width;
    for (int c = 0; c < l.output.channels; ++c) {
        const float* plane = in + std::size_t(c) * h * w;
        float* dst = out + std::size_t(c) * ho * wo;
        for (int y = 0; y < ho; ++y) {
            for (int x = 0; x < wo; ++x) {
                float best = plane[std::size_t(y * l.strideH) * w + x * l.strideW];
                for (int ky = 0; ky < l.kernelH; ++ky) {
                    const float* row = plane + std::size_t(y * l.strideH + ky) * w + x * l.strideW;
                    for (int kx = 0; kx < l.kernelW; ++kx)
                        best = std::max(best, row[kx]);
                }
                dst[std::size_t(y) * wo + x] = best;
            }
        }
    }
}

// Eight partial sums: the reduction vectorises without letting the compiler reorder floating point.
float dot(const float* __restrict a, const float* __restrict b, std::size_t n)
{
    float partial[8] = {};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (int k = 0; k < 8; ++k)
            partial[k] += a[i + k] * b[i + k];
    }
    float sum = 0.0f;
    for (; i < n; ++i)
        sum += a[i] * b[i];
    for (float p : partial)
        sum += p;
    return sum;
}

} // namespace

float WakeModel::logit(const float* window, Scratch& scratch, float* embeddingOut) const noexcept
{
    const float* in = window;
    float* buffers[2] = {scratch.m_a.data(), scratch.m_b.data()};
    int next = 0;
    const float* blob = m_blob.data();
    for (std::size_t index = 0; index < m_layers.size(); ++index) {
        const Layer& l = m_layers[index];
        float* out = buffers[next];
        switch (l.type) {
        case LayerType::conv2d:
        case LayerType::dwconv2d:
            if (l.type == LayerType::conv2d && l.kernelH == 1 && l.kernelW == 1 && l.strideH == 1 && l.strideW == 1
                && l.padH == 0 && l.padW == 0) {
                pointwise(l, blob, in, out);
                break;
            }
            padInput(l, in, scratch.m_padded.data());
            convolve(l, blob, scratch.m_padded.data(), scratch.m_wide.data(), out);
            break;
        case LayerType::maxpool2d:
            maxPool(l, in, out);
            break;
        case LayerType::relu: {
            const std::size_t n = l.input.size();
            for (std::size_t i = 0; i < n; ++i)
                out[i] = std::max(in[i], 0.0f);
            break;
        }
        case LayerType::flatten:
            out = const_cast<float*>(in); // same values, same order
            break;
        case LayerType::dense: {
            const std::size_t n = std::size_t(l.input.channels);
            for (int o = 0; o < l.output.channels; ++o)
                out[o] = blob[l.bias + o] + dot(blob + l.weights + std::size_t(o) * n, in, n);
            break;
        }
        }
        if (out != in)
            next = 1 - next;
        if (embeddingOut != nullptr && int(index) == m_embeddingLayer)
            std::memcpy(embeddingOut, out, l.output.size() * sizeof(float));
        in = out;
    }
    return in[0];
}

} // namespace selvina::wake
