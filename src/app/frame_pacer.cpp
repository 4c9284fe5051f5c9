#include "app/frame_pacer.h"

#include "app/controls.h"
#include "textview/receive_box.h"

#include <QApplication>
#include <QEvent>
#include <QTimerEvent>
#include <QWidget>

// The window's requests to paint pass the application's filters too. Input goes to the widget
// under the pointer or with the focus, in any window of the program: only the application sees
// all of it.
FramePacer::FramePacer(QWidget *window) : QObject(window), m_window(window)
{
    qApp->installEventFilter(this);
}

FramePacer::~FramePacer()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

int FramePacer::frameMs() const
{
    return m_lastInput.isValid() && m_lastInput.elapsed() < InputRecentMs ? FrameMs : StreamFrameMs;
}

void FramePacer::prepareFramesOf(ReceiveBox *box)
{
    connect(box, &ReceiveBox::frameWanted, this, &FramePacer::request);
    connect(this, &FramePacer::aboutToPaint, box, &ReceiveBox::prepareWantedFrame);
    box->setFramesFromWindow(true);
}

void FramePacer::prepareFramesOf(CounterLabel *counter)
{
    connect(counter, &CounterLabel::frameWanted, this, &FramePacer::request);
    connect(this, &FramePacer::aboutToPaint, counter, &CounterLabel::showHeldCount);
    counter->holdCountsWithin(StreamFrameMs);
}

void FramePacer::request()
{
    if (m_next.isActive())
        return;
    const qint64 frame = frameMs();
    const qint64 since = m_lastPaint.isValid() ? m_lastPaint.elapsed() : frame;
    m_next.start(int(qBound<qint64>(0, frame - since, frame)), Qt::PreciseTimer, this);
}

// Qt asks a top-level window to paint what is dirty with an UpdateRequest, and asks no more
// until it has painted; one held back here keeps collecting dirty regions until the frame is due.
bool FramePacer::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
        m_lastInput.start();
        return false;
    case QEvent::UpdateRequest:
        break;
    default:
        return false;
    }
    if (watched != m_window || m_passing)
        return false;
    if (m_lastPaint.isValid() && m_lastPaint.elapsed() < frameMs()) {
        request();
        return true;
    }
    m_next.stop();
    m_lastPaint.start();
    emit aboutToPaint();
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
    emit aboutToPaint();
    QEvent request(QEvent::UpdateRequest);
    m_passing = true;
    QCoreApplication::sendEvent(m_window, &request);
    m_passing = false;
}
