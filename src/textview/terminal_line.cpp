#include "textview/terminal_line.h"

#include <QChar>

#include <algorithm>
#include <iterator>

namespace {

// East Asian wide and fullwidth characters, and the emoji terminals draw two columns wide.
struct Range
{
    char32_t first;
    char32_t last;
};
constexpr Range wideRanges[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F320},
    {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E},
    {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E},
    {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4},
    {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2},
    {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F93A},
    {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

bool isWide(char32_t c)
{
    const auto it = std::upper_bound(std::begin(wideRanges), std::end(wideRanges), c,
                                     [](char32_t v, const Range &r) { return v < r.first; });
    return it != std::begin(wideRanges) && c <= std::prev(it)->last;
}

// The code point at index and how many units it takes.
char32_t codePointAt(const QString &text, int index, int *units)
{
    const char16_t c = text.at(index).unicode();
    if (QChar::isHighSurrogate(c) && index + 1 < text.size() &&
        QChar::isLowSurrogate(text.at(index + 1).unicode())) {
        *units = 2;
        return QChar::surrogateToUcs4(c, text.at(index + 1).unicode());
    }
    *units = 1;
    return c;
}

bool isAsciiPrintable(char16_t c)
{
    return c >= 0x20 && c < 0x7F;
}

} // namespace

int TerminalLine::widthOf(char32_t c, int column)
{
    if (c == u'\t')
        return TabWidth - column % TabWidth;
    if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        return 0;
    if (c < 0x300)
        return 1;
    if ((c >= 0x1160 && c <= 0x11FF) || c == 0x200B)
        return 0;
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing ||
        category == QChar::Other_Format)
        return 0;
    return isWide(c) ? 2 : 1;
}

void TerminalLine::setKeepsPens(bool keep)
{
    m_keepPens = keep;
    if (!keep)
        m_runs.clear();
}

