// SpeechRecognizer: a streaming on-device recogniser as the wake-phrase listener sees it. A detector
// that produces no transcript (the phrase classifier) reports a hit as the final text "hej selvina".
// Thread: isAvailable/startTask/cancelTask on the listener's thread; append() on the audio thread,
// real-time safe; the handler runs on the recogniser's own thread.
#pragma once

#include <QString>

#include <cstddef>
#include <functional>
#include <optional>

namespace selvina::activation {

struct RecognitionUpdate {
    QString text;                 // the best transcript so far, possibly empty
    bool isFinal = false;         // the task ended with this text
    std::optional<QString> error; // the task ended with this error
};

class SpeechRecognizer {
public:
    using Handler = std::function<void(const RecognitionUpdate&)>;
    virtual ~SpeechRecognizer() = default;

    virtual bool isAvailable() const = 0;
    virtual bool recognizesOnDevice() const = 0;
    // Why the recogniser cannot run, in one Polish sentence; empty when it can.
    virtual QString unavailableReason() const = 0;
    // Starts a task that hears only audio appended from now on; ends the previous task.
    virtual void startTask(Handler handler) = 0;
    // 16 kHz mono samples in [-1, 1]. Never blocks or allocates.
    virtual void append(const float* samples, std::size_t count) noexcept = 0;
    // Once it returns the handler is not called again. Safe without a task.
    virtual void cancelTask() = 0;
};

} // namespace selvina::activation
