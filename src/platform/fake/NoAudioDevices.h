// NoAudioDevices: a sound server with nothing attached, for driving the audio path by hand.
// Thread: any.
#pragma once

#include "platform/AudioDevices.h"

namespace selvina::platform::fake {

class NoAudioDevices final : public AudioDevices {
public:
    Result<AudioFormat, AudioDeviceError> defaultInputFormat() override { return none(); }
    Result<AudioFormat, AudioDeviceError> defaultOutputFormat() override { return none(); }
    Result<std::unique_ptr<AudioStream>, AudioDeviceError> openInput(AudioFormat, std::size_t,
                                                                     AudioInputCallback&) override
    {
        return none();
    }
    Result<std::unique_ptr<AudioStream>, AudioDeviceError> openOutput(int, int, const QString&,
                                                                      AudioOutputCallback&) override
    {
        return none();
    }
    int addDevicesChangedHandler(std::function<void()>) override { return 1; }
    void removeDevicesChangedHandler(int) override {}

private:
    static AudioDeviceError none() { return AudioDeviceError::noDevice(); }
};

} // namespace selvina::platform::fake
