#include "wake/PhraseSpotter.h"

#include <algorithm>

namespace selvina::wake {

PhraseSpotter::PhraseSpotter(std::shared_ptr<const WakeModel> model, SpotterSettings settings,
    std::optional<VoiceProfile> profile)
    : m_model(std::move(model))
    , m_settings(settings)
    , m_profile(std::move(profile))
    , m_frontEnd(m_model->mean(), m_model->deviation(), m_model->windowFrames())
    , m_scratch(*m_model)
    , m_embedding(std::size_t(m_model->embeddingSize()), 0.0f)
{
    if (m_settings.windows < 1)
        m_settings.windows = 1;
    // A profile of another model's embeddings cannot be compared (VoiceProfile::load refuses those files).
    if (m_profile
        && (m_profile->templates.empty()
            || std::any_of(m_profile->templates.begin(), m_profile->templates.end(),
                [&](const std::vector<float>& t) { return t.size() != m_embedding.size(); })))
        m_profile.reset();
}

void PhraseSpotter::reset() noexcept
{
    m_frontEnd.reset();
    m_run = 0;
    m_lastScore = 0.0f;
    m_samples = 0;
    m_lastFireSample = -1;
}

bool PhraseSpotter::feed(std::span<const float> samples16k) noexcept
{
    while (true) {
        const std::size_t before = samples16k.size();
        const bool due = m_frontEnd.pushToNextWindow(samples16k, m_model->stepFrames());
        m_samples += std::int64_t(before - samples16k.size());
        if (!due)
            break;
        if (evaluateWindow()) {
            m_samples += std::int64_t(samples16k.size());
            m_frontEnd.reset();
            m_run = 0;
            return true;
        }
    }
    return false;
}

bool PhraseSpotter::evaluateWindow() noexcept
{
    const float gate = m_model->gateEnergy();
    const bool gated = gate > 0.0f && m_frontEnd.windowPeakEnergy() < gate;
    bool counted = false;
    if (gated) {
        m_lastScore = 0.0f;
        ++m_windowsGated;
    } else {
        const float logit = m_model->logit(m_frontEnd.window(), m_scratch, m_profile ? m_embedding.data() : nullptr);
        m_lastScore = WakeModel::score(logit);
        ++m_windowsEvaluated;
        counted = m_lastScore >= m_settings.threshold
            || (m_profile && m_lastScore >= m_profile->scoreFloor
                && m_profile->nearestSimilarity(m_embedding.data()) >= m_profile->similarityThreshold);
    }
    m_run = counted ? m_run + 1 : 0;
    const bool fire = m_run >= m_settings.windows;
    if (fire)
        m_lastFireSample = m_samples;
    if (m_observer)
        m_observer(WindowScore{m_samples, m_lastScore, gated, counted});
    return fire;
}

} // namespace selvina::wake
