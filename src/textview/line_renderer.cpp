#include "textview/line_renderer.h"

#include "textview/char_widths.h"
#include "textview/text_store.h"

#include <QFontMetricsF>
#include <QGlyphRun>
#include <QPainter>
#include <QTextLayout>
#include <QTransform>
#include <QtMath>

#include <algorithm>
#include <climits>

LineRenderer::LineRenderer(const TextStore &store) : m_store(store) {}

void LineRenderer::setFont(const QFont &font)
{
    // No kerning or ligatures: then a line is as wide as the sum of its characters, which is
    // what the wrap index adds up, and laying it out is faster.
    m_font = font;
    m_font.setKerning(false);
    m_font.setStyleStrategy(QFont::StyleStrategy(m_font.styleStrategy() | QFont::PreferNoShaping));
    const QFontMetricsF metrics(m_font);
    m_lineHeight = qMax(1, qCeil(metrics.lineSpacing()));
    m_ascent = metrics.ascent();
    m_underline = metrics.underlinePos();
    m_strike = metrics.strikeOutPos();
    m_lineWidth = qMax<qreal>(1, metrics.lineWidth());
    m_breakWidth = metrics.horizontalAdvance(QLatin1Char(' '));
    // Tab stops every eight average characters, as in a Windows edit box.
    const int tabPixels = 8 * qMax(1, qRound(metrics.averageCharWidth()));
    m_tabStop = qint32(tabPixels * Units);
    m_option = QTextOption();
    m_option.setWrapMode(QTextOption::NoWrap);
    m_option.setTabStopDistance(tabPixels);

    // A character is at least a pixel wide, so that a stream of invisible control characters
    // still makes lines of a few hundred characters.
    m_widths = std::make_shared<CharWidths>(
        [metrics](char32_t c) {
            return qint32(qRound(metrics.horizontalAdvance(QString::fromUcs4(&c, 1)) * Units));
        },
        qint32(Units));
    m_rawFont = QRawFont::fromFont(m_font);
    m_latin1Glyphs.fill(Glyph());
    m_bmpGlyphs.clear();
}

void LineRenderer::draw(QPainter &painter, QPointF topLeft, qint64 start, qint64 end,
                        const Look &look) const
{
    const qint64 selFrom = qBound(start, look.selectionFrom, end);
    const qint64 selTo = qBound(start, look.selectionTo, end);
    qreal endX = 0;
    qreal caretX = 0;
    FastLine fast;
    const bool preedit = look.caret >= 0 && !look.preedit.isEmpty();
    if (!preedit && fastLine(start, end, fast)) {
        drawFast(painter, topLeft, start, end, fast, look);
        endX = fast.x[int(end - start)] / Units;
        if (look.caret >= 0)
            caretX = fast.x[int(qBound(start, look.caret, end) - start)] / Units;
    } else {
        const int preeditAt = int(qBound(start, look.caret, end) - start);
        const int preeditLength = preedit ? int(look.preedit.size()) : 0;
        // Position in the text to position in the layout, which holds the pre-edit text.
        const auto toLayout = [&](qint64 pos) {
            const int offset = int(qBound(start, pos, end) - start);
            return offset > preeditAt ? offset + preeditLength : offset;
        };
        QTextLayout layout;
        layOut(layout, start, end, preedit ? look.preedit : QStringView(), preeditAt);
        QTextLine textLine = layout.lineAt(0);
        // Fallback fonts may have another ascent; keep every line on one baseline.
        textLine.setPosition(QPointF(0, m_ascent - textLine.ascent()));
        QList<QTextLayout::FormatRange> selections;
        // Colours and lines only: anything that changes widths would move the characters off
        // the places the line index gave them.
        for (const Style &style : look.styles) {
            if (style.to <= start || style.from >= end)
                continue;
            QTextCharFormat format;
            format.setForeground(style.text);
            if (style.background.isValid())
                format.setBackground(style.background);
            format.setFontUnderline(style.underline);
            format.setFontStrikeOut(style.strike);
            const int from = toLayout(style.from);
            selections.append({from, toLayout(style.to) - from, format});
        }
        if (selFrom < selTo) {
            QTextCharFormat selected;
            selected.setBackground(look.highlight);
            selected.setForeground(look.highlightedText);
            const int from = toLayout(selFrom);
            selections.append({from, toLayout(selTo) - from, selected});
        }
        painter.setPen(look.text);
        layout.draw(&painter, topLeft, selections);
        endX = textLine.cursorToX(toLayout(end));
        if (look.caret >= 0)
            caretX = textLine.cursorToX(toLayout(look.caret) + (preedit ? look.preeditCursor : 0));
    }
    if (look.selectsBreak)
        painter.fillRect(QRectF(topLeft.x() + endX, topLeft.y(), m_breakWidth, m_lineHeight),
                         look.highlight);
    if (look.caret >= 0 && look.caretShown)
        painter.fillRect(QRectF(topLeft.x() + caretX, topLeft.y(), 1, m_lineHeight), look.text);
}

