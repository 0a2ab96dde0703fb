// The two streams an audio object offers its owner: chunks of PCM16 (the newest 128 kept) and a level
// (the newest value kept). The audio thread writes without locking or allocating and wakes the owner's
// thread through an eventfd; the owner reads after the wake-up signal.
// Thread: publish*() from one audio thread at a time; take*() and the signals on the creating thread.
#pragma once

#include <QByteArray>
#include <QObject>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;

namespace selvina::voice {

class AudioWakeup : public QObject {
    Q_OBJECT
public:
    explicit AudioWakeup(QObject* parent = nullptr);
    ~AudioWakeup() override;
    void notify() noexcept; // async-signal-safe: one write(2)

Q_SIGNALS:
    void woken();

private:
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};

// Keeps the newest `kSlots` chunks; an older chunk is overwritten rather than the newest refused. Each
// slot carries a sequence number so that the reader notices a chunk overwritten while it copied.
class ChunkRing {
public:
    static constexpr std::size_t kSlots = 128;

    explicit ChunkRing(std::size_t maxChunkBytes);
    void publish(const char* bytes, std::size_t size) noexcept;
    std::optional<QByteArray> take();
    std::uint64_t dropped() const { return m_dropped; }

private:
    struct Slot {
        std::atomic<std::uint64_t> sequence{0}; // 2n+1 while chunk n is written, 2n+2 once written
        std::atomic<std::uint32_t> size{0};
        std::unique_ptr<std::atomic<std::uint64_t>[]> words;
    };
    std::size_t m_words;
    std::array<Slot, kSlots> m_slots;
    std::atomic<std::uint64_t> m_published{0};
    std::uint64_t m_next = 0; // reader's next chunk number
    std::uint64_t m_dropped = 0;
};

class LatestLevel {
public:
    void publish(double level) noexcept
    {
        m_value.store(level, std::memory_order_relaxed);
        m_fresh.store(true, std::memory_order_release);
    }
    std::optional<double> take()
    {
        if (!m_fresh.exchange(false, std::memory_order_acquire))
            return std::nullopt;
        return m_value.load(std::memory_order_relaxed);
    }

private:
    std::atomic<double> m_value{0};
    std::atomic<bool> m_fresh{false};
};

} // namespace selvina::voice
