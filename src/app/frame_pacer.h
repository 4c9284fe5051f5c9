#pragma once

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QObject>

class CounterLabel;
class QWidget;
class ReceiveBox;

// Paints a window at most once every other display frame (30 a second, as terminals commonly
// do). A board printing at 115200 baud arrives as a few hundred small reads a second, and each
// would otherwise repaint the receive box, the counters and the scroll bar on its own; held back
// to the next frame, everything that changed meanwhile is painted together. A window that has
// not painted for a frame paints at once, so a click shows without delay.
//
// While only the board changes the window, with no key or pointer at work in the program for a
// second, it is painted 20 times a second: a log scrolling faster than it can be read loses
// nothing to the eye, and every line still shows in some frame unless the board sends more
// lines between two frames than the box has rows.
class FramePacer : public QObject
{
    Q_OBJECT
public:
    static constexpr int FrameMs = 33;
    static constexpr int StreamFrameMs = 50;
    static constexpr int InputRecentMs = 1000;

    explicit FramePacer(QWidget *window);
    ~FramePacer() override;

    // The box's frames are prepared here, just before the window paints: one timer for both,
    // and what the box moves and what it repaints go out in the window's one flush.
    void prepareFramesOf(ReceiveBox *box);
    // A count the board's blocks add within a frame of the last waits for the next painting.
    void prepareFramesOf(CounterLabel *counter);

    // A painting at the next frame, for a widget that marks what changed just before it.
    void request();

signals:
    // A painting is about to begin: the last moment to mark what it should paint.
    void aboutToPaint();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    [[nodiscard]] int frameMs() const;

    QWidget *m_window;
    QElapsedTimer m_lastInput;
    QElapsedTimer m_lastPaint;
    QBasicTimer m_next;
    bool m_passing = false;
};
