#include "textview/colour_runs.h"

#include <algorithm>

namespace {

// Small enough that finding a line's runs walks little, large enough that a segment's own
// bookkeeping stays a fraction of its bytes.
constexpr size_t SegmentBytes = 256;
// Pens past this many fold their 24-bit colours into the 256-colour table.
constexpr size_t MaxPens = 65536;

void putNumber(std::vector<uchar> &bytes, quint64 v)
{
    while (v >= 0x80) {
        bytes.push_back(uchar(v | 0x80));
        v >>= 7;
    }
    bytes.push_back(uchar(v));
}

quint64 takeNumber(const std::vector<uchar> &bytes, size_t &at)
{
    quint64 v = 0;
    int shift = 0;
    while (at < bytes.size()) {
        const uchar b = bytes[at++];
        v |= quint64(b & 0x7F) << shift;
        if (!(b & 0x80))
            break;
        shift += 7;
    }
    return v;
}

// The nearest colour of the 6x6x6 cube of the 256-colour table.
quint32 folded(quint32 colour)
{
    if (colour < 0x1000000u)
        return colour;
    const auto level = [](quint32 v) { return v < 48 ? 0 : v < 115 ? 1 : int((v - 35) / 40); };
    const quint32 rgb = Pen::rgbOf(colour);
    return Pen::indexed(16 + 36 * level(rgb >> 16) + 6 * level((rgb >> 8) & 0xFF) +
                        level(rgb & 0xFF));
}

} // namespace

void ColourRuns::clear()
{
    m_segments = {};
    m_pens = {};
    m_penIds = {};
    m_count = 0;
}

qint64 ColourRuns::memoryBytes() const
{
    // Every segment reserves room for SegmentBytes and one more run, so the segments need no
    // walk: the box asks after every block.
    const qint64 bytes = qint64(m_segments.capacity() * sizeof(Segment)) +
                         qint64(m_segments.size() * (SegmentBytes + 8));
    // A hash entry costs about its key, its value and a pointer's worth of span.
    return bytes + qint64(m_pens.capacity() * sizeof(Pen)) +
           qint64(m_penIds.capacity()) * qint64(sizeof(Pen) + sizeof(quint32) + sizeof(void *));
}

quint32 ColourRuns::penId(const Pen &pen)
{
    if (m_pens.empty()) {
        m_pens.push_back(Pen());
        m_penIds.insert(Pen(), 0);
    }
    const auto it = m_penIds.constFind(pen);
    if (it != m_penIds.constEnd())
        return *it;
    if (m_pens.size() >= MaxPens) {
        const Pen plainer{folded(pen.fg), folded(pen.bg), pen.attrs};
        return plainer == pen ? 0 : penId(plainer);
    }
    const auto id = quint32(m_pens.size());
    m_pens.push_back(pen);
    m_penIds.insert(pen, id);
    return id;
}

void ColourRuns::append(qint64 pos, const Pen &pen)
{
    if (!m_segments.empty() && pos <= m_segments.back().lastPos)
        truncate(pos);
    if (m_segments.empty() && pen.isDefault())
        return;
    const quint32 id = penId(pen);
    if (!m_segments.empty() && m_segments.back().lastPen == id)
        return;
    if (m_segments.empty() || m_segments.back().bytes.size() >= SegmentBytes) {
        Segment segment;
        segment.base = segment.lastPos = pos;
        segment.bytes.reserve(SegmentBytes + 8);
        m_segments.push_back(std::move(segment));
    }
    Segment &last = m_segments.back();
    putNumber(last.bytes, quint64(pos - (last.count == 0 ? last.base : last.lastPos)));
    putNumber(last.bytes, id);
    last.lastPos = pos;
    last.lastPen = id;
    ++last.count;
    ++m_count;
}

Pen ColourRuns::lastPen() const
{
    return m_segments.empty() ? Pen() : m_pens[m_segments.back().lastPen];
}

size_t ColourRuns::segmentFor(qint64 pos) const
{
    const auto after =
        std::upper_bound(m_segments.begin(), m_segments.end(), pos,
                         [](qint64 p, const Segment &segment) { return p < segment.base; });
    return after == m_segments.begin() ? 0 : size_t(after - m_segments.begin()) - 1;
}

std::vector<ColourRuns::Decoded> ColourRuns::decode(const Segment &segment)
{
    std::vector<Decoded> runs;
    runs.reserve(segment.count);
    size_t at = 0;
    qint64 pos = segment.base;
    while (at < segment.bytes.size()) {
        pos += qint64(takeNumber(segment.bytes, at));
        runs.push_back({pos, quint32(takeNumber(segment.bytes, at))});
    }
    return runs;
}

