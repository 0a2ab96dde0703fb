#include "activation/DeviceWakeInput.h"

#include "voice/audio/SampleRateConverter.h"

#include <vector>

namespace selvina::activation {

namespace {
constexpr std::size_t kBlockFrames = 2048;
constexpr int kRate = 16000;
} // namespace

// Mixes and resamples on the audio thread into buffers sized once at open.
class DeviceWakeInput::Tap final : public platform::AudioInputCallback {
public:
    Tap(Samples samples, platform::AudioFormat format, std::unique_ptr<voice::SampleRateConverter> converter)
        : m_samples(std::move(samples)), m_format(format), m_converter(std::move(converter)),
          m_mono(kBlockFrames), m_out(kBlockFrames * kRate / std::size_t(std::max(format.sampleRate, 1)) + 64)
    {
    }

    void captured(const float* interleaved, std::size_t frames, platform::AudioFormat format) noexcept override
    {
        if (format.sampleRate != m_format.sampleRate || format.channels != m_format.channels || frames > m_mono.size())
            return; // the stream is reopened on the device change that brought this
        const int channels = std::max(format.channels, 1);
        for (std::size_t i = 0; i < frames; ++i) {
            float sum = 0;
            for (int c = 0; c < channels; ++c)
                sum += interleaved[i * std::size_t(channels) + std::size_t(c)];
            m_mono[i] = sum / float(channels);
        }
        const std::size_t produced = m_converter->process(m_mono.data(), frames, m_out.data(), m_out.size());
        if (produced > 0)
            m_samples(m_out.data(), produced);
    }

private:
    Samples m_samples;
    platform::AudioFormat m_format;
    std::unique_ptr<voice::SampleRateConverter> m_converter;
    std::vector<float> m_mono;
    std::vector<float> m_out;
};

DeviceWakeInput::DeviceWakeInput(platform::AudioDevices& devices) : m_devices(devices) {}

DeviceWakeInput::~DeviceWakeInput()
{
    if (m_devicesToken != 0)
        m_devices.removeDevicesChangedHandler(m_devicesToken);
    m_worker.run([this] { release(); });
}

void DeviceWakeInput::release()
{
    m_stream.reset(); // no callback runs after this
    m_tap.reset();
}

QFuture<Status<platform::AudioDeviceError>> DeviceWakeInput::open(Samples samples)
{
    using platform::AudioDeviceError;
    return m_worker.run(
        [this, samples = std::move(samples)]() -> Status<AudioDeviceError> {
            release();
            Result<platform::AudioFormat, AudioDeviceError> format = m_devices.defaultInputFormat();
            if (!format)
                return format.error();
            if (format.value().sampleRate <= 0 || format.value().channels <= 0)
                return AudioDeviceError::noDevice();
            QString converterError;
            auto converter = voice::SampleRateConverter::make(format.value().sampleRate, kRate, &converterError);
            if (!converter)
                return AudioDeviceError::failed(converterError);
            auto tap = std::make_unique<Tap>(samples, format.value(), std::move(converter));
            auto stream = m_devices.openInput(format.value(), kBlockFrames, *tap);
            if (!stream)
                return stream.error();
            m_tap = std::move(tap);
            m_stream = std::move(stream.value());
            return Ok{};
        },
        [] { return Status<AudioDeviceError>(AudioDeviceError::failed(QStringLiteral("wyjątek przy otwieraniu"))); });
}

QFuture<void> DeviceWakeInput::close()
{
    return m_worker.run([this] { release(); });
}

void DeviceWakeInput::setDevicesChanged(std::function<void()> handler)
{
    m_devicesChanged = std::move(handler);
    if (m_devicesToken != 0)
        return;
    // The handler is removed in the destructor before m_context goes, so the context outlives every call.
    m_devicesToken = m_devices.addDevicesChangedHandler([this] {
        QMetaObject::invokeMethod(
            &m_context,
            handoff::queued(&m_context,
                            [this] {
                                if (m_devicesChanged)
                                    m_devicesChanged();
                            }),
            Qt::QueuedConnection);
    });
}

} // namespace selvina::activation
