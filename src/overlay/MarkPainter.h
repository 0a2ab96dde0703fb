// The mark's drawing: two interlocking rounded lobes in a 150 × 111 box, a base gradient and,
// over it, the fill of the current mode cross-faded from the previous one.
// Thread: main thread (QPainter on a widget).
#pragma once

#include "overlay/MarkState.h"

#include <QImage>
#include <QPainterPath>
#include <QRectF>

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
// drawn once per size and kept; each frame adds only the mode's light, one pass per mode.
class MarkRenderer {
public:
    // soft: antialiased outline on a transparent window; clippedByWindow: the window is cut to the
    // outline (X shape), so what lies outside it is never seen.
    enum class Edge { soft, clippedByWindow };
    void paint(QPainter& painter, const QRectF& box, const MarkFrame& frame, Edge edge);

private:
    QImage m_base;
    QSizeF m_box;
    QPointF m_offset;
    qreal m_dpr = 0;
    Edge m_edge = Edge::soft;
};
// The glass plate behind the mark (only where the screen is composited); `opacity` 0 … 1.
void paintBackdrop(QPainter& painter, const QRectF& plate, double opacity);

} // namespace selvina::overlay
