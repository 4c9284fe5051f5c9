#include "textview/expose_watch.h"

#include <QEvent>
#include <QWidget>
#include <QWindow>

ExposeWatch::ExposeWatch(QWidget *widget) : QObject(widget), m_widget(widget)
{
    widget->installEventFilter(this);
}

// The top-level's window exists once it is shown, and changes when the widget moves to another
// top-level.
void ExposeWatch::watchWindow()
{
    QWindow *window = m_widget->window()->windowHandle();
    if (window == m_window)
        return;
    if (m_window)
        m_window->removeEventFilter(this);
    m_window = window;
    if (window)
        window->installEventFilter(this);
    // Moved from a hidden window into one already shown, which says nothing new.
    if (!m_exposed && window && window->isExposed()) {
        m_exposed = true;
        emit exposedChanged(true);
    }
}

bool ExposeWatch::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_widget) {
        if (event->type() == QEvent::Show || event->type() == QEvent::ParentChange)
            watchWindow();
    } else if (watched == m_window && event->type() == QEvent::Expose) {
        // Qt has set the window's state before it delivers the event.
        const bool exposed = m_window->isExposed();
        if (exposed != m_exposed) {
            m_exposed = exposed;
            emit exposedChanged(exposed);
        }
    }
    return false;
}
