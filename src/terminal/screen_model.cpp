#include "terminal/screen_model.h"

#include <QStringList>

#include <algorithm>
#include <cstdlib>

namespace term {

QString Line::text(int from, int to) const
{
    const int end = to < 0 ? int(cells.size()) : std::min(to, int(cells.size()));
    QString out;
    out.reserve(qMax(0, end - from));
    for (int c = qMax(0, from); c < end; ++c) {
        const Cell &cell = cells[size_t(c)];
        if (cell.ch == Cell::Continuation)
            continue;
        out += QString::fromUcs4(&cell.ch, 1);
        if (const auto mark = marks.constFind(c); mark != marks.cend())
            out += *mark;
    }
    qsizetype kept = out.size();
    while (kept > 0 && out.at(kept - 1) == QLatin1Char(' '))
        --kept;
    out.truncate(kept);
    return out;
}

ScreenModel::ScreenModel(int rows, int columns, int lineLimit)
    : m_rows(qMax(1, rows)), m_columns(qMax(1, columns)), m_limit(qMax(0, lineLimit))
{
    resizeRows(m_screen, Cell{});
    resizeRows(m_other, Cell{});
    markDirty(0, m_rows);
}

void ScreenModel::setLineLimit(int lines)
{
    m_limit = qMax(0, lines);
    boundScrollback();
}

int ScreenModel::scrollbackCapacity() const
{
    return qMax(0, m_limit - m_rows);
}

void ScreenModel::boundScrollback()
{
    const auto capacity = size_t(scrollbackCapacity());
    while (m_scrollback.size() > capacity) {
        m_scrollback.pop_front();
        ++m_dropped;
    }
}

void ScreenModel::pushRow(int r)
{
    if (scrollbackCapacity() == 0) {
        ++m_dropped;
        return;
    }
    const Line &row = m_screen[size_t(r)];
    size_t used = std::min(row.cells.size(), size_t(qMax(0, row.written)));
    while (used > 0 && row.cells[used - 1].isBlank() &&
           (row.marks.isEmpty() || !row.marks.contains(int(used - 1))))
        --used;
    Line line;
    if (m_scrollback.size() >= size_t(scrollbackCapacity())) {
        line = std::move(m_scrollback.front());
        m_scrollback.pop_front();
        ++m_dropped;
    }
    line.cells.assign(row.cells.begin(), row.cells.begin() + qsizetype(used));
    line.marks = row.marks;
    line.written = int(used);
    m_scrollback.push_back(std::move(line));
}

bool ScreenModel::popScrollback(Line &line)
{
    if (m_scrollback.empty())
        return false;
    line = std::move(m_scrollback.back());
    m_scrollback.pop_back();
    return true;
}

void ScreenModel::clearScrollback()
{
    m_dropped += qint64(m_scrollback.size());
    m_scrollback.clear();
}

void ScreenModel::setAltScreen(bool on)
{
    if (on == m_altScreen)
        return;
    m_altScreen = on;
    std::swap(m_screen, m_other);
    markDirty(0, m_rows);
}

Rect ScreenModel::clipped(const Rect &rect) const
{
    Rect out;
    out.top = std::clamp(rect.top, 0, m_rows);
    out.bottom = std::clamp(rect.bottom, out.top, m_rows);
    out.left = std::clamp(rect.left, 0, m_columns);
    out.right = std::clamp(rect.right, out.left, m_columns);
    return out;
}

void ScreenModel::fixWidths(int r, int from, int to)
{
    std::vector<Cell> &cells = m_screen[size_t(r)].cells;
    const int end = std::min(to, m_columns);
    for (int c = std::max(0, from - 1); c < end; ++c) {
        Cell &cell = cells[size_t(c)];
        if (cell.ch == Cell::Continuation)
            cell.width = 0;
        else
            cell.width = c + 1 < m_columns && cells[size_t(c + 1)].ch == Cell::Continuation ? 2 : 1;
    }
}

void ScreenModel::put(int r, int column, const Cell &cell, QStringView marks)
{
    if (r < 0 || r >= m_rows || column < 0 || column >= m_columns)
        return;
    Line &line = m_screen[size_t(r)];
    const int width = cell.width == 2 && column + 1 < m_columns ? 2 : 1;
    line.cells[size_t(column)] = cell;
    if (width == 2) {
        Cell right = cell;
        right.ch = Cell::Continuation;
        line.cells[size_t(column + 1)] = right;
    }
    if (!line.marks.isEmpty()) {
        line.marks.remove(column);
        if (width == 2)
            line.marks.remove(column + 1);
    }
    if (!marks.isEmpty())
        line.marks.insert(column, marks.toString());
    line.written = std::max(line.written, column + width);
    fixWidths(r, column, column + width);
    markDirty(r, r + 1);
}

void ScreenModel::erase(const Rect &rect, const Cell &blank, bool selective)
{
    const Rect area = clipped(rect);
    if (area.left >= area.right)
        return;
    const bool blanked = !selective && blank.isBlank();
    for (int r = area.top; r < area.bottom; ++r) {
        Line &line = m_screen[size_t(r)];
        for (int c = area.left; c < area.right; ++c) {
            Cell &cell = line.cells[size_t(c)];
            if (selective && (cell.flags & Cell::Protected))
                continue;
            cell = blank;
            if (!line.marks.isEmpty())
                line.marks.remove(c);
        }
        if (!blank.isBlank())
            line.written = std::max(line.written, area.right);
        else if (blanked && area.right >= line.written)
            line.written = std::min(line.written, area.left);
        if (selective) {
            fixWidths(r, area.left, area.right);
        } else {
            // Blanks are one wide: only the cell before them and the last of them (before the
            // right half of a wide character) may be otherwise.
            fixWidths(r, area.left, area.left);
            fixWidths(r, area.right, area.right);
        }
    }
    markDirty(area.top, area.bottom);
}

void ScreenModel::scroll(const Rect &rect, int down, int right, const Cell &blank)
{
    const Rect area = clipped(rect);
    const int height = area.bottom - area.top;
    const int width = area.right - area.left;
    if (height <= 0 || width <= 0 || (down == 0 && right == 0))
        return;
    if (std::abs(down) >= height || std::abs(right) >= width) {
        erase(area, blank);
        return;
    }
    if (right == 0 && area.left == 0 && area.right == m_columns) {
        // Whole rows: a line feed at the bottom moves a few row handles, not the screen's cells.
        const auto first = m_screen.begin() + area.top;
        const auto last = m_screen.begin() + area.bottom;
        if (down > 0) {
            if (area.top == 0 && !m_altScreen) {
                for (int r = 0; r < down; ++r)
                    pushRow(r);
            }
            std::rotate(first, first + down, last);
            erase({area.bottom - down, area.bottom, 0, m_columns}, blank);
        } else {
            std::rotate(first, last + down, last);
            erase({area.top, area.top - down, 0, m_columns}, blank);
        }
        markDirty(area.top, area.bottom);
        return;
    }
    // Part of each row (inserted or deleted characters, margins): rows are taken in the order
    // that reads each before it is overwritten.
    const int count = width - std::abs(right);
    const int fromColumn = area.left + std::max(0, right);
    const int toColumn = area.left + std::max(0, -right);
    if (down >= 0) {
        for (int r = area.top; r < area.bottom - down; ++r)
            moveCells(r, toColumn, r + down, fromColumn, count);
    } else {
        for (int r = area.bottom - 1; r >= area.top - down; --r)
            moveCells(r, toColumn, r + down, fromColumn, count);
    }
    if (down > 0)
        erase({area.bottom - down, area.bottom, area.left, area.right}, blank);
    else if (down < 0)
        erase({area.top, area.top - down, area.left, area.right}, blank);
    if (right > 0)
        erase({area.top, area.bottom, area.right - right, area.right}, blank);
    else if (right < 0)
        erase({area.top, area.bottom, area.left, area.left - right}, blank);
    markDirty(area.top, area.bottom);
}

void ScreenModel::moveCells(int toRow, int toColumn, int fromRow, int fromColumn, int count)
{
    Line &to = m_screen[size_t(toRow)];
    const Line &from = m_screen[size_t(fromRow)];
    const auto source = from.cells.begin() + fromColumn;
    const auto target = to.cells.begin() + toColumn;
    if (toRow == fromRow && toColumn > fromColumn)
        std::copy_backward(source, source + count, target + count);
    else
        std::copy(source, source + count, target);
    if (!from.marks.isEmpty() || !to.marks.isEmpty()) {
        QHash<int, QString> moved;
        for (auto it = from.marks.cbegin(); it != from.marks.cend(); ++it) {
            if (it.key() >= fromColumn && it.key() < fromColumn + count)
                moved.insert(it.key() - fromColumn + toColumn, it.value());
        }
        to.marks.removeIf([&](const auto &mark) {
            return mark.key() >= toColumn && mark.key() < toColumn + count;
        });
        to.marks.insert(moved);
    }
    to.written = std::max(to.written, toColumn + count);
    fixWidths(toRow, toColumn, toColumn + count);
}

bool ScreenModel::isBlankRow(int r) const
{
    const Line &line = m_screen[size_t(r)];
    return line.marks.isEmpty() && std::all_of(line.cells.begin(), line.cells.end(),
                                               [](const Cell &cell) { return cell.ch == U' '; });
}

void ScreenModel::resizeRows(std::vector<Line> &screen, const Cell &blank) const
{
    screen.resize(size_t(m_rows));
    for (Line &line : screen) {
        const bool grown = int(line.cells.size()) < m_columns;
        line.cells.resize(size_t(m_columns), blank);
        line.written = grown && !blank.isBlank() ? m_columns : std::min(line.written, m_columns);
        if (line.cells.back().ch != Cell::Continuation)
            line.cells.back().width = 1;
        if (!line.marks.isEmpty())
            line.marks.removeIf([this](const auto &mark) { return mark.key() >= m_columns; });
    }
}

int ScreenModel::resize(int rows, int columns, const Cell &blank, int cursorRow)
{
    rows = qMax(1, rows);
    columns = qMax(1, columns);
    // Text below the cursor stays on the screen; the rows it pushes off the top are kept.
    int excess = 0;
    if (!m_altScreen && rows < m_rows) {
        int last = m_rows - 1;
        while (last >= rows && last != cursorRow && isBlankRow(last))
            --last;
        excess = qMax(0, last + 1 - rows);
    }
    const int oldRows = m_rows;
    m_rows = rows;
    m_columns = columns;
    // Bounded for the new size before lines come and go.
    boundScrollback();
    for (int r = 0; r < excess; ++r)
        pushRow(r);
    m_screen.erase(m_screen.begin(), m_screen.begin() + excess);
    int moved = -excess;
    resizeRows(m_screen, blank);
    resizeRows(m_other, blank);
    if (!m_altScreen) {
        Line line;
        for (int added = oldRows; added < m_rows && popScrollback(line); ++added) {
            std::rotate(m_screen.begin(), m_screen.end() - 1, m_screen.end());
            line.written = std::min(int(line.cells.size()), m_columns);
            line.cells.resize(size_t(m_columns));
            if (!line.marks.isEmpty())
                line.marks.removeIf([this](const auto &mark) { return mark.key() >= m_columns; });
            m_screen.front() = std::move(line);
            fixWidths(0, 0, m_columns);
            ++moved;
        }
    }
    m_cursor.row = qBound(0, m_cursor.row, m_rows - 1);
    m_cursor.column = qBound(0, m_cursor.column, m_columns - 1);
    boundScrollback();
    markDirty(0, m_rows);
    return moved;
}

void ScreenModel::setCursor(const CursorState &cursor)
{
    markDirty(m_cursor.row, m_cursor.row + 1);
    m_cursor = cursor;
    m_cursor.row = qBound(0, m_cursor.row, m_rows - 1);
    m_cursor.column = qBound(0, m_cursor.column, m_columns - 1);
    markDirty(m_cursor.row, m_cursor.row + 1);
}

void ScreenModel::setReverseScreen(bool on)
{
    if (m_reverse == on)
        return;
    m_reverse = on;
    markDirty(0, m_rows);
}

void ScreenModel::markDirty(int top, int bottom)
{
    top = qMax(0, top);
    bottom = qMin(m_rows, bottom);
    if (top >= bottom)
        return;
    if (m_damage.isEmpty()) {
        m_damage = {top, bottom};
    } else {
        m_damage.top = qMin(m_damage.top, top);
        m_damage.bottom = qMax(m_damage.bottom, bottom);
    }
}

Damage ScreenModel::takeDamage()
{
    const Damage damage = m_damage;
    m_damage = {};
    return damage;
}

QStringList ScreenModel::screenText() const
{
    QStringList lines;
    lines.reserve(m_rows);
    for (const Line &line : m_screen)
        lines.append(line.text());
    return lines;
}

} // namespace term
