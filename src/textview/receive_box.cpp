#include "textview/receive_box.h"

#include "textview/box_keys.h"
#include "textview/find_dialog.h"
#include "textview/receive_box_accessible.h"
#include "textview/receive_box_shared.h"
#include "textview/scroll_bar.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QStyleHints>
#include <QWheelEvent>
#include <QtMath>

#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace boxshared;

namespace {

// glibc keeps the freed pages of a cleared capture for reuse; a user who clears a long capture
// expects the memory back.
void releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

constexpr int MinWrapWidth = 16;
constexpr qreal Units = LineRenderer::Units;
constexpr int ScrollBarRange = 10000;
constexpr int FillBand = 64;
// The scroll bar catches up with a stream once a display frame, at 30 frames a second.
constexpr int BarSyncMs = 33;
// Replacing a text this long gives its memory back to the system.
constexpr qint64 LargeText = 4 << 20;

constexpr int MinFontPoints = 6;
constexpr int MaxFontPoints = 72;

} // namespace

ReceiveBox::ReceiveBox(QWidget *parent)
    : QAbstractScrollArea(parent), m_notes(new AccessibleNotes(this))
{
    static const bool accessible = [] {
        QAccessible::installFactory(&ReceiveBoxAccessible::create);
        return true;
    }();
    Q_UNUSED(accessible);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    // Always shown, so that its coming and going never rewraps the text.
    setVerticalScrollBar(new BoxScrollBar);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &ReceiveBox::scrollBarAction);
    setupFont();
}

ReceiveBox::~ReceiveBox() = default;

QString ReceiveBox::text() const
{
    return m_store.text();
}

void ReceiveBox::setText(const QString &text)
{
    if (m_store.equals(text))
        return;
    const bool large = m_store.size() >= LargeText;
    const qint64 oldSize = m_store.size();
    m_store.clear();
    m_times.clear();
    const bool hadBookmarks = !m_bookmarks.isEmpty();
    clearMarks();
    m_lastArrival = -1;
    const bool hadDropped = m_droppedBytes > 0;
    m_droppedBytes = 0;
    m_spare.clear();
    m_spareValid = false;
    m_store.append(text);
    m_index.rebuild(m_store);
    detachLine();
    emit textReplaced(0, oldSize, m_store.size());
    if (large)
        releaseFreedMemory();
    m_anchor = m_caret = 0;
    m_wantedX = -1;
    m_top = 0;
    updateScrollRange();
    m_notes->reset();
    caretMoved();
    if (hadDropped)
        emit dropped();
    if (hadBookmarks)
        emit bookmarksChanged();
    const QScopedValueRollback<bool> replacing(m_replacing, true);
    emit Change();
}

void ReceiveBox::appendText(QStringView piece)
{
    if (piece.isEmpty())
        return;
    const qint64 at = m_store.size();
    const qint64 changedLine = m_index.lineCount() - 1;
    const bool follow = followsEnd();
    m_store.append(piece);
    m_index.catchUp(m_store);
    // Text that comes as it is after coloured text has no colour.
    if (!m_colours.isEmpty())
        m_colours.append(at, Pen());
    appended(at, 0, piece.size(), changedLine, follow);
}

void ReceiveBox::appended(qint64 pos, qint64 removed, qint64 inserted, qint64 changedLine,
                          bool follow)
{
    emit textReplaced(pos, removed, inserted);
    if (m_maxBytes > 0 && keptBytes() > m_maxBytes)
        dropOldest(follow);
    if (removed > 0)
        m_notes->reset();
    else
        m_notes->inserted(m_store.size() - inserted, inserted);
    // A view showing the end follows it, as a terminal does; the scroll bar then stays put. One
    // the user has scrolled away, or that holds a selection, stays where it is.
    if (follow)
        m_top = maxTop();
    m_atEnd = m_top == maxTop();
    // A stream appends far more often than a screen shows; the bar catches up once a frame.
    if (!m_barSync.isActive())
        m_barSync.start(BarSyncMs, this);
    if (changedLine <= m_top + visibleLineCount())
        viewport()->update();
    emit Change();
}

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
    viewport()->update();
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

