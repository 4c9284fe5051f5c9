#include "textview/scroll_bar.h"

#include <QStyle>
#include <QStyleOptionSlider>

BoxScrollBar::BoxScrollBar() : QScrollBar(Qt::Vertical)
{
    // The bar paints all of itself; said so, a stream's every frame spares painting the frame
    // and the group box behind it.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void BoxScrollBar::setState(int maximum, int pageStep, int value)
{
    m_batch = true;
    {
        // The box that sets the state needs no word of it back, and the scroll area would
        // answer a new range with a queued layout of its bars, a wake-up of its own each frame.
        const QSignalBlocker quiet(this);
        setRange(0, maximum);
        setPageStep(pageStep);
        setSingleStep(1);
        setValue(value);
    }
    m_batch = false;
    if (look() != m_painted)
        update();
}

void BoxScrollBar::sliderChange(SliderChange change)
{
    if (!m_batch && look() != m_painted)
        QScrollBar::sliderChange(change);
}

void BoxScrollBar::paintEvent(QPaintEvent *event)
{
    m_painted = look();
    QScrollBar::paintEvent(event);
}

BoxScrollBar::Look BoxScrollBar::look() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
        value() == minimum(), value() == maximum()};
}
