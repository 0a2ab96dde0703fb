#include "voice/audio/SpeakerPlayback.h"

#include "voice/audio/Pcm16.h"

#include <QCoroFuture>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace selvina::voice {
namespace {

constexpr float kWorkSoundVolume = 0.6f;
constexpr std::chrono::milliseconds kDrainPoll{5};

class StreamLock {
public:
    explicit StreamLock(platform::AudioStream* stream) : m_stream(stream)
    {
        if (m_stream != nullptr)
            m_stream->lock();
    }
    ~StreamLock()
    {
        if (m_stream != nullptr)
            m_stream->unlock();
    }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;

private:
    platform::AudioStream* m_stream;
};

} // namespace

SpeakerPlayback::SpeakerPlayback(platform::AudioDevices& devices, std::shared_ptr<EchoReference> echoReference,
                                 platform::SystemLog& log, Options options)
    : m_devices(devices), m_echoReference(std::move(echoReference)), m_log(log), m_options(std::move(options))
{
    connect(&m_wakeup, &AudioWakeup::woken, this, &AudioPlayback::levelAvailable);
}

SpeakerPlayback::~SpeakerPlayback()
{
    m_worker.runAndWait([this] {
        detachAndStop();
        delete m_drainTimer;
        m_drainTimer = nullptr;
    });
}

QCoro::Task<Status<SpeakerPlaybackError>> SpeakerPlayback::start()
{
    auto future = m_worker.run([this] { return startEngine(); });
    co_return co_await future;
}

QCoro::Task<> SpeakerPlayback::stop()
{
    auto future = m_worker.run([this] { detachAndStop(); });
    co_await future;
}

void SpeakerPlayback::detachAndStop()
{
    if (m_observerToken != 0)
        m_devices.removeDevicesChangedHandler(m_observerToken);
    m_observerToken = 0;
    m_reopen.cancel();
    stopEngine();
}

Status<SpeakerPlaybackError> SpeakerPlayback::startEngine()
{
    if (m_isRunning)
        return Ok{};
    auto format = m_devices.defaultOutputFormat();
    if (!format || format.value().sampleRate <= 0)
        return SpeakerPlaybackError::noOutputDevice();
    auto stream = m_devices.openOutput(kSampleRate, m_options.latencyMs, m_options.role, *this);
    if (!stream) {
        if (stream.error().kind() == platform::AudioDeviceError::Kind::noDevice)
            return SpeakerPlaybackError::noOutputDevice();
        const QString text = stream.error().kind() == platform::AudioDeviceError::Kind::accessDenied
                                 ? QStringLiteral("serwer dźwięku odmówił dostępu")
                                 : stream.error().serverMessage();
        return SpeakerPlaybackError::engineFailed(text);
    }
    m_stream = std::move(stream.value());
    m_isRunning = true;
    m_connection = m_devices.connectionNumber();
    m_pendingBuffers = 0;
    if (m_observerToken == 0) {
        QPointer<QObject> context = m_worker.context();
        m_observerToken = m_devices.addDevicesChangedHandler([this, context] {
            QMetaObject::invokeMethod(context, handoff::queued(context, [this] { restartAfterDeviceChange(); }),
                                      Qt::QueuedConnection);
        });
    }
    return Ok{};
}

void SpeakerPlayback::restartAfterDeviceChange()
{
    if (!m_isRunning)
        return;
    const std::uint64_t before = m_connection;
    stopEngine();
    // The server itself may have gone (killed, restarting): then it is waited for a while.
    if (auto started = startEngine(); !started)
        m_log.write(QStringLiteral("[SelvinaVoice] Nie udało się wznowić odtwarzania po zmianie urządzenia: %1 — ponawiam")
                        .arg(started.error().description()));
    m_reopen.afterRestart(m_isRunning, before, m_connection, m_options.reopenLimit);
}

std::optional<std::uint64_t> SpeakerPlayback::reopenAfterLoss()
{
    if (!startEngine())
        return std::nullopt;
    return m_connection;
}

