// WakeAudioInput: the wake-phrase listener's own microphone stream, 16 kHz mono, opened and closed
// between conversations.
// Thread: open/close/setDevicesChanged on the listener's thread; the sample callback on the audio
// thread; the devices-changed handler on the listener's thread.
#pragma once

#include "core/Result.h"
#include "platform/AudioDevices.h"

#include <QFuture>

#include <cstddef>
#include <functional>

namespace selvina::activation {

class WakeAudioInput {
public:
    using Samples = std::function<void(const float* samples16k, std::size_t count)>; // real-time safe
    virtual ~WakeAudioInput() = default;

    // Opens the default input and delivers its audio to `samples` until close(). Opening an open
    // input reopens it (the default device may have changed).
    virtual QFuture<Status<platform::AudioDeviceError>> open(Samples samples) = 0;
    // Finishes once the device is released; no sample is delivered after that. Jobs run in order, so
    // a close after an open releases what that open took.
    virtual QFuture<void> close() = 0;
    // A device appeared, went or became the default.
    virtual void setDevicesChanged(std::function<void()> handler) = 0;
};

} // namespace selvina::activation
