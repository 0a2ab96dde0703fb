// ClassifierRecognizer: the project's own Polish phrase classifier behind the recogniser interface.
// It hears the phrase rather than transcribing, and reports a hit as the final text "hej selvina".
// The network runs on a thread of its own, fed through a ring of the newest 4 s of audio, so the
// audio thread only copies samples.
// Thread: as SpeechRecognizer.
#pragma once

#include "activation/SpeechRecognizer.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <thread>
#include <vector>

namespace selvina::wake {
class PhraseSpotter;
}

namespace selvina::activation {

class ClassifierRecognizer final : public SpeechRecognizer {
public:
    struct Settings {
        QString modelPath;
        QString profilePath;             // the user's recorded phrase; empty or missing: none
        std::optional<double> threshold; // config.json "wake_threshold"; none: the model's own
        std::optional<int> windows;      // config.json "wake_windows"
    };
    // Always returns a recogniser; one whose model could not be read is unavailable and says why.
    static std::unique_ptr<ClassifierRecognizer> load(const Settings& settings);
    ~ClassifierRecognizer() override;

    bool isAvailable() const override { return m_spotter != nullptr; }
    bool recognizesOnDevice() const override { return true; }
    QString unavailableReason() const override { return m_unavailable; }
    void startTask(Handler handler) override;
    void append(const float* samples, std::size_t count) noexcept override;
    void cancelTask() override;

    // The profile could not be used (logged once by the owner); the default detector runs.
    const QString& profileProblem() const { return m_profileProblem; }

private:
    ClassifierRecognizer() = default;
    void run();
    void deliver(std::uint64_t task);

    static constexpr std::size_t kRingSamples = 4 * 16000;
    std::unique_ptr<wake::PhraseSpotter> m_spotter; // worker only once running
    QString m_unavailable;
    QString m_profileProblem;

    std::vector<float> m_ring = std::vector<float>(kRingSamples);
    std::atomic<std::uint64_t> m_written{0};
    std::atomic<std::uint64_t> m_taskStart{0}; // ring position where the current task begins
    std::atomic<std::uint64_t> m_task{0};      // bumped by every start and cancel
    std::counting_semaphore<(1 << 30)> m_ready{0};
    std::atomic<bool> m_quit{false};

    std::mutex m_handlerMutex; // a cancel waits for a handler call in progress
    Handler m_handler;

    std::thread m_thread; // last
};

} // namespace selvina::activation
