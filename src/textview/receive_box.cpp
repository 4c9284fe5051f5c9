#include "textview/receive_box.h"

#include "textview/box_keys.h"
#include "textview/expose_watch.h"
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

// glibc keeps the freed pages of a cleared capture for reuse; a user who clears a long capture
// expects the memory back.
void boxshared::releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

namespace {

constexpr int MinWrapWidth = 16;
constexpr qreal Units = LineRenderer::Units;
constexpr int FillBand = 64;
// Replacing a text this long gives its memory back to the system.
constexpr qint64 LargeText = 4 << 20;

constexpr int MinFontPoints = 6;
constexpr int MaxFontPoints = 72;

} // namespace

ReceiveBox::ReceiveBox(QWidget *parent)
    : QAbstractScrollArea(parent), m_notes(new AccessibleNotes(this)),
      m_exposure(new ExposeWatch(this))
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
    connect(m_exposure, &ExposeWatch::exposedChanged, this, &ReceiveBox::exposedChanged);
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
    repaintAll();
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
    paintingAll(e);
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
    // The rows as drawn: a scroll that a frame has still to make moves them all at once.
    for (qint64 line = m_drawnTop; line < count && y < height; ++line, y += lineHeight) {
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
    paintMarks(painter, group, m_drawnTop);
    if (m_gutter > 0)
        paintGutter(painter, dirty, group, m_drawnTop);
    paintGutterMarks(painter, group, m_drawnTop);
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
    repaintAll();
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
        repaintAll();
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
    repaintAll();
}

void ReceiveBox::timerEvent(QTimerEvent *e)
{
    if (e->timerId() == m_blink.timerId()) {
        m_caretOn = !m_caretOn;
        repaintLines(caretLine(), caretLine());
    } else if (e->timerId() == m_frame.timerId()) {
        prepareFrame();
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
    repaintAll();
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

void ReceiveBox::caretMoved()
{
    m_notes->caretMoved();
    m_caretOn = true;
    restartBlink();
    // With nothing selected before or after, only the rows the caret left and reached change;
    // a caret that is not drawn changes none. Anything else may change many rows.
    const bool selection = selLength() > 0;
    if (selection || m_shownSelection || !m_preedit.isEmpty()) {
        repaintAll();
    } else if (hasFocus() && isEnabled()) {
        rowChanged(m_index.lineAt(qMin(m_shownCaret, m_store.size())));
        rowChanged(caretLine());
    }
    m_shownCaret = m_caret;
    m_shownSelection = selection;
}

void ReceiveBox::restartBlink()
{
    // Asked after every append while the caret follows the board: the theme is asked last.
    if (!hasFocus() || !m_exposure->isExposed())
        return;
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (flash > 0)
        m_blink.start(flash / 2, this);
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
