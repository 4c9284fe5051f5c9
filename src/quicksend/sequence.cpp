#include "quicksend/sequence.h"

#include <QTimer>

namespace quicksend {

SequenceRunner::SequenceRunner(SendStep send, Pending pending, QObject *parent)
    : QObject(parent), m_send(std::move(send)), m_pending(std::move(pending)),
      m_drain(new QTimer(this)), m_delay(new QTimer(this))
{
    // The queue is looked at every millisecond while it drains; the delay is a precise timer.
    m_drain->setInterval(1);
    m_drain->setTimerType(Qt::PreciseTimer);
    m_delay->setSingleShot(true);
    m_delay->setTimerType(Qt::PreciseTimer);
    connect(m_drain, &QTimer::timeout, this, &SequenceRunner::waitForQueue);
    connect(m_delay, &QTimer::timeout, this, &SequenceRunner::next);
}

void SequenceRunner::start(const QList<int> &delaysMs, int rounds)
{
    stop();
    if (delaysMs.isEmpty())
        return;
    m_delays = delaysMs;
    m_rounds = rounds;
    m_round = 1;
    m_index = 0;
    sendCurrent();
}

void SequenceRunner::stop(const QString &why)
{
    if (!isRunning())
        return;
    m_drain->stop();
    m_delay->stop();
    m_delays.clear();
    emit finished(why.isEmpty() ? QStringLiteral("已停止") : why);
}

void SequenceRunner::sendCurrent()
{
    emit stepStarted(m_index, m_round);
    const QString failure = m_send(m_index);
    if (!isRunning())
        return;
    if (!failure.isEmpty()) {
        stop(failure);
        return;
    }
    const bool last = m_index + 1 == m_delays.size() && m_rounds != 0 && m_round == m_rounds;
    if (last) {
        m_delays.clear();
        emit finished(QStringLiteral("已完成"));
        return;
    }
    if (m_pending() > 0)
        m_drain->start();
    else
        m_delay->start(m_delays.at(m_index));
}

void SequenceRunner::waitForQueue()
{
    if (m_pending() > 0)
        return;
    m_drain->stop();
    m_delay->start(m_delays.at(m_index));
}

void SequenceRunner::next()
{
    if (++m_index == m_delays.size()) {
        m_index = 0;
        ++m_round;
    }
    sendCurrent();
}

} // namespace quicksend
