#pragma once

#include <QObject>

class QSocketNotifier;

// Ends the program normally on SIGTERM, SIGINT and SIGHUP (logging out, kill, Ctrl+C in the
// terminal that started it): the event loop returns, the window goes and closes its port, and the
// serial port's lock file goes with it. A signal handler may do next to nothing, so it only
// writes a byte that the event loop then reads.
class QuitOnSignals : public QObject
{
    Q_OBJECT
public:
    explicit QuitOnSignals(QObject *parent = nullptr);
    ~QuitOnSignals() override;

private:
    void quit();

    QSocketNotifier *m_notifier = nullptr;
};
