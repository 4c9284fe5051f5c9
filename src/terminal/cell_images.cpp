#include "terminal/cell_images.h"

#include "terminal/row_painter.h"

#include <QPaintEngine>
#include <QPainter>

#include <cmath>
#include <cstring>

namespace term {

bool CellImages::begin(QPainter &painter, const RowLook &look, int columns)
{
    const QPaintEngine *engine = painter.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || !engine->paintDevice() ||
        engine->paintDevice()->devType() != QInternal::Image)
        return false;
    const QImage::Format format = static_cast<const QImage *>(engine->paintDevice())->format();
    const qreal ratio = painter.device()->devicePixelRatio();
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    const QTransform &transform = painter.worldTransform();
    // Pixels are copied: whole pixels of whole bytes, and nothing turned or scaled.
    if (ratio < 1 || ratio != std::floor(ratio) || depth < 8 || depth % 8 != 0 ||
        transform.type() > QTransform::TxTranslate ||
        transform.dx() != std::floor(transform.dx()) ||
        transform.dy() != std::floor(transform.dy()))
        return false;
    if (format != m_format || int(ratio) != m_ratio || &look != m_look ||
        look.cellWidth * int(ratio) != m_width || look.cellHeight * int(ratio) != m_height) {
        clear();
        m_look = &look;
        m_format = format;
        m_ratio = int(ratio);
        m_pixelBytes = depth / 8;
        m_width = look.cellWidth * m_ratio;
        m_height = look.cellHeight * m_ratio;
    }
    if (m_row.format() != m_format || m_row.width() != columns * m_width ||
        m_row.height() != m_height) {
        m_row = QImage(columns * m_width, m_height, m_format);
        m_row.setDevicePixelRatio(m_ratio);
    }
    m_put.assign(size_t(columns), false);
    return !m_row.isNull();
}

void CellImages::clear()
{
    m_look = nullptr;
    m_format = QImage::Format_Invalid;
    dropAll();
    m_solid.clear();
    m_fit = {};
}

bool CellImages::put(int column, quint8 face, char32_t ch, QRgb fg, QRgb bg, quint8 lines)
{
    if (ch < 0x20 || ch >= 0x7f || face >= Faces || column < 0 || column >= int(m_put.size()))
        return false;
    const int glyph = int(ch - 0x20);
    if (!fits(face, glyph))
        return false;
    const quint64 key = quint64(face) << 58 | quint64(lines & 3) << 56 |
                        quint64(fg & 0xffffff) << 24 | (bg & 0xffffff);
    if (key != m_lastKey) {
        if (m_styles.size() >= MaxStyles && m_styles.find(key) == m_styles.end())
            dropAll();
        std::unique_ptr<Style> &style = m_styles[key];
        if (!style)
            style = std::make_unique<Style>();
        m_last = style.get();
        m_lastKey = key;
    }
    QImage *cell = &m_last->cells[size_t(glyph)];
    if (cell->isNull()) {
        if (qint64(m_cellCount + 1) * m_height * m_width * m_pixelBytes > MaxBytes) {
            dropAll();
            m_last = (m_styles[key] = std::make_unique<Style>()).get();
            cell = &m_last->cells[size_t(glyph)];
        }
        *cell = drawCell(face, glyph, fg, bg, lines);
        ++m_cellCount;
    }
    copy(column, *cell);
    m_put[size_t(column)] = true;
    return true;
}

void CellImages::dropAll()
{
    m_styles.clear();
    m_lastKey = ~quint64(0);
    m_last = nullptr;
    m_cellCount = 0;
}

void CellImages::fill(int column, QRgb bg)
{
    if (column < 0 || column >= int(m_put.size()))
        return;
    QImage &solid = m_solid[bg & 0xffffff];
    if (solid.isNull()) {
        if (m_solid.size() > MaxSolids) {
            m_solid.clear();
            fill(column, bg);
            return;
        }
        solid = QImage(m_width, m_height, m_format);
        solid.fill(QColor::fromRgb(bg));
    }
    copy(column, solid);
}

void CellImages::draw(QPainter &painter, int y) const
{
    painter.drawImage(QPointF(0, y), m_row);
}

void CellImages::copy(int column, const QImage &cell)
{
    const qsizetype bytes = qsizetype(m_width) * m_pixelBytes;
    const qsizetype toLine = m_row.bytesPerLine();
    const qsizetype fromLine = cell.bytesPerLine();
    uchar *to = m_row.bits() + qsizetype(column) * bytes;
    const uchar *from = cell.constBits();
    // A cell's line is a few dozen bytes: copied in pieces of known size, which the compiler
    // inlines, where a call to memcpy for each would cost more than the copy.
    constexpr qsizetype piece = 8;
    const qsizetype pieces = bytes / piece;
    const qsizetype rest = bytes % piece;
    for (int line = 0; line < m_height; ++line) {
        uchar *out = to + line * toLine;
        const uchar *in = from + line * fromLine;
        for (qsizetype i = 0; i < pieces; ++i) {
            quint64 v;
            std::memcpy(&v, in + i * piece, piece);
            std::memcpy(out + i * piece, &v, piece);
        }
        if (rest > 0)
            std::memcpy(out + pieces * piece, in + pieces * piece, size_t(rest));
    }
}

// As the row painter draws a glyph: on its baseline, at the cell's left.
QImage CellImages::drawCell(quint8 face, int glyph, QRgb fg, QRgb bg, quint8 lines) const
{
    QImage image(m_width, m_height, m_format);
    image.setDevicePixelRatio(m_ratio);
    image.fill(QColor::fromRgb(bg));
    QPainter painter(&image);
    const QColor pen = QColor::fromRgb(fg);
    painter.setPen(pen);
    const RowLook::Face &f = m_look->faces[face];
    drawAsciiGlyphs(painter, QPointF(0, m_look->ascent), f, {f.ascii[size_t(glyph)]}, {QPointF()});
    const int w = m_look->cellWidth;
    const int h = m_look->cellHeight;
    if (lines & Underline)
        painter.drawLine(0, h - 1, w - 1, h - 1);
    if (lines & Strike)
        painter.drawLine(0, h / 2, w - 1, h / 2);
    return image;
}

// Drawn in white on black three cells each way, in the format rows are painted in: any ink
// outside the middle cell means the glyph reaches into its neighbours.
bool CellImages::fits(quint8 face, int glyph)
{
    Fit &fit = m_fit[face][size_t(glyph)];
    if (fit != Fit::Unknown)
        return fit == Fit::Inside;
    const RowLook::Face &f = m_look->faces[face];
    fit = Fit::Outside;
    if (f.ascii[size_t(glyph)] == 0)
        return false;
    QImage probe(3 * m_width, 3 * m_height, m_format);
    probe.setDevicePixelRatio(m_ratio);
    probe.fill(Qt::black);
    {
        QPainter painter(&probe);
        painter.setPen(Qt::white);
        drawAsciiGlyphs(painter, QPointF(m_look->cellWidth, m_look->cellHeight + m_look->ascent), f,
                        {f.ascii[size_t(glyph)]}, {QPointF()});
    }
    const QRgb black = QColor(Qt::black).rgb();
    for (int y = 0; y < probe.height(); ++y) {
        const bool middleRow = y >= m_height && y < 2 * m_height;
        for (int x = 0; x < probe.width(); ++x) {
            if (middleRow && x >= m_width && x < 2 * m_width)
                continue;
            if (probe.pixel(x, y) != black)
                return false;
        }
    }
    fit = Fit::Inside;
    return true;
}

} // namespace term
