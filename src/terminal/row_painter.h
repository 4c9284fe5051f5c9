#pragma once

#include "terminal/screen_model.h"

#include <QColor>
#include <QFont>

class QPainter;

namespace term {

// How rows are drawn: the font, the cell it fills, and the colours where the board set none.
struct RowLook
{
    QFont font;
    QFont bold;
    int cellWidth = 8;
    int cellHeight = 16;
    int ascent = 12;
    // A run of plain ASCII lands on the grid when drawn in one go only where the font's advance
    // is the cell's width exactly (and so for bold); else every cell is drawn on its own.
    bool runsFit = false;
    bool boldRunsFit = false;
    QColor foreground;
    QColor background;
    QColor selectionForeground;
    QColor selectionBackground;

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

// Draws columns [0, columns) of line with its top at y.
void paintRow(QPainter &painter, int y, const Line &line, int columns, const RowLook &look,
              const RowMarks &marks);

} // namespace term
