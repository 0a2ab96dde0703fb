// WakeWord: listens to the microphone between conversations and calls `wake` once when the user says
// "hej Selvina" (or "okej Selvina", "halo Selvino", …). Recognition runs on this computer only.
// It keeps itself alive on a desktop microphone: a recogniser task that ends is chained at once, a
// device that is plugged, unplugged or switched rebuilds the audio path (at most once in 2 s), and a
// device that delivers nothing is rebuilt after 2, 4, 8, 16, 30, 30, … s.
// Thread: the creating (main) thread for everything; the state is confined to it, only the count of
// delivered audio blocks is shared with the audio thread.
#pragma once

#include "activation/SpeechRecognizer.h"
#include "activation/WakeAudioInput.h"
#include "core/Clock.h"

#include <QFuture>
#include <QObject>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace QCoro {
template <typename T>
class Task;
}

namespace selvina::activation {

class WakeWord final : public QObject {
    Q_OBJECT
public:
    static constexpr auto kRetryDelay = std::chrono::seconds(3);
    static constexpr auto kRebuildDebounce = std::chrono::seconds(2);
    static constexpr auto kWatchdogFirst = std::chrono::seconds(2);
    static constexpr auto kWatchdogLongest = std::chrono::seconds(30);
    static constexpr int kTraceCharacters = 60;

    struct Options {
        std::function<void(const QString&)> log;  // default: the sidecar log
        bool traceHeardText = false;              // SELVINA_TRACE=1: log the heard words themselves
        std::function<void(const QString&)> onUnavailable; // once: the recogniser cannot run, and why
    };

    WakeWord(std::unique_ptr<SpeechRecognizer> recognizer, std::unique_ptr<WakeAudioInput> input, Clock& clock,
             std::function<void()> wake, Options options);
    ~WakeWord() override;

    // Starts listening; does nothing while listening or opening the microphone.
    void start();
    // Stops everything; safe at any time. The microphone is released shortly after (whenReleased).
    void stop();
    bool isRunning() const { return m_isRunning; }
    // True while the listener has, or is about to have, the microphone open.
    bool holdsMicrophone() const;
    // Calls `then` on `context`'s thread once the microphone is no longer held by the listener.
    void whenReleased(QObject* context, std::function<void()> then);

    static bool isWakePhrase(const QString& text);

private:
    QCoro::Task<void> startListening();
    void handle(const RecognitionUpdate& update);
    void logRetry(const QString& line);
    void scheduleRetry();
    void startWatchdog();
    void checkWatchdog(std::int64_t seenBefore);
    bool rebuild();
    std::chrono::milliseconds watchdogDelay() const;
    void log(const QString& line) const;

    // The audio thread touches the recogniser and the counter: the input, closed in its destructor,
    // is declared after them so that it goes first.
    std::unique_ptr<SpeechRecognizer> m_recognizer;
    std::atomic<std::int64_t> m_buffersSeen{0};
    std::unique_ptr<WakeAudioInput> m_input;
    Clock& m_clock;
    std::function<void()> m_wake;
    Options m_options;

    bool m_isRunning = false;
    bool m_opening = false;
    bool m_alreadyWoken = false;
    bool m_toldUnavailable = false;
    QString m_lastRetry; // the retry's reason as last logged
    int m_generation = 0; // bumped by every stop and start: late answers of an older run are dropped
    std::unique_ptr<ScheduledCall> m_retry;
    std::unique_ptr<ScheduledCall> m_watchdog;
    std::optional<std::chrono::milliseconds> m_lastRebuild;
    int m_silentRounds = 0;
    QFuture<void> m_released;
};

} // namespace selvina::activation