void ReceiveBox::dropOldest(bool follow)
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
        return;
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
    viewport()->update();
    m_notes->reset();
    emit textReplaced(0, cut, 0);
    emit dropped();
    if (hadBookmarks)
        emit bookmarksChanged();
}

bool ReceiveBox::followsEnd() const
{
    return m_replacing || (m_top >= maxTop() && selLength() == 0);
}

qint64 ReceiveBox::length() const
{
    return m_store.size();
}

qint64 ReceiveBox::selStart() const
{
    return qMin(m_anchor, m_caret);
}

void ReceiveBox::setSelStart(qint64 pos)
{
    m_wantedX = -1;
    moveCaret(qBound<qint64>(0, pos, m_store.size()), false);
}

qint64 ReceiveBox::selLength() const
{
    return qAbs(m_caret - m_anchor);
}

QString ReceiveBox::selectedText() const
{
    return m_store.mid(selStart(), selLength());
}

void ReceiveBox::setSelection(qint64 start, qint64 length)
{
    const qint64 size = m_store.size();
    start = qBound<qint64>(0, start, size);
    m_anchor = start;
    m_caret = qBound<qint64>(0, start + length, size);
    m_wantedX = -1;
    ensureCaretVisible();
    caretMoved();
}

bool ReceiveBox::event(QEvent *e)
{
    // Keys this box handles must not trigger a shortcut of the window.
    if (e->type() == QEvent::ShortcutOverride &&
        boxKey(static_cast<QKeyEvent *>(e)).kind != BoxKey::None) {
        e->accept();
        return true;
    }
    return QAbstractScrollArea::event(e);
}

void ReceiveBox::paintEvent(QPaintEvent *e)
{
    QPainter painter(viewport());
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    const QPalette &pal = palette();
    // In bands, because Qt hands a fill of a hundred rows or more to its thread pool, whose
    // wake-ups cost more than the fill itself at a few dozen frames a second.
    const QRect dirty = e->rect();
    for (int top = dirty.top(); top <= dirty.bottom(); top += FillBand)
        painter.fillRect(
            QRect(dirty.left(), top, dirty.width(), qMin(FillBand, dirty.bottom() + 1 - top)),
            pal.brush(group, QPalette::Base));

    m_textColours.setBox(pal.color(group, QPalette::Text), pal.color(group, QPalette::Base));
    LineRenderer::Look look;
    look.selectionFrom = selStart();
    look.selectionTo = look.selectionFrom + selLength();
    look.text = pal.color(group, QPalette::Text);
    look.highlight = pal.brush(group, QPalette::Highlight);
    look.highlightedText = pal.color(group, QPalette::HighlightedText);
    const qint64 caretAt = caretLine();
    const qint64 count = m_index.lineCount();
    const int lineHeight = m_renderer.lineHeight();
    const int height = viewport()->height();
    int y = TopMargin;
    for (qint64 line = m_top; line < count && y < height; ++line, y += lineHeight) {
        if (y + lineHeight <= dirty.top() || y > dirty.bottom())
            continue;
        const qint64 end = m_index.lineEnd(line);
        look.selectsBreak = look.selectionFrom <= end && look.selectionTo > end &&
                            line + 1 < count && m_index.startsParagraph(line + 1);
        const bool caretHere = line == caretAt;
        look.caret = caretHere ? m_caret : -1;
        look.caretShown = caretHere && hasFocus() && m_caretOn && isEnabled();
        look.preedit = caretHere ? QStringView(m_preedit) : QStringView();
        look.preeditCursor = m_preeditCursor;
        styleLine(painter, look, line, y);
        m_renderer.draw(painter, QPointF(textLeft(), y), m_index.lineStart(line), end, look);
    }
    paintMarks(painter, group);
    if (m_gutter > 0)
        paintGutter(painter, dirty, group);
    paintGutterMarks(painter, group);
}

