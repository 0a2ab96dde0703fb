// SampleRateConverter: streaming mono float resampling (libsoxr), state carried across blocks.
// Thread: one owner at a time (the audio thread once running).
#pragma once

#include <QString>

#include <cstddef>
#include <memory>

struct soxr;

namespace selvina::voice {

class SampleRateConverter {
public:
    // Null with `error` set when the converter cannot be built for these rates.
    static std::unique_ptr<SampleRateConverter> make(double inputRate, double outputRate, QString* error);
    ~SampleRateConverter();
    SampleRateConverter(const SampleRateConverter&) = delete;
    SampleRateConverter& operator=(const SampleRateConverter&) = delete;

    // Consumes all `count` input samples; returns the samples written to `out` (at most `capacity`),
    // or 0 on a converter error. Allocates nothing.
    std::size_t process(const float* in, std::size_t count, float* out, std::size_t capacity) noexcept;

private:
    explicit SampleRateConverter(soxr* handle) : m_handle(handle) {}
    soxr* m_handle; // null when the rates are equal: samples pass through
};

} // namespace selvina::voice