std::vector<ColourRuns::Segment> ColourRuns::encode(const std::vector<Decoded> &runs,
                                                    quint32 before)
{
    std::vector<Segment> segments;
    quint32 pen = before;
    for (const Decoded &run : runs) {
        if (run.pen == pen)
            continue;
        if (segments.empty() || segments.back().bytes.size() >= SegmentBytes) {
            Segment segment;
            segment.base = segment.lastPos = run.pos;
            segments.push_back(std::move(segment));
        }
        Segment &last = segments.back();
        putNumber(last.bytes, quint64(run.pos - (last.count == 0 ? last.base : last.lastPos)));
        putNumber(last.bytes, run.pen);
        last.lastPos = run.pos;
        last.lastPen = pen = run.pen;
        ++last.count;
    }
    return segments;
}

void ColourRuns::replaceSegments(size_t first, size_t last, std::vector<Segment> with)
{
    for (size_t s = first; s < last; ++s)
        m_count -= m_segments[s].count;
    for (const Segment &segment : with)
        m_count += segment.count;
    m_segments.erase(m_segments.begin() + qsizetype(first), m_segments.begin() + qsizetype(last));
    m_segments.insert(m_segments.begin() + qsizetype(first), std::make_move_iterator(with.begin()),
                      std::make_move_iterator(with.end()));
}

ColourRuns::Runs ColourRuns::runsIn(qint64 from, qint64 to) const
{
    Runs runs;
    runs.append({from, Pen()});
    if (m_segments.empty())
        return runs;
    for (size_t s = segmentFor(from); s < m_segments.size(); ++s) {
        const Segment &segment = m_segments[s];
        if (segment.base >= to)
            break;
        size_t at = 0;
        qint64 pos = segment.base;
        while (at < segment.bytes.size()) {
            pos += qint64(takeNumber(segment.bytes, at));
            const quint32 id = quint32(takeNumber(segment.bytes, at));
            if (pos >= to)
                return runs;
            if (pos <= from)
                runs.first().pen = m_pens[id];
            else
                runs.append({pos, m_pens[id]});
        }
    }
    return runs;
}

Pen ColourRuns::penAt(qint64 pos) const
{
    return runsIn(pos, pos + 1).first().pen;
}

void ColourRuns::replaced(qint64 pos, qint64 removed, qint64 inserted)
{
    if (m_segments.empty())
        return;
    const qint64 end = pos + removed;
    const qint64 delta = inserted - removed;
    const quint32 after = penId(penAt(end));
    const size_t first = segmentFor(pos);
    const size_t last = segmentFor(end) + 1;
    std::vector<Decoded> runs;
    for (size_t s = first; s < last; ++s) {
        for (const Decoded &run : decode(m_segments[s])) {
            if (run.pos < pos)
                runs.push_back(run);
        }
    }
    // The runs of the removed range go; the text after it keeps its pen.
    runs.push_back({pos + inserted, after});
    for (size_t s = first; s < last; ++s) {
        for (const Decoded &run : decode(m_segments[s])) {
            if (run.pos > end)
                runs.push_back({run.pos + delta, run.pen});
        }
    }
    std::vector<Segment> with = encode(runs, first > 0 ? m_segments[first - 1].lastPen : 0);
    for (size_t s = last; s < m_segments.size(); ++s) {
        m_segments[s].base += delta;
        m_segments[s].lastPos += delta;
    }
    replaceSegments(first, last, std::move(with));
}

void ColourRuns::truncate(qint64 pos)
{
    if (m_segments.empty() || m_segments.back().lastPos < pos)
        return;
    const size_t s = segmentFor(pos);
    std::vector<Decoded> runs;
    if (m_segments[s].base < pos) {
        for (const Decoded &run : decode(m_segments[s])) {
            if (run.pos < pos)
                runs.push_back(run);
        }
    }
    // Re-encoded as it was: the first run keeps its place even when its pen is the default.
    std::vector<Segment> with;
    if (!runs.empty()) {
        Segment segment;
        segment.base = runs.front().pos;
        for (const Decoded &run : runs) {
            putNumber(segment.bytes,
                      quint64(run.pos - (segment.count == 0 ? segment.base : segment.lastPos)));
            putNumber(segment.bytes, run.pen);
            segment.lastPos = run.pos;
            segment.lastPen = run.pen;
            ++segment.count;
        }
        segment.bytes.reserve(SegmentBytes + 8);
        with.push_back(std::move(segment));
    }
    replaceSegments(s, m_segments.size(), std::move(with));
}

void ColourRuns::dropFront(qint64 n)
{
    if (m_segments.empty() || n <= 0)
        return;
    if (m_segments.front().base > n) {
        // Every run lies after the cut.
        for (Segment &segment : m_segments) {
            segment.base -= n;
            segment.lastPos -= n;
        }
        return;
    }
    const size_t s = segmentFor(n);
    std::vector<Decoded> runs{{0, penId(penAt(n))}};
    for (const Decoded &run : decode(m_segments[s])) {
        if (run.pos > n)
            runs.push_back({run.pos - n, run.pen});
    }
    for (size_t t = s + 1; t < m_segments.size(); ++t) {
        m_segments[t].base -= n;
        m_segments[t].lastPos -= n;
    }
    replaceSegments(0, s + 1, encode(runs, 0));
}
