#pragma once

#include <QImage>
#include <QRgb>

#include <array>
#include <memory>
#include <unordered_map>
#include <vector>

class QPainter;

namespace term {

struct RowLook;

// Cells of printable ASCII, each drawn once per style and kept as an image: a row of them is
// put together by copying pixels and drawn in one call, where drawing its glyphs would blend
// every glyph's pixels anew at every frame. A glyph with ink outside its cell (an italic's
// overhang, say) is not kept: it is drawn as text over its neighbours.
class CellImages
{
public:
    static constexpr quint8 Underline = 0x01;
    static constexpr quint8 Strike = 0x02;

    // Whether a row can be put together for painter: a raster image at a whole-numbered pixel
    // ratio. What was kept for another image format or ratio is dropped.
    [[nodiscard]] bool begin(QPainter &painter, const RowLook &look, int columns);
    // Column shows ch in look's face (by Cell flags), fg on bg with lines; false where ch is
    // not kept (not printable ASCII, or its glyph leaves its cell) and nothing was put.
    bool put(int column, quint8 face, char32_t ch, QRgb fg, QRgb bg, quint8 lines);
    // Only column's background: something is drawn over it.
    void fill(int column, QRgb bg);
    // The row put together, its top at y.
    void draw(QPainter &painter, int y) const;
    // Whether put() drew column in the row under way.
    [[nodiscard]] bool has(int column) const
    {
        return column < int(m_put.size()) && m_put[size_t(column)];
    }
    // The font changed.
    void clear();

private:
    static constexpr int Glyphs = 95; // ' ' to '~'
    static constexpr int Faces = 4;
    // What is kept at most: when more is needed (a board cycling through many colours) all
    // cells go, and are drawn again as they are met.
    static constexpr qint64 MaxBytes = 8 << 20;
    static constexpr size_t MaxStyles = 1024;
    static constexpr size_t MaxSolids = 256;

    struct Style
    {
        std::array<QImage, Glyphs> cells;
    };
    enum class Fit : quint8 { Unknown, Inside, Outside };

    [[nodiscard]] bool fits(quint8 face, int glyph);
    [[nodiscard]] QImage drawCell(quint8 face, int glyph, QRgb fg, QRgb bg, quint8 lines) const;
    void copy(int column, const QImage &cell);
    void dropAll();

    const RowLook *m_look = nullptr;
    QImage::Format m_format = QImage::Format_Invalid;
    int m_ratio = 0;
    int m_pixelBytes = 0;
    int m_width = 0; // a cell in device pixels
    int m_height = 0;
    QImage m_row;
    std::vector<bool> m_put;
    std::unordered_map<quint64, std::unique_ptr<Style>> m_styles;
    std::unordered_map<QRgb, QImage> m_solid; // backgrounds alone, by colour
    quint64 m_lastKey = ~quint64(0);
    Style *m_last = nullptr;
    int m_cellCount = 0;
    std::array<std::array<Fit, Glyphs>, Faces> m_fit{};
};

} // namespace term
