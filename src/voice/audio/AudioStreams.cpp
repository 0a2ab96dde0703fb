#include "voice/audio/AudioStreams.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

namespace selvina::voice {

AudioWakeup::AudioWakeup(QObject* parent) : QObject(parent)
{
    m_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fd < 0)
        return;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(m_fd, &count, sizeof count);
        Q_EMIT woken();
    });
}

AudioWakeup::~AudioWakeup()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void AudioWakeup::notify() noexcept
{
    if (m_fd < 0)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
}

ChunkRing::ChunkRing(std::size_t maxChunkBytes) : m_words((maxChunkBytes + 7) / 8)
{
    for (auto& slot : m_slots) {
        slot.words = std::make_unique<std::atomic<std::uint64_t>[]>(m_words);
    }
}

void ChunkRing::publish(const char* bytes, std::size_t size) noexcept
{
    size = std::min(size, m_words * 8);
    const std::uint64_t n = m_published.load(std::memory_order_relaxed);
    Slot& slot = m_slots[n % kSlots];
    slot.sequence.store(2 * n + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t w = 0; w * 8 < size; ++w) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + w * 8, std::min<std::size_t>(8, size - w * 8));
        slot.words[w].store(word, std::memory_order_relaxed);
    }
    slot.size.store(static_cast<std::uint32_t>(size), std::memory_order_relaxed);
    slot.sequence.store(2 * n + 2, std::memory_order_release);
    m_published.store(n + 1, std::memory_order_release);
}

std::optional<QByteArray> ChunkRing::take()
{
    for (;;) {
        const std::uint64_t published = m_published.load(std::memory_order_acquire);
        if (m_next >= published)
            return std::nullopt;
        if (published - m_next > kSlots) { // the reader fell behind: the oldest were overwritten
            m_dropped += published - kSlots - m_next;
            m_next = published - kSlots;
        }
        Slot& slot = m_slots[m_next % kSlots];
        const std::uint64_t before = slot.sequence.load(std::memory_order_acquire);
        if (before != 2 * m_next + 2) { // already being overwritten by a newer chunk
            ++m_next;
            ++m_dropped;
            continue;
        }
        const std::uint32_t size = slot.size.load(std::memory_order_relaxed);
        QByteArray chunk(static_cast<qsizetype>(size), Qt::Uninitialized);
        for (std::size_t w = 0; w * 8 < size; ++w) {
            const std::uint64_t word = slot.words[w].load(std::memory_order_relaxed);
            std::memcpy(chunk.data() + w * 8, &word, std::min<std::size_t>(8, size - w * 8));
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        const std::uint64_t after = slot.sequence.load(std::memory_order_relaxed);
        ++m_next;
        if (after != before) {
            ++m_dropped;
            continue;
        }
        return chunk;
    }
}

} // namespace selvina::voice
