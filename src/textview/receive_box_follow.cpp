// Following the board and dropping old text: where the view stands, the scroll bar, and the
// frames in which a stream is painted. While the view follows, a frame moves what is drawn up by
// the lines that arrived and paints only the rows that are new or changed.
#include "textview/receive_box.h"

#include "textview/expose_watch.h"
#include "textview/receive_box_accessible.h"
#include "textview/receive_box_shared.h"
#include "textview/scroll_bar.h"

#include <QGuiApplication>
#include <QPaintEvent>
#include <QStyleHints>

using namespace boxshared;

namespace {

constexpr int ScrollBarRange = 10000;
// A stream appends far more often than a screen shows: what it changed is painted, and the
// scroll bar catches up, once a display frame, at 30 frames a second (or as the window that
// prepares the box's frames paces them).
constexpr int FrameMs = 33;
// Single rows waiting for a frame (the caret's); past this many the frame repaints everything.
constexpr qsizetype MaxChangedRows = 8;

} // namespace

void ReceiveBox::appended(qint64 pos, qint64 removed, qint64 inserted, qint64 changedLine,
                          bool follow)
{
    emit textReplaced(pos, removed, inserted);
    // Dropping old text renumbers the lines and repaints everything.
    const bool dropped = m_maxBytes > 0 && keptBytes() > m_maxBytes && dropOldest(follow);
    if (removed > 0)
        m_notes->reset();
    else
        m_notes->inserted(m_store.size() - inserted, inserted);
    // A view showing the end follows it, as a terminal does; the scroll bar then stays put. One
    // the user has scrolled away, or that holds a selection, stays where it is.
    if (follow)
        m_top = maxTop();
    m_atEnd = m_top == maxTop();
    if (dropped)
        scheduleFrame();
    else
        linesChanged(firstChangedLine(changedLine, removed > 0));
    emit Change();
}

void ReceiveBox::setMaxBytes(qint64 bytes)
{
    m_maxBytes = qMax<qint64>(0, bytes);
}

// Down to nine tenths of the limit, cut where a line begins (in hexadecimal, where a row
// begins), so that the line index meets its old lines at once and the cost stays flat.
// What is allocated counts: the line index with its spare room, and the one kept for the last
// width. Asked on every append, so the marks count at their 8 bytes each rather than by the
// segments' own tally, which walks every segment.
qint64 ReceiveBox::keptBytes() const
{
    return m_store.memoryBytes() + m_index.memoryBytes() + m_spare.memoryBytes() +
           m_times.count() * 8 + m_colours.memoryBytes() + m_separators.memoryBytes() +
           m_gutterMarks.memoryBytes() + m_bookmarks.memoryBytes();
}

bool ReceiveBox::dropOldest(bool follow)
{
    constexpr qint64 LinesToLookAt = 100000;
    const qint64 memory = keptBytes();
    const qint64 size = m_store.size();
    const qint64 target = m_maxBytes - m_maxBytes / 10;
    // In floating point: the product of two large counts does not fit in 64 bits.
    const double share = double(memory - target) / double(qMax<qint64>(1, memory));
    const qint64 chars = qBound<qint64>(1, qint64(share * double(size)), size);
    const qint64 count = m_index.lineCount();
    qint64 line = m_index.lineAt(chars);
    if (m_index.lineStart(line) < chars)
        ++line;
    qint64 cut = line < count ? m_index.lineStart(line) : size;
    for (qint64 l = line; l < count && l < line + LinesToLookAt; ++l) {
        if (m_index.startsParagraph(l)) {
            cut = m_index.lineStart(l);
            break;
        }
    }
    if (cut <= 0)
        return false;
    const qint64 topStart = m_index.lineStart(qMin(m_top, count - 1));
    const qint64 textBytes = m_store.memoryBytes();
    // A burst in hex, or a line that had to be cut mid-way, keeps its time.
    const bool insideLine = cut < size && !isBreak(m_store.at(cut - 1));
    m_store.replace(0, cut, {});
    m_index.replaced(m_store, 0, cut, 0);
    m_index.squeeze();
    m_spare.clear();
    m_spareValid = false;
    m_times.dropFront(cut, insideLine);
    const bool hadBookmarks = !m_bookmarks.isEmpty() && m_bookmarks.positions().front() < cut;
    dropFrontOfMarks(cut);
    m_droppedBytes += textBytes - m_store.memoryBytes();
    // A selection reaching into what went is cleared; otherwise caret and selection move along.
    if (qMin(m_anchor, m_caret) < cut) {
        m_anchor = m_caret = qMax<qint64>(0, m_caret - cut);
    } else {
        m_anchor -= cut;
        m_caret -= cut;
    }
    m_wantedX = -1;
    m_top = follow ? maxTop() : topStart >= cut ? m_index.lineAt(topStart - cut) : 0;
    releaseFreedMemory();
    updateScrollRange();
    repaintAll();
    m_notes->reset();
    emit textReplaced(0, cut, 0);
    emit dropped();
    if (hadBookmarks)
        emit bookmarksChanged();
    return true;
}

