// EchoCanceller: removes the assistant's own voice from the microphone signal (WebRTC audio processing),
// with the loudspeaker feed of the same conversation as the reference. Mono, 24000 Hz, 10 ms frames.
// Thread: the capture audio thread only (the reference arrives through EchoReference).
#pragma once

#include "voice/audio/EchoReference.h"

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace webrtc {
class AudioProcessing;
}

namespace selvina::voice {

class EchoCanceller {
public:
    static constexpr int kSampleRate = 24000;
    static constexpr std::size_t kFrame = kSampleRate / 100;
    // The sound path's delay between the reference and its echo, ms: the module searches around it, but
    // a hint far from the real delay (either way) leaves much of the echo (bench_echo shows it). So the
    // delay is measured where the sound server tells both streams' latencies; this is used where not.
    static constexpr int kDelayHintMs = 60;

    // Null with `error` set when the processing module refuses to start.
    static std::unique_ptr<EchoCanceller> make(std::shared_ptr<EchoReference> reference, QString* error);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // Takes `count` near-end samples and writes the processed samples ready so far (whole 10 ms frames;
    // the rest waits for the next call) to `out`, at most `capacity`. `recordedAtNs`: when the last of
    // them was recorded, on the steady clock; 0 when unknown. Allocates nothing.
    std::size_t process(const float* in, std::size_t count, float* out, std::size_t capacity,
                        std::int64_t recordedAtNs = 0) noexcept;
    // The delay the module is told now, ms.
    int delayMs() const noexcept { return m_delayMs.load(std::memory_order_relaxed); }

private:
    EchoCanceller(webrtc::AudioProcessing* module, std::shared_ptr<EchoReference> reference);
    void feedReference() noexcept;
    void measureDelay(std::int64_t frameRecordedAtNs) noexcept;

    webrtc::AudioProcessing* m_module;
    std::shared_ptr<EchoReference> m_reference;
    std::vector<float> m_near;  // one frame being gathered
    std::size_t m_nearFill = 0;
    std::vector<float> m_far;   // one reference frame
    std::vector<float> m_frame; // processed frame
    double m_smoothedDelayMs = -1; // < 0: nothing measured yet
    std::atomic<int> m_delayMs{kDelayHintMs};
};

} // namespace selvina::voice
