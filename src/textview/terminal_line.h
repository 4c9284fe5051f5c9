#pragma once

#include "textview/pen.h"

#include <QString>
#include <QStringView>

#include <vector>

// The line a board is writing, as a terminal holds it: cells one column wide, or two for
// Chinese, Japanese and Korean characters, with a cursor that CR, BS and the cursor sequences
// move along it, and erasing. Its text is what the receive box shows for that line: written
// spaces stay, erased cells at the end go, and a cursor moved past the end pads with spaces once
// something is written there. Each character's pen is kept as runs, when asked for.
class TerminalLine
{
public:
    static constexpr int TabWidth = 8;
    // The cursor goes no further right.
    static constexpr int MaxColumn = 16384;

    struct Run
    {
        int at;
        Pen pen;
    };

    explicit TerminalLine(bool keepPens = true) : m_keepPens(keepPens) {}
    void setKeepsPens(bool keep);

    [[nodiscard]] const QString &text() const { return m_text; }
    [[nodiscard]] int column() const { return m_column; }
    // The pens from each run's unit on, the first at 0; empty while pens are not kept.
    [[nodiscard]] const std::vector<Run> &runs() const { return m_runs; }
    // The first unit of the text changed since markSeen(), or the text's size when none was.
    [[nodiscard]] int changedFrom() const { return m_changed; }
    void markSeen() { m_changed = int(m_text.size()); }

    // Writes characters at the cursor, overwriting, and moves it past them. Control characters
    // take no column.
    void write(QStringView chars, const Pen &pen);
    // To the next tab stop; at the end of the text the tab itself is kept, so a copied line
    // keeps its tabs.
    void tab(const Pen &pen);
    void moveTo(int column);
    void moveBy(int columns) { moveTo(m_column + columns); }
    // Erase in line: 0 from the cursor to the end, 1 from the start through the cursor, 2 all.
    // The cursor stays.
    void erase(int mode);
    // Empty, the cursor at the start.
    void clear();

    // Columns a character takes: 0 for controls and combining marks, 2 for wide ones; a tab
    // reaches the next stop after column.
    [[nodiscard]] static int widthOf(char32_t c, int column);

private:
    struct Cell
    {
        int index;  // first unit
        int end;    // past its last unit, combining marks included
        int column; // first column
        int width;
    };
    // The cell covering column; past the end, an empty cell at the text's end.
    [[nodiscard]] Cell cellAt(int column) const;
    void writeOne(QStringView units, int width, const Pen &pen);
    void append(QStringView units, int width, const Pen &pen);
    // Replaces units [from, to) with `with`, each of its parts in its pen.
    void replace(int from, int to, const QString &with, const std::vector<Run> &withRuns);
    [[nodiscard]] Pen penAt(int index) const;

    QString m_text;
    std::vector<Run> m_runs;
    bool m_keepPens;
    // Columns the text fills, and the cursor's.
    int m_columns = 0;
    int m_column = 0;
    // A known cell boundary at or before the cursor, where a search starts.
    mutable int m_hintIndex = 0;
    mutable int m_hintColumn = 0;
    int m_changed = 0;
};
