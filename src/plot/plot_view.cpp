#include "plot/plot_view.h"

#include "plot/plot_view_shared.h"

#include <QPainter>
#include <QTimerEvent>

#include <cmath>
#include <cstring>

using namespace plotshared;

namespace {

constexpr int FillBand = 64;
constexpr int BottomMargin = 22;
constexpr int TopMargin = 8;
constexpr int RightMargin = 12;
// How far the automatic range closes in on a smaller one each frame.
constexpr double ShrinkStep = 0.08;

} // namespace

namespace plotshared {

double niceStep(double span, int count)
{
    const double raw = span / qMax(1, count);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (raw <= m * power)
            return m * power;
    }
    return 10 * power;
}

} // namespace plotshared

namespace plot {

QList<QLineF> seriesSegments(const std::vector<Column> &columns, const QRectF &area, double y0,
                             double y1)
{
    QList<QLineF> lines;
    lines.reserve(qsizetype(columns.size()) * 2);
    const double scale = y1 > y0 ? area.height() / (y1 - y0) : 0;
    const auto yOf = [&](float v) {
        return qBound(area.top(), area.bottom() - (double(v) - y0) * scale, area.bottom());
    };
    bool previous = false;
    QPointF last;
    for (size_t x = 0; x < columns.size(); ++x) {
        const Column &c = columns[x];
        if (!c.any)
            continue;
        const double px = area.left() + double(x) + 0.5;
        // Joined across empty columns too: a board's lines come in blocks.
        if (previous)
            lines.append(QLineF(last, QPointF(px, yOf(c.first))));
        if (c.min != c.max)
            lines.append(QLineF(px, yOf(c.min), px, yOf(c.max)));
        previous = true;
        last = QPointF(px, yOf(c.last));
    }
    return lines;
}

} // namespace plot

PlotView::PlotView(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 200);
}

void PlotView::dataAdded()
{
    m_dirty = true;
    if (!m_frame.isActive())
        m_frame.start(FrameMs, this);
}

void PlotView::setWindowSeconds(double seconds)
{
    seconds = qBound(MinWindow, seconds, MaxWindow);
    if (seconds == m_window)
        return;
    m_window = seconds;
    update();
    emit windowSecondsChanged(m_window);
}

void PlotView::setAutoRange(bool on)
{
    m_auto = on;
    m_rangeKnown = false;
    update();
}

void PlotView::setFixedRange(double min, double max)
{
    if (!(min < max) || !std::isfinite(min) || !std::isfinite(max))
        return;
    m_fixedLow = min;
    m_fixedHigh = max;
    update();
}

void PlotView::setFrozen(bool frozen)
{
    if (frozen == m_frozen)
        return;
    // Frozen at the newest sample, the right edge while following.
    m_frozenRight = m_recorder.rows() ? m_recorder.time(m_recorder.rows() - 1) : 0;
    m_frozen = frozen;
    update();
    emit frozenChanged(frozen);
}

QStringList PlotView::hiddenLabels() const
{
    QStringList labels(m_hidden.begin(), m_hidden.end());
    labels.sort();
    return labels;
}

void PlotView::setHiddenLabels(const QStringList &labels)
{
    m_hidden = QSet<QString>(labels.begin(), labels.end());
    m_rangeKnown = false;
    update();
}

void PlotView::setNotice(const QString &notice)
{
    m_notice = notice;
    update();
}

QColor PlotView::seriesColor(int series, const QPalette &palette)
{
    // Sixteen hues apart from one another; lighter on a dark background.
    static const int hues[plot::MaxSeries] = {210, 0,  120, 30, 280, 180, 330, 60,
                                              240, 15, 150, 45, 300, 195, 345, 90};
    const bool dark = palette.color(QPalette::Base).lightness() < 128;
    return QColor::fromHsl(hues[series % plot::MaxSeries], 200, dark ? 170 : 100);
}

QRectF PlotView::plotArea() const
{
    return QRectF(LeftMargin, TopMargin, qMax(1, width() - LeftMargin - RightMargin),
                  qMax(1, height() - TopMargin - BottomMargin));
}

double PlotView::rightEdge() const
{
    if (m_frozen)
        return m_frozenRight;
    return m_recorder.rows() ? m_recorder.time(m_recorder.rows() - 1) : 0;
}

