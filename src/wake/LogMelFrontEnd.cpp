#include "wake/LogMelFrontEnd.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace selvina::wake {

namespace {

double melOf(double hz) { return 2595.0 * std::log10(1.0 + hz / 700.0); }
double hzOf(double mel) { return 700.0 * (std::pow(10.0, mel / 2595.0) - 1.0); }

} // namespace

LogMelFrontEnd::LogMelFrontEnd(const BandValues& mean, const BandValues& deviation, int windowFrames)
    : m_windowFrames(std::max(1, windowFrames))
    , m_mean(mean)
    , m_ring(std::size_t(2 * m_windowFrames) * kBands, 0.0f)
    , m_energies(std::size_t(m_windowFrames), 0.0f)
{
    for (int k = 0; k < kBands; ++k)
        m_inverseDeviation[k] = 1.0f / deviation[k];
    for (int n = 0; n < kFrameLength; ++n)
        m_hann[n] = float(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kFrameLength));

    std::array<double, kBands + 2> points{};
    const double melLow = melOf(kMinFrequency);
    const double melHigh = melOf(kMaxFrequency);
    for (int p = 0; p < kBands + 2; ++p)
        points[p] = hzOf(melLow + (melHigh - melLow) * p / (kBands + 1));
    for (int k = 0; k < kBands; ++k) {
        const double lo = points[k], centre = points[k + 1], hi = points[k + 2];
        m_firstBin[k] = -1;
        m_binCount[k] = 0;
        m_weightOffset[k] = int(m_weights.size());
        for (int i = 0; i < kBins; ++i) {
            const double f = i * double(kSampleRate) / kFftSize;
            const double w = std::max(0.0, std::min((f - lo) / (centre - lo), (hi - f) / (hi - centre)));
            if (w <= 0.0)
                continue;
            if (m_firstBin[k] < 0)
                m_firstBin[k] = i;
            // Bands are triangles: the bins with weight form one run, the gaps inside it hold zeros.
            while (m_firstBin[k] + m_binCount[k] < i) {
                m_weights.push_back(0.0f);
                ++m_binCount[k];
            }
            m_weights.push_back(float(w));
            ++m_binCount[k];
        }
        m_firstBin[k] = std::max(m_firstBin[k], 0);
    }

    constexpr int kHalf = kFftSize / 2;
    constexpr int kBits = 8; // log2(256)
    for (int i = 0; i < kHalf; ++i) {
        int r = 0;
        for (int b = 0; b < kBits; ++b)
            r |= ((i >> b) & 1) << (kBits - 1 - b);
        m_bitReverse[i] = r;
    }
    for (int i = 0; i < kHalf / 2; ++i) {
        m_twiddleCos[i] = float(std::cos(2.0 * std::numbers::pi * i / kHalf));
        m_twiddleSin[i] = float(-std::sin(2.0 * std::numbers::pi * i / kHalf));
    }
    for (int k = 0; k <= kHalf; ++k) {
        m_splitCos[k] = float(std::cos(2.0 * std::numbers::pi * k / kFftSize));
        m_splitSin[k] = float(-std::sin(2.0 * std::numbers::pi * k / kFftSize));
    }
    m_fftInput.fill(0.0f);
    reset();
}

void LogMelFrontEnd::reset() noexcept
{
    m_pendingCount = 0;
    m_frameCount = 0;
    m_nextRow = 0;
    std::fill(m_ring.begin(), m_ring.end(), 0.0f);
    std::fill(m_energies.begin(), m_energies.end(), 0.0f);
}

int LogMelFrontEnd::push(std::span<const float> samples) noexcept
{
    int frames = 0;
    while (!samples.empty()) {
        const std::size_t n = std::min(samples.size(), kFrameLength - m_pendingCount);
        std::memcpy(m_pending.data() + m_pendingCount, samples.data(), n * sizeof(float));
        m_pendingCount += n;
        samples = samples.subspan(n);
        if (m_pendingCount == std::size_t(kFrameLength)) {
            computeFrame();
            ++frames;
            std::memmove(m_pending.data(), m_pending.data() + kHop, (kFrameLength - kHop) * sizeof(float));
            m_pendingCount = kFrameLength - kHop;
        }
    }
    return frames;
}

