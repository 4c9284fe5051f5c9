#pragma once

#include <QString>

#include <deque>

namespace transfer {

// The speed of a transfer over its last few seconds, and what remains at that speed.
class RateMeter
{
public:
    static constexpr qint64 WindowMs = 3000;

    void reset() { m_samples.clear(); }
    // bytes done in all at msecs (any steady clock).
    void add(qint64 msecs, qint64 bytes);
    // 0 until two samples lie apart.
    [[nodiscard]] double bytesPerSecond() const;
    // -1 when unknown.
    [[nodiscard]] qint64 secondsLeft(qint64 remainingBytes) const;

private:
    std::deque<std::pair<qint64, qint64>> m_samples;
};

// "0 B", "999 B", "1.5 KB", "12.3 MB".
[[nodiscard]] QString humanBytes(double bytes);
// "0:05", "12:34", "1:02:03".
[[nodiscard]] QString humanDuration(qint64 seconds);

} // namespace transfer
