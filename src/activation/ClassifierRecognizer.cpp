#include "activation/ClassifierRecognizer.h"

#include "wake/PhraseSpotter.h"
#include "wake/VoiceProfile.h"
#include "wake/WakeModel.h"

#include <algorithm>
#include <span>

namespace selvina::activation {

std::unique_ptr<ClassifierRecognizer> ClassifierRecognizer::load(const Settings& settings)
{
    std::unique_ptr<ClassifierRecognizer> recognizer(new ClassifierRecognizer());
    auto model = wake::WakeModel::load(settings.modelPath);
    if (!model) {
        recognizer->m_unavailable = model.error().description();
        return recognizer;
    }
    wake::SpotterSettings spotting = wake::SpotterSettings::defaultsOf(*model.value());
    if (settings.threshold)
        spotting.threshold = float(*settings.threshold);
    if (settings.windows)
        spotting.windows = *settings.windows;
    std::optional<wake::VoiceProfile> profile;
    if (!settings.profilePath.isEmpty()) {
        auto loaded = wake::VoiceProfile::load(settings.profilePath, *model.value());
        if (loaded)
            profile = std::move(loaded.value());
        else if (loaded.error().kind() != wake::VoiceProfileError::Kind::missing) // no recording made: the default
            recognizer->m_profileProblem = loaded.error().description();
    }
    recognizer->m_spotter = std::make_unique<wake::PhraseSpotter>(model.value(), spotting, std::move(profile));
    recognizer->m_thread = std::thread([r = recognizer.get()] { r->run(); });
    return recognizer;
}

ClassifierRecognizer::~ClassifierRecognizer()
{
    cancelTask();
    m_quit.store(true);
    m_ready.release();
    if (m_thread.joinable())
        m_thread.join();
}

void ClassifierRecognizer::startTask(Handler handler)
{
    std::lock_guard lock(m_handlerMutex);
    m_handler = std::move(handler);
    m_taskStart.store(m_written.load(std::memory_order_acquire), std::memory_order_relaxed);
    m_task.fetch_add(1, std::memory_order_release);
    m_ready.release();
}

void ClassifierRecognizer::cancelTask()
{
    std::lock_guard lock(m_handlerMutex);
    m_handler = nullptr;
    m_task.fetch_add(1, std::memory_order_release);
}

void ClassifierRecognizer::append(const float* samples, std::size_t count) noexcept
{
    if (m_spotter == nullptr || count == 0)
        return;
    std::uint64_t at = m_written.load(std::memory_order_relaxed);
    // Only the newest ring's worth can be kept anyway.
    if (count > kRingSamples) {
        samples += count - kRingSamples;
        at += count - kRingSamples;
        count = kRingSamples;
    }
    for (std::size_t i = 0; i < count; ++i)
        m_ring[(at + i) % kRingSamples] = samples[i];
    m_written.store(at + count, std::memory_order_release);
    m_ready.release();
}

void ClassifierRecognizer::run()
{
    std::uint64_t seenTask = 0;
    std::uint64_t read = 0;
    bool ended = true;
    for (;;) {
        m_ready.acquire();
        if (m_quit.load())
            return;
        const std::uint64_t task = m_task.load(std::memory_order_acquire);
        if (task != seenTask) {
            seenTask = task;
            m_spotter->reset();
            read = m_taskStart.load(std::memory_order_relaxed);
            ended = false;
        }
        const std::uint64_t written = m_written.load(std::memory_order_acquire);
        if (ended) {
            read = written;
            continue;
        }
        if (written - read > kRingSamples)
            read = written - kRingSamples; // the worker fell behind: the oldest audio is gone
        while (read < written && !ended) {
            const std::size_t offset = std::size_t(read % kRingSamples);
            const std::size_t length = std::size_t(std::min<std::uint64_t>(written - read, kRingSamples - offset));
            // One window step at a time, so that a fire is told at the audio that made it.
            const std::size_t step = std::min<std::size_t>(length, 1280);
            const bool fired = m_spotter->feed(std::span<const float>(m_ring.data() + offset, step));
            read += step;
            if (fired) {
                ended = true; // a hit ends the task; the listener starts the next one
                deliver(task);
            }
        }
    }
}

void ClassifierRecognizer::deliver(std::uint64_t task)
{
    std::lock_guard lock(m_handlerMutex);
    if (m_task.load() == task && m_handler)
        m_handler(RecognitionUpdate{QStringLiteral("hej selvina"), true, std::nullopt});
}

} // namespace selvina::activation
