#pragma once

#include <QHashFunctions>
#include <QtGlobal>

// How a stretch of received text is drawn, as a board's SGR sequences set it: a text colour, a
// background and styles. A colour is Default, one of the 256 of the terminal's table (0 to 15
// are the named sixteen) or a 24-bit value.
struct Pen
{
    enum Attr : quint8 {
        Bold = 1,
        Dim = 2,
        Italic = 4,
        Underline = 8,
        Reverse = 16,
        Strike = 32,
    };

    static constexpr quint32 Default = 0;
    [[nodiscard]] static constexpr quint32 indexed(int index) { return 0x100u | quint32(index); }
    [[nodiscard]] static constexpr quint32 rgb(int r, int g, int b)
    {
        return 0x1000000u | quint32(r) << 16 | quint32(g) << 8 | quint32(b);
    }
    [[nodiscard]] static constexpr bool isIndexed(quint32 colour)
    {
        return colour != Default && colour < 0x1000000u;
    }
    [[nodiscard]] static constexpr int indexOf(quint32 colour) { return int(colour & 0xFF); }
    // 0xRRGGBB of a 24-bit colour.
    [[nodiscard]] static constexpr quint32 rgbOf(quint32 colour) { return colour & 0xFFFFFF; }

    quint32 fg = Default;
    quint32 bg = Default;
    quint8 attrs = 0;

    [[nodiscard]] bool isDefault() const { return fg == Default && bg == Default && attrs == 0; }
    [[nodiscard]] bool has(Attr attr) const { return attrs & attr; }

    friend bool operator==(const Pen &a, const Pen &b)
    {
        return a.fg == b.fg && a.bg == b.bg && a.attrs == b.attrs;
    }
    friend bool operator!=(const Pen &a, const Pen &b) { return !(a == b); }
};

inline size_t qHash(const Pen &pen, size_t seed = 0)
{
    return qHashMulti(seed, pen.fg, pen.bg, pen.attrs);
}
