#include "overlay/DebugPanelView.h"

#include "core/TextCut.h"

#include <QFontDatabase>
#include <QPainter>

#include <algorithm>

namespace selvina::overlay {

namespace {

constexpr int kTimeColumn = 52;
constexpr int kLabelColumn = 66;
constexpr int kGap = 6;
constexpr int kPadding = 10;
constexpr qint64 kLongGapMs = 5000;

QColor white(double alpha)
{
    return QColor::fromRgbF(1, 1, 1, float(alpha));
}

QColor kindColour(ChatKind kind)
{
    switch (kind) {
    case ChatKind::user:
        return QColor(110, 180, 255);
    case ChatKind::assistant:
        return QColor(110, 231, 160);
    case ChatKind::toolCall:
        return QColor(255, 181, 71);
    case ChatKind::toolResult:
        return QColor(94, 214, 214);
    case ChatKind::state:
        return white(0.55);
    case ChatKind::error:
        return QColor(255, 92, 92);
    case ChatKind::ready:
        return white(0.7);
    }
    return white(0.7);
}

QString oneLine(const QString& body)
{
    // Only the head of a long body is looked at: finding character boundaries costs its whole length.
    QString line = leadingCharacters(body.left(4 * kPanelBodyLimit), kPanelBodyLimit);
    const bool cut = line.size() < body.size();
    line.replace(QStringLiteral("\r\n"), QStringLiteral("⏎")).replace(QLatin1Char('\n'), QStringLiteral("⏎"));
    return cut ? line + QStringLiteral("…") : line;
}

} // namespace

DebugPanelRow debugPanelRow(const std::deque<DebugEntry>& entries, std::size_t index)
{
    const DebugEntry& entry = entries[index];
    const qint64 sinceFirst = entries.front().time.msecsTo(entry.time);
    const qint64 sincePrevious = index == 0 ? 0 : entries[index - 1].time.msecsTo(entry.time);
    DebugPanelRow row;
    row.sinceFirst = QString::asprintf("%.1f", double(sinceFirst) / 1000.0);
    row.sincePrevious = QString::asprintf("+%.1f", double(sincePrevious) / 1000.0);
    row.longGap = sincePrevious >= kLongGapMs;
    row.label = panelLabel(entry.kind);
    row.labelColour = kindColour(entry.kind);
    row.body = oneLine(entry.body);
    return row;
}

DebugPanelView::DebugPanelView(const DebugLog& log, Backdrop backdrop) : m_log(log), m_backdrop(backdrop)
{
    QFont small = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    small.setPixelSize(11);
    setFont(small);
    // Orca names every window it meets; the panel takes no focus, but a screen review reaches it.
    setAccessibleName(QStringLiteral("Dziennik przebiegu rozmowy"));
    connect(&log, &DebugLog::appended, this, qOverload<>(&QWidget::update));
}

QRect DebugPanelView::placement(const QRect& area)
{
    const int right = area.x() + area.width() - 40;
    const int bottom = area.y() + area.height() - 24;
    const int height = std::max(bottom - (area.y() + 300), 200);
    return {right - kWidth, bottom - height, kWidth, height};
}

void DebugPanelView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF plate = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (m_backdrop == Backdrop::translucent) {
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(rect(), Qt::transparent);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.setPen(QPen(white(0.12), 1));
        p.setBrush(QColor(14, 16, 24, 215));
        p.drawRoundedRect(plate, 10, 10);
    } else {
        p.fillRect(rect(), QColor(14, 16, 24));
    }

    const auto& entries = m_log.entries();
    const QFontMetrics metrics(font());
    const int rowHeight = metrics.height() + 4;
    const int bodyX = kPadding + 2 * (kTimeColumn + kGap) + kLabelColumn + kGap;
    const int bodyWidth = width() - bodyX - kPadding;
    // The newest row at the bottom, older ones above as far as they fit.
    int y = height() - kPadding - rowHeight;
    for (std::size_t i = entries.size(); i-- > 0 && y >= kPadding; y -= rowHeight) {
        const DebugPanelRow row = debugPanelRow(entries, i);
        const auto cell = [&](int x, int w) { return QRect(x, y, w, rowHeight); };
        const int flags = Qt::AlignVCenter | Qt::TextSingleLine;
        p.setPen(white(0.3));
        p.drawText(cell(kPadding, kTimeColumn), flags | Qt::AlignRight, row.sinceFirst);
        p.setPen(row.longGap ? QColor(255, 80, 80) : white(0.45));
        p.drawText(cell(kPadding + kTimeColumn + kGap, kTimeColumn), flags | Qt::AlignRight, row.sincePrevious);
        p.setPen(row.labelColour);
        p.drawText(cell(kPadding + 2 * (kTimeColumn + kGap), kLabelColumn), flags | Qt::AlignLeft, row.label);
        p.setPen(white(0.9));
        p.drawText(cell(bodyX, bodyWidth), flags | Qt::AlignLeft, metrics.elidedText(row.body, Qt::ElideRight, bodyWidth));
    }
}

} // namespace selvina::overlay
