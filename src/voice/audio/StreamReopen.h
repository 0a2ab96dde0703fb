// StreamReopen: brings a microphone or speaker stream back after the sound server went away (killed,
// restarted): tries again every kInterval until the stream opens or the limit has passed, and has
// the stream (an AudioCapture or AudioPlayback) emit soundServerBack() when it opened on a restarted
// server, soundServerGone() when it did not open at all.
// Thread: the audio worker that owns the stream; every call and every attempt runs there.
#pragma once

#include "core/SerialWorker.h"
#include "platform/SystemLog.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace selvina::voice {

class StreamReopen {
public:
    static constexpr std::chrono::milliseconds kInterval{500};
    static constexpr std::chrono::milliseconds kDefaultLimit{15000};

    // One attempt: the server connection the stream opened on, none when it did not.
    using Reopen = std::function<std::optional<std::uint64_t>()>;

    // `worker` may still be under construction: it is first used by afterRestart(). `name`: the
    // stream in the log ("mikrofon", "głośniki").
    StreamReopen(SerialWorker& worker, QObject* stream, platform::SystemLog& log, QString name, Reopen reopen)
        : m_worker(worker), m_stream(stream), m_log(log), m_name(std::move(name)), m_reopen(std::move(reopen))
    {
    }

    // The stream was restarted after a device change: `opened` on connection `now` (it was on
    // `before`), or not, and then it is tried again for `limit`.
    void afterRestart(bool opened, std::uint64_t before, std::uint64_t now, std::chrono::milliseconds limit);
    void cancel()
    {
        ++m_generation;
        m_active = false;
    }

private:
    void attempt(int generation, std::chrono::milliseconds left);
    void opened(std::uint64_t before, std::uint64_t now);
    void gaveUp();

    SerialWorker& m_worker;
    QObject* m_stream;
    platform::SystemLog& m_log;
    QString m_name;
    Reopen m_reopen;
    int m_generation = 0;
    bool m_active = false;
    std::uint64_t m_lost = 0; // the connection the stream was lost on
};

// What the user hears when the server has not come back: the stream stays closed.
QString soundServerGoneSentence();

} // namespace selvina::voice
