// Small wake models written by the tests: a network with every layer type, and a "loudness" network whose
// score rises with the share of loud frames in the window; plus the audio the tests feed them.
#pragma once

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace selvina::wake::testing {

struct TinyModel {
    QJsonObject header;
    std::vector<float> blob;

    // The file: magic, header length, header, blob; the header gets blob_floats and blob_sha256 of the blob.
    QByteArray bytes() const
    {
        const QByteArray data(reinterpret_cast<const char*>(blob.data()), qsizetype(blob.size() * sizeof(float)));
        QJsonObject h = header;
        h.insert(QStringLiteral("blob_floats"), qint64(blob.size()));
        h.insert(QStringLiteral("blob_sha256"),
            QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()));
        const QByteArray json = QJsonDocument(h).toJson(QJsonDocument::Compact);
        char length[4];
        qToLittleEndian(quint32(json.size()), length);
        return "SVWAKE1\n" + QByteArray(length, 4) + json + data;
    }

    // Appends `count` weights and returns their offset.
    int add(std::size_t count, float scale)
    {
        const int offset = int(blob.size());
        for (std::size_t i = 0; i < count; ++i)
            blob.push_back(scale * std::sin(0.7f * float(blob.size())));
        return offset;
    }
};

// `plain`: features pass unnormalised (mean 0, deviation 1).
inline QJsonObject baseHeader(int windowFrames, QJsonArray layers, bool plain = false)
{
    QJsonArray mean, deviation;
    for (int k = 0; k < 40; ++k) {
        mean.append(plain ? 0.0 : -4.0 + 0.05 * k);
        deviation.append(plain ? 1.0 : 2.0 + 0.01 * k);
    }
    return QJsonObject{{"format", 1}, {"sample_rate", 16000}, {"frame_length", 400}, {"hop", 160}, {"fft", 512},
        {"mel_bands", 40}, {"fmin", 60}, {"fmax", 7600}, {"log_floor", 1e-6}, {"window_frames", windowFrames},
        {"step_frames", 4}, {"threshold", 0.5}, {"windows", 2}, {"gate_energy", 0}, {"mean", mean}, {"std", deviation},
        {"trained", "tests"}, {"layers", layers}};
}

// conv2d (stride 1, padding 1) → relu → maxpool → dwconv2d (stride 2) → conv2d 1×1 → flatten → dense →
// relu (the embedding) → dense.
inline TinyModel everyLayerModel()
{
    TinyModel m;
    const int c1w = m.add(3 * 1 * 3 * 3, 0.4f), c1b = m.add(3, 0.1f);
    const int dww = m.add(3 * 3 * 3, 0.5f), dwb = m.add(3, 0.1f);
    const int pww = m.add(2 * 3, 0.6f), pwb = m.add(2, 0.1f);
    // 12×40 → conv 12×40 → pool(2, 2) 6×20 → dw(3×3, stride 2, pad 1) 3×10 → 1×1 → 2×3×10 = 60.
    const int d1w = m.add(8 * 60, 0.1f), d1b = m.add(8, 0.05f);
    const int d2w = m.add(8, 0.5f), d2b = m.add(1, 0.1f);
    const QString layers = QStringLiteral(R"([
        {"type":"conv2d","in":1,"out":3,"kernel":[3,3],"stride":[1,1],"padding":[1,1],"weights":%1,"bias":%2},
        {"type":"relu"}, {"type":"maxpool2d","kernel":[2,2],"stride":[2,2]},
        {"type":"dwconv2d","in":3,"out":3,"kernel":[3,3],"stride":[2,2],"padding":[1,1],"weights":%3,"bias":%4},
        {"type":"conv2d","in":3,"out":2,"kernel":[1,1],"stride":[1,1],"padding":[0,0],"weights":%5,"bias":%6},
        {"type":"flatten"}, {"type":"dense","in":60,"out":8,"weights":%7,"bias":%8},
        {"type":"relu"}, {"type":"dense","in":8,"out":1,"weights":%9,"bias":%10}])");
    const QString filled = layers.arg(c1w).arg(c1b).arg(dww).arg(dwb).arg(pww).arg(pwb).arg(d1w).arg(d1b).arg(d2w).arg(d2b);
    m.header = baseHeader(12, QJsonDocument::fromJson(filled.toUtf8()).array());
    m.header.insert("embedding_layer", 7);
    return m;
}

// Score = sigmoid(2 · (mean feature + 3.9)) over a 50-frame window (normalisation 0/1): windows with more
// than about 60 % of their frames loud noise score over 0.5, silent ones near 0. The embedding is the window itself.
inline TinyModel loudnessModel(double gateEnergy = 0)
{
    TinyModel m;
    constexpr int kWindow = 50;
    m.blob.assign(kWindow * 40, 2.0f / (kWindow * 40));
    m.blob.push_back(7.8f);
    const QJsonArray layers{QJsonObject{{"type", "flatten"}},
        QJsonObject{{"type", "dense"}, {"in", kWindow * 40}, {"out", 1}, {"weights", 0}, {"bias", kWindow * 40}}};
    m.header = baseHeader(kWindow, layers, true);
    m.header.insert("embedding_layer", 0);
    m.header.insert("gate_energy", gateEnergy);
    return m;
}

inline std::vector<float> silence(double seconds) { return std::vector<float>(std::size_t(seconds * 16000), 0.0f); }

inline std::vector<float> noise(double seconds, float amplitude, unsigned seed = 1)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> u(-amplitude, amplitude);
    std::vector<float> out(std::size_t(seconds * 16000));
    for (float& s : out)
        s = u(random);
    return out;
}

inline std::vector<float> concat(std::initializer_list<std::vector<float>> parts)
{
    std::vector<float> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace selvina::wake::testing