bool LogMelFrontEnd::pushToNextWindow(std::span<const float>& samples, int stepFrames) noexcept
{
    while (!samples.empty()) {
        const std::size_t n = std::min(samples.size(), samplesToNextFrame());
        const int frames = push(samples.first(n));
        samples = samples.subspan(n);
        if (frames > 0 && windowReady() && (m_frameCount - m_windowFrames) % stepFrames == 0)
            return true;
    }
    return false;
}

const float* LogMelFrontEnd::newestFrame() const noexcept
{
    return m_ring.data() + std::size_t(m_nextRow + m_windowFrames - 1) * kBands;
}

float LogMelFrontEnd::windowPeakEnergy() const noexcept
{
    return *std::max_element(m_energies.begin(), m_energies.end());
}

void LogMelFrontEnd::computeFrame() noexcept
{
    for (int n = 0; n < kFrameLength; ++n)
        m_fftInput[n] = m_pending[n] * m_hann[n];

    // Even samples as real parts, odd ones as imaginary parts: one 256-point complex transform.
    constexpr int kHalf = kFftSize / 2;
    float* z = m_complex.data();
    for (int m = 0; m < kHalf; ++m) {
        const int r = m_bitReverse[m];
        z[2 * r] = m_fftInput[2 * m];
        z[2 * r + 1] = m_fftInput[2 * m + 1];
    }
    for (int size = 2; size <= kHalf; size *= 2) {
        const int half = size / 2;
        const int step = kHalf / size;
        for (int start = 0; start < kHalf; start += size) {
            for (int j = 0; j < half; ++j) {
                const float wr = m_twiddleCos[j * step], wi = m_twiddleSin[j * step];
                float* a = z + 2 * (start + j);
                float* b = z + 2 * (start + j + half);
                const float tr = b[0] * wr - b[1] * wi;
                const float ti = b[0] * wi + b[1] * wr;
                b[0] = a[0] - tr;
                b[1] = a[1] - ti;
                a[0] += tr;
                a[1] += ti;
            }
        }
    }
    // X[k] = (Z[k] + conj Z[N-k]) / 2 + e^{-2πik/512} (Z[k] − conj Z[N-k]) / 2i.
    for (int k = 0; k <= kHalf; ++k) {
        const int a = k % kHalf, b = (kHalf - k) % kHalf;
        const float zr = z[2 * a], zi = z[2 * a + 1];
        const float cr = z[2 * b], ci = -z[2 * b + 1];
        const float er = 0.5f * (zr + cr), ei = 0.5f * (zi + ci);
        // (Z − conj) / 2i = (dI/2, −dR/2)
        const float dr = 0.5f * (zi - ci), di = -0.5f * (zr - cr);
        const float wr = m_splitCos[k], wi = m_splitSin[k];
        const float xr = er + dr * wr - di * wi;
        const float xi = ei + dr * wi + di * wr;
        m_power[k] = xr * xr + xi * xi;
    }

    float* row = m_ring.data() + std::size_t(m_nextRow) * kBands;
    float energy = 0.0f;
    for (int k = 0; k < kBands; ++k) {
        const float* w = m_weights.data() + m_weightOffset[k];
        const float* p = m_power.data() + m_firstBin[k];
        float e = 0.0f;
        for (int i = 0; i < m_binCount[k]; ++i)
            e += w[i] * p[i];
        energy += e;
        row[k] = (std::log(e + kLogFloor) - m_mean[k]) * m_inverseDeviation[k];
    }
    std::memcpy(row + std::size_t(m_windowFrames) * kBands, row, kBands * sizeof(float));
    m_energies[m_nextRow] = energy;
    m_nextRow = (m_nextRow + 1) % m_windowFrames;
    ++m_frameCount;
}

} // namespace selvina::wake
