#include "textview/char_widths.h"

CharWidths::CharWidths(Measure measure, qint32 minimum)
    : m_measure(std::move(measure)), m_minimum(minimum)
{
    for (char32_t c = 0; c < 256; ++c)
        m_latin1[c] = measured(c);
}

qint32 CharWidths::wider(char32_t c)
{
    if (c < 0x10000) {
        if (m_bmp.empty())
            m_bmp.assign(0x10000, -1);
        qint32 &w = m_bmp[c];
        if (w < 0)
            w = measured(c);
        return w;
    }
    const auto it = m_astral.constFind(c);
    if (it != m_astral.constEnd())
        return *it;
    return *m_astral.insert(c, measured(c));
}
