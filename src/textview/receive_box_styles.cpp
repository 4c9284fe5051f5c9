// How the lines drawn are coloured: the pens the board's sequences set, and the highlight rules,
// matched only on the lines drawn so that their cost does not grow with the box.
#include "textview/receive_box.h"

#include "textview/receive_box_shared.h"

#include <QPainter>

using namespace boxshared;

namespace {

// A line longer than this many visual lines is matched around the part drawn.
constexpr qint64 MaxWalk = 64;
// Results kept for lines drawn lately.
constexpr size_t MaxHighlighted = 256;

} // namespace

void ReceiveBox::setHighlightRules(const HighlightRules &rules)
{
    m_highlighter.setRules(rules);
    m_highlighted.clear();
    repaintAll();
}

const HighlightMatcher::Result &ReceiveBox::highlighted(qint64 line, qint64 *start) const
{
    qint64 first = line;
    while (first > 0 && first > line - MaxWalk && !m_index.startsParagraph(first))
        --first;
    qint64 last = line;
    while (last < line + MaxWalk && m_index.wraps(last))
        ++last;
    const qint64 from = m_index.lineStart(first);
    const qint64 to = m_index.lineEnd(last);
    *start = from;
    for (const Highlighted &h : m_highlighted) {
        if (h.start == from && h.end == to)
            return h.result;
    }
    if (m_highlighted.size() >= MaxHighlighted)
        m_highlighted.erase(m_highlighted.begin(), m_highlighted.begin() + MaxHighlighted / 2);
    m_highlighted.push_back({from, to, m_highlighter.match(m_store.mid(from, to - from))});
    return m_highlighted.back().result;
}

void ReceiveBox::styleLine(QPainter &painter, LineRenderer::Look &look, qint64 line, int y) const
{
    look.styles.clear();
    if (m_colours.isEmpty() && m_highlighter.isEmpty())
        return;
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    LineRenderer::Style plain{start, end, look.text, QColor()};
    QVarLengthArray<LineRenderer::Style, 8> pens;
    if (!m_colours.isEmpty()) {
        const ColourRuns::Runs runs = m_colours.runsIn(start, end);
        for (qsizetype k = 0; k < runs.size(); ++k) {
            const TextColours::Drawn d = m_textColours.drawn(runs[k].pen);
            const qint64 to = k + 1 < runs.size() ? runs[k + 1].pos : end;
            pens.append(
                {runs[k].pos, to, d.text, d.background, d.bold, d.italic, d.underline, d.strike});
        }
    }
    if (m_highlighter.isEmpty()) {
        for (const LineRenderer::Style &style : pens) {
            if (style.text != plain.text || style.background.isValid() || style.bold ||
                style.italic || style.underline || style.strike)
                look.styles.append(style);
        }
        return;
    }
    qint64 from = 0;
    const HighlightMatcher::Result &result = highlighted(line, &from);
    const QList<HighlightRule> &rules = m_highlighter.rules().rules;
    const auto apply = [](LineRenderer::Style &style, const HighlightRule &rule) {
        if (rule.colour)
            style.text = QColor(QRgb(*rule.colour));
        if (rule.background)
            style.background = QColor(QRgb(*rule.background));
        style.bold = style.bold || rule.bold;
    };
    const HighlightRule *lineRule = result.lineRule >= 0 ? &rules.at(result.lineRule) : nullptr;
    if (lineRule && lineRule->background)
        painter.fillRect(
            QRect(textLeft(), y, viewport()->width() - textLeft(), m_renderer.lineHeight()),
            QColor(QRgb(*lineRule->background)));
    // Cut the line where a pen or a match begins or ends; the match goes over the pen.
    QVarLengthArray<qint64, 32> cuts{start, end};
    for (const LineRenderer::Style &style : pens) {
        cuts.append(style.from);
        cuts.append(style.to);
    }
    for (const HighlightMatcher::Span &span : result.spans) {
        cuts.append(qBound(start, from + span.from, end));
        cuts.append(qBound(start, from + span.to, end));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (qsizetype k = 0; k + 1 < cuts.size(); ++k) {
        const qint64 a = cuts[k];
        LineRenderer::Style style = plain;
        for (const LineRenderer::Style &pen : pens) {
            if (pen.from <= a && a < pen.to)
                style = pen;
        }
        style.from = a;
        style.to = cuts[k + 1];
        if (lineRule)
            apply(style, *lineRule);
        for (const HighlightMatcher::Span &span : result.spans) {
            if (from + span.from <= a && a < from + span.to)
                apply(style, rules.at(span.rule));
        }
        if (style.text != plain.text || style.background.isValid() || style.bold || style.italic ||
            style.underline || style.strike)
            look.styles.append(style);
    }
}
