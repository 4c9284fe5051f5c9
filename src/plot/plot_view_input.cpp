// The keys, the wheel and the mouse: freezing the plot, zooming and panning it while frozen, the
// legend's clicks and the line under the mouse.
#include "plot/plot_view.h"

#include "plot/plot_view_shared.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <cmath>

using namespace plotshared;

void PlotView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        setFrozen(!m_frozen);
        if (!m_frozen)
            dataAdded();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PlotView::wheelEvent(QWheelEvent *event)
{
    if (!m_frozen) {
        event->ignore();
        return;
    }
    // Zooms about the time under the mouse.
    const QRectF area = plotArea();
    const double t1 = rightEdge();
    const double share = qBound(0.0, (event->position().x() - area.left()) / area.width(), 1.0);
    const double anchor = t1 - m_window * (1 - share);
    const double factor = std::pow(1.25, -event->angleDelta().y() / 120.0);
    const double window = qBound(MinWindow, m_window * factor, MaxWindow);
    m_frozenRight = anchor + window * (1 - share);
    setWindowSeconds(window);
    update();
}

void PlotView::mousePressEvent(QMouseEvent *event)
{
    for (const auto &[box, series] : m_legend) {
        if (!box.contains(event->position()))
            continue;
        const QString &label = m_recorder.labels().at(series);
        if (!m_hidden.remove(label))
            m_hidden.insert(label);
        m_rangeKnown = false;
        update();
        emit hiddenChanged();
        return;
    }
    if (m_frozen && event->button() == Qt::LeftButton) {
        m_dragging = true;
        m_dragFrom = event->position();
        m_dragRight = m_frozenRight;
    }
}

void PlotView::mouseMoveEvent(QMouseEvent *event)
{
    m_hoverX = int(event->position().x());
    if (m_dragging) {
        const double perPixel = m_window / plotArea().width();
        m_frozenRight = m_dragRight - (event->position().x() - m_dragFrom.x()) * perPixel;
    }
    update();
}

void PlotView::mouseReleaseEvent(QMouseEvent *)
{
    m_dragging = false;
}

void PlotView::leaveEvent(QEvent *)
{
    m_hoverX = -1;
    update();
}
