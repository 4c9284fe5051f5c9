// The times of received text: where lines and bursts begin, the gutter beside the text that
// shows them (with bookmarks), and the times in copies of the text.
#include "textview/receive_box.h"

#include "textview/receive_box_shared.h"

#include <QPainter>

#include <algorithm>

using namespace boxshared;

void ReceiveBox::setStamping(Stamping stamping)
{
    if (stamping == m_stamping)
        return;
    m_stamping = stamping;
    m_lastArrival = -1;
}

void ReceiveBox::appendReceived(QStringView piece, qint64 msecs)
{
    if (piece.isEmpty())
        return;
    const qint64 at = m_store.size();
    if (m_stamping == Stamping::Bursts) {
        if (m_lastArrival < 0 || msecs - m_lastArrival >= BurstGapMs)
            m_times.append(at, msecs);
    } else {
        markLineStarts(piece, at, msecs);
    }
    m_lastArrival = msecs;
    appendText(piece);
}

// A line begins with the first character after a line break (CR LF, LF or a lone CR), even
// when that break came in an earlier block, and with the first character of the text.
void ReceiveBox::markLineStarts(QStringView piece, qint64 at, qint64 msecs)
{
    const char16_t before = at > 0 ? m_store.at(at - 1) : u'\n';
    // A line rewritten from its start keeps the time it began at.
    bool lineStart = isBreak(before) && !m_times.firstIn(at, at + 1);
    bool afterCR = before == u'\r';
    const char16_t *p = piece.utf16();
    const qsizetype n = piece.size();
    qsizetype i = 0;
    while (i < n) {
        if (lineStart) {
            // The LF of a CR LF whose CR ended the text so far.
            if (afterCR && p[i] == u'\n') {
                afterCR = false;
                ++i;
                continue;
            }
            m_times.append(at + i, msecs);
            lineStart = false;
        }
        while (i < n && (p[i] > u'\r' || !isBreak(p[i])))
            ++i;
        if (i == n)
            break;
        afterCR = p[i] == u'\r';
        lineStart = true;
        ++i;
    }
}

void ReceiveBox::setTimestampsShown(bool shown)
{
    const int gutter = shown ? gutterWidth() : 0;
    if (gutter == m_gutter)
        return;
    const bool atEnd = m_atEnd;
    m_gutter = gutter;
    rewrap();
    if (atEnd)
        m_top = maxTop();
    updateScrollRange();
    repaintAll();
}

QString ReceiveBox::stampedText(qint64 from, qint64 to) const
{
    from = qBound<qint64>(0, from, m_store.size());
    to = qBound<qint64>(from, to, m_store.size());
    const QString text = m_store.mid(from, to - from);
    QString out;
    out.reserve(text.size() + text.size() / 4);
    // The line (or burst) the range starts in gives the first piece its time.
    std::optional<ArrivalTimes::Mark> stamp = m_times.lastAtOrBefore(from);
    if (stamp && stamp->pos < from) {
        bool broken = false;
        m_store.forEachRun(stamp->pos, from, [&](const auto *run, qsizetype n) {
            broken = std::any_of(run, run + n, [](auto c) { return isBreak(char16_t(c)); });
            return !broken;
        });
        if (broken)
            stamp.reset();
    }
    std::optional<ArrivalTimes::Mark> next = m_times.firstIn(from + 1, to);
    qsizetype begin = 0;
    const auto emitPiece = [&](qsizetype end) {
        out += u'[';
        out += stamp ? timeText(stamp->msecs) : NoTime;
        out += QLatin1String("] ");
        out += QStringView(text).mid(begin, end - begin);
        begin = end;
        stamp.reset();
    };
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (next && next->pos == from + i) {
            // A burst that began inside a line gets a line of its own.
            if (begin < i) {
                emitPiece(i);
                out += u'\n';
            }
            stamp = next;
            next = m_times.firstIn(from + i + 1, to);
        }
        const char16_t c = text.at(i).unicode();
        if (c == u'\n' || (c == u'\r' && (i + 1 == n || text.at(i + 1) != u'\n')))
            emitPiece(i + 1);
    }
    if (begin < n)
        emitPiece(n);
    return out;
}

void ReceiveBox::paintGutter(QPainter &painter, const QRect &dirty, QPalette::ColorGroup group,
                             qint64 top)
{
    const QPalette &pal = palette();
    const int right = SideMargin + m_gutter - GutterGap / 2;
    if (dirty.left() >= right)
        return;
    painter.fillRect(QRect(0, dirty.top(), right, dirty.height()),
                     pal.brush(group, QPalette::AlternateBase));
    const int lineHeight = m_renderer.lineHeight();
    // A bookmark takes the gutter's place on its line, under the time.
    if (!m_bookmarks.isEmpty()) {
        QColor mark = pal.color(group, QPalette::Highlight);
        mark.setAlpha(110);
        for (const int row : markedRows(m_bookmarks, top))
            painter.fillRect(QRect(0, TopMargin + row * lineHeight, right, lineHeight), mark);
    }
    for (const GutterLabel &label : gutterLabelsFrom(top)) {
        const int y = TopMargin + label.row * lineHeight;
        if (y + lineHeight <= dirty.top() || y > dirty.bottom())
            continue;
        m_renderer.drawLabel(
            painter, QPointF(SideMargin, y), label.text,
            pal.color(group, label.open ? QPalette::PlaceholderText : QPalette::Text));
    }
}

QList<ReceiveBox::GutterLabel> ReceiveBox::gutterLabels() const
{
    return gutterLabelsFrom(m_top);
}

QList<ReceiveBox::GutterLabel> ReceiveBox::gutterLabelsFrom(qint64 top) const
{
    QList<GutterLabel> labels;
    const qint64 size = m_store.size();
    const std::optional<ArrivalTimes::Mark> last = m_times.lastAtOrBefore(size);
    const bool lastOpen =
        m_stamping == Stamping::Lines && size > 0 && !isBreak(m_store.at(size - 1));
    const qint64 count = m_index.lineCount();
    const int rows = visibleLineCount() + 1;
    for (int row = 0; row < rows && top + row < count; ++row) {
        const qint64 line = top + row;
        const qint64 next = line + 1 < count ? m_index.lineStart(line + 1) : size + 1;
        const std::optional<ArrivalTimes::Mark> mark =
            m_times.firstIn(m_index.lineStart(line), next);
        if (mark)
            labels.append({row, timeText(mark->msecs), lastOpen && last->pos == mark->pos});
    }
    return labels;
}
