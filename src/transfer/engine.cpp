#include "transfer/engine.h"

#include "transfer/block_frame.h"

namespace transfer {

int Timing::settleFor(int baud)
{
    if (baud <= 0)
        return Timing().settleMs;
    // A 1K block with its framing is 1029 bytes of 10 bits.
    return int(2 * 1029 * 10 * 1000LL / baud) + 200;
}

void Engine::stop(const QString &message, bool tellPeer)
{
    if (!running())
        return;
    if (tellPeer)
        abort(message);
    else
        fail(message);
}

QByteArray Engine::takeOutput()
{
    return std::exchange(m_output, {});
}

QStringList Engine::takeLog()
{
    return std::exchange(m_log, {});
}

void Engine::succeed(const QString &message)
{
    m_outcome = Outcome::Succeeded;
    m_message = message;
    m_deadline = -1;
}

void Engine::fail(const QString &message)
{
    m_outcome = Outcome::Failed;
    m_message = message;
    m_deadline = -1;
}

void Engine::abort(const QString &message)
{
    send(abortSequence());
    fail(message);
}

QString cancelledText()
{
    return QStringLiteral("已取消");
}

QString portLostText()
{
    return QStringLiteral("串口已断开，传输中止");
}

} // namespace transfer
