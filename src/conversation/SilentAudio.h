// SilentCapture and SilentPlayback: the microphone and speakers of a text-channel conversation —
// no frames, no levels, every operation done at once.
// Thread: main thread.
#pragma once

#include "voice/audio/AudioCapture.h"
#include "voice/audio/AudioPlayback.h"

namespace selvina::conversation {

class SilentCapture final : public voice::AudioCapture {
    Q_OBJECT
public:
    using AudioCapture::AudioCapture;
    std::optional<QByteArray> takeFrame() override { return std::nullopt; }
    std::optional<double> takeLevel() override { return std::nullopt; }
    QCoro::Task<Status<voice::MicrophoneCaptureError>> start() override { co_return Ok{}; }
    QCoro::Task<> stop() override { co_return; }
};

class SilentPlayback final : public voice::AudioPlayback {
    Q_OBJECT
public:
    using AudioPlayback::AudioPlayback;
    std::optional<double> takeLevel() override { return std::nullopt; }
    QCoro::Task<> waitUntilDrained() override { co_return; }
    QCoro::Task<> enqueue(QByteArray) override { co_return; }
    QCoro::Task<> flush() override { co_return; }
    QCoro::Task<> startWorkSound(QByteArray) override { co_return; }
    QCoro::Task<> stopWorkSound() override { co_return; }
    QCoro::Task<Status<voice::SpeakerPlaybackError>> start() override { co_return Ok{}; }
    QCoro::Task<> stop() override { co_return; }
};

} // namespace selvina::conversation
