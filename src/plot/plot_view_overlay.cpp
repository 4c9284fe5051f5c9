// What is drawn over and beside the strip: the axes' labels, the legend and the values under the
// mouse.
#include "plot/plot_view.h"

#include "plot/plot_view_shared.h"

#include <QDateTime>
#include <QPainter>
#include <QStaticText>

#include <cmath>

using namespace plotshared;

namespace {

// Samples looked back for the value under the mouse.
constexpr qint64 HoverLookBack = 5000;

QString timeLabel(double t, bool millis)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(t * 1000)))
        .toString(millis ? u"HH:mm:ss.zzz" : u"HH:mm:ss");
}

} // namespace

void PlotView::drawAxes(QPainter &painter, const Frame &f) const
{
    const QPalette &pal = palette();
    painter.setPen(QPen(pal.color(QPalette::Mid), 0));
    painter.drawRect(f.area);
    painter.setPen(pal.color(QPalette::Text));
    // Y: about one line every 40 pixels, as the strip's grid.
    const double yStep = niceStep(f.y1 - f.y0, int(f.area.height() / 40));
    for (double v = std::ceil(f.y0 / yStep) * yStep; v <= f.y1; v += yStep) {
        const double y = f.area.bottom() - (v - f.y0) / (f.y1 - f.y0) * f.area.height();
        const QStaticText &label =
            staticText(QString::number(std::abs(v) < yStep / 1e6 ? 0 : v, 'g', 6));
        painter.drawStaticText(
            QPointF(LeftMargin - 6 - label.size().width(), y - label.size().height() / 2), label);
    }
    // X: clock times about every 110 pixels, at round times of the wall clock.
    const double xStep = niceStep(f.t1 - f.t0, int(f.area.width() / 110));
    const double wallOffset = m_recorder.wallTime(f.t0) - f.t0;
    for (double t = std::ceil((f.t0 + wallOffset) / xStep) * xStep - wallOffset; t <= f.t1;
         t += xStep) {
        const double x = f.area.left() + (t - f.t0) / (f.t1 - f.t0) * f.area.width();
        const QStaticText &label = staticText(timeLabel(m_recorder.wallTime(t), xStep < 1));
        // Kept inside the widget at the right edge.
        const double left = qMin(x - label.size().width() / 2, width() - label.size().width());
        painter.drawStaticText(QPointF(left, f.area.bottom() + 2), label);
    }
}

// Labels are laid out once and drawn from then on: the axes' texts change far less often than
// the frames come.
const QStaticText &PlotView::staticText(const QString &text) const
{
    if (m_texts.size() > 256)
        m_texts.clear();
    auto it = m_texts.find(text);
    if (it == m_texts.end()) {
        it = m_texts.insert(text, QStaticText(text));
        it->setTextFormat(Qt::PlainText);
        it->prepare(QTransform(), font());
    }
    return *it;
}

void PlotView::drawLegend(QPainter &painter, const QRectF &area)
{
    const QPalette &pal = palette();
    const QFontMetrics metrics(font());
    m_legend.clear();
    double x = area.left() + 8;
    double y = area.top() + 6;
    for (int s = 0; s < m_recorder.seriesCount(); ++s) {
        const QString &label = m_recorder.labels().at(s);
        const bool hidden = m_hidden.contains(label);
        const double w = 16 + metrics.horizontalAdvance(label) + 12;
        if (x + w > area.right() && x > area.left() + 8) {
            x = area.left() + 8;
            y += metrics.height() + 4;
        }
        const QRectF box(x, y, w, metrics.height());
        painter.fillRect(box, pal.color(QPalette::Base));
        const QRectF swatch(x + 2, y + metrics.height() / 2.0 - 5, 10, 10);
        // A hidden series keeps an empty swatch, to be clicked back.
        if (hidden) {
            painter.setPen(seriesColor(s, pal));
            painter.drawRect(swatch);
        } else {
            painter.fillRect(swatch, seriesColor(s, pal));
        }
        painter.setPen(pal.color(hidden ? QPalette::Disabled : QPalette::Active, QPalette::Text));
        painter.drawText(box.adjusted(16, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, label);
        m_legend.append({box, s});
        x += w;
    }
}

void PlotView::drawHover(QPainter &painter, const Frame &f) const
{
    if (m_hoverX < f.area.left() || m_hoverX > f.area.right() || m_recorder.rows() == 0)
        return;
    const QPalette &pal = palette();
    const double t = f.t0 + (m_hoverX - f.area.left()) / f.area.width() * (f.t1 - f.t0);
    painter.setPen(QPen(pal.color(QPalette::Text), 1, Qt::DashLine));
    painter.drawLine(QPointF(m_hoverX, f.area.top()), QPointF(m_hoverX, f.area.bottom()));
    QStringList lines = {timeLabel(m_recorder.wallTime(t), true)};
    const qint64 at = m_recorder.rowAt(t);
    for (const auto &[series, segments] : f.series) {
        for (qint64 row = qMin(at, m_recorder.rows() - 1); row >= 0 && row > at - HoverLookBack;
             --row) {
            const float v = m_recorder.value(series, row);
            if (m_recorder.time(row) <= t && !std::isnan(v)) {
                lines << m_recorder.labels().at(series) + QStringLiteral(": ") +
                             QString::number(double(v), 'g', 7);
                break;
            }
        }
    }
    const QFontMetrics metrics(font());
    int w = 0;
    for (const QString &line : lines)
        w = qMax(w, metrics.horizontalAdvance(line));
    QRectF box(m_hoverX + 8, f.area.top() + 8, w + 12, lines.size() * metrics.height() + 8);
    if (box.right() > f.area.right())
        box.moveRight(m_hoverX - 8);
    painter.fillRect(box, pal.color(QPalette::ToolTipBase));
    painter.setPen(pal.color(QPalette::ToolTipText));
    painter.drawText(box.adjusted(6, 4, -6, -4), Qt::AlignLeft | Qt::AlignTop,
                     lines.join(QLatin1Char('\n')));
}