void ReceiveBox::resizeEvent(QResizeEvent *e)
{
    QAbstractScrollArea::resizeEvent(e);
    // A view that showed the end goes on showing it, whatever the new height.
    const bool atEnd = m_atEnd;
    rewrap();
    if (atEnd)
        m_top = maxTop();
    updateScrollRange();
}

void ReceiveBox::changeEvent(QEvent *e)
{
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::FontChange) {
        setupFont();
        updateScrollRange();
        ensureCaretVisible();
    }
    if (e->type() == QEvent::FontChange || e->type() == QEvent::PaletteChange ||
        e->type() == QEvent::EnabledChange || e->type() == QEvent::ActivationChange)
        viewport()->update();
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
        viewport()->update();
    }
}

void ReceiveBox::scrollBarAction(int action)
{
    if (m_barSync.isActive())
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

void ReceiveBox::wheelEvent(QWheelEvent *e)
{
    if (e->modifiers() & Qt::ControlModifier) {
        m_zoomDelta += e->angleDelta().y();
        const int notches = m_zoomDelta / QWheelEvent::DefaultDeltasPerStep;
        m_zoomDelta -= notches * QWheelEvent::DefaultDeltasPerStep;
        if (notches != 0)
            zoom(notches);
        e->accept();
        return;
    }
    if (e->modifiers() & Qt::ShiftModifier) {
        e->ignore();
        return;
    }
    m_wheelDelta += e->angleDelta().y();
    const int notches = m_wheelDelta / QWheelEvent::DefaultDeltasPerStep;
    m_wheelDelta -= notches * QWheelEvent::DefaultDeltasPerStep;
    if (notches != 0)
        setTop(m_top - qint64(notches) * QGuiApplication::styleHints()->wheelScrollLines());
    e->accept();
}

void ReceiveBox::zoom(int step)
{
    setFontPointSize(step == 0 ? 0 : fontPointSize() + step);
    emit fontSizeChanged(fontPointSize());
}

void ReceiveBox::focusInEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusInEvent(e);
    caretMoved();
}

void ReceiveBox::focusOutEvent(QFocusEvent *e)
{
    QAbstractScrollArea::focusOutEvent(e);
    m_blink.stop();
    viewport()->update();
}

void ReceiveBox::timerEvent(QTimerEvent *e)
{
    if (e->timerId() == m_blink.timerId()) {
        m_caretOn = !m_caretOn;
        repaintLines(caretLine(), caretLine());
    } else if (e->timerId() == m_barSync.timerId()) {
        updateScrollRange();
    } else if (e->timerId() == m_dragScroll.timerId()) {
        moveCaret(positionAt(m_dragPoint), true);
    } else {
        QAbstractScrollArea::timerEvent(e);
    }
}

qint64 ReceiveBox::find(const QString &needle, qint64 from, bool forward,
                        Qt::CaseSensitivity cs) const
{
    return m_store.indexOf(needle, from, forward, cs);
}

void ReceiveBox::openFind()
{
    if (!m_find)
        m_find = new FindDialog(this);
    m_find->show();
    m_find->raise();
    m_find->activateWindow();
}

int ReceiveBox::fontPointSize() const
{
    return font().pointSize();
}

void ReceiveBox::setFontPointSize(int points)
{
    if (points == 0) {
        // The font the window gives the box: its designed size.
        setFont(QFont());
        return;
    }
    QFont sized = font();
    sized.setPointSize(qBound(MinFontPoints, points, MaxFontPoints));
    setFont(sized);
}

