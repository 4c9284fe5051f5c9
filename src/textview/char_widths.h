#pragma once

#include <QHash>
#include <QtGlobal>

#include <array>
#include <functional>
#include <vector>

// The width of each character in the receive box's font, measured once. The line index adds
// these widths up to wrap lines and the line renderer places glyphs with them, so a line is
// drawn exactly where it was wrapped. Widths are plain integers (the box uses 1/64 pixel).
class CharWidths
{
public:
    using Measure = std::function<qint32(char32_t)>;

    // Every width is at least minimum, so that no line holds an unbounded run of characters
    // that take no room.
    explicit CharWidths(Measure measure, qint32 minimum = 1);

    [[nodiscard]] qint32 of(char32_t c) { return c < 256 ? m_latin1[c] : wider(c); }
    // The widths of the first 256 characters, for loops that look up most characters.
    [[nodiscard]] const qint32 *latin1() const { return m_latin1.data(); }

private:
    [[nodiscard]] qint32 wider(char32_t c);
    [[nodiscard]] qint32 measured(char32_t c) const { return qMax(m_minimum, m_measure(c)); }

    Measure m_measure;
    qint32 m_minimum;
    std::array<qint32, 256> m_latin1{};
    std::vector<qint32> m_bmp;
    QHash<char32_t, qint32> m_astral;
};
