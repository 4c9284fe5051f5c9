#pragma once

#include <QObject>
#include <QPointer>

class QWidget;
class QWindow;

// Tells whether the window a widget sits in can be seen at all. A minimised window, or one on
// another desktop, is not exposed: Qt paints nothing in it, so whatever a widget prepares for a
// frame there is wasted until it is exposed again. Covered windows count as exposed.
class ExposeWatch : public QObject
{
    Q_OBJECT
public:
    explicit ExposeWatch(QWidget *widget);

    // True until the window says otherwise, so that a widget never shown behaves as before.
    [[nodiscard]] bool isExposed() const { return m_exposed; }

signals:
    void exposedChanged(bool exposed);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void watchWindow();

    QWidget *m_widget;
    QPointer<QWindow> m_window;
    bool m_exposed = true;
};