void ReceiveBox::setupFont()
{
    m_renderer.setFont(font());
    if (m_gutter > 0)
        m_gutter = gutterWidth();
    m_spare.setMetrics(0, m_renderer.tabStop(), m_renderer.widths());
    m_spareValid = false;
    m_index.setMetrics(wrapWidthFor(viewport()->width()), m_renderer.tabStop(),
                       m_renderer.widths());
    m_index.rebuild(m_store);
}

void ReceiveBox::rewrap()
{
    const qint32 width = wrapWidthFor(viewport()->width());
    if (width == m_index.wrapWidth())
        return;
    const qint64 top = m_index.lineStart(qMin(m_top, m_index.lineCount() - 1));

    std::swap(m_index, m_spare);
    if (m_spareValid && m_index.wrapWidth() == width) {
        m_index.catchUp(m_store);
    } else {
        m_index.setWrapWidth(width);
        m_index.rebuild(m_store);
    }
    m_spareValid = true;

    m_top = m_index.lineAt(top);
    updateScrollRange();
    viewport()->update();
}

qint32 ReceiveBox::wrapWidthFor(int viewportWidth) const
{
    return qint32(qMax(MinWrapWidth, viewportWidth - 2 * SideMargin - m_gutter) * Units);
}

int ReceiveBox::gutterWidth() const
{
    return QFontMetrics(m_renderer.font()).horizontalAdvance(NoTime) + GutterGap;
}

int ReceiveBox::textLeft() const
{
    return SideMargin + m_gutter;
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
    viewport()->update();
}

void ReceiveBox::updateScrollRange()
{
    m_barSync.stop();
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

void ReceiveBox::caretMoved()
{
    m_notes->caretMoved();
    m_caretOn = true;
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (hasFocus() && flash > 0)
        m_blink.start(flash / 2, this);
    viewport()->update();
}

void ReceiveBox::repaintLines(qint64 from, qint64 to)
{
    const qint64 first = m_top;
    const qint64 top = qMax(from, first) - first;
    const qint64 bottom = to - first;
    if (bottom < 0 || top > visibleLineCount())
        return;
    const int lineHeight = m_renderer.lineHeight();
    viewport()->update(0, TopMargin + int(top) * lineHeight, viewport()->width(),
                       int(bottom - top + 1) * lineHeight);
}

qint64 ReceiveBox::caretLine() const
{
    return m_index.lineAt(m_caret);
}

qint64 ReceiveBox::positionAt(QPointF point) const
{
    const qint64 line = m_top + qint64(qFloor((point.y() - TopMargin) / m_renderer.lineHeight()));
    return positionInLine(qBound<qint64>(0, line, m_index.lineCount() - 1), point.x() - textLeft());
}

qint64 ReceiveBox::positionInLine(qint64 line, qreal x) const
{
    const qint64 pos = m_renderer.positionAt(m_index.lineStart(line), m_index.lineEnd(line), x);
    return qMin(pos, caretMoves().lineCaretEnd(line));
}

qreal ReceiveBox::caretX() const
{
    const qint64 line = caretLine();
    return m_renderer.xOf(m_index.lineStart(line), m_index.lineEnd(line), m_caret);
}

QRect ReceiveBox::caretRect() const
{
    const qint64 row = caretLine() - m_top;
    const int lineHeight = m_renderer.lineHeight();
    return QRect(textLeft() + qFloor(caretX()), TopMargin + int(row) * lineHeight, 1, lineHeight);
}

QRect ReceiveBox::characterRect(qint64 pos) const
{
    const qint64 line = m_index.lineAt(pos);
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    const qreal left = m_renderer.xOf(start, end, pos);
    const qreal right = pos < end ? m_renderer.xOf(start, end, pos + 1) : left + 1;
    const int lineHeight = m_renderer.lineHeight();
    return QRect(textLeft() + qFloor(left), TopMargin + int(line - m_top) * lineHeight,
                 qMax(1, qCeil(right - left)), lineHeight);
}
