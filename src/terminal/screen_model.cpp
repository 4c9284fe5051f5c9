#include "terminal/screen_model.h"

#include <QStringList>

#include <algorithm>

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

void Line::trimTrailingBlanks()
{
    size_t kept = cells.size();
    while (kept > 0 && cells[kept - 1].isBlank() && !marks.contains(int(kept - 1)))
        --kept;
    cells.resize(kept);
}

ScreenModel::ScreenModel(int rows, int columns, int lineLimit)
    : m_rows(qMax(1, rows)), m_columns(qMax(1, columns)), m_limit(qMax(0, lineLimit))
{
    m_screen.resize(size_t(m_rows));
    for (Line &line : m_screen)
        line.cells.resize(size_t(m_columns));
    markDirty(0, m_rows);
}

void ScreenModel::resize(int rows, int columns)
{
    m_rows = qMax(1, rows);
    m_columns = qMax(1, columns);
    m_screen.resize(size_t(m_rows));
    for (Line &line : m_screen) {
        line.cells.resize(size_t(m_columns));
        line.marks.removeIf([this](const auto &mark) { return mark.key() >= m_columns; });
    }
    m_cursor.row = qBound(0, m_cursor.row, m_rows - 1);
    m_cursor.column = qBound(0, m_cursor.column, m_columns - 1);
    boundScrollback();
    markDirty(0, m_rows);
}

void ScreenModel::setCell(int r, int column, const Cell &cell, const QString &marks)
{
    if (r < 0 || r >= m_rows || column < 0 || column >= m_columns)
        return;
    Line &line = m_screen[size_t(r)];
    line.cells[size_t(column)] = cell;
    if (!marks.isEmpty())
        line.marks.insert(column, marks);
    else if (!line.marks.isEmpty())
        line.marks.remove(column);
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

void ScreenModel::pushScrollback(Line line)
{
    if (scrollbackCapacity() == 0) {
        ++m_dropped;
        return;
    }
    line.trimTrailingBlanks();
    m_scrollback.push_back(std::move(line));
    boundScrollback();
}

Line ScreenModel::recycledLine()
{
    Line line;
    if (!m_scrollback.empty() && m_scrollback.size() >= size_t(scrollbackCapacity())) {
        line = std::move(m_scrollback.front());
        m_scrollback.pop_front();
        ++m_dropped;
        line.cells.clear();
        line.marks.clear();
    }
    return line;
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