void TerminalLine::write(QStringView chars, const Pen &pen)
{
    const qsizetype n = chars.size();
    qsizetype i = 0;
    while (i < n) {
        // The common case: plain ASCII at the end of the line.
        if (m_column == m_columns && isAsciiPrintable(chars[i].unicode())) {
            qsizetype j = i + 1;
            while (j < n && isAsciiPrintable(chars[j].unicode()))
                ++j;
            append(chars.sliced(i, j - i), int(j - i), pen);
            i = j;
            continue;
        }
        qsizetype units = 1;
        char32_t c = chars[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && chars[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(chars[i].unicode(), chars[i + 1].unicode());
            units = 2;
        }
        writeOne(chars.sliced(i, units), widthOf(c, m_column), pen);
        i += units;
    }
}

void TerminalLine::tab(const Pen &pen)
{
    if (m_column < m_columns) {
        moveTo((m_column / TabWidth + 1) * TabWidth);
        return;
    }
    if (m_column > m_columns)
        append(QString(m_column - m_columns, u' '), m_column - m_columns, Pen());
    append(u"\t", widthOf(u'\t', m_column), pen);
}

void TerminalLine::moveTo(int column)
{
    m_column = std::clamp(column, 0, MaxColumn);
}

void TerminalLine::erase(int mode)
{
    const auto eraseAll = [this] {
        if (!m_text.isEmpty())
            replace(0, int(m_text.size()), QString(), {});
        m_columns = 0;
    };
    if (mode == 2 || (mode == 1 && m_column >= m_columns)) {
        eraseAll();
        return;
    }
    if (m_column >= m_columns)
        return;
    const Cell cell = cellAt(m_column);
    if (mode == 0) {
        // The cursor on a wide character's right half blanks its left half.
        const int left = m_column - cell.column;
        replace(cell.index, int(m_text.size()), QString(left, u' '), {{0, Pen()}});
        m_columns = m_column;
        return;
    }
    const int through = cell.column + cell.width;
    if (through >= m_columns)
        eraseAll();
    else
        replace(0, cell.end, QString(through, u' '), {{0, Pen()}});
}

void TerminalLine::clear()
{
    m_text.truncate(0);
    m_runs.clear();
    m_columns = m_column = 0;
    m_hintIndex = m_hintColumn = 0;
    m_changed = 0;
}

TerminalLine::Cell TerminalLine::cellAt(int column) const
{
    int index = 0;
    int at = 0;
    if (m_hintColumn <= column) {
        index = m_hintIndex;
        at = m_hintColumn;
    }
    const int size = int(m_text.size());
    while (index < size) {
        int end = index;
        int width = 0;
        // Zero-width units before the first character go with it.
        while (end < size && width == 0) {
            int units = 1;
            width = widthOf(codePointAt(m_text, end, &units), at);
            end += units;
        }
        if (width == 0)
            break;
        while (end < size) {
            int units = 1;
            if (widthOf(codePointAt(m_text, end, &units), at + width) != 0)
                break;
            end += units;
        }
        if (column < at + width) {
            m_hintIndex = index;
            m_hintColumn = at;
            return {index, end, at, width};
        }
        index = end;
        at += width;
    }
    return {size, size, m_columns, 0};
}

void TerminalLine::writeOne(QStringView units, int width, const Pen &pen)
{
    if (m_column > m_columns)
        append(QString(m_column - m_columns, u' '), m_column - m_columns, Pen());
    if (width == 0 && m_column == m_columns) {
        append(units, 0, pen);
        return;
    }
    if (width == 0) {
        // A combining mark or control joins the character before the cursor.
        const Cell cell = cellAt(m_column);
        const int at = cell.column < m_column ? cell.end : cell.index;
        replace(at, at, units.toString(), {{0, pen}});
        return;
    }
    if (m_column == m_columns) {
        append(units, width, pen);
        return;
    }
    const Cell first = cellAt(m_column);
    // A progress bar writes most of its line again as it was: that changes nothing.
    if (first.column == m_column && first.width == width &&
        QStringView(m_text).sliced(first.index, first.end - first.index) == units &&
        (!m_keepPens || penAt(first.index) == pen)) {
        m_column += width;
        m_hintIndex = first.end;
        m_hintColumn = m_column;
        return;
    }
    const Cell last = width > 1 ? cellAt(m_column + width - 1) : first;
    const int to = last.width == 0 ? int(m_text.size()) : last.end;
    const int columnsEnd = last.width == 0 ? m_columns : last.column + last.width;
    // What is left of a wide character written over in part becomes blank.
    const int left = m_column - first.column;
    const int right = qMax(0, columnsEnd - (m_column + width));
    QString with(left, u' ');
    with += units;
    with += QString(right, u' ');
    std::vector<Run> runs;
    if (left > 0)
        runs.push_back({0, Pen()});
    runs.push_back({left, pen});
    if (right > 0)
        runs.push_back({left + int(units.size()), Pen()});
    replace(first.index, to, with, runs);
    m_columns = qMax(m_columns, m_column + width);
    m_column += width;
    m_hintIndex = first.index + left + int(units.size());
    m_hintColumn = m_column;
}

void TerminalLine::append(QStringView units, int width, const Pen &pen)
{
    const int at = int(m_text.size());
    if (m_keepPens && (m_runs.empty() || m_runs.back().pen != pen))
        m_runs.push_back({at, pen});
    m_text += units;
    m_columns += width;
    m_column = m_columns;
    m_hintIndex = int(m_text.size());
    m_hintColumn = m_columns;
}

void TerminalLine::replace(int from, int to, const QString &with, const std::vector<Run> &withRuns)
{
    const int oldSize = int(m_text.size());
    const int newSize = oldSize - (to - from) + int(with.size());
    if (m_keepPens) {
        const Pen after = to < oldSize ? penAt(to) : Pen();
        const int delta = newSize - oldSize;
        std::vector<Run> runs;
        const auto add = [&runs, newSize](int at, const Pen &pen) {
            if (at >= newSize)
                return;
            if (!runs.empty() && runs.back().at == at)
                runs.pop_back();
            if (runs.empty() || runs.back().pen != pen)
                runs.push_back({at, pen});
        };
        for (const Run &run : m_runs) {
            if (run.at < from)
                add(run.at, run.pen);
        }
        if (!with.isEmpty()) {
            for (const Run &run : withRuns)
                add(from + run.at, run.pen);
        }
        if (to < oldSize) {
            add(from + int(with.size()), after);
            for (const Run &run : m_runs) {
                if (run.at > to)
                    add(run.at + delta, run.pen);
            }
        }
        m_runs = std::move(runs);
    }
    m_text.replace(from, to - from, with);
    m_changed = qMin(m_changed, from);
    m_hintIndex = m_hintColumn = 0;
}

Pen TerminalLine::penAt(int index) const
{
    const auto it = std::upper_bound(m_runs.begin(), m_runs.end(), index,
                                     [](int i, const Run &run) { return i < run.at; });
    return it == m_runs.begin() ? Pen() : std::prev(it)->pen;
}
