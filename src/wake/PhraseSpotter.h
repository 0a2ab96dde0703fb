// PhraseSpotter: streams 16 kHz audio through the log-mel front end and the wake model, and reports a
// fire when enough consecutive windows score over the threshold; optionally matches the user's voice.
// Thread: one owner at a time (the recogniser's audio thread); allocates only in its constructor.
#pragma once

#include "wake/LogMelFrontEnd.h"
#include "wake/VoiceProfile.h"
#include "wake/WakeModel.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace selvina::wake {

struct SpotterSettings {
    float threshold = 0.5f; // score a window must reach
    int windows = 1; // consecutive windows over the threshold that make a fire

    static SpotterSettings defaultsOf(const WakeModel& model) { return {model.threshold(), model.windows()}; }
};

// One evaluated window, for measurements.
struct WindowScore {
    std::int64_t endSample; // samples since reset() up to the end of the window's newest frame
    float score; // 0 when gated
    bool gated; // silent: the network did not run
    bool counted; // over the threshold (by score or by the voice profile)
};

class PhraseSpotter {
public:
    PhraseSpotter(std::shared_ptr<const WakeModel> model, SpotterSettings settings,
        std::optional<VoiceProfile> profile = std::nullopt);

    // True when these samples completed a fire. All buffered audio is then dropped, the rest of this
    // block included, so the same speech cannot fire again.
    bool feed(std::span<const float> samples16k) noexcept;
    // Drops all audio, frames and the run of scores; sample positions restart at 0.
    void reset() noexcept;

    float lastScore() const noexcept { return m_lastScore; }
    // Position of the latest fire: samples since reset() at the end of the window that completed it.
    std::int64_t lastFireSample() const noexcept { return m_lastFireSample; }
    std::int64_t windowsEvaluated() const noexcept { return m_windowsEvaluated; } // network runs
    std::int64_t windowsGated() const noexcept { return m_windowsGated; }
    const SpotterSettings& settings() const noexcept { return m_settings; }
    const WakeModel& model() const noexcept { return *m_model; }
    // Called for every window, on the feeding thread. Set it before streaming; it must not allocate.
    void setWindowObserver(std::function<void(const WindowScore&)> observer) { m_observer = std::move(observer); }

private:
    bool evaluateWindow() noexcept; // true: fire

    std::shared_ptr<const WakeModel> m_model;
    SpotterSettings m_settings;
    std::optional<VoiceProfile> m_profile;
    LogMelFrontEnd m_frontEnd;
    WakeModel::Scratch m_scratch;
    std::vector<float> m_embedding;
    std::function<void(const WindowScore&)> m_observer;
    int m_run = 0;
    float m_lastScore = 0.0f;
    std::int64_t m_samples = 0;
    std::int64_t m_lastFireSample = -1;
    std::int64_t m_windowsEvaluated = 0;
    std::int64_t m_windowsGated = 0;
};

} // namespace selvina::wake
