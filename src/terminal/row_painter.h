#pragma once

#include "terminal/screen_model.h"

#include <QColor>
#include <QFont>
#include <QRawFont>

#include <array>

class QPainter;

namespace term {

// How rows are drawn: the font, the cell it fills, and the colours where the board set none.
struct RowLook
{
    // One of the font's four styles, with the glyphs of printable ASCII looked up once: a run of
    // them is drawn as glyphs placed on the grid, without laying text out.
    struct Face
    {
        QFont font;
        QRawFont raw;
        std::array<quint32, 95> ascii{}; // glyph of ' ' + i; 0 where the font has none
    };

    std::array<Face, 4> faces; // by Cell::Bold | Cell::Italic bits: plain, bold, italic, both
    int cellWidth = 8;
    int cellHeight = 16;
    int ascent = 12;
    QColor foreground;
    QColor background;
    QColor selectionForeground;
    QColor selectionBackground;

    [[nodiscard]] const QFont &font() const { return faces[0].font; }
    [[nodiscard]] static quint8 faceIndex(quint8 flags)
    {
        return quint8((flags & Cell::Bold ? 1 : 0) | (flags & Cell::Italic ? 2 : 0));
    }
    [[nodiscard]] const Face &face(quint8 flags) const { return faces[faceIndex(flags)]; }
    // Measures the font; the cell is at least 1 pixel each way.
    static RowLook forFont(const QFont &font);
};

// What is drawn on one row besides its cells.
struct RowMarks
{
    int selectionFrom = 0; // columns [from, to) drawn selected
    int selectionTo = 0;
    int cursorColumn = -1; // -1: no cursor on this row
    CursorState::Shape cursorShape = CursorState::Block;
    bool cursorFilled = true; // false: an outline, as when the window has no focus
    bool reverseScreen = false;
};

class CellImages;

// Draws columns [0, columns) of line with its top at y; with images, its cells of printable ASCII
// are copied from the images kept there (and kept there once drawn).
void paintRow(QPainter &painter, int y, const Line &line, int columns, const RowLook &look,
              const RowMarks &marks, CellImages *images = nullptr);

// Glyphs of face at positions from origin (on the baseline), in the painter's pen.
void drawAsciiGlyphs(QPainter &painter, const QPointF &origin, const RowLook::Face &face,
                     const QList<quint32> &glyphs, const QList<QPointF> &positions);

} // namespace term
