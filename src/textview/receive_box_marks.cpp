// Marks on lines of the receive box: bookmarks, the separators where a board cleared its screen,
// and the gutter's marks of what happened to the port; they move with edits and go with their
// lines.
#include "textview/receive_box.h"

#include "textview/receive_box_shared.h"

#include <QPainter>

using namespace boxshared;

qint64 ReceiveBox::paragraphStart(qint64 line) const
{
    while (line > 0 && !m_index.startsParagraph(line))
        --line;
    return m_index.lineStart(line);
}

void ReceiveBox::toggleBookmark()
{
    m_bookmarks.toggle(paragraphStart(caretLine()));
    repaintAll();
    emit bookmarksChanged();
}

void ReceiveBox::goToBookmark(bool forward)
{
    if (m_bookmarks.isEmpty())
        return;
    const qint64 from = forward ? qMax(m_anchor, m_caret) : selStart();
    const qint64 here = paragraphStart(m_index.lineAt(from));
    std::optional<qint64> to = forward ? m_bookmarks.after(here) : m_bookmarks.before(here);
    // Past the last one, round to the first, as find does.
    if (!to)
        to = forward ? m_bookmarks.positions().front() : m_bookmarks.positions().back();
    revealLine(*to);
}

void ReceiveBox::addGutterMark()
{
    m_gutterMarks.append(m_store.size());
    repaintAll();
}

void ReceiveBox::revealLine(qint64 pos)
{
    pos = qBound<qint64>(0, pos, m_store.size());
    qint64 line = m_index.lineAt(pos);
    const qint64 start = paragraphStart(line);
    while (m_index.wraps(line))
        ++line;
    qint64 end = m_index.lineEnd(line);
    // An empty line is held by selecting its line break.
    if (end == start && line + 1 < m_index.lineCount())
        end = m_index.lineStart(line + 1);
    setTop(m_index.lineAt(start) - visibleLineCount() / 3);
    setSelection(start, end - start);
}

void ReceiveBox::clearMarks()
{
    m_colours.clear();
    m_separators.clear();
    m_bookmarks.clear();
    m_gutterMarks.clear();
    m_highlighted.clear();
}

void ReceiveBox::dropFrontOfMarks(qint64 cut)
{
    m_colours.dropFront(cut);
    m_separators.dropFront(cut);
    m_bookmarks.dropFront(cut);
    m_gutterMarks.dropFront(cut);
    m_highlighted.clear();
    if (m_openFrom >= cut)
        m_openFrom -= cut;
    else
        detachLine();
}

void ReceiveBox::replacedInMarks(qint64 pos, qint64 removed, qint64 inserted)
{
    m_colours.replaced(pos, removed, inserted);
    m_separators.replaced(pos, removed, inserted);
    const qint64 bookmarks = m_bookmarks.count();
    m_bookmarks.replaced(pos, removed, inserted);
    m_gutterMarks.replaced(pos, removed, inserted);
    m_highlighted.clear();
    // An edit before the line the board writes moves it; one in it ends it.
    if (pos + removed <= m_openFrom)
        m_openFrom += inserted - removed;
    else
        detachLine();
    if (m_bookmarks.count() != bookmarks)
        emit bookmarksChanged();
}

QList<int> ReceiveBox::markedRows(const LineMarks &marks, qint64 top) const
{
    QList<int> rows;
    const qint64 count = m_index.lineCount();
    const int visible = visibleLineCount() + 1;
    for (int row = 0; row < visible && top + row < count; ++row) {
        const qint64 line = top + row;
        const qint64 next = line + 1 < count ? m_index.lineStart(line + 1) : m_store.size() + 1;
        if (marks.firstIn(m_index.lineStart(line), next))
            rows.append(row);
    }
    return rows;
}

// Over the gutter, drawn after it: across it, or a short tick at the left edge while it is hidden.
void ReceiveBox::paintGutterMarks(QPainter &painter, QPalette::ColorGroup group, qint64 top)
{
    if (m_gutterMarks.isEmpty())
        return;
    const int width = m_gutter > 0 ? m_gutter : SideMargin * 3;
    const QColor line = palette().color(group, QPalette::Link);
    for (const int row : markedRows(m_gutterMarks, top))
        painter.fillRect(QRect(0, TopMargin + row * m_renderer.lineHeight(), width, 2), line);
}

void ReceiveBox::paintMarks(QPainter &painter, QPalette::ColorGroup group, qint64 top)
{
    const QPalette &pal = palette();
    const int lineHeight = m_renderer.lineHeight();
    if (!m_separators.isEmpty()) {
        // A new screen begins above its first line, across the box.
        QColor line = pal.color(group, QPalette::Highlight);
        line.setAlpha(170);
        for (const int row : markedRows(m_separators, top))
            painter.fillRect(QRect(0, TopMargin + row * lineHeight, viewport()->width(), 1), line);
    }
    if (m_gutter == 0 && !m_bookmarks.isEmpty()) {
        for (const int row : markedRows(m_bookmarks, top))
            painter.fillRect(QRect(0, TopMargin + row * lineHeight, SideMargin - 1, lineHeight),
                             pal.brush(group, QPalette::Highlight));
    }
}