namespace {

// The first glyph of the characters from offset on.
int glyphAt(const QVarLengthArray<int, 256> &offsets, qint64 offset)
{
    return int(std::lower_bound(offsets.begin(), offsets.end(), offset) - offsets.begin());
}

} // namespace

void LineRenderer::drawFast(QPainter &painter, QPointF topLeft, qint64 start, qint64 end,
                            const FastLine &line, const Look &look) const
{
    if (!look.styles.isEmpty()) {
        drawStyledFast(painter, topLeft, start, end, line, look);
        return;
    }
    const qint64 selFrom = qBound(start, look.selectionFrom, end);
    const qint64 selTo = qBound(start, look.selectionTo, end);
    const auto xOf = [&line](qint64 offset) { return line.x[int(offset)] / Units; };
    if (selFrom < selTo) {
        const qreal from = xOf(selFrom - start);
        painter.fillRect(
            QRectF(topLeft.x() + from, topLeft.y(), xOf(selTo - start) - from, m_lineHeight),
            look.highlight);
    }
    const int selGlyphFrom = glyphAt(line.offsets, selFrom - start);
    const int selGlyphTo = glyphAt(line.offsets, selTo - start);
    const QPointF origin(topLeft.x(), topLeft.y() + m_ascent);
    drawGlyphs(painter, origin, line, 0, selGlyphFrom, look.text);
    drawGlyphs(painter, origin, line, selGlyphFrom, selGlyphTo, look.highlightedText);
    drawGlyphs(painter, origin, line, selGlyphTo, int(line.glyphs.size()), look.text);
}

void LineRenderer::drawStyledFast(QPainter &painter, QPointF topLeft, qint64 start, qint64 end,
                                  const FastLine &line, const Look &look) const
{
    const qint64 selFrom = qBound(start, look.selectionFrom, end);
    const qint64 selTo = qBound(start, look.selectionTo, end);
    const auto xOf = [&line, start](qint64 pos) { return line.x[int(pos - start)] / Units; };
    QVarLengthArray<qint64, 32> cuts{start, end, selFrom, selTo};
    for (const Style &style : look.styles) {
        const qint64 from = qBound(start, style.from, end);
        const qint64 to = qBound(start, style.to, end);
        cuts.append(from);
        cuts.append(to);
        if (style.background.isValid() && from < to)
            painter.fillRect(
                QRectF(topLeft.x() + xOf(from), topLeft.y(), xOf(to) - xOf(from), m_lineHeight),
                style.background);
    }
    if (selFrom < selTo)
        painter.fillRect(QRectF(topLeft.x() + xOf(selFrom), topLeft.y(), xOf(selTo) - xOf(selFrom),
                                m_lineHeight),
                         look.highlight);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    const QPointF origin(topLeft.x(), topLeft.y() + m_ascent);
    const Style *style = look.styles.begin();
    for (qsizetype k = 0; k + 1 < cuts.size(); ++k) {
        const qint64 from = cuts[k];
        const qint64 to = cuts[k + 1];
        while (style != look.styles.end() && style->to <= from)
            ++style;
        const Style *here = style != look.styles.end() && style->from <= from ? style : nullptr;
        const bool selected = from >= selFrom && to <= selTo && selFrom < selTo;
        const QColor color = selected ? look.highlightedText : here ? here->text : look.text;
        drawStyled(painter, origin, line, int(from - start), int(to - start), color, here);
    }
}

