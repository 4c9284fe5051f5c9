#include "app/frame_pacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>
#include <QWidget>

FramePacer::FramePacer(QWidget *window) : QObject(window), m_window(window)
{
    window->installEventFilter(this);
}

// Qt asks a top-level window to paint what is dirty with an UpdateRequest, and asks no more
// until it has painted; one held back here keeps collecting dirty regions until the frame is due.
bool FramePacer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest || m_passing)
        return false;
    if (m_lastPaint.isValid() && m_lastPaint.elapsed() < FrameMs) {
        if (!m_next.isActive())
            m_next.start(int(FrameMs - m_lastPaint.elapsed()), Qt::PreciseTimer, this);
        return true;
    }
    m_next.stop();
    m_lastPaint.start();
    return false;
}

void FramePacer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_next.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    m_next.stop();
    m_lastPaint.start();
    QEvent request(QEvent::UpdateRequest);
    m_passing = true;
    QCoreApplication::sendEvent(m_window, &request);
    m_passing = false;
}
