#include "overlay/MarkPainter.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPathStroker>
#include <QRadialGradient>

#include <algorithm>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <cmath>
#include <numbers>
#include <optional>

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

// A light that depends only on the distance from the middle: `alpha` at `stops` evenly spaced
// stops from the middle (first) out to `reach` (last), the last one going on beyond.
struct RadialLight {
    static constexpr int kMaxStops = 49;
    double reach = 0;
    int stops = 0;
    std::array<double, kMaxStops> alpha{};
};

std::optional<RadialLight> radialLight(MarkShaderMode mode, double t, double level)
{
    RadialLight light;
    switch (mode) {
    case MarkShaderMode::idle:
        // Listening: a glow in the middle that grows with the voice heard.
        light.reach = 30 + 60 * level;
        light.stops = 2;
        light.alpha = {0.12 + 0.5 * level, 0};
        return light;
    case MarkShaderMode::speaking: {
        // Speaking: rings flowing outwards over a glow in the middle, brighter and faster the
        // louder the voice.
        const double phase = fraction(t * (0.6 + 0.8 * level));
        const double ringAlpha = 0.1 + 0.55 * level, glowRadius = 20 + 55 * level, glowAlpha = 0.15 + 0.45 * level;
        constexpr double kSpacing = 26; // between rings
        light.reach = 95;               // from the middle to the box's corners
        light.stops = RadialLight::kMaxStops;
        for (int i = 0; i < light.stops; ++i) {
            const double r = light.reach * i / (light.stops - 1);
            const double ring = 0.5 + 0.5 * std::cos(kTau * (r / kSpacing - phase));
            const double glow = std::max(0.0, 1 - r / glowRadius);
            light.alpha[i] = ringAlpha * ring + glowAlpha * glow * (1 - ringAlpha * ring);
        }
        return light;
    }
    default:
        return std::nullopt;
    }
}

QBrush gradientOf(const RadialLight& light)
{
    QRadialGradient g(kCentre, light.reach);
    for (int i = 0; i < light.stops; ++i)
        g.setColorAt(double(i) / (light.stops - 1), white(light.alpha[i]));
    return g;
}

MarkRenderer::Ramp rampOf(const RadialLight& light, double opacity)
{
    MarkRenderer::Ramp ramp;
    for (int i = 0; i < MarkRenderer::kSteps; ++i) {
        // Beyond the light's reach, its last stop goes on (as a gradient pads).
        const double r = std::min(MarkRenderer::kReach * i / (MarkRenderer::kSteps - 1), light.reach);
        const double at = r / light.reach * (light.stops - 1);
        const int stop = std::min(int(at), light.stops - 2);
        const double a = light.alpha[stop] + (light.alpha[stop + 1] - light.alpha[stop]) * (at - stop);
        ramp[i] = quint8(std::lround(std::clamp(a, 0.0, 1.0) * opacity * 255));
    }
    return ramp;
}

