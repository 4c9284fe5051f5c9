#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QTimer;

namespace quicksend {

// Sends steps in order, each followed by its delay, once, a number of rounds, or until stopped.
// A delay is counted from the moment the step's bytes have left the program's queue, so a slow
// line does not eat into it. Runs on the event loop: the window never waits for it.
class SequenceRunner : public QObject
{
    Q_OBJECT
public:
    // Sends step index: empty when it went out, else why not (the run stops with it).
    using SendStep = std::function<QString(int index)>;
    // Bytes still waiting in the program's queue.
    using Pending = std::function<qint64()>;

    SequenceRunner(SendStep send, Pending pending, QObject *parent = nullptr);

    // rounds 0: until stop().
    void start(const QList<int> &delaysMs, int rounds);
    // Stops at once; why is shown to the user (empty: stopped by the user).
    void stop(const QString &why = {});
    [[nodiscard]] bool isRunning() const { return !m_delays.isEmpty(); }

signals:
    // Before each step is sent; round counts from 1.
    void stepStarted(int index, int round);
    // Every round done, or stopped (why says how).
    void finished(const QString &why);

private:
    void sendCurrent();
    void waitForQueue();
    void next();

    SendStep m_send;
    Pending m_pending;
    QTimer *m_drain;
    QTimer *m_delay;
    QList<int> m_delays;
    int m_rounds = 0;
    int m_round = 0;
    int m_index = 0;
};

} // namespace quicksend
