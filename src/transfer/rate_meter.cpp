#include "transfer/rate_meter.h"

#include <cmath>

namespace transfer {

void RateMeter::add(qint64 msecs, qint64 bytes)
{
    if (!m_samples.empty() && bytes < m_samples.back().second)
        m_samples.clear(); // a new transfer
    m_samples.emplace_back(msecs, bytes);
    while (m_samples.size() > 2 && msecs - m_samples[1].first >= WindowMs)
        m_samples.pop_front();
}

double RateMeter::bytesPerSecond() const
{
    if (m_samples.size() < 2)
        return 0;
    const qint64 ms = m_samples.back().first - m_samples.front().first;
    if (ms <= 0)
        return 0;
    return double(m_samples.back().second - m_samples.front().second) * 1000.0 / double(ms);
}

qint64 RateMeter::secondsLeft(qint64 remainingBytes) const
{
    const double rate = bytesPerSecond();
    if (rate <= 0 || remainingBytes < 0)
        return -1;
    return qint64(std::ceil(double(remainingBytes) / rate));
}

QString humanBytes(double bytes)
{
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(qint64(bytes));
    static const char *const units[] = {"KB", "MB", "GB", "TB"};
    int unit = 0;
    bytes /= 1024;
    while (bytes >= 1000 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(bytes, 0, 'f', bytes < 100 ? 1 : 0).arg(units[unit]);
}

QString humanDuration(qint64 seconds)
{
    const qint64 h = seconds / 3600;
    const qint64 m = seconds / 60 % 60;
    const qint64 s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(h)
            .arg(m, 2, 10, QLatin1Char('0'))
            .arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

} // namespace transfer