void SpeakerPlayback::stopEngine()
{
    if (!m_isRunning)
        return;
    {
        StreamLock lock(m_stream.get());
        keepWhatWasHeard();
    }
    m_stream.reset(); // render() is not called after this
    m_isRunning = false;
    dropQueued();
    m_loopPlaying = false;
    m_meter.reset();
    m_level.publish(0);
    m_wakeup.notify();
    releaseWaiters();
}

void SpeakerPlayback::dropQueued()
{
    for (std::size_t i = m_settled; i < m_tail; ++i)
        m_ring[i % kMaxChunks] = Chunk{};
    m_head = m_tail = m_settled = 0;
    m_rendered = 0;
    m_pendingBuffers = 0;
}

void SpeakerPlayback::releaseWaiters()
{
    m_pendingBuffers = 0;
    for (auto& waiter : m_waiters)
        waiter->finish();
    m_waiters.clear();
    if (m_drainTimer != nullptr)
        m_drainTimer->stop();
}

void SpeakerPlayback::settleHeard()
{
    const std::uint64_t played = m_stream->playedFrames();
    while (m_settled < m_head && m_ring[m_settled % kMaxChunks].end <= played) {
        Chunk& chunk = m_ring[m_settled % kMaxChunks];
        if (chunk.inItem)
            m_itemHeard += chunk.samples.size();
        chunk = Chunk{};
        ++m_settled;
        --m_pendingBuffers;
    }
}

// Only the oldest unsettled chunk can be partly heard: every later one starts after it ends.
std::uint64_t SpeakerPlayback::heardOfPlayingChunk()
{
    if (m_settled == m_tail)
        return 0;
    const Chunk& chunk = m_ring[m_settled % kMaxChunks];
    const std::uint64_t played = m_stream->playedFrames();
    if (!chunk.inItem || chunk.position == 0 || played <= chunk.start)
        return 0;
    return std::min<std::uint64_t>(played - chunk.start, chunk.samples.size());
}

void SpeakerPlayback::keepWhatWasHeard()
{
    settleHeard();
    m_itemHeard += heardOfPlayingChunk();
}

void SpeakerPlayback::checkPlayed()
{
    if (!m_isRunning)
        return;
    {
        StreamLock lock(m_stream.get());
        settleHeard();
    }
    if (m_pendingBuffers < 1)
        releaseWaiters();
}

void SpeakerPlayback::markItemStart()
{
    m_worker.run([this] {
        if (m_isRunning) {
            StreamLock lock(m_stream.get());
            settleHeard();
            for (std::size_t i = m_settled; i < m_tail; ++i)
                m_ring[i % kMaxChunks].inItem = false;
        }
        m_itemHeard = 0;
    });
}

QCoro::Task<std::optional<qint64>> SpeakerPlayback::itemHeardMs()
{
    auto future = m_worker.run([this]() -> std::optional<qint64> {
        std::uint64_t frames = m_itemHeard;
        if (m_isRunning) {
            StreamLock lock(m_stream.get());
            settleHeard();
            frames = m_itemHeard + heardOfPlayingChunk();
        }
        return static_cast<qint64>(frames * 1000 / kSampleRate);
    });
    co_return co_await future;
}

QCoro::Task<> SpeakerPlayback::enqueue(QByteArray pcm16)
{
    auto future = m_worker.run([this, pcm16] {
        if (!m_isRunning || pcm16.size() < 2)
            return;
        Chunk chunk;
        chunk.samples = floatsFromPcm16(pcm16);
        chunk.inItem = true;
        {
            StreamLock lock(m_stream.get());
            if (m_tail - m_settled >= kMaxChunks) {
                m_log.write(QStringLiteral("[SelvinaVoice] Kolejka odtwarzania pełna — pomijam porcję"));
                return;
            }
            m_ring[m_tail % kMaxChunks] = std::move(chunk);
            ++m_tail;
        }
        ++m_pendingBuffers;
        if (m_drainTimer == nullptr) {
            m_drainTimer = new QTimer(m_worker.context());
            m_drainTimer->setInterval(kDrainPoll);
            QObject::connect(m_drainTimer, &QTimer::timeout, m_drainTimer, [this] { checkPlayed(); });
        }
        if (!m_drainTimer->isActive())
            m_drainTimer->start();
    });
    co_await future;
}

