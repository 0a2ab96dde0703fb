// SpeakerPlayback: the model's voice as it streams in, a looping work sound beside it, a wait for
// "everything queued has been heard", an immediate flush, and the output level.
// Thread: the public API on the creating thread; control on the "selvina.audio.playback" worker;
// render() on the sound server's audio thread, which holds the stream lock while it runs.
#pragma once

#include "core/Result.h"
#include "core/SerialWorker.h"
#include "platform/AudioDevices.h"
#include "platform/SystemLog.h"
#include "voice/audio/AudioLevelMeter.h"
#include "voice/audio/AudioPlayback.h"
#include "voice/audio/AudioStreams.h"
#include "voice/audio/EchoReference.h"
#include "voice/audio/StreamReopen.h"

#include <QFuture>
#include <QObject>
#include <QPromise>

#include <deque>
#include <memory>
#include <vector>

class QTimer;

namespace selvina::voice {

class SpeakerPlayback final : public AudioPlayback, private platform::AudioOutputCallback {
    Q_OBJECT
public:
    static constexpr int kSampleRate = 24000;
    struct Options {
        QString role = QStringLiteral("phone"); // the sound server's media role
        int latencyMs = 40;                     // what a flush can still let through
        // How long a stream lost with its sound server waits for the server to come back.
        std::chrono::milliseconds reopenLimit = StreamReopen::kDefaultLimit;
    };

    SpeakerPlayback(platform::AudioDevices& devices, std::shared_ptr<EchoReference> echoReference,
                    platform::SystemLog& log, Options options);
    SpeakerPlayback(platform::AudioDevices& devices, std::shared_ptr<EchoReference> echoReference,
                    platform::SystemLog& log)
        : SpeakerPlayback(devices, std::move(echoReference), log, Options())
    {
    }
    ~SpeakerPlayback() override;

    std::optional<double> takeLevel() override { return m_level.take(); }
    QCoro::Task<> waitUntilDrained() override;
    QCoro::Task<> enqueue(QByteArray pcm16) override;
    QCoro::Task<> flush() override;
    QCoro::Task<> startWorkSound(QByteArray pcm16) override;
    QCoro::Task<> stopWorkSound() override;
    QCoro::Task<Status<SpeakerPlaybackError>> start() override;
    QCoro::Task<> stop() override;
    void markItemStart() override;
    QCoro::Task<std::optional<qint64>> itemHeardMs() override;

    // Frames heard so far on the current stream (0 when stopped); tests line it up with a recording.
    std::uint64_t playedFrames();

private:
    struct Chunk {
        std::vector<float> samples;
        std::size_t position = 0;   // next sample to render
        std::uint64_t start = 0;    // rendered-frame count at its first sample, once rendered
        std::uint64_t end = 0;      // rendered-frame count at its last sample, once rendered
        bool inItem = false;        // enqueued after the last markItemStart()
    };

    void render(float* mono, std::size_t frames) noexcept override;
    void delayUntilHeard(std::chrono::microseconds delay) noexcept override { m_untilHeard = delay; }
    Status<SpeakerPlaybackError> startEngine();
    void stopEngine();
    void detachAndStop(); // stops listening for device changes too
    void restartAfterDeviceChange();
    std::optional<std::uint64_t> reopenAfterLoss();
    void releaseWaiters();
    void checkPlayed();
    void settleHeard(); // stream locked
    std::uint64_t heardOfPlayingChunk(); // stream locked, after settleHeard()
    void keepWhatWasHeard();             // stream locked; before queued audio is dropped
    void dropQueued();

    platform::AudioDevices& m_devices;
    std::shared_ptr<EchoReference> m_echoReference;
    platform::SystemLog& m_log;
    Options m_options;
    LatestLevel m_level;
    AudioWakeup m_wakeup;

    // Worker thread; the chunk ring and the loop are shared with render() under the stream lock.
    std::unique_ptr<platform::AudioStream> m_stream;
    bool m_isRunning = false;
    int m_observerToken = 0;
    int m_pendingBuffers = 0;
    std::vector<std::shared_ptr<QPromise<void>>> m_waiters;
    QTimer* m_drainTimer = nullptr;

    static constexpr std::size_t kMaxChunks = 4096;
    std::vector<Chunk> m_ring{kMaxChunks}; // render() only moves indexes: it never frees or allocates
    std::size_t m_head = 0;    // next chunk to render
    std::size_t m_tail = 0;    // next free slot
    std::size_t m_settled = 0; // oldest chunk not yet known to be heard
    std::uint64_t m_rendered = 0;
    std::chrono::microseconds m_untilHeard{-1}; // audio thread; < 0: the backend does not say
    std::uint64_t m_itemHeard = 0; // frames of the current item heard in full chunks (worker)
    AudioLevelMeter m_meter{kSampleRate / 30};
    std::vector<float> m_loop;
    std::size_t m_loopPosition = 0;
    bool m_loopPlaying = false;
    std::uint64_t m_connection = 0; // the server connection the stream was last opened on
    StreamReopen m_reopen{m_worker, this, m_log, QStringLiteral("głośniki"), [this] { return reopenAfterLoss(); }};

    SerialWorker m_worker{QStringLiteral("selvina.audio.playback")}; // last: stops before the state above
};

} // namespace selvina::voice
