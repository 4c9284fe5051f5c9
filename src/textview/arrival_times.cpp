#include "textview/arrival_times.h"

#include <QDateTime>

#include <algorithm>
#include <limits>

namespace {

// 32 kB a segment: large enough that a long capture has few of them, small enough that an edit
// in the middle of one is cheap.
constexpr size_t SegmentEntries = 4096;

bool fitsOffset(qint64 offset)
{
    return offset >= 0 && offset <= std::numeric_limits<quint32>::max();
}

bool fitsMsecs(qint64 offset)
{
    return offset >= std::numeric_limits<qint32>::min() &&
           offset <= std::numeric_limits<qint32>::max();
}

} // namespace

void ArrivalTimes::clear()
{
    m_segments.clear();
    m_segments.shrink_to_fit();
    m_count = 0;
}

qint64 ArrivalTimes::memoryUsed() const
{
    qint64 bytes = qint64(m_segments.capacity() * sizeof(Segment));
    for (const Segment &segment : m_segments)
        bytes += qint64(segment.entries.capacity() * sizeof(Entry));
    return bytes;
}

void ArrivalTimes::append(qint64 pos, qint64 msecs)
{
    if (!m_segments.empty()) {
        Segment &last = m_segments.back();
        const qint64 lastPos = last.posAt(last.entries.size() - 1);
        if (pos < lastPos)
            return;
        if (pos == lastPos) {
            last.entries.pop_back();
            --m_count;
            if (last.entries.empty())
                m_segments.pop_back();
        }
    }
    if (!m_segments.empty()) {
        Segment &last = m_segments.back();
        if (last.entries.size() < SegmentEntries && fitsOffset(pos - last.basePos) &&
            fitsMsecs(msecs - last.baseMsecs)) {
            last.entries.push_back({quint32(pos - last.basePos), qint32(msecs - last.baseMsecs)});
            ++m_count;
            return;
        }
    }
    // A segment after a full one will fill too; one started by a long pause may stay small.
    const bool reserve = !m_segments.empty() && m_segments.back().entries.size() == SegmentEntries;
    Segment segment;
    segment.basePos = pos;
    segment.baseMsecs = msecs;
    if (reserve)
        segment.entries.reserve(SegmentEntries);
    segment.entries.push_back({0, 0});
    m_segments.push_back(std::move(segment));
    ++m_count;
}

void ArrivalTimes::replaced(qint64 pos, qint64 removed, qint64 inserted, qint64 size)
{
    const qint64 end = pos + removed;
    // The line that began at the range's end now begins at pos, and its time goes with it.
    const std::optional<Mark> atEnd = removed > 0 ? firstIn(end, end + 1) : std::nullopt;
    const qint64 from = atEnd || pos >= size ? pos : pos + 1;
    removeAndShift(from, qMax(from, end), inserted - removed);
}

void ArrivalTimes::dropFront(qint64 n, bool insideLine)
{
    if (n <= 0)
        return;
    const std::optional<Mark> carried = insideLine ? lastAtOrBefore(n) : std::nullopt;
    removeAndShift(0, n, -n);
    if (!carried || carried->pos == n || firstIn(0, 1))
        return;
    Segment segment;
    segment.baseMsecs = carried->msecs;
    segment.entries.push_back({0, 0});
    m_segments.insert(m_segments.begin(), std::move(segment));
    ++m_count;
}

std::optional<ArrivalTimes::Mark> ArrivalTimes::firstIn(qint64 pos, qint64 before) const
{
    size_t s = segmentFor(pos);
    if (s == m_segments.size())
        s = 0;
    for (; s < m_segments.size(); ++s) {
        const size_t i = entryFrom(s, pos);
        if (i < m_segments[s].entries.size()) {
            const Mark mark = m_segments[s].markAt(i);
            return mark.pos < before ? std::optional<Mark>(mark) : std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<ArrivalTimes::Mark> ArrivalTimes::lastAtOrBefore(qint64 pos) const
{
    const size_t s = segmentFor(pos);
    if (s == m_segments.size())
        return std::nullopt;
    return m_segments[s].markAt(entryFrom(s, pos + 1) - 1);
}

size_t ArrivalTimes::segmentFor(qint64 pos) const
{
    const auto after =
        std::upper_bound(m_segments.begin(), m_segments.end(), pos,
                         [](qint64 p, const Segment &segment) { return p < segment.posAt(0); });
    return after == m_segments.begin() ? m_segments.size() : size_t(after - m_segments.begin()) - 1;
}

size_t ArrivalTimes::entryFrom(size_t s, qint64 pos) const
{
    const Segment &segment = m_segments[s];
    const qint64 offset = pos - segment.basePos;
    if (offset <= 0)
        return 0;
    const auto it =
        std::lower_bound(segment.entries.begin(), segment.entries.end(), offset,
                         [](const Entry &entry, qint64 o) { return qint64(entry.pos) < o; });
    return size_t(it - segment.entries.begin());
}

void ArrivalTimes::removeAndShift(qint64 from, qint64 to, qint64 delta)
{
    size_t s = segmentFor(from);
    if (s == m_segments.size())
        s = 0;
    while (s < m_segments.size()) {
        Segment &segment = m_segments[s];
        if (segment.posAt(0) >= to) {
            segment.basePos += delta;
            ++s;
            continue;
        }
        const size_t first = entryFrom(s, from);
        const size_t last = entryFrom(s, to);
        segment.entries.erase(segment.entries.begin() + qsizetype(first),
                              segment.entries.begin() + qsizetype(last));
        m_count -= qint64(last - first);
        if (segment.entries.empty()) {
            m_segments.erase(m_segments.begin() + qsizetype(s));
            continue;
        }
        if (first < segment.entries.size() && delta != 0) {
            const bool fits = fitsOffset(qint64(segment.entries.back().pos) + delta);
            if (first == 0 || !fits) {
                // Moving the whole tail: split it off under a base of its own.
                Segment tail;
                tail.baseMsecs = segment.baseMsecs;
                tail.basePos = segment.posAt(first) + delta;
                for (size_t i = first; i < segment.entries.size(); ++i)
                    tail.entries.push_back({quint32(segment.posAt(i) + delta - tail.basePos),
                                            segment.entries[i].msecs});
                if (first == 0) {
                    segment = std::move(tail);
                } else {
                    segment.entries.resize(first);
                    m_segments.insert(m_segments.begin() + qsizetype(s) + 1, std::move(tail));
                    ++s;
                }
            } else {
                for (size_t i = first; i < segment.entries.size(); ++i)
                    segment.entries[i].pos = quint32(qint64(segment.entries[i].pos) + delta);
            }
        }
        ++s;
    }
}

QString TimeFormat::text(qint64 msecs) const
{
    const qint64 second = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    if (second != m_second) {
        m_second = second;
        m_prefix = QDateTime::fromMSecsSinceEpoch(second * 1000).toString(u"HH:mm:ss.");
    }
    const int ms = int(msecs - second * 1000);
    QString out = m_prefix;
    out += QLatin1Char(char('0' + ms / 100));
    out += QLatin1Char(char('0' + ms / 10 % 10));
    out += QLatin1Char(char('0' + ms % 10));
    return out;
}
