#pragma once

#include <QScrollBar>

// The receive box's scroll bar. Qt repaints a scroll bar on every change of its range, page or
// value, and a stream changes them with every line it adds; most of those changes move the
// handle by no pixel at all. This one repaints only when its look changes.
class BoxScrollBar : public QScrollBar
{
public:
    BoxScrollBar();

    // Range, page and value at once: in between, the handle would seem to have moved.
    void setState(int maximum, int pageStep, int value);

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent *event) override;

private:
    struct Look
    {
        QRect handle;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator!=(const Look &other) const
        {
            return handle != other.handle || atMinimum != other.atMinimum ||
                   atMaximum != other.atMaximum;
        }
    };
    [[nodiscard]] Look look() const;

    Look m_painted;
    bool m_batch = false;
};
