// A clock that moves only when the test says so; due calls run in deadline order inside advance().
// Thread: the test's main thread.
#pragma once

#include "core/Clock.h"

#include <QtGlobal>

#include <algorithm>
#include <memory>
#include <vector>

namespace selvina::testing {

class ManualClock final : public Clock {
public:
    std::unique_ptr<ScheduledCall> after(std::chrono::milliseconds delay, std::function<void()> call) override
    {
        auto entry = std::make_shared<Entry>(Entry{m_now + delay, m_sequence++, std::move(call), false});
        m_entries.push_back(entry);
        return std::make_unique<Handle>(entry);
    }

    std::chrono::milliseconds now() const override { return m_now; }

    void advance(std::chrono::milliseconds by)
    {
        const auto until = m_now + by;
        for (;;) {
            std::erase_if(m_entries, [](const auto& e) { return e->cancelled; });
            auto next = std::min_element(m_entries.begin(), m_entries.end(), [](const auto& a, const auto& b) {
                return a->due != b->due ? a->due < b->due : a->sequence < b->sequence;
            });
            if (next == m_entries.end() || (*next)->due > until)
                break;
            auto entry = *next;
            m_entries.erase(next);
            m_now = entry->due;
            entry->cancelled = true;
            entry->call();
        }
        m_now = until;
    }

    std::size_t pending() const
    {
        return std::size_t(std::count_if(m_entries.begin(), m_entries.end(), [](const auto& e) { return !e->cancelled; }));
    }

private:
    struct Entry {
        std::chrono::milliseconds due;
        quint64 sequence;
        std::function<void()> call;
        bool cancelled;
    };
    struct Handle final : ScheduledCall {
        explicit Handle(std::shared_ptr<Entry> e) : entry(std::move(e)) {}
        ~Handle() override { entry->cancelled = true; }
        std::shared_ptr<Entry> entry;
    };

    std::chrono::milliseconds m_now{0};
    quint64 m_sequence = 0;
    std::vector<std::shared_ptr<Entry>> m_entries;
};

} // namespace selvina::testing
