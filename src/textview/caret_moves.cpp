#include "textview/caret_moves.h"

#include "textview/text_store.h"
#include "textview/wrap_index.h"

#include <QTextBoundaryFinder>

namespace {

// The boundary after (forward) or before offset in text, or its end or start.
qsizetype graphemeBoundary(const QString &text, qsizetype offset, bool forward)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(offset);
    const qsizetype b = forward ? finder.toNextBoundary() : finder.toPreviousBoundary();
    return b < 0 ? (forward ? text.size() : 0) : b;
}

} // namespace

qint64 CaretMoves::next(qint64 pos) const
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    if (pos >= end)
        return line + 1 < m_index.lineCount() ? m_index.lineStart(line + 1) : m_store.size();
    return start + graphemeBoundary(m_store.mid(start, end - start), pos - start, true);
}

qint64 CaretMoves::previous(qint64 pos) const
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    if (pos > end)
        return end;
    if (pos > start)
        return start + graphemeBoundary(m_store.mid(start, end - start), pos - start, false);
    if (line == 0)
        return 0;
    if (m_index.startsParagraph(line))
        return m_index.lineEnd(line - 1);
    // Back over the last character of the line that this one continues.
    const qint64 previousStart = m_index.lineStart(line - 1);
    return previousStart + graphemeBoundary(m_store.mid(previousStart, start - previousStart),
                                            start - previousStart, false);
}

qint64 CaretMoves::word(qint64 pos, bool forward) const
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    if (forward ? pos >= end : pos <= start)
        return forward ? next(pos) : previous(pos);
    const QString text = m_store.mid(start, end - start);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    finder.setPosition(qsizetype(pos - start));
    for (;;) {
        const qsizetype b = forward ? finder.toNextBoundary() : finder.toPreviousBoundary();
        if (b < 0)
            return forward ? end : start;
        if (b == 0 || b == text.size() ||
            (finder.boundaryReasons() & QTextBoundaryFinder::StartOfItem))
            return start + b;
    }
}

qint64 CaretMoves::lineCaretEnd(qint64 line) const
{
    if (!m_index.wraps(line))
        return m_index.lineEnd(line);
    const qint64 next = m_index.lineStart(line + 1);
    const bool pair = next - 2 >= m_index.lineStart(line) &&
                      QChar::isLowSurrogate(m_store.at(next - 1)) &&
                      QChar::isHighSurrogate(m_store.at(next - 2));
    return next - (pair ? 2 : 1);
}

std::pair<qint64, qint64> CaretMoves::wordAt(qint64 pos) const
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    const QString text = m_store.mid(start, m_index.lineEnd(line) - start);
    if (text.isEmpty())
        return {pos, pos};
    const qsizetype offset = qMin<qsizetype>(qsizetype(pos - start), text.size() - 1);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, text);
    finder.setPosition(offset);
    const qsizetype from = finder.isAtBoundary() ? offset : finder.toPreviousBoundary();
    finder.setPosition(offset);
    const qsizetype to = finder.toNextBoundary();
    return {start + qMax<qsizetype>(0, from), start + (to < 0 ? text.size() : to)};
}
