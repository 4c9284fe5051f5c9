#pragma once

#include "plot/plot_data.h"

#include <QBasicTimer>
#include <QHash>
#include <QImage>
#include <QLineF>
#include <QList>
#include <QRectF>
#include <QSet>
#include <QStaticText>
#include <QWidget>

#include <vector>

namespace plot {

// The segments that draw one series in area: per pixel column a vertical segment from its
// smallest to its largest sample, and a segment joining it to the column before. Values outside
// [y0, y1] are clipped to the area's edge. Drawn as separate segments, not one polyline, whose
// joins would cost far more.
[[nodiscard]] QList<QLineF> seriesSegments(const std::vector<Column> &columns, const QRectF &area,
                                           double y0, double y1);

} // namespace plot

// A strip chart of every series a Recorder holds, with arrival time across: the newest at the
// right edge, or a frozen moment that the wheel zooms and a drag pans. Y follows the visible
// series (growing at once, shrinking slowly) or a fixed range. A legend hides and shows series;
// hovering shows the values at that time. At most 30 frames a second, however fast data comes.
class PlotView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int FrameMs = 33;

    explicit PlotView(QWidget *parent = nullptr);

    [[nodiscard]] plot::Recorder &recorder() { return m_recorder; }
    [[nodiscard]] const plot::Recorder &recorder() const { return m_recorder; }
    // New samples were recorded: the next frame shows them.
    void dataAdded();

    [[nodiscard]] double windowSeconds() const { return m_window; }
    void setWindowSeconds(double seconds);
    void setAutoRange(bool on);
    // Ignored unless both are finite and min < max.
    void setFixedRange(double min, double max);
    [[nodiscard]] bool isFrozen() const { return m_frozen; }
    void setFrozen(bool frozen);
    [[nodiscard]] QStringList hiddenLabels() const;
    void setHiddenLabels(const QStringList &labels);
    // A line across the plot instead of curves, such as why nothing is plotted.
    void setNotice(const QString &notice);

    // What a frame draws, as values.
    struct Frame
    {
        QRectF area;
        double t0 = 0;
        double t1 = 0;
        double y0 = 0;
        double y1 = 1;
        // The first column's number counted from time 0, and a column's seconds.
        qint64 column0 = 0;
        double perColumn = 1;
        QList<std::pair<int, QList<QLineF>>> series; // visible series and their segments
    };
    [[nodiscard]] Frame frame() const;
    [[nodiscard]] static QColor seriesColor(int series, const QPalette &palette);

signals:
    void hiddenChanged();
    void frozenChanged(bool frozen);
    void windowSecondsChanged(double seconds);

protected:
    void paintEvent(QPaintEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    // What the strip holds was drawn for these; anything else draws it anew.
    struct StripKey
    {
        QSize size;
        qreal ratio = 1;
        double y0 = 0;
        double y1 = 0;
        double window = 0;
        QStringList hidden;
        int series = 0;
        QRgb base = 0;
        QRgb mid = 0;
        friend bool operator==(const StripKey &a, const StripKey &b)
        {
            return a.size == b.size && a.ratio == b.ratio && a.y0 == b.y0 && a.y1 == b.y1 &&
                   a.window == b.window && a.hidden == b.hidden && a.series == b.series &&
                   a.base == b.base && a.mid == b.mid;
        }
    };

    [[nodiscard]] QRectF plotArea() const;
    [[nodiscard]] Frame frameGeometry() const;
    [[nodiscard]] QColor gridColor() const;
    void renderStrip(const Frame &geometry, int from);
    [[nodiscard]] double rightEdge() const;
    // The range the visible series span in [t0, t1], padded; nullopt-like (false) when empty.
    bool visibleRange(double t0, double t1, double &low, double &high) const;
    void advanceRange();
    void drawAxes(QPainter &painter, const Frame &frame) const;
    void drawLegend(QPainter &painter, const QRectF &area);
    void drawHover(QPainter &painter, const Frame &frame) const;
    [[nodiscard]] const QStaticText &staticText(const QString &text) const;

    plot::Recorder m_recorder;
    double m_window = 10;
    bool m_auto = true;
    double m_fixedLow = 0;
    double m_fixedHigh = 100;
    double m_low = 0;
    double m_high = 1;
    bool m_rangeKnown = false;
    bool m_shrinking = false;
    bool m_frozen = false;
    double m_frozenRight = 0;
    QSet<QString> m_hidden;
    QString m_notice;
    QList<std::pair<QRectF, int>> m_legend;
    mutable QHash<QString, QStaticText> m_texts;
    QImage m_strip;
    StripKey m_stripKey;
    bool m_stripValid = false;
    qint64 m_stripColumn0 = 0;
    QBasicTimer m_frame;
    bool m_dirty = false;
    int m_hoverX = -1;
    bool m_dragging = false;
    QPointF m_dragFrom;
    double m_dragRight = 0;
};
