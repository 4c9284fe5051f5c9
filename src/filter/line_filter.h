#pragma once

#include <QRegularExpression>
#include <QString>
#include <QStringView>

#include <vector>

class TextStore;

// The lines of a text that a filter lets through, as the positions where they begin: nothing
// of the lines themselves is kept. Lines end at CR LF, LF or a lone CR, as in the receive box.
// The text is read on in slices (scan), so a long text is filtered without stopping the
// window, and follows the changes the text reports: text appended or rewritten at its end,
// edits, old lines dropped.
class LineFilter
{
public:
    struct Pattern
    {
        QString text;
        bool regex = false;
        bool matchCase = false;
        // The lines that do not match.
        bool invert = false;
    };
    // What a change of the text did to the rows.
    struct Change
    {
        // Rows of ended lines that went from the front and from the back.
        qint64 removedFront = 0;
        qint64 removedBack = 0;
        // Rows went or moved elsewhere: all of them are to be read again.
        bool reset = false;
    };

    // The line still being written is matched while it is no longer than this.
    static constexpr qint64 MaxOpenLine = 65536;

    // Empty, or why the regular expression does not compile (then nothing matches). Forgets
    // the rows: the text is to be scanned again.
    [[nodiscard]] QString setPattern(const Pattern &pattern);
    [[nodiscard]] const Pattern &pattern() const { return m_pattern; }
    // An empty pattern lets nothing through.
    [[nodiscard]] bool isActive() const { return m_active; }

    [[nodiscard]] qint64 count() const { return qint64(m_rows.size()) + (m_open >= 0 ? 1 : 0); }
    // Rows of lines that have ended; a row past them is the line still being written.
    [[nodiscard]] qint64 completeCount() const { return qint64(m_rows.size()); }
    [[nodiscard]] qint64 row(qint64 i) const
    {
        return i < qint64(m_rows.size()) ? m_rows[size_t(i)] : m_open;
    }

    // Reads on through the text, about budget characters; true while more is left to read.
    bool scan(const TextStore &text, qint64 budget);
    // The text's range [pos, pos + removed) became `inserted` characters.
    Change replaced(const TextStore &text, qint64 pos, qint64 removed, qint64 inserted);
    // Everything is to be scanned again.
    void reset();

    [[nodiscard]] bool matches(QStringView line) const;

    // The first line break at or after from, or the text's end.
    [[nodiscard]] static qint64 breakFrom(const TextStore &text, qint64 from);
    // Where the line that holds pos begins.
    [[nodiscard]] static qint64 lineStartOf(const TextStore &text, qint64 pos);

private:
    // Where the line after the one that ends at the break at `end` begins.
    [[nodiscard]] static qint64 nextLine(const TextStore &text, qint64 end);

    Pattern m_pattern;
    QRegularExpression m_regex;
    bool m_active = false;
    std::vector<qint64> m_rows;
    // Lines that begin before it have been matched, those after not yet.
    qint64 m_done = 0;
    // No line break lies in [m_done, m_noBreakUntil).
    qint64 m_noBreakUntil = 0;
    // Where the line still being written begins, when it matches; else -1.
    qint64 m_open = -1;
};
