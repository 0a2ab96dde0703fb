// AudioDevices: the sound server as capture and playback streams of 32-bit float samples.
// Thread: open*/default* from a control thread (they may wait for the server); callbacks run on the
// backend's audio thread, never concurrently with a caller holding that stream's lock.
#pragma once

#include "core/Result.h"

#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace selvina::platform {

struct AudioFormat {
    int sampleRate = 0; // Hz
    int channels = 0;
};

class AudioDeviceError {
public:
    enum class Kind { noDevice, accessDenied, failed };

    static AudioDeviceError noDevice() { return {Kind::noDevice, {}}; }
    static AudioDeviceError accessDenied() { return {Kind::accessDenied, {}}; }
    static AudioDeviceError failed(QString serverMessage) { return {Kind::failed, std::move(serverMessage)}; }

    Kind kind() const { return m_kind; }
    // The sound server's own words, for `failed`; empty otherwise.
    const QString& serverMessage() const { return m_serverMessage; }
    QString description() const
    {
        switch (m_kind) {
        case Kind::noDevice:
            return QStringLiteral("Nie ma urządzenia dźwiękowego.");
        case Kind::accessDenied:
            return QStringLiteral("Serwer dźwięku odmówił dostępu.");
        case Kind::failed:
            break;
        }
        return QStringLiteral("Serwer dźwięku zgłosił błąd: ") + m_serverMessage;
    }
    bool operator==(const AudioDeviceError&) const = default;

private:
    AudioDeviceError(Kind kind, QString serverMessage) : m_kind(kind), m_serverMessage(std::move(serverMessage)) {}
    Kind m_kind;
    QString m_serverMessage;
};

// Receives capture audio in blocks of exactly the requested frame count, interleaved.
class AudioInputCallback {
public:
    virtual ~AudioInputCallback() = default;
    virtual void captured(const float* interleaved, std::size_t frames, AudioFormat format) noexcept = 0;
    // Before a captured() call, when the backend knows it: how long ago the block's last frame was
    // recorded (the device's and the server's buffers).
    virtual void delaySinceRecorded(std::chrono::microseconds) noexcept {}
};

// Fills the next `frames` mono samples of playback; silence is written by the callee when it has nothing.
class AudioOutputCallback {
public:
    virtual ~AudioOutputCallback() = default;
    virtual void render(float* mono, std::size_t frames) noexcept = 0;
    // Before a render() call, when the backend knows it: how long until its first sample is heard (what
    // the server and the device still hold).
    virtual void delayUntilHeard(std::chrono::microseconds) noexcept {}
};

class AudioStream {
public:
    virtual ~AudioStream() = default; // stops the stream; no callback runs after it returns
    // Excludes the audio callback while held (the callback never takes it itself).
    virtual void lock() = 0;
    virtual void unlock() = 0;
    // Playback: frames the listener has heard so far, in the render() count; capture: 0.
    virtual std::uint64_t playedFrames() = 0;
    // Playback: drops what the server still holds, so nothing rendered so far is heard any more.
    virtual void dropBuffered() = 0;
};

class AudioDevices {
public:
    virtual ~AudioDevices() = default;
    virtual Result<AudioFormat, AudioDeviceError> defaultInputFormat() = 0;
    virtual Result<AudioFormat, AudioDeviceError> defaultOutputFormat() = 0;
    // Float samples in `format`; `blockFrames` per captured() call.
    virtual Result<std::unique_ptr<AudioStream>, AudioDeviceError>
    openInput(AudioFormat format, std::size_t blockFrames, AudioInputCallback& callback) = 0;
    // Mono float at `sampleRate`, with about `latencyMs` between render() and the listener.
    virtual Result<std::unique_ptr<AudioStream>, AudioDeviceError>
    openOutput(int sampleRate, int latencyMs, const QString& role, AudioOutputCallback& callback) = 0;
    // Called on the backend's thread whenever a device appears, goes or becomes the default; the handler
    // must only hand the news on. Returns a token for removeDevicesChangedHandler.
    virtual int addDevicesChangedHandler(std::function<void()> handler) = 0;
    virtual void removeDevicesChangedHandler(int token) = 0;
    // Which connection to the sound server streams opened now are on, counted from 1; a new number
    // means the server was restarted in between. 0: not known.
    virtual std::uint64_t connectionNumber() { return 0; }
};

} // namespace selvina::platform
