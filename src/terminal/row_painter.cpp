#include "terminal/row_painter.h"

#include "terminal/cell_images.h"

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QPainter>

#include <cmath>

namespace term {

namespace {

// The look's colours as pixel values, taken once a row.
struct Palette
{
    explicit Palette(const RowLook &look)
        : foreground(look.foreground.rgb()), background(look.background.rgb()),
          selectionForeground(look.selectionForeground.rgb()),
          selectionBackground(look.selectionBackground.rgb())
    {}
    QRgb foreground;
    QRgb background;
    QRgb selectionForeground;
    QRgb selectionBackground;
};

struct Colors
{
    QRgb fg;
    QRgb bg;
};

Colors cellColors(const Cell &cell, const Palette &palette, bool selected, bool reverseScreen)
{
    if (selected)
        return {palette.selectionForeground, palette.selectionBackground};
    Colors c{cell.flags & Cell::DefaultFg ? palette.foreground : QRgb(0xff000000u | cell.fg),
             cell.flags & Cell::DefaultBg ? palette.background : QRgb(0xff000000u | cell.bg)};
    if (bool(cell.flags & Cell::Reverse) != reverseScreen)
        std::swap(c.fg, c.bg);
    return c;
}

// The glyph of an ASCII character in face, or 0 where the character is not plain ASCII or the
// font lacks it.
quint32 asciiGlyph(const RowLook::Face &face, char32_t c)
{
    return c >= 0x20 && c < 0x7f ? face.ascii[c - 0x20] : 0;
}

bool isSelected(const RowMarks &marks, int column)
{
    return column >= marks.selectionFrom && column < marks.selectionTo;
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
    for (int i = 0; i < int(look.faces.size()); ++i) {
        Face &face = look.faces[size_t(i)];
        face.font = font;
        face.font.setBold(i & 1);
        face.font.setItalic(i & 2);
        face.raw = QRawFont::fromFont(face.font);
        QString ascii;
        for (char16_t c = 0x20; c < 0x7f; ++c)
            ascii += QChar(c);
        const QList<quint32> glyphs = face.raw.glyphIndexesForString(ascii);
        for (qsizetype c = 0; c < glyphs.size() && c < qsizetype(face.ascii.size()); ++c)
            face.ascii[size_t(c)] = glyphs[c];
    }
    const QFontMetricsF metrics(font);
    look.cellWidth = qMax(1, int(std::ceil(metrics.horizontalAdvance(QLatin1Char('M')))));
    look.cellHeight = qMax(1, int(std::ceil(metrics.height())));
    look.ascent = int(std::ceil(metrics.ascent()));
    return look;
}

void drawAsciiGlyphs(QPainter &painter, const QPointF &origin, const RowLook::Face &face,
                     const QList<quint32> &glyphs, const QList<QPointF> &positions)
{
    QGlyphRun run;
    run.setRawFont(face.raw);
    run.setGlyphIndexes(glyphs);
    run.setPositions(positions);
    painter.drawGlyphRun(origin, run);
}

namespace {

quint8 lineFlags(quint8 flags)
{
    return quint8((flags & Cell::Underline ? CellImages::Underline : 0) |
                  (flags & Cell::Strike ? CellImages::Strike : 0));
}

// Backgrounds, a run of equal colour at a time.
void paintBackgrounds(QPainter &painter, int y, const Line &line, int columns, const RowLook &look,
                      const Palette &palette, const RowMarks &marks)
{
    const int w = look.cellWidth;
    for (int c = 0; c < columns;) {
        const QRgb bg =
            cellColors(line.at(c), palette, isSelected(marks, c), marks.reverseScreen).bg;
        int end = c + 1;
        while (end < columns &&
               cellColors(line.at(end), palette, isSelected(marks, end), marks.reverseScreen).bg ==
                   bg)
            ++end;
        painter.fillRect(c * w, y, (end - c) * w, look.cellHeight, QColor::fromRgb(bg));
        c = end;
    }
}

// Each cell whole from the images where it can be, else its background alone.
void composeRow(CellImages &images, const Line &line, int columns, const Palette &palette,
                const RowMarks &marks)
{
    for (int c = 0; c < columns; ++c) {
        const Cell cell = line.at(c);
        const Colors colors = cellColors(cell, palette, isSelected(marks, c), marks.reverseScreen);
        const bool plain = cell.ch != Cell::Continuation && !line.marks.contains(c);
        if (!plain || !images.put(c, RowLook::faceIndex(cell.flags), cell.ch, colors.fg, colors.bg,
                                  lineFlags(cell.flags)))
            images.fill(c, colors.bg);
    }
}

// The characters, over their backgrounds; cells drawn is said to hold are left as they are.
void paintGlyphs(QPainter &painter, int y, const Line &line, int columns, const RowLook &look,
                 const Palette &palette, const RowMarks &marks, const CellImages *drawn)
{
    const int w = look.cellWidth;
    const int h = look.cellHeight;
    auto done = [&](int c) { return drawn && drawn->has(c); };
    const int lastCell = qMin(columns, int(line.cells.size()));
    QList<quint32> glyphs;
    QList<QPointF> positions;
    for (int c = 0; c < lastCell;) {
        const Cell &cell = line.cells[size_t(c)];
        if (done(c) || cell.ch == Cell::Continuation ||
            (cell.ch == U' ' && !(cell.flags & (Cell::Underline | Cell::Strike)))) {
            ++c;
            continue;
        }
        const Colors colors = cellColors(cell, palette, isSelected(marks, c), marks.reverseScreen);
        const RowLook::Face &face = look.face(cell.flags);
        painter.setPen(QColor::fromRgb(colors.fg));
        int end = c + 1;
        if (asciiGlyph(face, cell.ch) != 0 && !line.marks.contains(c)) {
            // A run of ASCII in one style and colour, each glyph on its cell.
            glyphs = {asciiGlyph(face, cell.ch)};
            positions = {QPointF(0, 0)};
            while (end < lastCell) {
                const Cell &next = line.cells[size_t(end)];
                const quint32 glyph = asciiGlyph(face, next.ch);
                if (glyph == 0 || done(end) || !sameStyle(cell, next) || line.marks.contains(end) ||
                    cellColors(next, palette, isSelected(marks, end), marks.reverseScreen).fg !=
                        colors.fg)
                    break;
                glyphs.append(glyph);
                positions.append(QPointF((end - c) * w, 0));
                ++end;
            }
            drawAsciiGlyphs(painter, QPointF(c * w, y + look.ascent), face, glyphs, positions);
        } else {
            // Anything else one character at a time, in the font with its fallbacks; a wide
            // character centred on its two cells whatever its advance.
            end = c + qMax(1, int(cell.width));
            painter.setFont(face.font);
            painter.drawText(QRect(c * w, y, (end - c) * w, h), Qt::AlignCenter,
                             line.text(c, c + 1));
        }
        const int x0 = c * w;
        const int x1 = qMin(end, columns) * w;
        if (cell.flags & Cell::Underline)
            painter.drawLine(x0, y + h - 1, x1 - 1, y + h - 1);
        if (cell.flags & Cell::Strike)
            painter.drawLine(x0, y + h / 2, x1 - 1, y + h / 2);
        c = end;
    }
}

} // namespace

void paintRow(QPainter &painter, int y, const Line &line, int columns, const RowLook &look,
              const RowMarks &marks, CellImages *images)
{
    const int w = look.cellWidth;
    const int h = look.cellHeight;
    const Palette palette(look);
    if (images && images->begin(painter, look, columns)) {
        composeRow(*images, line, columns, palette, marks);
        images->draw(painter, y);
        paintGlyphs(painter, y, line, columns, look, palette, marks, images);
    } else {
        paintBackgrounds(painter, y, line, columns, look, palette, marks);
        paintGlyphs(painter, y, line, columns, look, palette, marks, nullptr);
    }

    if (marks.cursorColumn < 0 || marks.cursorColumn >= columns)
        return;
    const int c = marks.cursorColumn;
    const Cell cell = line.at(c);
    const int width = (cell.width == 2 ? 2 : 1) * w;
    const Colors rgb = cellColors(cell, palette, false, marks.reverseScreen);
    const QColor fg = QColor::fromRgb(rgb.fg);
    const QRect box(c * w, y, width, h);
    switch (marks.cursorShape) {
    case CursorState::Underline:
        painter.fillRect(box.left(), box.bottom() - 1, box.width(), 2, fg);
        return;
    case CursorState::Bar:
        painter.fillRect(box.left(), box.top(), 2, box.height(), fg);
        return;
    case CursorState::Block:
        break;
    }
    if (!marks.cursorFilled) {
        painter.setPen(fg);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(box.adjusted(0, 0, -1, -1));
        return;
    }
    painter.fillRect(box, fg);
    if (cell.ch != U' ' && cell.ch != Cell::Continuation) {
        painter.setFont(look.face(cell.flags).font);
        painter.setPen(QColor::fromRgb(rgb.bg));
        painter.drawText(box, Qt::AlignCenter, line.text(c, c + 1));
    }
}

} // namespace term
