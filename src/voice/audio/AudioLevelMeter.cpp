#include "voice/audio/AudioLevelMeter.h"

#include <algorithm>
#include <cmath>

namespace selvina::voice {

std::optional<double> AudioLevelMeter::append(const float* samples, std::size_t count) noexcept
{
    if (count == 0)
        return std::nullopt;
    double squares = 0;
    for (std::size_t i = 0; i < count; ++i)
        squares += static_cast<double>(samples[i]) * samples[i];
    m_sumOfSquares += squares; // count × mean of squares
    m_frames += static_cast<long>(count);
    if (m_frames < m_framesPerUpdate)
        return std::nullopt;
    const double rms = std::sqrt(m_sumOfSquares / static_cast<double>(m_frames));
    const double raw = (20.0 * std::log10(std::max(rms, 1e-9)) + 50.0) / 44.0;
    m_sumOfSquares = 0;
    m_frames = 0;
    const double target = std::clamp(raw, 0.0, 1.0);
    m_smoothed += (target > m_smoothed ? 0.85 : 0.3) * (target - m_smoothed);
    return m_smoothed;
}

void AudioLevelMeter::reset() noexcept
{
    m_sumOfSquares = 0;
    m_frames = 0;
    m_smoothed = 0;
}

} // namespace selvina::voice
