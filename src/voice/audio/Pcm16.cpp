#include "voice/audio/Pcm16.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace selvina::voice {

void toPcm16(const float* samples, std::size_t count, char* out) noexcept
{
    for (std::size_t i = 0; i < count; ++i) {
        const float clipped = std::clamp(samples[i], -1.0f, 1.0f);
        const auto value = static_cast<std::int16_t>(clipped * 32767.0f); // truncates toward zero
        qToLittleEndian(value, out + 2 * i);
    }
}

std::vector<float> floatsFromPcm16(const QByteArray& bytes)
{
    const std::size_t frames = static_cast<std::size_t>(bytes.size()) / 2;
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i)
        samples[i] = static_cast<float>(qFromLittleEndian<std::int16_t>(bytes.constData() + 2 * i)) / 32767.0f;
    return samples;
}

std::optional<QByteArray> pcmFromWave(const QByteArray& file)
{
    if (file.size() < 13 || !file.startsWith("RIFF") || file.mid(8, 4) != "WAVE")
        return std::nullopt;
    qsizetype offset = 12;
    while (offset + 8 <= file.size()) {
        const QByteArray identifier = file.mid(offset, 4);
        const quint32 size = qFromLittleEndian<quint32>(file.constData() + offset + 4);
        const qsizetype payload = offset + 8;
        if (identifier == "data") // a size past the end (a file written as a stream) keeps what is there
            return file.mid(payload, std::min<qsizetype>(size, file.size() - payload));
        offset = payload + static_cast<qsizetype>(size) + (size % 2);
    }
    return std::nullopt;
}

QByteArray waveFromPcm(const QByteArray& pcm, int sampleRate)
{
    QByteArray file;
    auto put32 = [&file](quint32 v) { char b[4]; qToLittleEndian(v, b); file.append(b, 4); };
    auto put16 = [&file](quint16 v) { char b[2]; qToLittleEndian(v, b); file.append(b, 2); };
    file.append("RIFF");
    put32(static_cast<quint32>(36 + pcm.size()));
    file.append("WAVEfmt ");
    put32(16);
    put16(1); // PCM
    put16(1); // mono
    put32(static_cast<quint32>(sampleRate));
    put32(static_cast<quint32>(sampleRate * 2));
    put16(2);
    put16(16);
    file.append("data");
    put32(static_cast<quint32>(pcm.size()));
    file.append(pcm);
    return file;
}

} // namespace selvina::voice
