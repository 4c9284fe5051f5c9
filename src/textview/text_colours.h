#pragma once

#include "textview/pen.h"

#include <QColor>

#include <array>

// The colours a pen draws with on the receive box: the 256-colour table and 24-bit colours as
// they are, but the sixteen named colours made readable on the box's background (a terminal's
// yellow and white vanish on a white box); default colours are the box's own.
class TextColours
{
public:
    struct Drawn
    {
        QColor text;
        // Invalid: the box's background.
        QColor background;
        bool bold = false;
        bool italic = false;
        bool underline = false;
        bool strike = false;
    };

    void setBox(const QColor &text, const QColor &base);
    [[nodiscard]] Drawn drawn(const Pen &pen) const;
    [[nodiscard]] QColor colour(quint32 colour) const;

    // c, lightened or darkened until it reads against background (a contrast of at least 4.5,
    // or as near as white or black gets).
    [[nodiscard]] static QColor readable(const QColor &c, const QColor &background);

private:
    QColor m_text = Qt::black;
    QColor m_base = Qt::white;
    std::array<QColor, 16> m_named;
};
