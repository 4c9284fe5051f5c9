#pragma once

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QRawFont>
#include <QStringView>
#include <QTextLayout>
#include <QTextOption>
#include <QVarLengthArray>

#include <array>
#include <memory>
#include <vector>

class CharWidths;
class QPainter;
class TextStore;

// Draws one visual line of the receive box and maps between x and the positions on it. A line
// whose characters the font has and that needs no shaping (ASCII, hexadecimal, Chinese) is
// drawn straight from cached glyphs at the widths the line index wrapped it with; any other
// goes through QTextLayout, which finds fallback fonts and shapes. x is in pixels from the
// line's left edge.
class LineRenderer
{
public:
    // How a stretch of a line is drawn when not in the plain text colour.
    struct Style
    {
        qint64 from;
        qint64 to;
        QColor text;
        // Invalid: no background of its own.
        QColor background;
        bool bold = false;
        bool italic = false;
        bool underline = false;
        bool strike = false;
    };

    // What a line shows besides its characters. Positions are in the store.
    struct Look
    {
        qint64 selectionFrom = 0;
        qint64 selectionTo = 0;
        // The selection goes on past the line's end, over the line break after it.
        bool selectsBreak = false;
        // -1: the caret is on another line.
        qint64 caret = -1;
        // Off between blinks and without focus.
        bool caretShown = false;
        // The input method's text being composed, shown underlined at the caret.
        QStringView preedit;
        int preeditCursor = 0;
        QColor text;
        QBrush highlight;
        QColor highlightedText;
        // In order and apart; the selection is drawn over them.
        QVarLengthArray<Style, 8> styles;
    };

    explicit LineRenderer(const TextStore &store);

    void setFont(const QFont &font);
    // The font as drawn: without kerning, so that a line is as wide as its characters.
    [[nodiscard]] const QFont &font() const { return m_font; }
    // Shared with the line index.
    [[nodiscard]] const std::shared_ptr<CharWidths> &widths() const { return m_widths; }
    [[nodiscard]] int lineHeight() const { return m_lineHeight; }
    // In the units of the widths.
    [[nodiscard]] qint32 tabStop() const { return m_tabStop; }

    void draw(QPainter &painter, QPointF topLeft, qint64 start, qint64 end, const Look &look) const;
    // A short text beside the lines (a time), drawn from the cached glyphs where it can be.
    void drawLabel(QPainter &painter, QPointF topLeft, QStringView text, const QColor &color) const;
    [[nodiscard]] qreal xOf(qint64 start, qint64 end, qint64 pos) const;
    // The position nearest to x on the line [start, end).
    [[nodiscard]] qint64 positionAt(qint64 start, qint64 end, qreal x) const;

    // Widths are in 1/64 pixel, as Qt's own text layout counts them.
    static constexpr qreal Units = 64;

private:
    struct Glyph
    {
        bool known = false;
        bool drawable = false;
        bool ink = false;
        quint32 index = 0;
    };
    // A line drawn straight from glyphs: the x of each character boundary, in units, and the
    // glyphs with the offsets of their characters.
    struct FastLine
    {
        QVarLengthArray<qint32, 256> x;
        QVarLengthArray<quint32, 256> glyphs;
        QVarLengthArray<int, 256> offsets;
    };

    [[nodiscard]] bool fastLine(qint64 start, qint64 end, FastLine &out) const;
    [[nodiscard]] Glyph glyphFor(char16_t c) const;
    void drawFast(QPainter &painter, QPointF topLeft, qint64 start, qint64 end,
                  const FastLine &line, const Look &look) const;
    void drawGlyphs(QPainter &painter, QPointF origin, const FastLine &line, int from, int to,
                    const QColor &color) const;
    // Glyphs [from, to) in a style; bold and italic are drawn over the same places, so that the
    // line keeps the widths it was wrapped with.
    // Characters [from, to) of the line, as offsets in it.
    void drawStyled(QPainter &painter, QPointF origin, const FastLine &line, int from, int to,
                    const QColor &color, const Style *style) const;
    void drawStyledFast(QPainter &painter, QPointF topLeft, qint64 start, qint64 end,
                        const FastLine &line, const Look &look) const;
    // Lays out [start, end) on one line, with preedit inserted at offset preeditAt when given.
    void layOut(QTextLayout &layout, qint64 start, qint64 end, QStringView preedit = {},
                int preeditAt = 0) const;

    const TextStore &m_store;
    QFont m_font;
    QRawFont m_rawFont;
    std::shared_ptr<CharWidths> m_widths;
    mutable std::array<Glyph, 256> m_latin1Glyphs;
    mutable std::vector<Glyph> m_bmpGlyphs;
    QTextOption m_option;
    int m_lineHeight = 1;
    qreal m_ascent = 0;
    qreal m_underline = 1;
    qreal m_strike = 3;
    qreal m_lineWidth = 1;
    qreal m_breakWidth = 0;
    qint32 m_tabStop = 1;
};