bool PlotView::visibleRange(double t0, double t1, double &low, double &high) const
{
    bool any = false;
    const qint64 first = m_recorder.rowAt(t0);
    for (int s = 0; s < m_recorder.seriesCount(); ++s) {
        if (m_hidden.contains(m_recorder.labels().at(s)))
            continue;
        for (qint64 row = first; row < m_recorder.rows() && m_recorder.time(row) <= t1; ++row) {
            const float v = m_recorder.value(s, row);
            if (std::isnan(v))
                continue;
            low = any ? std::min(low, double(v)) : double(v);
            high = any ? std::max(high, double(v)) : double(v);
            any = true;
        }
    }
    if (!any)
        return false;
    const double pad = high > low ? (high - low) * 0.05 : qMax(1.0, std::abs(high) * 0.05);
    low -= pad;
    high += pad;
    return true;
}

void PlotView::advanceRange()
{
    if (!m_auto)
        return;
    const double t1 = rightEdge();
    double low = 0;
    double high = 0;
    if (!visibleRange(t1 - m_window, t1, low, high))
        return;
    if (!m_rangeKnown) {
        m_low = low;
        m_high = high;
        m_rangeKnown = true;
        return;
    }
    // Growing at once keeps every sample inside; shrinking slowly, and only when the picture
    // would gain a tenth, keeps it still (and lets the strip scroll instead of redrawing).
    if (low < m_low || high > m_high) {
        m_low = std::min(low, m_low);
        m_high = std::max(high, m_high);
        m_shrinking = false;
        return;
    }
    const double spare = (low - m_low) + (m_high - high);
    const double span = m_high - m_low;
    if (!m_shrinking && spare <= span * 0.1)
        return;
    m_shrinking = spare > span * 0.01;
    if (!m_shrinking) {
        m_low = low;
        m_high = high;
        return;
    }
    m_low += (low - m_low) * ShrinkStep;
    m_high += (high - m_high) * ShrinkStep;
}

PlotView::Frame PlotView::frameGeometry() const
{
    Frame f;
    f.area = plotArea();
    // Columns counted from time 0, the newest sample in the last: a frame then scrolls the last
    // one by whole columns.
    const int width = qMax(1, int(f.area.width()));
    f.perColumn = m_window / width;
    f.column0 = qint64(std::floor(rightEdge() / f.perColumn)) + 1 - width;
    f.t0 = double(f.column0) * f.perColumn;
    f.t1 = f.t0 + m_window;
    if (m_auto) {
        double low = m_low;
        double high = m_high;
        if (!m_rangeKnown && !visibleRange(f.t0, f.t1, low, high)) {
            low = 0;
            high = 1;
        }
        f.y0 = low;
        f.y1 = high;
    } else {
        f.y0 = m_fixedLow;
        f.y1 = m_fixedHigh;
    }
    return f;
}

PlotView::Frame PlotView::frame() const
{
    Frame f = frameGeometry();
    const int width = int(f.area.width());
    std::vector<plot::Column> columns;
    for (int s = 0; s < m_recorder.seriesCount(); ++s) {
        if (m_hidden.contains(m_recorder.labels().at(s)))
            continue;
        plot::decimate(m_recorder, s, f.column0, f.perColumn, width, columns);
        f.series.append({s, plot::seriesSegments(columns, f.area, f.y0, f.y1)});
    }
    return f;
}

QColor PlotView::gridColor() const
{
    // Solid and faint rather than dotted, and opaque: a dotted or blended line costs the raster
    // engine far more.
    const QColor grid = palette().color(QPalette::Mid);
    const QColor base = palette().color(QPalette::Base);
    return QColor::fromRgbF(float(grid.redF() * 0.35 + base.redF() * 0.65),
                            float(grid.greenF() * 0.35 + base.greenF() * 0.65),
                            float(grid.blueF() * 0.35 + base.blueF() * 0.65));
}