bool ReceiveBox::followsEnd() const
{
    return m_replacing || (m_top >= maxTop() && selLength() == 0);
}

void ReceiveBox::scrollContentsBy(int, int)
{
    if (m_syncingBar)
        return;
    // The user moved the bar. Its range may trail a stream by a frame, so the value is read
    // against the bar's own range: a line number, or a proportion past ScrollBarRange lines.
    const QScrollBar *bar = verticalScrollBar();
    const qint64 line = bar->maximum() > 0 ? qint64(bar->value()) * maxTop() / bar->maximum() : 0;
    if (line != m_top) {
        m_top = line;
        repaintAll();
    }
}

void ReceiveBox::scrollBarAction(int action)
{
    if (m_frameDue)
        updateScrollRange();
    // A proportional bar would step by far more than a line or a page: step by lines here.
    if (maxTop() <= ScrollBarRange)
        return;
    qint64 lines = 0;
    switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
        lines = 1;
        break;
    case QAbstractSlider::SliderSingleStepSub:
        lines = -1;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        lines = visibleLineCount();
        break;
    case QAbstractSlider::SliderPageStepSub:
        lines = -visibleLineCount();
        break;
    default:
        return;
    }
    setTop(m_top + lines);
}

qint64 ReceiveBox::maxTop() const
{
    return qMax<qint64>(0, m_index.lineCount() - visibleLineCount());
}

void ReceiveBox::setTop(qint64 line)
{
    line = qBound<qint64>(0, line, maxTop());
    if (line == m_top)
        return;
    m_top = line;
    updateScrollRange();
    repaintAll();
}

void ReceiveBox::updateScrollRange()
{
    // Past ScrollBarRange lines the bar shows a proportion rather than a line number, so that
    // a stream arriving at the end leaves it unchanged instead of costing a repaint each block.
    const qint64 maximum = maxTop();
    m_top = qMin(m_top, maximum);
    m_atEnd = m_top == maximum;
    const int visible = visibleLineCount();
    const bool scaled = maximum > ScrollBarRange;
    const int barMaximum = scaled ? ScrollBarRange : int(maximum);
    const int pageStep =
        scaled ? int(qMax<qint64>(1, visible * ScrollBarRange / maximum)) : visible;
    const int value = scaled ? int(m_top * ScrollBarRange / maximum) : int(m_top);
    QScrollBar *bar = verticalScrollBar();
    // Most appends change nothing here; the bar's setters cost signals even then.
    if (bar->maximum() == barMaximum && bar->pageStep() == pageStep && bar->value() == value)
        return;
    m_syncingBar = true;
    static_cast<BoxScrollBar *>(bar)->setState(barMaximum, pageStep, value);
    m_syncingBar = false;
}

int ReceiveBox::visibleLineCount() const
{
    return qMax(1, (viewport()->height() - TopMargin) / m_renderer.lineHeight());
}

void ReceiveBox::ensureCaretVisible()
{
    const qint64 line = caretLine();
    const int visible = visibleLineCount();
    if (line < m_top)
        setTop(line);
    else if (line >= m_top + visible)
        setTop(line - visible + 1);
}

void ReceiveBox::repaintLines(qint64 from, qint64 to)
{
    // In the rows as drawn: a scroll still to come moves this area along with them.
    const qint64 top = qMax(from, m_drawnTop) - m_drawnTop;
    const qint64 bottom = to - m_drawnTop;
    if (bottom < top || top > visibleLineCount())
        return;
    const int lineHeight = m_renderer.lineHeight();
    viewport()->update(0, TopMargin + int(top) * lineHeight, viewport()->width(),
                       int(qMin<qint64>(bottom - top + 1, visibleLineCount() + 1)) * lineHeight);
}

