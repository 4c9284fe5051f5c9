#pragma once

#include <QString>
#include <QtGlobal>

#include <limits>
#include <optional>
#include <vector>

// When parts of the receive box's text arrived: marks of (position in the text, milliseconds
// since the epoch), in ascending position, one where a received line or burst begins. Kept in
// segments of small entries, 8 bytes a mark, so a flood of short lines costs little; an edit
// costs one segment plus a step per segment.
class ArrivalTimes
{
public:
    struct Mark
    {
        qint64 pos = 0;
        qint64 msecs = 0;
    };

    void clear();
    [[nodiscard]] qint64 count() const { return m_count; }
    // Bytes held for the marks.
    [[nodiscard]] qint64 memoryUsed() const;

    // pos must not lie before the last mark; a mark at the last mark's position replaces it.
    void append(qint64 pos, qint64 msecs);
    // The text's range [pos, pos + removed) has been replaced by `inserted` characters, leaving
    // `size` characters. Marks inside it go; one at pos stays while a character is there, unless
    // the mark just after the range moves onto pos.
    void replaced(qint64 pos, qint64 removed, qint64 inserted, qint64 size);

    // The text's first n characters are gone. When the cut lay inside a line or burst, that line
    // or burst keeps its time, at position 0; a line that began right at the cut has none carried
    // onto it.
    void dropFront(qint64 n, bool insideLine);

    // The first mark at or after pos, if it lies before `before`.
    [[nodiscard]] std::optional<Mark> firstIn(qint64 pos, qint64 before) const;
    // The last mark at or before pos.
    [[nodiscard]] std::optional<Mark> lastAtOrBefore(qint64 pos) const;

private:
    struct Entry
    {
        quint32 pos;
        qint32 msecs;
    };
    struct Segment
    {
        qint64 basePos = 0;
        qint64 baseMsecs = 0;
        std::vector<Entry> entries;
        [[nodiscard]] qint64 posAt(size_t i) const { return basePos + entries[i].pos; }
        [[nodiscard]] Mark markAt(size_t i) const
        {
            return {posAt(i), baseMsecs + entries[i].msecs};
        }
    };

    // The last segment whose first mark lies at or before pos, or segments' size when none.
    [[nodiscard]] size_t segmentFor(qint64 pos) const;
    // In segment s: the first entry at or after pos.
    [[nodiscard]] size_t entryFrom(size_t s, qint64 pos) const;
    // Removes the marks in [from, to) and shifts those at or after `to` by delta.
    void removeAndShift(qint64 from, qint64 to, qint64 delta);

    std::vector<Segment> m_segments;
    qint64 m_count = 0;
};

// Writes times as HH:MM:SS.mmm in local time. The conversion to local time, the costly part, is
// made once a second; the milliseconds are added to it.
class TimeFormat
{
public:
    [[nodiscard]] QString text(qint64 msecs) const;

private:
    mutable qint64 m_second = std::numeric_limits<qint64>::min();
    mutable QString m_prefix;
};
