#include "voice/audio/MicrophoneCapture.h"

#include "voice/audio/Pcm16.h"

#include <QCoroFuture>
#include <QPointer>
#include <QTimer>

#include <cmath>

namespace selvina::voice {
namespace {

constexpr int kTargetRate = 24000;
constexpr std::size_t kBlockFrames = 1024;

void raise(std::atomic<float>& peak, float value)
{
    if (value > peak.load(std::memory_order_relaxed))
        peak.store(value, std::memory_order_relaxed);
}

} // namespace

VoiceProcessingMode voiceProcessingModeFrom(const QString& value)
{
    const QString v = value.trimmed().toLower();
    if (v == u"on" || v == u"1" || v == u"true" || v == u"yes")
        return VoiceProcessingMode::on;
    if (v == u"auto" || v == u"automatic")
        return VoiceProcessingMode::automatic;
    return VoiceProcessingMode::off;
}

VoiceProcessingMode voiceProcessingModeFromEnvironment()
{
    static const VoiceProcessingMode mode = voiceProcessingModeFrom(qEnvironmentVariable("SELVINA_VOICE_PROCESSING"));
    return mode;
}

// Everything the audio thread needs, made on the worker before the stream starts and dropped after it ends.
struct MicrophoneCapture::Tap {
    std::unique_ptr<SampleRateConverter> converter;
    std::unique_ptr<EchoCanceller> canceller; // null without voice processing
    std::vector<float> mono;
    std::vector<float> output;
    std::vector<float> processed;
    std::vector<char> pcm;
    AudioLevelMeter meter{800};
    std::atomic<float> inputPeak{0};
    std::atomic<float> convertedPeak{0};
    std::atomic<int> observedRate{0}; // of the first block seen; 0 until one arrives
    std::atomic<int> observedChannels{0};
    std::chrono::microseconds sinceRecorded{-1}; // of the next block; < 0: the backend does not say
};

MicrophoneCapture::MicrophoneCapture(platform::AudioDevices& devices, std::shared_ptr<EchoReference> echoReference,
                                     platform::SystemLog& log, const Clock& clock, Options options)
    : m_devices(devices), m_echoReference(std::move(echoReference)), m_log(log), m_clock(clock), m_options(std::move(options)),
      m_frames(2 * 4096)
{
    connect(&m_wakeup, &AudioWakeup::woken, this, [this] {
        Q_EMIT framesAvailable();
        Q_EMIT levelAvailable();
    });
}

MicrophoneCapture::~MicrophoneCapture()
{
    m_worker.runAndWait([this] {
        detachAndStop();
    });
}

QCoro::Task<Status<MicrophoneCaptureError>> MicrophoneCapture::start()
{
    // Linux has no per-application microphone consent to ask for first: a refusal by the sound server
    // arrives as the stream's own error.
    auto future = m_worker.run([this] { return startEngine(); });
    co_return co_await future;
}

QCoro::Task<> MicrophoneCapture::stop()
{
    auto future = m_worker.run([this] { detachAndStop(); });
    co_await future;
}

void MicrophoneCapture::detachAndStop()
{
    if (m_observerToken != 0)
        m_devices.removeDevicesChangedHandler(m_observerToken);
    m_observerToken = 0;
    m_reopen.cancel();
    stopEngine();
}

Status<MicrophoneCaptureError> MicrophoneCapture::startEngine()
{
    if (m_isRunning)
        return Ok{};
    const bool voiceProcessing = m_options.mode == VoiceProcessingMode::on
                                 || (m_options.mode == VoiceProcessingMode::automatic && !m_voiceProcessingRuledOut);
    auto started = startEngine(voiceProcessing);
    if (started) {
        scheduleSilenceProbe(m_options.mode == VoiceProcessingMode::automatic && voiceProcessing);
        return started;
    }
    if (!voiceProcessing)
        return started;
    m_log.write(QStringLiteral("[SelvinaVoice] Nie udało się włączyć tłumienia echa, nasłuch bez tłumienia echa: %1")
                    .arg(started.error().description()));
    m_voiceProcessingRuledOut = true;
    return startEngine(false);
}

Result<std::unique_ptr<MicrophoneCapture::Tap>, MicrophoneCaptureError>
MicrophoneCapture::makeTap(platform::AudioFormat format, bool voiceProcessing)
{
    auto tap = std::make_unique<Tap>();
    if (voiceProcessing) {
        QString error;
        tap->canceller = EchoCanceller::make(m_echoReference, &error);
        if (!tap->canceller)
            return MicrophoneCaptureError::engineFailed(error);
    }
    QString error;
    tap->converter = SampleRateConverter::make(format.sampleRate, kTargetRate, &error);
    if (!tap->converter)
        return MicrophoneCaptureError::unsupportedInputFormat(
            QStringLiteral("%1 Hz, %2 kan.").arg(format.sampleRate).arg(format.channels));
    // Sized once for a whole block, so the audio thread never grows them.
    const std::size_t capacity =
        static_cast<std::size_t>(std::trunc(double(kTargetRate) / format.sampleRate * kBlockFrames)) + 128;
    tap->mono.resize(std::max<std::size_t>(kBlockFrames, 4096));
    tap->output.resize(std::max<std::size_t>(capacity, 2048));
    tap->processed.resize(tap->output.size() + EchoCanceller::kFrame);
    tap->pcm.resize(2 * tap->processed.size());
    return tap;
}

Status<MicrophoneCaptureError> MicrophoneCapture::prepareForTesting(platform::AudioFormat format, bool voiceProcessing)
{
    auto tap = makeTap(format, voiceProcessing);
    if (!tap)
        return tap.error();
    m_tap = std::move(tap.value());
    return Ok{};
}

Status<MicrophoneCaptureError> MicrophoneCapture::startEngine(bool voiceProcessing)
{
    auto format = m_devices.defaultInputFormat();
    if (!format)
        return format.error().kind() == platform::AudioDeviceError::Kind::accessDenied
                   ? MicrophoneCaptureError::accessDenied()
                   : MicrophoneCaptureError::noInputDevice();
    if (format.value().sampleRate <= 0 || format.value().channels <= 0)
        return MicrophoneCaptureError::noInputDevice();
    auto tap = makeTap(format.value(), voiceProcessing);
    if (!tap)
        return tap.error();
    m_tap = std::move(tap.value());
    auto stream = m_devices.openInput(format.value(), kBlockFrames, *this);
    if (!stream) {
        m_tap.reset();
        const auto& error = stream.error();
        switch (error.kind()) {
        case platform::AudioDeviceError::Kind::accessDenied:
            return MicrophoneCaptureError::accessDenied();
        case platform::AudioDeviceError::Kind::noDevice:
            return MicrophoneCaptureError::noInputDevice();
        case platform::AudioDeviceError::Kind::failed:
            return MicrophoneCaptureError::engineFailed(error.serverMessage());
        }
    }
    m_stream = std::move(stream.value());
    m_isRunning = true;
    m_connection = m_devices.connectionNumber();
    m_voiceProcessingActive = voiceProcessing;
    ++m_engineStarts;
    if (m_observerToken == 0) {
        QPointer<QObject> context = m_worker.context();
        m_observerToken = m_devices.addDevicesChangedHandler([this, context] {
            QMetaObject::invokeMethod(
                context, handoff::queued(context, [this] { restartAfterConfigurationChange(); }), Qt::QueuedConnection);
        });
    }
    return Ok{};
}

void MicrophoneCapture::stopEngine()
{
    if (!m_isRunning)
        return;
    m_stream.reset(); // no callback runs after this
    m_tap.reset();
    m_isRunning = false;
    m_voiceProcessingActive = false;
}

void MicrophoneCapture::scheduleSilenceProbe(bool canRecover)
{
    const int generation = ++m_probeGeneration;
    QTimer::singleShot(m_options.probeWindow, m_worker.context(), [this, generation, canRecover] {
        if (generation != m_probeGeneration || !m_isRunning || !m_tap)
            return;
        const int rate = m_tap->observedRate.load();
        const QString formatText = rate == 0 ? QStringLiteral("brak porcji")
                                             : QStringLiteral("%1 Hz, %2 kan.").arg(rate).arg(m_tap->observedChannels.load());
        const float converted = m_tap->convertedPeak.load();
        const QString echo = m_tap->canceller ? QStringLiteral("wł., opóźnienie %1 ms").arg(m_tap->canceller->delayMs())
                                              : QStringLiteral("wył.");
        m_log.write(QStringLiteral("[SelvinaVoice] Sonda wejścia (tłumienie echa %1): %2, szczyt sprzętowy %3, po konwersji %4")
                        .arg(echo, formatText,
                             QString::number(m_tap->inputPeak.load(), 'f', 6), QString::number(converted, 'f', 6)));
        if (!canRecover || converted >= 0.00001f)
            return;
        m_log.write(QStringLiteral(
            "[SelvinaVoice] Tor wejściowy z tłumieniem echa nie oddaje sygnału — wznawiam nasłuch bez tłumienia echa"));
        m_voiceProcessingRuledOut = true;
        m_lastEngineRestart = m_clock.now();
        stopEngine();
        if (auto started = startEngine(); !started)
            m_log.write(QStringLiteral("[SelvinaVoice] Nie udało się wznowić nasłuchu bez tłumienia echa: %1")
                            .arg(started.error().description()));
    });
}

void MicrophoneCapture::restartAfterConfigurationChange()
{
    const auto now = m_clock.now();
    if (!m_isRunning || now - m_lastEngineRestart <= std::chrono::seconds(1))
        return;
    m_lastEngineRestart = now;
    const std::uint64_t before = m_connection;
    stopEngine();
    // The server itself may have gone (killed, restarting): then it is waited for a while.
    if (auto started = startEngine(); !started)
        m_log.write(QStringLiteral("[SelvinaVoice] Nie udało się wznowić mikrofonu po zmianie urządzenia: %1 — ponawiam")
                        .arg(started.error().description()));
    m_reopen.afterRestart(m_isRunning, before, m_connection, m_options.reopenLimit);
}

std::optional<std::uint64_t> MicrophoneCapture::reopenAfterLoss()
{
    if (!startEngine())
        return std::nullopt;
    return m_connection;
}

std::optional<int> MicrophoneCapture::echoDelayMs() const
{
    const Tap* tap = m_tap.get();
    if (tap == nullptr || !tap->canceller)
        return std::nullopt;
    return tap->canceller->delayMs();
}

void MicrophoneCapture::delaySinceRecorded(std::chrono::microseconds delay) noexcept
{
    if (Tap* tap = m_tap.get())
        tap->sinceRecorded = delay;
}

void MicrophoneCapture::captured(const float* interleaved, std::size_t frames, platform::AudioFormat format) noexcept
{
    Tap* tap = m_tap.get();
    if (tap == nullptr || frames == 0 || format.sampleRate <= 0 || format.channels <= 0)
        return;
    const auto channels = static_cast<std::size_t>(format.channels);
    float peak = 0;
    for (std::size_t i = 0; i < frames * channels; ++i)
        peak = std::max(peak, std::fabs(interleaved[i]));
    raise(tap->inputPeak, peak);
    if (tap->observedRate.load(std::memory_order_relaxed) == 0) {
        tap->observedChannels.store(format.channels, std::memory_order_relaxed);
        tap->observedRate.store(format.sampleRate, std::memory_order_relaxed);
    }
    const std::size_t n = std::min(frames, tap->mono.size()); // the backend never hands more than a block
    for (std::size_t i = 0; i < n; ++i)
        tap->mono[i] = interleaved[i * channels]; // first channel only: no mixing
    std::size_t produced = tap->converter->process(tap->mono.data(), n, tap->output.data(), tap->output.size());
    const float* result = tap->output.data();
    if (tap->canceller && produced > 0) {
        const std::int64_t recordedAt = tap->sinceRecorded.count() < 0
                                            ? 0
                                            : EchoReference::steadyNs() - std::chrono::nanoseconds(tap->sinceRecorded).count();
        tap->sinceRecorded = std::chrono::microseconds(-1);
        produced = tap->canceller->process(tap->output.data(), produced, tap->processed.data(), tap->processed.size(), recordedAt);
        result = tap->processed.data();
    }
    if (produced == 0)
        return;
    float converted = 0;
    for (std::size_t i = 0; i < produced; ++i)
        converted = std::max(converted, std::fabs(result[i]));
    raise(tap->convertedPeak, converted);
    if (auto level = tap->meter.append(result, produced))
        m_level.publish(*level);
    toPcm16(result, produced, tap->pcm.data());
    m_frames.publish(tap->pcm.data(), 2 * produced);
    m_wakeup.notify();
}

} // namespace selvina::voice