// x × a / 255 on each of the four bytes, rounded.
inline quint32 byteMul(quint32 x, quint32 a)
{
    quint32 t = (x & 0xff00ff) * a;
    t = ((t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = (x + ((x >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return x | t;
}

// The mode's light over the base, as one brush in the 150 × 111 box.
QBrush fill(MarkShaderMode mode, double t, double level)
{
    if (const auto light = radialLight(mode, t, level))
        return gradientOf(*light);
    switch (mode) {
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
    case MarkShaderMode::vibration: {
        // A shiver: vertical stripes trembling sideways with the level.
        const double dx = 3 * std::sin(kTau * 18 * t) * (0.3 + level);
        QLinearGradient g(QPointF(dx, 0), QPointF(dx + 12, 0));
        g.setSpread(QGradient::ReflectSpread);
        g.setColorAt(0, white(0));
        g.setColorAt(1, white(0.15 + 0.4 * level));
        return g;
    }
    default:
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

void MarkRenderer::prepare(const QRectF& box, qreal dpr, Edge edge)
{
    const QPointF offset(box.x() - std::floor(box.x()), box.y() - std::floor(box.y()));
    if (!m_base.isNull() && m_box == box.size() && m_offset == offset && m_dpr == dpr && m_edge == edge)
        return;
    m_box = box.size();
    m_offset = offset;
    m_dpr = dpr;
    m_edge = edge;
    const QSize pixels = (QSizeF(std::ceil(box.width() + offset.x()), std::ceil(box.height() + offset.y())) * dpr).toSize();
    m_base = QImage(pixels, edge == Edge::soft ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    m_base.setDevicePixelRatio(dpr);
    // Under a hard-clipped outline's soft edge, the darkest colour of the mark.
    m_base.fill(edge == Edge::soft ? QColor(Qt::transparent) : QColor(52, 44, 140));
    {
        QPainter b(&m_base);
        b.setRenderHint(QPainter::Antialiasing);
        b.translate(offset);
        b.scale(box.width() / kMarkBox.width(), box.height() / kMarkBox.height());
        paintBase(b);
    }

    // Pixel centres in the 150 × 111 box, as the painter samples a gradient; on a clipped edge the
    // light covers the pixels whose centres are in the box (as a filled rectangle does), and the
    // others are the kept lobes in every frame.
    const double sx = kMarkBox.width() / box.width(), sy = kMarkBox.height() / box.height();
    m_lit = edge == Edge::soft ? QRect(QPoint(0, 0), pixels) : QRect();
    m_step.resize(size_t(pixels.width()) * size_t(pixels.height()));
    quint16* step = m_step.data();
    for (int y = 0; y < pixels.height(); ++y) {
        const double my = ((y + 0.5) / dpr - offset.y()) * sy;
        for (int x = 0; x < pixels.width(); ++x) {
            const double mx = ((x + 0.5) / dpr - offset.x()) * sx;
            if (edge != Edge::soft && mx >= 0 && mx < kMarkBox.width() && my >= 0 && my < kMarkBox.height())
                m_lit |= QRect(x, y, 1, 1);
            const double r = std::hypot(mx - kCentre.x(), my - kCentre.y());
            *step++ = quint16(std::min(std::lround(r / kReach * (kSteps - 1)), long(kSteps - 1)));
        }
    }
    m_frame = m_base.copy();
}

// m_frame = the ramps laid one after the other over m_base, white light over each pixel (source
// over, premultiplied), on a soft edge as much as the outline covers the pixel.
void MarkRenderer::layRamps(const Ramp* ramps, int count)
{
    const int width = m_base.width();
    const bool soft = m_edge == Edge::soft;
    const auto alphaAt = [&](const Ramp& ramp, const quint16* step, quint32 px, int x) {
        const quint32 a = ramp[step[x]];
        const quint32 cover = soft ? qAlpha(px) : 255;
        return cover == 255 ? a : (a * cover + 128 + ((a * cover + 128) >> 8)) >> 8;
    };
    for (int y = m_lit.top(); y <= m_lit.bottom(); ++y) {
        const auto* in = reinterpret_cast<const quint32*>(m_base.constScanLine(y));
        auto* out = reinterpret_cast<quint32*>(m_frame.scanLine(y));
        const quint16* step = m_step.data() + size_t(y) * size_t(width);
        int x = m_lit.left();
#ifdef __SSE2__
        // Four pixels at a time: the same sums on 16-bit lanes.
        const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi16(0x80), ones = _mm_set1_epi8(char(0xff));
        for (; x + 3 <= m_lit.right(); x += 4) {
            __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
            for (int i = 0; i < count; ++i) {
                // Built in registers: through memory, the four stores would stall the wide load.
                const auto at = [&](int k) { return int(alphaAt(ramps[i], step, in[x + k], x + k) * 0x01010101u); };
                const __m128i alpha = _mm_set_epi32(at(3), at(2), at(1), at(0));
                const __m128i rest = _mm_xor_si128(alpha, ones); // 255 - a
                const auto mul = [&](__m128i c, __m128i r) {
                    const __m128i t = _mm_mullo_epi16(c, r);
                    return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), half), 8);
                };
                const __m128i lo = mul(_mm_unpacklo_epi8(px, zero), _mm_unpacklo_epi8(rest, zero));
                const __m128i hi = mul(_mm_unpackhi_epi8(px, zero), _mm_unpackhi_epi8(rest, zero));
                px = _mm_add_epi8(_mm_packus_epi16(lo, hi), alpha);
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), px);
        }
#endif
        for (; x <= m_lit.right(); ++x) {
            quint32 px = in[x];
            for (int i = 0; i < count; ++i) {
                const quint32 a = alphaAt(ramps[i], step, in[x], x);
                px = a * 0x01010101u + byteMul(px, 255 - a);
            }
            out[x] = px;
        }
    }
}

void MarkRenderer::paint(QPainter& p, const QRectF& box, const MarkFrame& frame, Edge edge)
{
    const qreal dpr = p.device() != nullptr ? p.device()->devicePixelRatioF() : 1.0;
    const QPoint origin(int(std::floor(box.x())), int(std::floor(box.y())));
    prepare(box, dpr, edge);

    const double level = std::clamp(frame.level, 0.0, 1.0);
    const double f = std::clamp(frame.transition, 0.0, 1.0);
    struct Layer {
        MarkShaderMode mode;
        double opacity;
    };
    std::array<Layer, 2> layers{};
    int count = 0;
    if (f < 1 && frame.previousMode != frame.mode)
        layers[count++] = {frame.previousMode, 1 - f};
    layers[count++] = {frame.mode, f};

    // Listening and speaking, and the fade between them: one pass of our own.
    std::array<Ramp, 2> ramps;
    int radial = 0;
    bool allRadial = true;
    for (int i = 0; i < count && allRadial; ++i) {
        if (layers[i].opacity <= 0 || layers[i].mode == MarkShaderMode::skip)
            continue;
        if (const auto light = radialLight(layers[i].mode, frame.seconds, level))
            ramps[radial++] = rampOf(*light, layers[i].opacity);
        else
            allRadial = false;
    }
    if (allRadial) {
        if (radial == 0) {
            p.drawImage(origin, m_base);
            return;
        }
        layRamps(ramps.data(), radial);
        p.drawImage(origin, m_frame);
        return;
    }

    p.drawImage(origin, m_base);
    p.save();
    p.translate(box.topLeft());
    p.scale(box.width() / kMarkBox.width(), box.height() / kMarkBox.height());
    for (int i = 0; i < count; ++i) {
        const QBrush brush = fill(layers[i].mode, frame.seconds, level);
        if (brush.style() == Qt::NoBrush || layers[i].opacity <= 0)
            continue;
        p.setOpacity(layers[i].opacity);
        // Where the window itself is cut to the outline, the light needs no clipping of its own.
        if (edge == Edge::soft) {
            p.setRenderHint(QPainter::Antialiasing);
            p.fillPath(shapes().outline, brush);
        } else {
            p.fillRect(QRectF(QPointF(0, 0), kMarkBox), brush);
        }
    }
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