// The plot area's columns [from, width) of the strip: background, grid and curves. The curves
// start at the last sample before `from`, so that the line joining it is drawn too.
void PlotView::renderStrip(const Frame &g, int from)
{
    const int width = int(g.area.width());
    const int height = int(g.area.height());
    const double perColumn = g.perColumn;
    // Not clipped: what the curves draw left of `from` is what was drawn there before, pixel for
    // pixel, where a clipped line would be rasterised a little differently.
    QPainter painter(&m_strip);
    for (int top = 0; top < height; top += FillBand)
        painter.fillRect(QRect(from, top, width - from, qMin(FillBand, height - top)),
                         palette().color(QPalette::Base));
    painter.setPen(QPen(gridColor(), 0));
    const double yStep = niceStep(g.y1 - g.y0, int(g.area.height() / 40));
    for (double v = std::ceil(g.y0 / yStep) * yStep; v <= g.y1; v += yStep) {
        const int y = qRound(height - (v - g.y0) / (g.y1 - g.y0) * height);
        painter.drawLine(from, y, width, y);
    }
    const double xStep = niceStep(g.t1 - g.t0, int(g.area.width() / 110));
    // Columns are numbered from time 0, so that a line or sample falls in the same column in
    // every frame.
    const auto columnOf = [&](double t) { return qint64(std::floor(t / perColumn)) - g.column0; };
    const double regionStart = double(g.column0 + from) * perColumn;
    for (double t = std::ceil(regionStart / xStep) * xStep; t <= g.t1; t += xStep) {
        const int x = int(columnOf(t));
        if (x >= from)
            painter.drawLine(x, 0, x, height);
    }
    const qint64 before = m_recorder.rowAt(regionStart) - 1;
    const int first = before >= 0
                          ? int(qBound(qint64(0), columnOf(m_recorder.time(before)), qint64(from)))
                          : from;
    const QRectF area(0, 0, width, height);
    std::vector<plot::Column> columns;
    QList<QLine> whole;
    for (int s = 0; s < m_recorder.seriesCount(); ++s) {
        if (m_hidden.contains(m_recorder.labels().at(s)))
            continue;
        plot::decimate(m_recorder, s, g.column0 + first, perColumn, width - first, columns);
        const QList<QLineF> lines =
            plot::seriesSegments(columns, area.adjusted(first, 0, 0, 0), g.y0, g.y1);
        // Whole pixels, with a cosmetic pen one device pixel wide: the raster engine's fastest
        // path, and crisp at any scale.
        whole.resize(lines.size());
        for (qsizetype i = 0; i < lines.size(); ++i)
            whole[i] = QLine(int(lines[i].x1()), qRound(lines[i].y1()), int(lines[i].x2()),
                             qRound(lines[i].y2()));
        painter.setPen(QPen(seriesColor(s, palette()), 0));
        painter.drawLines(whole);
    }
}

void PlotView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QPalette &pal = palette();
    const Frame g = frameGeometry();
    const QSize size(int(g.area.width()), int(g.area.height()));
    const qreal ratio = devicePixelRatioF();
    StripKey key{size,
                 ratio,
                 g.y0,
                 g.y1,
                 m_window,
                 hiddenLabels(),
                 m_recorder.seriesCount(),
                 pal.color(QPalette::Base).rgb(),
                 pal.color(QPalette::Mid).rgb()};
    const qint64 shift = g.column0 - m_stripColumn0;
    // A strip chart: while it streams, what is drawn moves left and only the newest columns are
    // drawn anew. Anything else draws the whole strip.
    if (!m_stripValid || !(key == m_stripKey) || shift < 0 || shift >= size.width() - 2) {
        m_strip = QImage(size * ratio, QImage::Format_RGB32);
        m_strip.setDevicePixelRatio(ratio);
        renderStrip(g, 0);
        m_stripKey = key;
        m_stripValid = true;
    } else {
        const int pixels = int(std::llround(double(shift) * ratio));
        const qsizetype rowBytes = m_strip.bytesPerLine();
        const qsizetype moved = (m_strip.width() - pixels) * 4;
        for (int y = 0; pixels > 0 && y < m_strip.height(); ++y) {
            uchar *row = m_strip.scanLine(y);
            std::memmove(row, row + pixels * 4, size_t(qMin(moved, rowBytes)));
        }
        // The last column drawn may have gained samples since.
        renderStrip(g, size.width() - int(shift) - 1);
    }
    m_stripColumn0 = g.column0;

    const QRect outside = rect();
    for (int top = 0; top < outside.height(); top += FillBand) {
        const QRect band(0, top, outside.width(), qMin(FillBand, outside.height() - top));
        painter.fillRect(band.intersected(QRect(0, 0, int(g.area.left()), outside.height())),
                         pal.color(QPalette::Base));
        painter.fillRect(
            band.intersected(QRect(int(g.area.right()), 0, outside.width(), outside.height())),
            pal.color(QPalette::Base));
    }
    painter.fillRect(QRect(0, 0, outside.width(), int(g.area.top())), pal.color(QPalette::Base));
    painter.fillRect(
        QRect(0, int(g.area.bottom()), outside.width(), outside.height() - int(g.area.bottom())),
        pal.color(QPalette::Base));
    painter.drawImage(g.area.topLeft(), m_strip);
    drawAxes(painter, g);
    drawLegend(painter, g.area);
    drawHover(painter, g);
    if (!m_notice.isEmpty()) {
        painter.setPen(pal.color(QPalette::Text));
        painter.drawText(g.area, Qt::AlignCenter | Qt::TextWordWrap, m_notice);
    }
}

void PlotView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_frame.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    // A frozen picture stays as it is while recording goes on.
    if (!m_dirty || m_frozen) {
        m_frame.stop();
        return;
    }
    m_dirty = false;
    advanceRange();
    update();
}