void LineRenderer::drawStyled(QPainter &painter, QPointF origin, const FastLine &line, int from,
                              int to, const QColor &color, const Style *style) const
{
    const int glyphFrom = glyphAt(line.offsets, from);
    const int glyphTo = glyphAt(line.offsets, to);
    if (style && style->italic) {
        painter.save();
        painter.translate(origin);
        // Slanted about the baseline, so each character stays over its place.
        painter.setTransform(QTransform(1, 0, -0.2, 1, 0, 0), true);
        drawGlyphs(painter, QPointF(), line, glyphFrom, glyphTo, color);
        if (style->bold)
            drawGlyphs(painter, QPointF(1, 0), line, glyphFrom, glyphTo, color);
        painter.restore();
    } else {
        drawGlyphs(painter, origin, line, glyphFrom, glyphTo, color);
        if (style && style->bold)
            drawGlyphs(painter, origin + QPointF(1, 0), line, glyphFrom, glyphTo, color);
    }
    if (!style || (!style->underline && !style->strike))
        return;
    const qreal left = origin.x() + line.x[from] / Units;
    const qreal width = (line.x[to] - line.x[from]) / Units;
    if (style->underline)
        painter.fillRect(QRectF(left, origin.y() + m_underline, width, m_lineWidth), color);
    if (style->strike)
        painter.fillRect(QRectF(left, origin.y() - m_strike, width, m_lineWidth), color);
}

void LineRenderer::drawGlyphs(QPainter &painter, QPointF origin, const FastLine &line, int from,
                              int to, const QColor &color) const
{
    if (from >= to)
        return;
    QVarLengthArray<QPointF, 256> positions;
    positions.reserve(to - from);
    for (int k = from; k < to; ++k)
        positions.append(QPointF(line.x[line.offsets[k]] / Units, 0));
    QGlyphRun run;
    run.setRawFont(m_rawFont);
    run.setRawData(line.glyphs.constData() + from, positions.constData(), to - from);
    painter.setPen(color);
    painter.drawGlyphRun(origin, run);
}

void LineRenderer::drawLabel(QPainter &painter, QPointF topLeft, QStringView text,
                             const QColor &color) const
{
    FastLine label;
    qint32 x = 0;
    label.x.append(0);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        const Glyph g = glyphFor(c);
        if (!g.drawable || !g.ink) {
            painter.setPen(color);
            painter.setFont(m_font);
            painter.drawText(topLeft + QPointF(0, m_ascent), text.toString());
            return;
        }
        label.glyphs.append(g.index);
        label.offsets.append(int(i));
        x += m_widths->of(c);
        label.x.append(x);
    }
    drawGlyphs(painter, topLeft + QPointF(0, m_ascent), label, 0, int(label.glyphs.size()), color);
}

qreal LineRenderer::xOf(qint64 start, qint64 end, qint64 pos) const
{
    const int offset = int(qBound(start, pos, end) - start);
    FastLine fast;
    if (fastLine(start, end, fast))
        return fast.x[offset] / Units;
    QTextLayout layout;
    layOut(layout, start, end);
    return layout.lineAt(0).cursorToX(offset);
}

