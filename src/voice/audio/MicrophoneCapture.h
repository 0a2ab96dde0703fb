// MicrophoneCapture: the user's voice as PCM16 mono 24000 Hz chunks (one per 1024-frame hardware block)
// and a smoothed input level, with in-process echo cancellation where it works.
// Thread: the public API on the creating thread; engine control on the "selvina.audio.capture" worker;
// process() on the sound server's audio thread.
#pragma once

#include "core/Clock.h"
#include "core/Result.h"
#include "core/SerialWorker.h"
#include "platform/AudioDevices.h"
#include "platform/SystemLog.h"
#include "voice/audio/AudioCapture.h"
#include "voice/audio/AudioLevelMeter.h"
#include "voice/audio/AudioStreams.h"
#include "voice/audio/EchoCanceller.h"
#include "voice/audio/SampleRateConverter.h"
#include "voice/audio/StreamReopen.h"


#include <atomic>
#include <chrono>
#include <functional>

namespace selvina::voice {

enum class VoiceProcessingMode { off, on, automatic };
VoiceProcessingMode voiceProcessingModeFrom(const QString& value);
VoiceProcessingMode voiceProcessingModeFromEnvironment(); // SELVINA_VOICE_PROCESSING, read once

class MicrophoneCapture final : public AudioCapture, private platform::AudioInputCallback {
    Q_OBJECT
public:
    struct Options {
        VoiceProcessingMode mode = voiceProcessingModeFromEnvironment();
        std::chrono::milliseconds probeWindow{700};
        // How long a stream lost with its sound server waits for the server to come back.
        std::chrono::milliseconds reopenLimit = StreamReopen::kDefaultLimit;
    };

    // `clock` spaces engine restarts after device changes; its now() is read on the worker.
    MicrophoneCapture(platform::AudioDevices& devices, std::shared_ptr<EchoReference> echoReference,
                      platform::SystemLog& log, const Clock& clock, Options options);
    MicrophoneCapture(platform::AudioDevices& devices, std::shared_ptr<EchoReference> echoReference,
                      platform::SystemLog& log, const Clock& clock)
        : MicrophoneCapture(devices, std::move(echoReference), log, clock, Options())
    {
    }
    ~MicrophoneCapture() override;

    std::optional<QByteArray> takeFrame() override { return m_frames.take(); }
    std::optional<double> takeLevel() override { return m_level.take(); }
    QCoro::Task<Status<MicrophoneCaptureError>> start() override;
    QCoro::Task<> stop() override;

    // For tests and the benchmark: how many engine starts so far, and whether voice processing is on.
    int engineStarts() const { return m_engineStarts.load(); }
    bool voiceProcessingActive() const { return m_voiceProcessingActive.load(); }
    // The delay the echo canceller is told now, ms (measured from the sound server's latencies where it
    // tells them); empty without a canceller. While the capture runs.
    std::optional<int> echoDelayMs() const;
    // Runs one hardware block through the capture path as the audio thread would.
    void processForTesting(const float* interleaved, std::size_t frames, platform::AudioFormat format)
    {
        captured(interleaved, frames, format);
    }
    Status<MicrophoneCaptureError> prepareForTesting(platform::AudioFormat format, bool voiceProcessing);

private:
    struct Tap;
    void captured(const float* interleaved, std::size_t frames, platform::AudioFormat format) noexcept override;
    void delaySinceRecorded(std::chrono::microseconds delay) noexcept override;
    Status<MicrophoneCaptureError> startEngine();
    Status<MicrophoneCaptureError> startEngine(bool voiceProcessing);
    Result<std::unique_ptr<Tap>, MicrophoneCaptureError> makeTap(platform::AudioFormat format, bool voiceProcessing);
    void stopEngine();
    void detachAndStop(); // stops listening for device changes too
    void scheduleSilenceProbe(bool canRecover);
    void restartAfterConfigurationChange();
    std::optional<std::uint64_t> reopenAfterLoss();

    platform::AudioDevices& m_devices;
    std::shared_ptr<EchoReference> m_echoReference;
    platform::SystemLog& m_log;
    const Clock& m_clock;
    Options m_options;
    ChunkRing m_frames;
    LatestLevel m_level;
    AudioWakeup m_wakeup;

    // Touched only on the worker thread.
    std::unique_ptr<platform::AudioStream> m_stream;
    std::unique_ptr<Tap> m_tap; // read by the audio thread while m_stream runs
    bool m_isRunning = false;
    int m_observerToken = 0;
    bool m_voiceProcessingRuledOut = false;
    std::chrono::milliseconds m_lastEngineRestart{};
    int m_probeGeneration = 0;
    std::atomic<int> m_engineStarts{0};
    std::atomic<bool> m_voiceProcessingActive{false};
    std::uint64_t m_connection = 0; // the server connection the stream was last opened on
    StreamReopen m_reopen{m_worker, this, m_log, QStringLiteral("mikrofon"), [this] { return reopenAfterLoss(); }};

    SerialWorker m_worker{QStringLiteral("selvina.audio.capture")}; // last: stops before the state above
};

} // namespace selvina::voice
