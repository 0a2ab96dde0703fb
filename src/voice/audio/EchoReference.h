// EchoReference: what the loudspeaker is being given, handed from playback to the echo canceller.
// Thread: push() from the playback audio thread, the rest from the capture audio thread; lock-free,
// one producer and one consumer, nothing allocated after construction.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace selvina::voice {

class EchoReference {
public:
    static constexpr int kSampleRate = 24000;

    explicit EchoReference(std::size_t capacity = kSampleRate) : m_buffer(capacity + 1) {}

    // Samples that do not fit are dropped: the canceller is not reading, so nobody needs them.
    // `heardAtNs`: when the last of them reaches the listener, on the steady clock; 0 when unknown.
    void push(const float* samples, std::size_t count, std::int64_t heardAtNs = 0) noexcept
    {
        const std::size_t size = m_buffer.size();
        std::size_t write = m_write.load(std::memory_order_relaxed);
        const std::size_t read = m_read.load(std::memory_order_acquire);
        const std::size_t used = (write + size - read) % size;
        const std::size_t n = std::min(count, size - 1 - used);
        for (std::size_t i = 0; i < n; ++i) {
            m_buffer[write] = samples[i];
            write = write + 1 == size ? 0 : write + 1;
        }
        m_heardAt.store(heardAtNs, std::memory_order_relaxed);
        m_write.store(write, std::memory_order_release);
    }

    // The time base of heardAtNs and of the microphone's recording times: the steady clock, in ns.
    static std::int64_t steadyNs() noexcept
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    static constexpr std::int64_t nanosecondsOf(std::size_t samples) noexcept
    {
        return std::int64_t(samples) * 1'000'000'000 / kSampleRate;
    }

    // When the newest sample pushed reaches the listener (steady clock, ns); 0 when unknown.
    std::int64_t newestHeardAt() const noexcept { return m_heardAt.load(std::memory_order_relaxed); }

    std::size_t available() const noexcept
    {
        const std::size_t size = m_buffer.size();
        return (m_write.load(std::memory_order_acquire) + size - m_read.load(std::memory_order_relaxed)) % size;
    }

    // Copies `count` samples out (count ≤ available()); a null `out` just discards them.
    void pop(float* out, std::size_t count) noexcept
    {
        const std::size_t size = m_buffer.size();
        std::size_t read = m_read.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < count; ++i) {
            if (out != nullptr)
                out[i] = m_buffer[read];
            read = read + 1 == size ? 0 : read + 1;
        }
        m_read.store(read, std::memory_order_release);
    }

private:
    std::vector<float> m_buffer;
    std::atomic<std::size_t> m_write{0};
    std::atomic<std::size_t> m_read{0};
    std::atomic<std::int64_t> m_heardAt{0};
};

} // namespace selvina::voice
