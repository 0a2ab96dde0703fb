// DeviceWakeInput: WakeAudioInput over the sound server: the default source in its own format,
// mixed down to mono and resampled to 16 kHz (libsoxr), 2048 frames a block.
// Thread: as WakeAudioInput; the server is talked to on the "selvina.wake.input" worker.
#pragma once

#include "activation/WakeAudioInput.h"
#include "core/SerialWorker.h"

#include <QObject>

#include <memory>

namespace selvina::activation {

class DeviceWakeInput final : public WakeAudioInput {
public:
    explicit DeviceWakeInput(platform::AudioDevices& devices);
    ~DeviceWakeInput() override;

    QFuture<Status<platform::AudioDeviceError>> open(Samples samples) override;
    QFuture<void> close() override;
    void setDevicesChanged(std::function<void()> handler) override;

private:
    class Tap;
    void release(); // worker only
    platform::AudioDevices& m_devices;
    QObject m_context; // the listener's thread, for the devices-changed news
    std::function<void()> m_devicesChanged;
    int m_devicesToken = 0;
    // Worker only.
    std::unique_ptr<Tap> m_tap;
    std::unique_ptr<platform::AudioStream> m_stream;
    SerialWorker m_worker{QStringLiteral("selvina.wake.input")}; // last: stops before the state above
};

} // namespace selvina::activation
