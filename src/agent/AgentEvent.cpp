#include "agent/AgentEvent.h"

#include <qcoro/qcorofuture.h>

#include <atomic>

namespace selvina::agent {

quint64 AgentEventChannel::nextSerial()
{
    static std::atomic<quint64> serial{0};
    return ++serial;
}

void AgentEventChannel::deliver(AgentEvent event)
{
    if (m_finished || m_stopped)
        return;
    m_queue.push_back(std::move(event));
    changed();
}

void AgentEventChannel::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    changed();
    terminate();
}

void AgentEventChannel::stopListening()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_queue.clear();
    changed();
    terminate();
}

void AgentEventChannel::changed()
{
    if (auto waiter = std::move(m_waiter))
        waiter->finish();
}

QFuture<void> AgentEventChannel::nextChange()
{
    if (!m_waiter) {
        m_waiter = std::make_shared<QPromise<void>>();
        m_waiter->start();
    }
    return m_waiter->future();
}

void AgentEventChannel::terminate()
{
    if (m_terminated)
        return;
    m_terminated = true;
    if (auto hook = std::move(m_onTermination))
        hook();
}

std::optional<AgentEvent> AgentEventChannel::take()
{
    if (m_queue.empty())
        return std::nullopt;
    AgentEvent event = std::move(m_queue.front());
    m_queue.pop_front();
    return event;
}

AgentEventStream::AgentEventStream() : m_channel(std::make_shared<AgentEventChannel>()) {}

AgentEventStream::~AgentEventStream()
{
    stop();
}

AgentEventStream& AgentEventStream::operator=(AgentEventStream&& other) noexcept
{
    if (this != &other) {
        stop();
        m_channel = std::move(other.m_channel);
    }
    return *this;
}

void AgentEventStream::stop()
{
    if (m_channel)
        m_channel->stopListening();
}

QCoro::Task<std::optional<AgentEvent>> AgentEventStream::next()
{
    return awaitNext(m_channel);
}

QCoro::Task<std::optional<AgentEvent>> AgentEventStream::awaitNext(std::shared_ptr<AgentEventChannel> channel)
{
    for (;;) {
        if (!channel || !channel->isListening())
            co_return std::nullopt;
        if (auto event = channel->take())
            co_return event;
        if (channel->isDrained())
            co_return std::nullopt;
        auto change = channel->nextChange();
        co_await change;
    }
}

} // namespace selvina::agent
