// AudioLevelMeter: a smoothed 0–1 loudness reading for the on-screen mark, one update per block of frames.
// Thread: whoever feeds it (the audio thread); not shared.
#pragma once

#include <cstddef>
#include <optional>

namespace selvina::voice {

class AudioLevelMeter {
public:
    explicit AudioLevelMeter(int framesPerUpdate = 800) : m_framesPerUpdate(framesPerUpdate) {}

    // −50 dBFS and below read 0, −6 dBFS and above read 1; rises follow quickly (0.85), falls slowly (0.3).
    std::optional<double> append(const float* samples, std::size_t count) noexcept;
    void reset() noexcept;

private:
    int m_framesPerUpdate;
    double m_sumOfSquares = 0;
    long m_frames = 0;
    double m_smoothed = 0;
};

} // namespace selvina::voice
