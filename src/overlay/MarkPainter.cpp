#include "overlay/MarkPainter.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPathStroker>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace selvina::overlay {

namespace {

constexpr double kTau = 2 * std::numbers::pi;
const QPointF kCentre{75, 55.5};

struct Shapes {
    QPainterPath outline;
    QPainterPath seam; // where the lower lobe passes over the upper one
};

const Shapes& shapes()
{
    static const Shapes s = [] {
        QPainterPath upper, lower;
        upper.addRoundedRect(QRectF(0, 0, 96, 96), 36, 36);
        lower.addRoundedRect(QRectF(54, 15, 96, 96), 36, 36);
        Shapes made;
        made.outline = upper.united(lower).simplified();
        QPainterPathStroker stroker;
        stroker.setWidth(3);
        made.seam = stroker.createStroke(lower).intersected(upper).simplified();
        return made;
    }();
    return s;
}

double fraction(double x)
{
    return x - std::floor(x);
}

QColor white(double alpha)
{
    return QColor::fromRgbF(1, 1, 1, float(std::clamp(alpha, 0.0, 1.0)));
}

// A soft light in the middle, fading out at `radius`.
QBrush glow(double radius, double alpha)
{
    QRadialGradient g(kCentre, radius);
    g.setColorAt(0, white(alpha));
    g.setColorAt(1, white(0));
    return g;
}

// Rings moving outwards from the middle: a repeating radial gradient whose phase runs.
QBrush rings(double phase, double alpha, double spacing)
{
    QRadialGradient g(kCentre, spacing);
    g.setSpread(QGradient::RepeatSpread);
    constexpr int kStops = 8;
    for (int i = 0; i <= kStops; ++i) {
        const double x = double(i) / kStops;
        g.setColorAt(x, white(alpha * (0.5 + 0.5 * std::cos(kTau * (x - phase)))));
    }
    return g;
}

void paintFill(QPainter& p, MarkShaderMode mode, double t, double level)
{
    const QPainterPath& outline = shapes().outline;
    switch (mode) {
    case MarkShaderMode::idle: {
        // Listening: a glow in the middle that grows with the voice heard.
        p.fillPath(outline, glow(30 + 60 * level, 0.12 + 0.5 * level));
        break;
    }
    case MarkShaderMode::pulse: {
        // Waiting for a yes or no: a warm tint breathing every 1.2 s.
        const double breath = 0.5 + 0.5 * std::sin(kTau * t / 1.2);
        QColor amber(255, 186, 72);
        amber.setAlphaF(float(0.2 + 0.45 * breath));
        p.fillPath(outline, amber);
        break;
    }
    case MarkShaderMode::wave: {
        // Working: bright bands sweeping diagonally across, one every 1.4 s.
        const QPointF period(50, 37);
        const QPointF shift = period * fraction(t / 1.4);
        QLinearGradient g(shift, shift + period);
        g.setSpread(QGradient::RepeatSpread);
        g.setColorAt(0, white(0));
        g.setColorAt(0.5, white(0.5));
        g.setColorAt(1, white(0));
        p.fillPath(outline, g);
        break;
    }
    case MarkShaderMode::speaking: {
        // Speaking: rings flowing outwards, brighter and faster the louder the voice.
        p.fillPath(outline, rings(-fraction(t * (0.6 + 0.8 * level)), 0.1 + 0.55 * level, 26));
        p.fillPath(outline, glow(20 + 55 * level, 0.15 + 0.45 * level));
        break;
    }
    case MarkShaderMode::vibration: {
        // A shiver: vertical stripes trembling sideways with the level.
        const double dx = 3 * std::sin(kTau * 18 * t) * (0.3 + level);
        QLinearGradient g(QPointF(dx, 0), QPointF(dx + 12, 0));
        g.setSpread(QGradient::ReflectSpread);
        g.setColorAt(0, white(0));
        g.setColorAt(1, white(0.15 + 0.4 * level));
        p.fillPath(outline, g);
        break;
    }
    case MarkShaderMode::skip:
        break;
    }
}

} // namespace

const QPainterPath& markShape()
{
    return shapes().outline;
}

bool modeAnimates(MarkShaderMode mode)
{
    return mode == MarkShaderMode::pulse || mode == MarkShaderMode::wave || mode == MarkShaderMode::speaking
           || mode == MarkShaderMode::vibration;
}

void paintMark(QPainter& p, const QRectF& box, const MarkFrame& frame)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(box.topLeft());
    p.scale(box.width() / kMarkBox.width(), box.height() / kMarkBox.height());

    QLinearGradient base(QPointF(0, 0), QPointF(150, 111));
    base.setColorAt(0, QColor(106, 91, 255));
    base.setColorAt(1, QColor(31, 182, 232));
    p.fillPath(shapes().outline, base);

    const double level = std::clamp(frame.level, 0.0, 1.0);
    const double f = std::clamp(frame.transition, 0.0, 1.0);
    if (f < 1 && frame.previousMode != frame.mode) {
        p.setOpacity(1 - f);
        paintFill(p, frame.previousMode, frame.seconds, level);
    }
    p.setOpacity(f);
    paintFill(p, frame.mode, frame.seconds, level);
    p.setOpacity(1);
    p.fillPath(shapes().seam, white(0.45));
    p.restore();
}

void paintBackdrop(QPainter& p, const QRectF& plate, double opacity)
{
    if (opacity <= 0.001)
        return;
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(std::clamp(opacity, 0.0, 1.0));
    const double radius = plate.height() * 0.3;
    QLinearGradient glass(plate.topLeft(), plate.bottomLeft());
    glass.setColorAt(0, QColor(40, 44, 60, 170));
    glass.setColorAt(1, QColor(16, 18, 28, 200));
    p.setPen(QPen(white(0.18), 1.5));
    p.setBrush(glass);
    p.drawRoundedRect(plate, radius, radius);
    p.restore();
}

} // namespace selvina::overlay