qint64 LineRenderer::positionAt(qint64 start, qint64 end, qreal x) const
{
    FastLine fast;
    if (!fastLine(start, end, fast)) {
        QTextLayout layout;
        layOut(layout, start, end);
        return start + layout.lineAt(0).xToCursor(x);
    }
    // The nearest character boundary; of several at one x (characters that take no room), the
    // first.
    const qint32 target = qint32(x * Units);
    const auto it = std::lower_bound(fast.x.begin(), fast.x.end(), target);
    int offset = int(it - fast.x.begin());
    if (it == fast.x.end() || (it != fast.x.begin() && target - *(it - 1) < *it - target))
        --offset;
    while (offset > 0 && fast.x[offset - 1] == fast.x[offset] && fast.x[offset] >= target)
        --offset;
    return start + offset;
}

bool LineRenderer::fastLine(qint64 start, qint64 end, FastLine &out) const
{
    out.x.resize(qsizetype(end - start) + 1);
    out.glyphs.clear();
    out.offsets.clear();
    out.x[0] = 0;
    qint32 x = 0;
    int offset = 0;
    bool drawable = true;
    m_store.forEachRun(start, end, [&](const auto *p, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t c = p[i];
            if (c == u'\t') {
                x = (x / m_tabStop + 1) * m_tabStop;
            } else {
                const Glyph g = glyphFor(c);
                if (!g.drawable) {
                    drawable = false;
                    return false;
                }
                if (g.ink) {
                    out.glyphs.append(g.index);
                    out.offsets.append(offset);
                }
                // Control characters take no room and show nothing, as in QTextLayout.
                if (g.index != 0)
                    x += m_widths->of(c);
            }
            out.x[++offset] = x;
        }
        return true;
    });
    return drawable;
}

LineRenderer::Glyph LineRenderer::glyphFor(char16_t c) const
{
    if (c >= 256 && m_bmpGlyphs.empty())
        m_bmpGlyphs.resize(0x10000);
    Glyph &g = c < 256 ? m_latin1Glyphs[c] : m_bmpGlyphs[c];
    if (g.known)
        return g;
    g.known = true;
    const QChar::Category category = QChar::category(char32_t(c));
    if (category == QChar::Other_Control) {
        g.drawable = true;
        return g;
    }
    // Only characters that need no shaping and that the first font has.
    static const QChar::Script plainScripts[] = {
        QChar::Script_Common,   QChar::Script_Latin,  QChar::Script_Greek,
        QChar::Script_Cyrillic, QChar::Script_Han,    QChar::Script_Hiragana,
        QChar::Script_Katakana, QChar::Script_Hangul, QChar::Script_Bopomofo,
    };
    const bool plain =
        !QChar::isSurrogate(c) && category != QChar::Other_Format &&
        category != QChar::Other_NotAssigned && category != QChar::Mark_NonSpacing &&
        category != QChar::Mark_SpacingCombining && category != QChar::Mark_Enclosing &&
        std::find(std::begin(plainScripts), std::end(plainScripts), QChar::script(char32_t(c))) !=
            std::end(plainScripts);
    if (!plain)
        return g;
    const QChar ch(c);
    quint32 index = 0;
    int count = 1;
    if (!m_rawFont.glyphIndexesForChars(&ch, 1, &index, &count) || count != 1 || index == 0)
        return g;
    g.index = index;
    g.drawable = true;
    g.ink = c != u' ' && c != 0x3000;
    return g;
}

void LineRenderer::layOut(QTextLayout &layout, qint64 start, qint64 end, QStringView preedit,
                          int preeditAt) const
{
    QString text = m_store.mid(start, end - start);
    if (!preedit.isEmpty()) {
        text.insert(preeditAt, preedit);
        QTextCharFormat underline;
        underline.setUnderlineStyle(QTextCharFormat::SingleUnderline);
        layout.setFormats({{preeditAt, int(preedit.size()), underline}});
    }
    layout.setText(text);
    layout.setFont(m_font);
    layout.setTextOption(m_option);
    layout.beginLayout();
    QTextLine textLine = layout.createLine();
    textLine.setLineWidth(INT_MAX / 256);
    layout.endLayout();
}
