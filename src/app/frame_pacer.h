#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>

class QWidget;

// Paints a window at most once every other display frame (30 a second, as terminals commonly
// do). A board printing at 115200 baud arrives as a few hundred small reads a second, and each
// would otherwise repaint the receive box, the counters and the scroll bar on its own; held back
// to the next frame, everything that changed meanwhile is painted together. A window that has
// not painted for a frame paints at once, so a click shows without delay.
class FramePacer : public QObject
{
    Q_OBJECT
public:
    static constexpr int FrameMs = 33;

    explicit FramePacer(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    QWidget *m_window;
    QElapsedTimer m_lastPaint;
    QBasicTimer m_next;
    bool m_passing = false;
};
