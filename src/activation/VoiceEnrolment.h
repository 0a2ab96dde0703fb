// VoiceEnrolment: teaches the wake-phrase detector the user's voice, guided by voice alone. It says
// what to do, records the phrase four times (3 s after each start signal), asks again for a
// recording that cannot be used (silence, noise, too short, clipped: the checker says why), and
// hands the set to the adapter, which refuses recordings of different phrases or keeps the profile.
// Thread: the creating (main) thread; samples arrive on the audio thread into a buffer sized once.
#pragma once

#include "activation/WakeAudioInput.h"
#include "core/Clock.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace selvina::activation {

class VoiceEnrolment final : public QObject {
    Q_OBJECT
public:
    static constexpr int kRecordings = 4;
    static constexpr int kAttemptsPerRecording = 3;
    static constexpr auto kRecordingLength = std::chrono::milliseconds(3000);
    static constexpr auto kSignalFadeOut = std::chrono::milliseconds(400); // the signal is not recorded

    using Recording = std::vector<float>; // 16 kHz mono
    struct Steps {
        // Says a sentence and calls `done` once it has been heard.
        std::function<void(const QString& sentence, std::function<void()> done)> say;
        std::function<void()> startSignal; // the short sound that means "speak now"
        // Why this recording (numbered from 1) cannot be used; none: it can.
        std::function<std::optional<QString>(const Recording&, int number)> check;
        // Keeps the user's voice from these recordings; returns why not, none when kept.
        std::function<std::optional<QString>(const std::vector<Recording>&)> adapt;
        std::function<void(bool kept)> finished;
    };

    VoiceEnrolment(std::unique_ptr<WakeAudioInput> input, Clock& clock, Steps steps);
    ~VoiceEnrolment() override;

    void start();
    bool isRunning() const { return m_running; }

private:
    void prompt();
    void record();
    void openAndRecord();
    void recorded();
    void end(const QString& sentence, bool kept);

    Clock& m_clock;
    Steps m_steps;
    bool m_running = false;
    int m_index = 0;   // the recording being made, from 0
    int m_attempt = 0; // of that recording, from 0
    std::vector<Recording> m_kept;
    std::vector<float> m_buffer;
    std::atomic<std::size_t> m_filled{0};
    std::unique_ptr<ScheduledCall> m_stopRecording;
    int m_generation = 0;
    // Last: the audio thread writes into m_buffer until the input, closed in its destructor, is gone.
    std::unique_ptr<WakeAudioInput> m_input;
};

} // namespace selvina::activation
