#pragma once

#include "textview/pen.h"

#include <QHash>
#include <QVarLengthArray>

#include <vector>

// The pens of the receive box's text as runs: from each run's position on, until the next, the
// text has that run's pen; before the first, the default pen. A run is two small numbers, its
// distance from the run before and the number of its pen in a table of the pens met, each in as
// few bytes as it needs (mostly one), in segments of their own base position. A coloured log
// changes pen a few times a line, so its runs cost a few bytes a line; finding the pens of a
// line costs a search and a walk through one short segment, and old text goes a segment at a
// time.
class ColourRuns
{
public:
    struct Run
    {
        qint64 pos;
        Pen pen;
    };
    using Runs = QVarLengthArray<Run, 16>;

    void clear();
    [[nodiscard]] bool isEmpty() const { return m_segments.empty(); }
    [[nodiscard]] qint64 count() const { return m_count; }
    [[nodiscard]] qint64 memoryBytes() const;

    // From pos on, the text has this pen. pos is at or after the last run's position; one at the
    // same position replaces it.
    void append(qint64 pos, const Pen &pen);
    [[nodiscard]] Pen lastPen() const;

    // The runs covering [from, to): the first at from (with the pen there), then each that
    // starts before to.
    [[nodiscard]] Runs runsIn(qint64 from, qint64 to) const;
    [[nodiscard]] Pen penAt(qint64 pos) const;

    // The text's range [pos, pos + removed) became `inserted` characters, which take the pen
    // of the character before them; the text after keeps its pens.
    void replaced(qint64 pos, qint64 removed, qint64 inserted);
    // Runs at pos or after go.
    void truncate(qint64 pos);
    // The text's first n characters are gone.
    void dropFront(qint64 n);

private:
    struct Segment
    {
        qint64 base = 0;
        qint64 lastPos = 0;
        quint32 lastPen = 0;
        quint32 count = 0;
        std::vector<uchar> bytes;
    };
    struct Decoded
    {
        qint64 pos;
        quint32 pen;
    };

    [[nodiscard]] quint32 penId(const Pen &pen);
    // The last segment whose base is at or before pos, or 0 when none is.
    [[nodiscard]] size_t segmentFor(qint64 pos) const;
    [[nodiscard]] static std::vector<Decoded> decode(const Segment &segment);
    // Segments holding the runs, merged where two in a row have one pen; before is the pen in
    // force where they begin.
    [[nodiscard]] static std::vector<Segment> encode(const std::vector<Decoded> &runs,
                                                     quint32 before);
    void replaceSegments(size_t first, size_t last, std::vector<Segment> with);

    std::vector<Segment> m_segments;
    std::vector<Pen> m_pens;
    QHash<Pen, quint32> m_penIds;
    qint64 m_count = 0;
};
