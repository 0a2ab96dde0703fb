// What the mark shows and where: the display state with its spoken label and fill mode, the
// cross-fade between fills, the mark's rectangle on a screen and the two animated values of its
// trip to the screen corner.
// Thread: main thread. Times are milliseconds of the overlay's Clock.
#pragma once

#include "core/Session.h"

#include <QEasingCurve>
#include <QRectF>
#include <QString>

#include <chrono>

namespace selvina::overlay {

using std::chrono::milliseconds;

// Thinking while a tool call runs; otherwise the session's state, with thinking shown as
// listening (the model preparing an answer without tools is not "work").
SessionState displayState(SessionState state, bool working);
inline SessionState displayState(const SessionModel& session)
{
    return displayState(session.state(), session.working());
}
// "Selvina słucha", "Selvina przetwarza", …
QString accessibleLabel(SessionState displayed);

enum class MarkShaderMode { idle, pulse, wave, speaking, vibration, skip };
MarkShaderMode shaderMode(SessionState displayed);

struct MarkShaderState {
    // How long the fill takes to cross from the previous mode to the new one.
    static constexpr milliseconds kCrossFade{400};

    MarkShaderMode mode = MarkShaderMode::idle;
    MarkShaderMode previousMode = MarkShaderMode::idle;
    milliseconds modeStart{0};
    milliseconds transitionStart{0};

    // Nothing changes when the state's mode is the current one, so a repeated state never
    // restarts its animation.
    void update(SessionState displayed, milliseconds now);
    // 0 … 1: how far the fill has crossed from previousMode to mode.
    double transition(milliseconds now) const;
};

// The mark's box is 150 × 111; its height is always its width divided by this.
inline constexpr double kMarkAspect = 1.3513513513513513;
// The mark's rectangle in a view of this size (y downwards): in the middle at travel 0, at 0.34 of
// that size in the top-right corner at travel 1 (right edge 120, top 130 from the view's edges).
QRectF markRect(QSizeF view, double travel);

// A value pulled towards its target by a damped spring (unit mass), continuing from its current
// position and speed when the target changes midway.
class Spring {
public:
    Spring(milliseconds response, double dampingFraction);
    void jumpTo(double value);
    void setTarget(double target, milliseconds now);
    double value(milliseconds now) const;
    bool settled(milliseconds now) const;

private:
    double displacement(double seconds) const;
    double velocity(double seconds) const;

    double m_omega;   // undamped angular frequency, 1/s
    double m_zeta;
    double m_omegaD;  // damped angular frequency, 1/s
    double m_target = 0;
    double m_d0 = 0;  // displacement from the target at m_start
    double m_v0 = 0;  // speed at m_start, 1/s
    milliseconds m_start{0};
    double m_settleSeconds = 0;
};

// An ease-in-out from the value at the moment of the change to the target, after a delay.
class DelayedEase {
public:
    explicit DelayedEase(milliseconds duration);
    void jumpTo(double value);
    void setTarget(double target, milliseconds delay, milliseconds now);
    double value(milliseconds now) const;
    bool settled(milliseconds now) const { return now >= m_start + m_duration; }

private:
    QEasingCurve m_curve;
    milliseconds m_duration;
    double m_from = 0;
    double m_to = 0;
    milliseconds m_start{0};
};

// The mark's trip between the middle and the corner: `travel` on a spring (response 0.75 s,
// damping 0.86), the backdrop's `aperture` eased over 0.5 s, 0.3 s after the mark sets off for the
// corner and 0.22 s after it sets off back.
class CornerTransition {
public:
    static constexpr milliseconds kSpringResponse{750};
    static constexpr double kSpringDamping = 0.86;
    static constexpr milliseconds kApertureDuration{500};
    static constexpr milliseconds kApertureDelayEntering{300};
    static constexpr milliseconds kApertureDelayLeaving{220};

    CornerTransition();
    // Without animation: where the mark is when it appears.
    void jumpTo(bool compact);
    void setCompact(bool compact, milliseconds now);
    double travel(milliseconds now) const { return m_travel.value(now); }
    double aperture(milliseconds now) const { return m_aperture.value(now); }
    bool settled(milliseconds now) const { return m_travel.settled(now) && m_aperture.settled(now); }

private:
    bool m_compact = false;
    Spring m_travel;
    DelayedEase m_aperture;
};

} // namespace selvina::overlay
