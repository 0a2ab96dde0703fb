// PulseAudioDevices: capture and playback streams on the PulseAudio (or PipeWire-pulse) server.
// Thread: public calls from a control thread, one at a time per stream; callbacks on the client's own
// mainloop thread, which holds the mainloop lock while it runs them.
#pragma once

#include "platform/AudioDevices.h"

#include <atomic>
#include <map>
#include <mutex>

struct pa_threaded_mainloop;
struct pa_context;

namespace selvina::platform {

class PulseAudioDevices final : public AudioDevices {
public:
    // `applicationName` is what the server's mixer shows for our streams.
    explicit PulseAudioDevices(QString applicationName);
    ~PulseAudioDevices() override;

    Result<AudioFormat, AudioDeviceError> defaultInputFormat() override;
    Result<AudioFormat, AudioDeviceError> defaultOutputFormat() override;
    Result<std::unique_ptr<AudioStream>, AudioDeviceError>
    openInput(AudioFormat format, std::size_t blockFrames, AudioInputCallback& callback) override;
    Result<std::unique_ptr<AudioStream>, AudioDeviceError>
    openOutput(int sampleRate, int latencyMs, const QString& role, AudioOutputCallback& callback) override;
    int addDevicesChangedHandler(std::function<void()> handler) override;
    void removeDevicesChangedHandler(int token) override;
    std::uint64_t connectionNumber() override { return m_connections.load(); }

    // Internal, for the stream classes and the device queries.
    enum class Side { input, output };
    void notifyDevicesChanged();
    void contextStateChanged(pa_context* context);

private:
    Result<pa_context*, AudioDeviceError> connectedContext(); // mainloop locked
    Result<AudioFormat, AudioDeviceError> defaultFormat(Side side);

    QString m_name;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    std::mutex m_handlerMutex; // handler set from the control thread, called on the mainloop thread
    std::map<int, std::function<void()>> m_handlers;
    int m_nextToken = 1;
    std::atomic<std::uint64_t> m_connections{0};
};

} // namespace selvina::platform
