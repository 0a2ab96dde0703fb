// PCM16: the wire format of the realtime service (16-bit signed little-endian mono) and WAV payloads.
// Thread: any (pure functions).
#pragma once

#include <QByteArray>

#include <cstddef>
#include <optional>
#include <vector>

namespace selvina::voice {

// Clips to [−1, 1], scales by 32767 and truncates toward zero; writes 2 × count bytes.
void toPcm16(const float* samples, std::size_t count, char* out) noexcept;

// Samples ÷ 32767; an odd last byte is ignored.
std::vector<float> floatsFromPcm16(const QByteArray& bytes);

// The payload of the first "data" chunk of a RIFF/WAVE file (odd-sized chunks are padded); the format
// chunk is not read: the file must already be 16-bit mono at 24000 Hz.
std::optional<QByteArray> pcmFromWave(const QByteArray& file);

// A minimal 16-bit mono RIFF/WAVE file around `pcm`.
QByteArray waveFromPcm(const QByteArray& pcm, int sampleRate);

} // namespace selvina::voice
