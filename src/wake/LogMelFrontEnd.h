// LogMelFrontEnd: 16 kHz samples in, normalised 40-band log-mel frames out (25 ms frames every 10 ms),
// keeping the newest window of frames contiguous for the detector's network.
// Thread: one owner at a time (the audio thread once running); allocates only in its constructor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace selvina::wake {

class LogMelFrontEnd {
public:
    static constexpr int kSampleRate = 16000; // Hz
    static constexpr int kFrameLength = 400; // samples (25 ms)
    static constexpr int kHop = 160; // samples (10 ms)
    static constexpr int kFftSize = 512;
    static constexpr int kBins = kFftSize / 2 + 1;
    static constexpr int kBands = 40;
    static constexpr double kMinFrequency = 60.0; // Hz
    static constexpr double kMaxFrequency = 7600.0; // Hz
    static constexpr float kLogFloor = 1e-6f;

    using BandValues = std::array<float, kBands>;

    // `mean` and `deviation` normalise each band; `windowFrames` is how many newest frames window() holds.
    LogMelFrontEnd(const BandValues& mean, const BandValues& deviation, int windowFrames);

    // Returns how many frames the samples completed. Frame j covers samples [160 j, 160 j + 400) since reset().
    int push(std::span<const float> samples) noexcept;
    // Samples still missing before the next frame completes (1..400): lets a caller stop at every frame.
    std::size_t samplesToNextFrame() const noexcept { return kFrameLength - m_pendingCount; }
    // Consumes `samples` from the front up to the frame that completes the next window (windows are due
    // once windowFrames frames exist and every `stepFrames` frames after). True when it stopped at one,
    // window() then being that window; false when the samples ran out first.
    bool pushToNextWindow(std::span<const float>& samples, int stepFrames) noexcept;
    void reset() noexcept;

    std::int64_t frameCount() const noexcept { return m_frameCount; } // frames since reset()
    int windowFrames() const noexcept { return m_windowFrames; }
    bool windowReady() const noexcept { return m_frameCount >= m_windowFrames; }
    // [windowFrames][40] normalised values, oldest frame first; meaningful once windowReady().
    const float* window() const noexcept { return m_ring.data() + std::size_t(m_nextRow) * kBands; }
    const float* newestFrame() const noexcept;
    // The largest band-energy sum (Σ_k E[k], before the logarithm) among the frames in the window.
    float windowPeakEnergy() const noexcept;

private:
    void computeFrame() noexcept;

    int m_windowFrames;
    BandValues m_mean;
    BandValues m_inverseDeviation;
    std::array<float, kFrameLength> m_hann;
    std::array<float, kFftSize> m_fftInput;
    std::array<float, kBins> m_power;
    // Mel weights, sparse: band k uses bins [m_firstBin[k], m_firstBin[k] + m_binCount[k]).
    std::array<int, kBands> m_firstBin;
    std::array<int, kBands> m_binCount;
    std::array<int, kBands> m_weightOffset;
    std::vector<float> m_weights;
    // The complex 256-point transform behind the real 512-point one.
    std::array<int, kFftSize / 2> m_bitReverse;
    std::array<float, kFftSize / 4> m_twiddleCos;
    std::array<float, kFftSize / 4> m_twiddleSin;
    std::array<float, kFftSize / 2 + 1> m_splitCos;
    std::array<float, kFftSize / 2 + 1> m_splitSin;
    std::array<float, kFftSize> m_complex; // interleaved re, im

    std::array<float, kFrameLength> m_pending;
    std::size_t m_pendingCount = 0;
    std::int64_t m_frameCount = 0;
    // Each frame is written twice, at row r and r + windowFrames, so the newest window is always one
    // contiguous block starting at m_nextRow.
    std::vector<float> m_ring;
    std::vector<float> m_energies; // per ring row (single copy)
    int m_nextRow = 0;
};

} // namespace selvina::wake
