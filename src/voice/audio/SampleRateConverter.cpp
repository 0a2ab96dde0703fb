#include "voice/audio/SampleRateConverter.h"

#include <soxr.h>

#include <algorithm>

namespace selvina::voice {

std::unique_ptr<SampleRateConverter> SampleRateConverter::make(double inputRate, double outputRate, QString* error)
{
    if (!(inputRate > 0) || !(outputRate > 0)) {
        if (error != nullptr)
            *error = QStringLiteral("częstotliwość %1 Hz").arg(inputRate);
        return nullptr;
    }
    if (inputRate == outputRate)
        return std::unique_ptr<SampleRateConverter>(new SampleRateConverter(nullptr));
    soxr_error_t failure = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    // Medium quality keeps the converter's own delay to a few milliseconds; speech needs no more.
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
    // Small transform sizes make the converter hand out each block's worth at once instead of gathering
    // several blocks first: a chunk per hardware buffer, at a small cost in efficiency.
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_min_dft_size = 8;
    runtime.log2_large_dft_size = 8;
    soxr_t handle = soxr_create(inputRate, outputRate, 1, &failure, &io, &quality, &runtime);
    if (handle == nullptr || failure != nullptr) {
        if (error != nullptr)
            *error = QString::fromUtf8(failure != nullptr ? failure : "soxr");
        if (handle != nullptr)
            soxr_delete(handle);
        return nullptr;
    }
    return std::unique_ptr<SampleRateConverter>(new SampleRateConverter(handle));
}

SampleRateConverter::~SampleRateConverter()
{
    if (m_handle != nullptr)
        soxr_delete(m_handle);
}

std::size_t SampleRateConverter::process(const float* in, std::size_t count, float* out, std::size_t capacity) noexcept
{
    if (m_handle == nullptr) {
        const std::size_t n = std::min(count, capacity);
        std::copy(in, in + n, out);
        return n;
    }
    std::size_t consumed = 0;
    std::size_t produced = 0;
    if (soxr_process(m_handle, in, count, &consumed, out, capacity, &produced) != nullptr)
        return 0;
    return produced;
}

} // namespace selvina::voice
