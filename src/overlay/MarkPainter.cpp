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

// Rings flowing outwards over a glow in the middle, in one gradient (one pass over the pixels).
QBrush ringsAndGlow(double phase, double ringAlpha, double glowRadius, double glowAlpha)
{
    constexpr double kReach = 95;   // from the middle to the box's corners
    constexpr double kSpacing = 26; // between rings
    QRadialGradient g(kCentre, kReach);
    constexpr int kStops = 48;
    for (int i = 0; i <= kStops; ++i) {
        const double r = kReach * i / kStops;
        const double ring = 0.5 + 0.5 * std::cos(kTau * (r / kSpacing - phase));
        const double light = std::max(0.0, 1 - r / glowRadius);
        g.setColorAt(double(i) / kStops, white(ringAlpha * ring + glowAlpha * light * (1 - ringAlpha * ring)));
    }
    return g;
}

// The mode's light over the base, as one brush in the 150 × 111 box.
QBrush fill(MarkShaderMode mode, double t, double level)
{
    switch (mode) {
    case MarkShaderMode::idle:
        // Listening: a glow in the middle that grows with the voice heard.
        return glow(30 + 60 * level, 0.12 + 0.5 * level);
    case MarkShaderMode::pulse: {
        // Waiting for a yes or no: a warm tint breathing every 1.2 s.
        QColor amber(255, 186, 72);
        amber.setAlphaF(float(0.2 + 0.45 * (0.5 + 0.5 * std::sin(kTau * t / 1.2))));
        return amber;
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
        return g;
    }
    case MarkShaderMode::speaking:
        // Speaking: rings flowing outwards, brighter and faster the louder the voice.
        return ringsAndGlow(fraction(t * (0.6 + 0.8 * level)), 0.1 + 0.55 * level, 20 + 55 * level, 0.15 + 0.45 * level);
    case MarkShaderMode::vibration: {
        // A shiver: vertical stripes trembling sideways with the level.
        const double dx = 3 * std::sin(kTau * 18 * t) * (0.3 + level);
        QLinearGradient g(QPointF(dx, 0), QPointF(dx + 12, 0));
        g.setSpread(QGradient::ReflectSpread);
        g.setColorAt(0, white(0));
        g.setColorAt(1, white(0.15 + 0.4 * level));
        return g;
    }
    case MarkShaderMode::skip:
        break;
    }
    return Qt::NoBrush;
}

// In the 150 × 111 box: the gradient of the lobes and the seam where one passes over the other.
void paintBase(QPainter& p)
{
    QLinearGradient base(QPointF(0, 0), QPointF(150, 111));
    base.setColorAt(0, QColor(106, 91, 255));
    base.setColorAt(1, QColor(31, 182, 232));
    p.fillPath(shapes().outline, base);
    p.fillPath(shapes().seam, white(0.45));
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

void MarkRenderer::paint(QPainter& p, const QRectF& box, const MarkFrame& frame, Edge edge)
{
    const qreal dpr = p.device() != nullptr ? p.device()->devicePixelRatioF() : 1.0;
    const QPointF offset(box.x() - std::floor(box.x()), box.y() - std::floor(box.y()));
    const QPoint origin(int(std::floor(box.x())), int(std::floor(box.y())));
    if (m_base.isNull() || m_box != box.size() || m_offset != offset || m_dpr != dpr || m_edge != edge) {
        m_box = box.size();
        m_offset = offset;
        m_dpr = dpr;
        m_edge = edge;
        const QSize pixels = (QSizeF(std::ceil(box.width() + offset.x()), std::ceil(box.height() + offset.y())) * dpr).toSize();
        m_base = QImage(pixels, edge == Edge::soft ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
        m_base.setDevicePixelRatio(dpr);
        // Under a hard-clipped outline's soft edge, the darkest colour of the mark.
        m_base.fill(edge == Edge::soft ? QColor(Qt::transparent) : QColor(52, 44, 140));
        QPainter b(&m_base);
        b.setRenderHint(QPainter::Antialiasing);
        b.translate(offset);
        b.scale(box.width() / kMarkBox.width(), box.height() / kMarkBox.height());
        paintBase(b);
    }
    p.drawImage(origin, m_base);

    p.save();
    p.translate(box.topLeft());
    p.scale(box.width() / kMarkBox.width(), box.height() / kMarkBox.height());
    const double level = std::clamp(frame.level, 0.0, 1.0);
    const double f = std::clamp(frame.transition, 0.0, 1.0);
    const auto layer = [&](MarkShaderMode mode, double opacity) {
        const QBrush brush = fill(mode, frame.seconds, level);
        if (brush.style() == Qt::NoBrush || opacity <= 0)
            return;
        p.setOpacity(opacity);
        // Where the window itself is cut to the outline, the light needs no clipping of its own.
        if (edge == Edge::soft) {
            p.setRenderHint(QPainter::Antialiasing);
            p.fillPath(shapes().outline, brush);
        } else {
            p.fillRect(QRectF(QPointF(0, 0), kMarkBox), brush);
        }
    };
    if (f < 1 && frame.previousMode != frame.mode)
        layer(frame.previousMode, 1 - f);
    layer(frame.mode, f);
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
