// AgentEvent: what one delegated task reports; AgentEventSink/AgentEventStream: the two ends of
// its unbounded event queue.
// Thread: main thread (both ends).
#pragma once

#include <QFuture>
#include <QPromise>
#include <QString>

#include <qcoro/qcorotask.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace selvina::agent {

struct AgentEvent {
    enum class Kind { progress, activity, confirmationRequired, finished, failed };
    Kind kind = Kind::failed;
    QString text; // progress, activity, finished and failed text; the intent of a confirmation
    QString id;   // confirmationRequired: the task id to answer with

    static AgentEvent progress(QString text) { return {Kind::progress, std::move(text), {}}; }
    static AgentEvent activity(QString text) { return {Kind::activity, std::move(text), {}}; }
    static AgentEvent confirmationRequired(QString intent, QString id)
    {
        return {Kind::confirmationRequired, std::move(intent), std::move(id)};
    }
    static AgentEvent finished(QString text) { return {Kind::finished, std::move(text), {}}; }
    static AgentEvent failed(QString text) { return {Kind::failed, std::move(text), {}}; }
    bool isTerminal() const { return kind == Kind::finished || kind == Kind::failed; }
};

// Shared by the two ends. Terminated once: when the producer finishes it or the consumer goes.
class AgentEventChannel {
public:
    void deliver(AgentEvent event);
    void finish();
    void stopListening();
    void setOnTermination(std::function<void()> hook) { m_onTermination = std::move(hook); }
    // Unique for the life of the process (addresses are reused, serials are not).
    quint64 serial() const { return m_serial; }

    bool isFinished() const { return m_finished; }
    bool isListening() const { return !m_stopped; }
    std::optional<AgentEvent> take();
    bool isDrained() const { return m_queue.empty() && (m_finished || m_stopped); }
    // Resolves at the next change (an event, the end, the consumer leaving).
    QFuture<void> nextChange();

private:
    void changed();
    void terminate();
    std::shared_ptr<QPromise<void>> m_waiter;
    std::deque<AgentEvent> m_queue;
    bool m_finished = false;
    bool m_stopped = false;
    bool m_terminated = false;
    std::function<void()> m_onTermination;
    quint64 m_serial = nextSerial();
    static quint64 nextSerial();
};

// The producer's end (the sidecar runtime).
class AgentEventSink {
public:
    AgentEventSink() = default;
    explicit AgentEventSink(std::shared_ptr<AgentEventChannel> channel) : m_channel(std::move(channel)) {}
    void deliver(AgentEvent event) const { m_channel->deliver(std::move(event)); }
    void finish() const { m_channel->finish(); }
    void setOnTermination(std::function<void()> hook) const { m_channel->setOnTermination(std::move(hook)); }
    bool isListening() const { return m_channel->isListening(); }
    void stopListening() const { m_channel->stopListening(); }
    quint64 identity() const { return m_channel->serial(); }

private:
    std::shared_ptr<AgentEventChannel> m_channel;
};

// The consumer's end. Dropping it, or stop(), ends the task early: the producer is told once.
class AgentEventStream {
public:
    AgentEventStream();
    ~AgentEventStream();
    AgentEventStream(AgentEventStream&&) noexcept = default;
    AgentEventStream& operator=(AgentEventStream&&) noexcept;
    AgentEventStream(const AgentEventStream&) = delete;
    AgentEventStream& operator=(const AgentEventStream&) = delete;

    AgentEventSink sink() const { return AgentEventSink(m_channel); }
    // The next event in order; none when the stream has ended (after the last event, or stopped).
    QCoro::Task<std::optional<AgentEvent>> next();
    // Without waiting: the next event already delivered, if any; and whether no more will come.
    std::optional<AgentEvent> takeReady() { return m_channel ? m_channel->take() : std::nullopt; }
    bool hasEnded() const { return !m_channel || m_channel->isDrained(); }
    void stop();

private:
    static QCoro::Task<std::optional<AgentEvent>> awaitNext(std::shared_ptr<AgentEventChannel> channel);
    std::shared_ptr<AgentEventChannel> m_channel;
};

} // namespace selvina::agent
