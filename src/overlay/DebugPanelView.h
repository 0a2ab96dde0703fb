// The run preview panel: the run log's newest steps under the mark in the screen corner, one row
// each — seconds since the first entry, seconds since the one before (red from 5.0 s), the kind
// and the body. A developer aid: it takes no clicks and never the focus, so it always shows the
// newest rows rather than scrolling.
// Thread: main thread.
#pragma once

#include "overlay/RunLog.h"

#include <QColor>
#include <QWidget>

namespace selvina::overlay {

struct DebugPanelRow {
    QString sinceFirst;    // "%.1f"
    QString sincePrevious; // "+%.1f"
    bool longGap = false;  // 5.0 s or more since the entry before
    QString label;
    QColor labelColour;
    QString body;          // one line, cut to kPanelBodyLimit characters
};

// Longer bodies are cut before they reach the text layout: a body may be megabytes.
inline constexpr qsizetype kPanelBodyLimit = 400;

DebugPanelRow debugPanelRow(const std::deque<DebugEntry>& entries, std::size_t index);

class DebugPanelView : public QWidget {
    Q_OBJECT
public:
    enum class Backdrop { translucent, opaque };
    static constexpr int kWidth = 560;

    DebugPanelView(const DebugLog& log, Backdrop backdrop);

    // 560 wide, right edge 40 in from the area's, bottom 24 up from its bottom, top 300 down from
    // its top but at least 200 tall.
    static QRect placement(const QRect& availableArea);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const DebugLog& m_log;
    Backdrop m_backdrop;
};

} // namespace selvina::overlay