qint64 ReceiveBox::firstChangedLine(qint64 changedLine, bool rewritten) const
{
    // Appending changes the last line and adds lines after it. A rewrite may rewrap the line
    // before it; highlight rules match whole lines; the gutter dims the time of a line still
    // open. For those the rows from the line's start change, as far up as anything is drawn.
    if (!rewritten && m_highlighter.isEmpty() && m_gutter == 0)
        return changedLine;
    const qint64 shown = qMin(m_drawnTop, m_top);
    qint64 line = qMin(changedLine, m_index.lineCount() - 1);
    while (line > shown && !m_index.startsParagraph(line))
        --line;
    return line;
}

void ReceiveBox::linesChanged(qint64 from)
{
    m_changedFrom = m_changedFrom < 0 ? from : qMin(m_changedFrom, from);
    scheduleFrame();
}

void ReceiveBox::rowChanged(qint64 line)
{
    if (m_changedRows.size() >= MaxChangedRows)
        m_changedFrom = qMin(m_changedFrom < 0 ? m_top : m_changedFrom, m_top);
    else if (!m_changedRows.contains(line))
        m_changedRows.append(line);
    scheduleFrame();
}

void ReceiveBox::repaintAll()
{
    m_drawnTop = m_top;
    m_changedFrom = -1;
    m_changedRows.clear();
    // Exposed again, the window is painted whole anyway.
    if (m_exposure->isExposed())
        viewport()->update();
}

void ReceiveBox::setFramesFromWindow(bool on)
{
    if (on == m_framesFromWindow)
        return;
    m_framesFromWindow = on;
    if (!m_frameDue)
        return;
    // A frame already due comes from whichever clock now prepares them.
    m_frameDue = false;
    m_frame.stop();
    scheduleFrame();
}

void ReceiveBox::prepareWantedFrame()
{
    if (m_frameDue)
        prepareFrame();
}

void ReceiveBox::scheduleFrame()
{
    if (m_frameDue || !m_exposure->isExposed())
        return;
    m_frameDue = true;
    if (m_framesFromWindow) {
        emit frameWanted();
        return;
    }
    // A box that has not painted for a frame prepares one at once, so that a line shows without
    // delay; a stream then gets one a frame.
    const qint64 since = m_lastFrame.isValid() ? m_lastFrame.elapsed() : FrameMs;
    m_frame.start(int(qBound<qint64>(0, FrameMs - since, qint64(FrameMs))), this);
}

void ReceiveBox::prepareFrame()
{
    m_frame.stop();
    m_frameDue = false;
    m_lastFrame.start();
    ++m_frames;
    updateScrollRange();
    const int rows = visibleLineCount() + 1;
    const qint64 shift = m_top - m_drawnTop;
    if (shift != 0) {
        // Once for all the lines since the last frame: scroll() copies the pixels at the call,
        // and moves anything already waiting to be painted with them.
        if (qAbs(shift) < rows) {
            const QRect rowsArea(0, TopMargin, viewport()->width(),
                                 viewport()->height() - TopMargin);
            viewport()->scroll(0, int(-shift) * m_renderer.lineHeight(), rowsArea);
            m_drawnTop = m_top;
        } else {
            repaintAll();
        }
    }
    if (m_changedFrom >= 0)
        repaintLines(m_changedFrom, m_top + rows);
    for (const qint64 line : std::as_const(m_changedRows))
        repaintLines(line, line);
    m_changedFrom = -1;
    m_changedRows.clear();
}

// A painting of the whole view shows the lines from the top as it is now, the scroll still to
// come included. A picture of the box (grab()) paints it whole too but leaves the window as it
// was, so the window is painted whole as well.
void ReceiveBox::paintingAll(const QPaintEvent *e)
{
    if (m_drawnTop == m_top || !(QRegion(viewport()->rect()) - e->region()).isEmpty())
        return;
    m_drawnTop = m_top;
    viewport()->update();
}

void ReceiveBox::exposedChanged(bool exposed)
{
    if (!exposed) {
        m_frame.stop();
        m_frameDue = false;
        m_blink.stop();
        return;
    }
    // What arrived meanwhile is shown at once, in one frame.
    repaintAll();
    prepareFrame();
    restartBlink();
}
