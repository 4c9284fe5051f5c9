#pragma once

#include <QHash>
#include <QString>

#include <deque>
#include <vector>

// What a terminal shows, without a widget or an emulator: a grid of cells, the lines that
// scrolled off its top (bounded), the cursor, and which rows changed since they were last drawn.
namespace term {

// A colour as 0xRRGGBB.
using Rgb = quint32;

struct Cell
{
    enum Flag : quint8 {
        Bold = 0x01,
        Underline = 0x02,
        Italic = 0x04,
        Reverse = 0x08,
        Strike = 0x10,
        DefaultFg = 0x20, // fg is only a hint: the view draws its own text colour
        DefaultBg = 0x40, // likewise for the background
        Protected = 0x80, // DECSCA: a selective erase leaves it
    };
    // The right half of a wide character: drawn by the cell before it.
    static constexpr char32_t Continuation = 0xFFFFFFFF;

    char32_t ch = U' ';
    Rgb fg = 0;
    Rgb bg = 0;
    quint8 width = 1;
    quint8 flags = DefaultFg | DefaultBg;

    [[nodiscard]] bool isBlank() const
    {
        return ch == U' ' && (flags & (DefaultBg | Reverse | Underline | Strike)) == DefaultBg;
    }
    friend bool operator==(const Cell &a, const Cell &b)
    {
        return a.ch == b.ch && a.fg == b.fg && a.bg == b.bg && a.width == b.width &&
               a.flags == b.flags;
    }
};

// One row of cells. A line kept in the scrollback loses its trailing blank cells; it reads as
// blank past its end. Combining marks after a cell's character are kept beside the cells.
struct Line
{
    std::vector<Cell> cells;
    QHash<int, QString> marks; // column -> combining characters drawn with that cell
    // On the screen, every cell from here on is blank: a line leaving for the scrollback is
    // trimmed from here, not from its last cell.
    int written = 0;

    [[nodiscard]] Cell at(int column) const
    {
        return column < int(cells.size()) ? cells[size_t(column)] : Cell{};
    }
    // The characters of [from, to), a wide character once, combining marks included; trailing
    // blanks are dropped.
    [[nodiscard]] QString text(int from = 0, int to = -1) const;
};

struct CursorState
{
    int row = 0;
    int column = 0;
    bool visible = true;
    enum Shape { Block, Underline, Bar } shape = Block;
};

// Rows [top, bottom) changed; whole when lines scrolled or the size changed.
struct Damage
{
    int top = 0;
    int bottom = 0;
    [[nodiscard]] bool isEmpty() const { return top >= bottom; }
};

// Rows [top, bottom) by columns [left, right).
struct Rect
{
    int top = 0;
    int bottom = 0;
    int left = 0;
    int right = 0;
};

class ScreenModel
{
public:
    static constexpr int DefaultLineLimit = 10000;

    // lineLimit bounds the screen's rows plus the scrollback.
    ScreenModel(int rows, int columns, int lineLimit = DefaultLineLimit);

    [[nodiscard]] int rows() const { return m_rows; }
    [[nodiscard]] int columns() const { return m_columns; }
    [[nodiscard]] const Line &row(int r) const { return m_screen[size_t(r)]; }

    // What a terminal does to its screen. Whatever lies outside the screen is left alone.
    // Where cells are blanked they become blank, the pen's colours and attributes with a space.
    //
    // A character at (r, column), with the combining marks drawn over it; cell.width 2 takes the
    // next cell too.
    void put(int r, int column, const Cell &cell, QStringView marks);
    // With selective, cells marked Protected stay.
    void erase(const Rect &rect, const Cell &blank, bool selective = false);
    // The cells of rect move up by down rows (down by -down) and left by right columns; those
    // left behind become blank, and a move by the whole rect blanks it. Rows that leave the top
    // of the main screen across its full width go to the scrollback.
    void scroll(const Rect &rect, int down, int right, const Cell &blank);
    // New cells become blank. On the main screen, a shrink first pushes the rows above the
    // cursor into the scrollback as far as the text below the cursor needs, and growth takes
    // lines back from it; returns how many rows the cursor's line moved down (negative: up).
    int resize(int rows, int columns, const Cell &blank, int cursorRow);

    [[nodiscard]] int lineLimit() const { return m_limit; }
    void setLineLimit(int lines);
    [[nodiscard]] qsizetype scrollbackCount() const { return qsizetype(m_scrollback.size()); }
    [[nodiscard]] const Line &scrollbackLine(qsizetype i) const { return m_scrollback[size_t(i)]; }
    // Lines that went off the top of the scrollback since the start: with scrollbackCount(),
    // this numbers every line ever kept, so that a selection stays on its text while lines
    // scroll.
    [[nodiscard]] qint64 droppedLines() const { return m_dropped; }
    void clearScrollback();

    // Scrollback lines then screen rows, 0 the oldest kept.
    [[nodiscard]] qsizetype lineCount() const { return scrollbackCount() + m_rows; }
    [[nodiscard]] const Line &line(qsizetype i) const
    {
        return i < scrollbackCount() ? scrollbackLine(i) : row(int(i - scrollbackCount()));
    }

    [[nodiscard]] const CursorState &cursor() const { return m_cursor; }
    void setCursor(const CursorState &cursor);
    // DECSCNM: the whole screen drawn in reverse video.
    [[nodiscard]] bool reverseScreen() const { return m_reverse; }
    void setReverseScreen(bool on);
    // A full-screen program's screen, beside the main one: the main screen comes back as it was
    // when the program leaves, and nothing on the alternate screen goes to the scrollback.
    [[nodiscard]] bool altScreen() const { return m_altScreen; }
    void setAltScreen(bool on);

    void markDirty(int top, int bottom);
    // What changed since the last call, and forgets it.
    [[nodiscard]] Damage takeDamage();

    // The screen's rows as text, one line each, trailing blanks dropped: what a screen reader
    // and the tests read.
    [[nodiscard]] QStringList screenText() const;

private:
    [[nodiscard]] int scrollbackCapacity() const;
    void boundScrollback();
    // Screen row r, trailing blanks dropped, onto the scrollback; the oldest line's storage is
    // reused when it is full, so that a long stream does not allocate a line for each line.
    void pushRow(int r);
    bool popScrollback(Line &line);
    void moveCells(int toRow, int toColumn, int fromRow, int fromColumn, int count);
    // A character's width follows from the cell after it: 2 where that is the right half of a
    // wide character. Recomputed for the cells whose right neighbour may have changed.
    void fixWidths(int r, int from, int to);
    void resizeRows(std::vector<Line> &screen, const Cell &blank) const;
    [[nodiscard]] bool isBlankRow(int r) const;
    [[nodiscard]] Rect clipped(const Rect &rect) const;

    int m_rows;
    int m_columns;
    int m_limit;
    std::vector<Line> m_screen;
    std::vector<Line> m_other; // the main screen while the alternate is shown, or the alternate
    std::deque<Line> m_scrollback;
    qint64 m_dropped = 0;
    CursorState m_cursor;
    bool m_reverse = false;
    bool m_altScreen = false;
    Damage m_damage;
};

} // namespace term
