// The mark's drawing: two interlocking rounded lobes in a 150 × 111 box, a base gradient and,
// over it, the fill of the current mode cross-faded from the previous one.
// Thread: main thread (QPainter on a widget).
#pragma once

#include "overlay/MarkState.h"

#include <QImage>
#include <QPainterPath>
#include <QRect>
#include <QRectF>

#include <array>
#include <vector>

class QPainter;

namespace selvina::overlay {

inline constexpr QSizeF kMarkBox{150, 111};

// The outline in the 150 × 111 box; built once.
const QPainterPath& markShape();

// Modes whose fill moves by itself; the others change only with the level.
bool modeAnimates(MarkShaderMode mode);

struct MarkFrame {
    MarkShaderMode mode = MarkShaderMode::idle;
    MarkShaderMode previousMode = MarkShaderMode::idle;
    double transition = 1;  // 0 … 1 from previousMode to mode
    double seconds = 0;     // since the mode began
    double level = 0;       // the speech level, 0 … 1
};

// Draws the mark into `box` (any size with the mark's proportions). The lobes and their seam are
// drawn once per size and kept; each frame adds only the mode's light, one pass per mode. The
// lights that depend only on the distance from the middle (listening, speaking) are laid over a
// copy of the kept lobes in one pass of our own, from a per-size map of distances and a 1024-step
// ramp per frame: no gradient for the painter to build and no pixel work handed to its threads.
class MarkRenderer {
public:
    // soft: antialiased outline on a transparent window; clippedByWindow: the window is cut to the
    // outline (X shape), so what lies outside it is never seen.
    enum class Edge { soft, clippedByWindow };
    void paint(QPainter& painter, const QRectF& box, const MarkFrame& frame, Edge edge);

    // The distance from the middle in 1024 steps out to the box's corners (95 in the 150 × 111 box).
    static constexpr int kSteps = 1024;
    static constexpr double kReach = 95;
    // One light as laid by the pass of our own: alpha 0 … 255 (opacity included) at each step.
    using Ramp = std::array<quint8, kSteps>;

private:
    void prepare(const QRectF& box, qreal dpr, Edge edge);
    void layRamps(const Ramp* ramps, int count);

    QImage m_base;
    QImage m_frame;               // the kept lobes with this frame's radial light
    // Per pixel of m_base: the step of its distance from the middle. The light covers every pixel
    // of a soft edge (as much as the outline does) and the pixels of m_lit on a clipped one.
    std::vector<quint16> m_step;
    QRect m_lit;
    QSizeF m_box;
    QPointF m_offset;
    qreal m_dpr = 0;
    Edge m_edge = Edge::soft;
};
// The glass plate behind the mark (only where the screen is composited); `opacity` 0 … 1.
void paintBackdrop(QPainter& painter, const QRectF& plate, double opacity);

} // namespace selvina::overlay
