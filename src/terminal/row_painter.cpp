#include "terminal/row_painter.h"

#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace term {

namespace {

QColor color(Rgb rgb)
{
    return QColor::fromRgb(QRgb(0xff000000u | rgb));
}

struct Colors
{
    QColor fg;
    QColor bg;
};

Colors cellColors(const Cell &cell, const RowLook &look, bool selected, bool reverseScreen)
{
    if (selected)
        return {look.selectionForeground, look.selectionBackground};
    Colors c{cell.flags & Cell::DefaultFg ? look.foreground : color(cell.fg),
             cell.flags & Cell::DefaultBg ? look.background : color(cell.bg)};
    if (bool(cell.flags & Cell::Reverse) != reverseScreen)
        std::swap(c.fg, c.bg);
    return c;
}

bool isAsciiGraphic(char32_t c)
{
    return c >= 0x20 && c < 0x7f;
}

// Cells drawn by the same call share colours and attributes.
bool sameStyle(const Cell &a, const Cell &b)
{
    constexpr quint8 styled = Cell::Bold | Cell::Italic | Cell::Underline | Cell::Strike;
    return (a.flags & styled) == (b.flags & styled);
}

} // namespace

RowLook RowLook::forFont(const QFont &font)
{
    RowLook look;
    look.font = font;
    look.bold = font;
    look.bold.setBold(true);
    const QFontMetricsF metrics(font);
    const qreal advance = metrics.horizontalAdvance(QLatin1Char('M'));
    look.cellWidth = qMax(1, int(std::ceil(advance)));
    look.cellHeight = qMax(1, int(std::ceil(metrics.height())));
    look.ascent = int(std::ceil(metrics.ascent()));
    look.runsFit = advance == look.cellWidth;
    look.boldRunsFit = QFontMetricsF(look.bold).horizontalAdvance(QLatin1Char('M')) == advance;
    return look;
}

void paintRow(QPainter &painter, int y, const Line &line, int columns, const RowLook &look,
              const RowMarks &marks)
{
    const int w = look.cellWidth;
    const int h = look.cellHeight;
    auto selected = [&](int c) { return c >= marks.selectionFrom && c < marks.selectionTo; };

    // Backgrounds, a run of equal colour at a time.
    for (int c = 0; c < columns;) {
        const QColor bg = cellColors(line.at(c), look, selected(c), marks.reverseScreen).bg;
        int end = c + 1;
        while (end < columns &&
               cellColors(line.at(end), look, selected(end), marks.reverseScreen).bg == bg)
            ++end;
        painter.fillRect(c * w, y, (end - c) * w, h, bg);
        c = end;
    }

    const int lastCell = qMin(columns, int(line.cells.size()));
    for (int c = 0; c < lastCell;) {
        const Cell &cell = line.cells[size_t(c)];
        if (cell.ch == Cell::Continuation ||
            (cell.ch == U' ' && !(cell.flags & (Cell::Underline | Cell::Strike)))) {
            ++c;
            continue;
        }
        const Colors colors = cellColors(cell, look, selected(c), marks.reverseScreen);
        const bool bold = cell.flags & Cell::Bold;
        QFont font = bold ? look.bold : look.font;
        font.setItalic(cell.flags & Cell::Italic);
        int end = c + 1;
        QString text;
        const bool fits = bold ? look.boldRunsFit : look.runsFit;
        if (fits && isAsciiGraphic(cell.ch) && !line.marks.contains(c)) {
            text += QChar(char16_t(cell.ch));
            while (end < lastCell) {
                const Cell &next = line.cells[size_t(end)];
                if (!isAsciiGraphic(next.ch) || !sameStyle(cell, next) ||
                    line.marks.contains(end) ||
                    cellColors(next, look, selected(end), marks.reverseScreen).fg != colors.fg)
                    break;
                text += QChar(char16_t(next.ch));
                ++end;
            }
        } else {
            text = line.text(c, c + 1);
            end = c + qMax(1, int(cell.width));
        }
        painter.setFont(font);
        painter.setPen(colors.fg);
        if (cell.width == 2) {
            // A wide character, centred on its two cells whatever its font's advance.
            painter.drawText(QRect(c * w, y, 2 * w, h), Qt::AlignCenter, text);
        } else {
            painter.drawText(c * w, y + look.ascent, text);
        }
        const int x0 = c * w;
        const int x1 = qMin(end, columns) * w;
        if (cell.flags & Cell::Underline)
            painter.drawLine(x0, y + h - 1, x1 - 1, y + h - 1);
        if (cell.flags & Cell::Strike)
            painter.drawLine(x0, y + h / 2, x1 - 1, y + h / 2);
        c = end;
    }

    if (marks.cursorColumn < 0 || marks.cursorColumn >= columns)
        return;
    const int c = marks.cursorColumn;
    const Cell cell = line.at(c);
    const int width = (cell.width == 2 ? 2 : 1) * w;
    const Colors colors = cellColors(cell, look, false, marks.reverseScreen);
    const QRect box(c * w, y, width, h);
    switch (marks.cursorShape) {
    case CursorState::Underline:
        painter.fillRect(box.left(), box.bottom() - 1, box.width(), 2, colors.fg);
        return;
    case CursorState::Bar:
        painter.fillRect(box.left(), box.top(), 2, box.height(), colors.fg);
        return;
    case CursorState::Block:
        break;
    }
    if (!marks.cursorFilled) {
        painter.setPen(colors.fg);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(box.adjusted(0, 0, -1, -1));
        return;
    }
    painter.fillRect(box, colors.fg);
    if (cell.ch != U' ' && cell.ch != Cell::Continuation) {
        QFont font = cell.flags & Cell::Bold ? look.bold : look.font;
        painter.setFont(font);
        painter.setPen(colors.bg);
        painter.drawText(box, Qt::AlignCenter, line.text(c, c + 1));
    }
}

} // namespace term