QCoro::Task<> SpeakerPlayback::waitUntilDrained()
{
    auto registration = m_worker.run([this] {
        if (m_pendingBuffers == 0)
            return QFuture<void>(QtFuture::makeReadyFuture());
        auto promise = std::make_shared<QPromise<void>>();
        promise->start();
        m_waiters.push_back(promise);
        return promise->future();
    });
    QFuture<void> drained = co_await registration;
    co_await drained;
}

QCoro::Task<> SpeakerPlayback::flush()
{
    auto future = m_worker.run([this] {
        if (m_isRunning) {
            StreamLock lock(m_stream.get());
            keepWhatWasHeard();
            // Index moves only; the samples are freed below, outside the lock.
            m_head = m_tail;
            m_stream->dropBuffered();
            m_meter.reset();
        }
        for (std::size_t i = m_settled; i < m_tail; ++i)
            m_ring[i % kMaxChunks] = Chunk{};
        // m_head already equals m_tail: moved under the lock above, or 0 like it once stopped. Written
        // here, outside the lock, it raced with render() reading it on the audio thread.
        m_settled = m_tail;
        m_level.publish(0);
        m_wakeup.notify();
        releaseWaiters();
    });
    co_await future;
}

QCoro::Task<> SpeakerPlayback::startWorkSound(QByteArray pcm16)
{
    auto future = m_worker.run([this, pcm16] {
        if (!m_isRunning || m_loopPlaying || pcm16.size() < 2)
            return;
        std::vector<float> loop = floatsFromPcm16(pcm16);
        StreamLock lock(m_stream.get());
        m_loop.swap(loop);
        m_loopPosition = 0;
        m_loopPlaying = true;
    });
    co_await future;
}

QCoro::Task<> SpeakerPlayback::stopWorkSound()
{
    auto future = m_worker.run([this] {
        StreamLock lock(m_stream.get());
        m_loopPlaying = false;
    });
    co_await future;
}

std::uint64_t SpeakerPlayback::playedFrames()
{
    return m_worker
        .run([this]() -> std::uint64_t {
            if (!m_isRunning)
                return 0;
            StreamLock lock(m_stream.get());
            return m_stream->playedFrames();
        })
        .result();
}

void SpeakerPlayback::render(float* mono, std::size_t frames) noexcept
{
    std::size_t filled = 0;
    while (filled < frames && m_head < m_tail) {
        Chunk& chunk = m_ring[m_head % kMaxChunks];
        const std::size_t n = std::min(frames - filled, chunk.samples.size() - chunk.position);
        std::copy_n(chunk.samples.data() + chunk.position, n, mono + filled);
        chunk.position += n;
        filled += n;
        if (chunk.position == n)
            chunk.start = m_rendered + filled - n;
        if (chunk.position == chunk.samples.size()) {
            chunk.end = m_rendered + filled;
            ++m_head;
        }
    }
    std::fill(mono + filled, mono + frames, 0.0f);
    if (auto level = m_meter.append(mono, frames)) { // the voice alone, as the listener's mark shows it
        m_level.publish(*level);
        m_wakeup.notify();
    }
    if (m_loopPlaying && !m_loop.empty()) {
        for (std::size_t i = 0; i < frames; ++i) {
            mono[i] = std::clamp(mono[i] + kWorkSoundVolume * m_loop[m_loopPosition], -1.0f, 1.0f);
            m_loopPosition = m_loopPosition + 1 == m_loop.size() ? 0 : m_loopPosition + 1;
        }
    }
    m_rendered += frames;
    if (m_echoReference) {
        const std::int64_t heardAt = m_untilHeard.count() < 0 ? 0
                                     : EchoReference::steadyNs() + std::chrono::nanoseconds(m_untilHeard).count()
                                           + EchoReference::nanosecondsOf(frames);
        m_echoReference->push(mono, frames, heardAt);
    }
}

} // namespace selvina::voice
