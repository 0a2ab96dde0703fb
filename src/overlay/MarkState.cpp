#include "overlay/MarkState.h"

#include <QSizeF>

#include <algorithm>
#include <limits>
#include <cmath>
#include <numbers>

namespace selvina::overlay {

namespace {

constexpr double kMarkFraction = 0.22;
constexpr double kMarkSizeMin = 220;
constexpr double kMarkSizeMax = 420;
constexpr double kWorkingScale = 0.34;
constexpr double kInsetRight = 120;
constexpr double kInsetTop = 130;
// Closer than this to its target and slower than this (per second), the spring has arrived.
constexpr double kSettled = 0.0005;

double seconds(milliseconds ms)
{
    return double(ms.count()) / 1000.0;
}

} // namespace

SessionState displayState(SessionState state, bool working)
{
    if (working)
        return SessionState::thinking;
    return state == SessionState::thinking ? SessionState::listening : state;
}

QString accessibleLabel(SessionState displayed)
{
    switch (displayed) {
    case SessionState::listening:
        return QStringLiteral("Selvina słucha");
    case SessionState::thinking:
        return QStringLiteral("Selvina przetwarza");
    case SessionState::speaking:
        return QStringLiteral("Selvina mówi");
    case SessionState::awaitingConfirmation:
        return QStringLiteral("Selvina czeka na potwierdzenie");
    case SessionState::failed:
        return QStringLiteral("Wystąpił błąd");
    }
    return {};
}

MarkShaderMode shaderMode(SessionState displayed)
{
    switch (displayed) {
    case SessionState::thinking:
        return MarkShaderMode::wave;
    case SessionState::speaking:
        return MarkShaderMode::speaking;
    case SessionState::awaitingConfirmation:
        return MarkShaderMode::pulse;
    case SessionState::listening:
    case SessionState::failed:
        break;
    }
    return MarkShaderMode::idle;
}

void MarkShaderState::update(SessionState displayed, milliseconds now)
{
    const MarkShaderMode target = shaderMode(displayed);
    if (target == mode)
        return;
    previousMode = mode;
    mode = target;
    modeStart = now;
    transitionStart = now;
}

double MarkShaderState::transition(milliseconds now) const
{
    if (previousMode == mode)
        return 1.0;
    return std::clamp(double((now - transitionStart).count()) / double(kCrossFade.count()), 0.0, 1.0);
}

QRectF markRect(QSizeF view, double travel)
{
    const double w = view.width(), h = view.height(), t = travel;
    const double full = std::min(std::max(std::min(w, h) * kMarkFraction, kMarkSizeMin), kMarkSizeMax);
    const double width = full * (1 - t * (1 - kWorkingScale));
    const double height = width / kMarkAspect;
    const double cx = w / 2 + (w - width / 2 - kInsetRight - w / 2) * t;
    const double cy = h / 2 + (height / 2 + kInsetTop - h / 2) * t;
    return {cx - width / 2, cy - height / 2, width, height};
}

Spring::Spring(milliseconds response, double dampingFraction)
    : m_omega(2 * std::numbers::pi / seconds(response)),
      m_zeta(dampingFraction),
      m_omegaD(m_omega * std::sqrt(1 - dampingFraction * dampingFraction))
{
}

void Spring::jumpTo(double value)
{
    m_target = value;
    m_d0 = 0;
    m_v0 = 0;
    m_settleSeconds = 0;
}

void Spring::setTarget(double target, milliseconds now)
{
    const double t = seconds(now - m_start);
    const double position = m_target + displacement(t);
    m_v0 = velocity(t);
    m_d0 = position - target;
    m_target = target;
    m_start = now;
    const double b = (m_v0 + m_zeta * m_omega * m_d0) / m_omegaD;
    const double amplitude = std::hypot(m_d0, b) * std::max(1.0, m_omega);
    m_settleSeconds = amplitude > kSettled ? std::log(amplitude / kSettled) / (m_zeta * m_omega) : 0;
}

double Spring::displacement(double t) const
{
    if (t >= m_settleSeconds)
        return 0;
    const double b = (m_v0 + m_zeta * m_omega * m_d0) / m_omegaD;
    return std::exp(-m_zeta * m_omega * t) * (m_d0 * std::cos(m_omegaD * t) + b * std::sin(m_omegaD * t));
}

double Spring::velocity(double t) const
{
    if (t >= m_settleSeconds)
        return 0;
    const double b = (m_v0 + m_zeta * m_omega * m_d0) / m_omegaD;
    const double decay = std::exp(-m_zeta * m_omega * t);
    return decay * (std::cos(m_omegaD * t) * (b * m_omegaD - m_zeta * m_omega * m_d0)
                    - std::sin(m_omegaD * t) * (m_d0 * m_omegaD + m_zeta * m_omega * b));
}

double Spring::value(milliseconds now) const
{
    return m_target + displacement(seconds(now - m_start));
}

bool Spring::settled(milliseconds now) const
{
    return seconds(now - m_start) >= m_settleSeconds;
}

DelayedEase::DelayedEase(milliseconds duration) : m_curve(QEasingCurve::BezierSpline), m_duration(duration)
{
    // The usual ease-in-out: cubic Bézier (0.42, 0) (0.58, 1).
    m_curve.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
}

void DelayedEase::jumpTo(double value)
{
    m_from = m_to = value;
    m_start = milliseconds(std::numeric_limits<int>::min());
}

void DelayedEase::setTarget(double target, milliseconds delay, milliseconds now)
{
    m_from = value(now);
    m_to = target;
    m_start = now + delay;
}

double DelayedEase::value(milliseconds now) const
{
    if (now <= m_start)
        return m_from;
    if (now >= m_start + m_duration)
        return m_to;
    const double progress = double((now - m_start).count()) / double(m_duration.count());
    return m_from + (m_to - m_from) * m_curve.valueForProgress(progress);
}

CornerTransition::CornerTransition() : m_travel(kSpringResponse, kSpringDamping), m_aperture(kApertureDuration) {}

void CornerTransition::jumpTo(bool compact)
{
    m_compact = compact;
    m_travel.jumpTo(compact ? 1 : 0);
    m_aperture.jumpTo(compact ? 1 : 0);
}

void CornerTransition::setCompact(bool compact, milliseconds now)
{
    if (compact == m_compact)
        return;
    m_compact = compact;
    m_travel.setTarget(compact ? 1 : 0, now);
    m_aperture.setTarget(compact ? 1 : 0, compact ? kApertureDelayEntering : kApertureDelayLeaving, now);
}

} // namespace selvina::overlay
