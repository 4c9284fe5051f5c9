#include "textview/text_colours.h"

#include <cmath>

namespace {

// xterm's sixteen colours.
constexpr std::array<QRgb, 16> namedColours = {
    0x000000, 0xCD0000, 0x00CD00, 0xCDCD00, 0x0000EE, 0xCD00CD, 0x00CDCD, 0xE5E5E5,
    0x7F7F7F, 0xFF0000, 0x00FF00, 0xFFFF00, 0x5C5CFF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

constexpr double MinContrast = 4.5;

double luminance(const QColor &c)
{
    const auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

QColor blend(const QColor &a, const QColor &b, double t)
{
    return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t),
                            float(a.greenF() + (b.greenF() - a.greenF()) * t),
                            float(a.blueF() + (b.blueF() - a.blueF()) * t));
}

QColor cubeColour(int index)
{
    if (index < 232) {
        const int i = index - 16;
        const auto level = [](int v) { return v == 0 ? 0 : 55 + 40 * v; };
        return QColor(level(i / 36), level(i / 6 % 6), level(i % 6));
    }
    const int grey = 8 + 10 * (index - 232);
    return QColor(grey, grey, grey);
}

} // namespace

QColor TextColours::readable(const QColor &c, const QColor &background)
{
    if (contrast(c, background) >= MinContrast)
        return c;
    // Towards black on a light background, towards white on a dark one, keeping the hue.
    const QColor target = luminance(background) > 0.5 ? QColor(Qt::black) : QColor(Qt::white);
    QColor out = c;
    for (int step = 1; step <= 20 && contrast(out, background) < MinContrast; ++step)
        out = blend(c, target, step / 20.0);
    return out;
}

void TextColours::setBox(const QColor &text, const QColor &base)
{
    if (text == m_text && base == m_base && m_named[0].isValid())
        return;
    m_text = text;
    m_base = base;
    for (size_t i = 0; i < namedColours.size(); ++i)
        m_named[i] = readable(QColor(namedColours[i]), base);
}

QColor TextColours::colour(quint32 colour) const
{
    if (colour == Pen::Default)
        return {};
    if (!Pen::isIndexed(colour))
        return QColor(QRgb(Pen::rgbOf(colour)));
    const int index = Pen::indexOf(colour);
    return index < 16 ? m_named[size_t(index)] : cubeColour(index);
}

TextColours::Drawn TextColours::drawn(const Pen &pen) const
{
    Drawn d;
    QColor text = colour(pen.fg);
    QColor background = colour(pen.bg);
    if (pen.has(Pen::Reverse)) {
        const QColor was = text;
        text = background.isValid() ? background : m_base;
        background = was.isValid() ? was : m_text;
    }
    if (background.isValid()) {
        // On a coloured background the named colours are read against it, and the default
        // text is whichever of the box's text and background reads better.
        if (!text.isValid())
            text = contrast(m_text, background) >= contrast(m_base, background) ? m_text : m_base;
        else if (Pen::isIndexed(pen.fg) && Pen::indexOf(pen.fg) < 16)
            text = readable(QColor(namedColours[size_t(Pen::indexOf(pen.fg))]), background);
    }
    if (!text.isValid())
        text = m_text;
    if (pen.has(Pen::Dim))
        text = blend(text, background.isValid() ? background : m_base, 0.45);
    d.text = text;
    d.background = background;
    d.bold = pen.has(Pen::Bold);
    d.italic = pen.has(Pen::Italic);
    d.underline = pen.has(Pen::Underline);
    d.strike = pen.has(Pen::Strike);
    return d;
}
