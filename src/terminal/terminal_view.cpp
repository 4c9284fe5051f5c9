#include "terminal/terminal_view.h"

#include "terminal/session.h"
#include "terminal/terminal_accessible.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTimerEvent>

#include <utility>

namespace {

// Where the board set no colour: light grey on black, as on a terminal.
const QColor defaultForeground(0xe5, 0xe5, 0xe5);
const QColor defaultBackground(0x00, 0x00, 0x00);

} // namespace

TerminalView::TerminalView(term::Session *session, QWidget *parent)
    : QAbstractScrollArea(parent), m_session(session), m_notes(new TerminalAccessibleNotes(this))
{
    static const bool accessible = [] {
        QAccessible::installFactory(&TerminalAccessible::create);
        return true;
    }();
    Q_UNUSED(accessible);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    setTerminalFont(font());
    connect(&m_session->emulator(), &term::Emulator::screenChanged, this,
            &TerminalView::screenChanged);
    connect(&m_session->emulator(), &term::Emulator::bell, this, &TerminalView::ring);
}

// A board printing BEL in a loop rings a few times a second, not at every byte.
void TerminalView::ring()
{
    if (m_lastBell.isValid() && m_lastBell.elapsed() < BellIntervalMs)
        return;
    m_lastBell.start();
    QApplication::beep();
}

void TerminalView::setTerminalFont(const QFont &font)
{
    m_look = term::RowLook::forFont(font);
    m_cellImages.clear();
    m_look.foreground = defaultForeground;
    m_look.background = defaultBackground;
    m_look.selectionForeground = palette().color(QPalette::HighlightedText);
    m_look.selectionBackground = palette().color(QPalette::Highlight);
    verticalScrollBar()->setSingleStep(1);
    fitTerminal();
    viewport()->update();
}

QSize TerminalView::viewportSizeFor(int rows, int columns) const
{
    return {columns * m_look.cellWidth, rows * m_look.cellHeight};
}

void TerminalView::fitTerminal()
{
    const QSize size = viewport()->size();
    const int rows = qMax(1, size.height() / m_look.cellHeight);
    const int columns = qMax(1, size.width() / m_look.cellWidth);
    m_session->emulator().resize(rows, columns);
}

void TerminalView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    fitTerminal();
    viewport()->update();
}

// Painted now when nothing was painted for a frame, else at the frame's end with whatever else
// changed meanwhile; the scroll bar follows at the same pace. While a board floods, whole screens
// scroll by between two frames and none of them can be read: every other frame is left out then,
// which halves the painting. A frame left out is painted after all once the board is quiet for
// SettleMs, so that where a board stops shows as soon as before.
void TerminalView::screenChanged()
{
    const qint64 pushed = m_session->emulator().linesPushed();
    if (pushed != m_seenLines) {
        m_seenLines = pushed;
        m_linesMoved = true;
    }
    if (m_frame.isActive()) {
        m_pending = true;
        m_fresh = true;
        return;
    }
    showChanges();
    m_frame.start(FrameMs, this);
}

bool TerminalView::isFlooding() const
{
    const term::Emulator &emulator = m_session->emulator();
    return emulator.linesPushed() - m_shownLines >= emulator.rows();
}

void TerminalView::frameEnded()
{
    if (!m_pending) {
        m_frame.stop();
        return;
    }
    if (!m_leftOut && isFlooding()) {
        m_leftOut = true;
        m_fresh = false;
        m_settle.start(SettleMs, this);
        return;
    }
    m_pending = false;
    showChanges();
}

void TerminalView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_frame.timerId()) {
        frameEnded();
    } else if (event->timerId() == m_settle.timerId()) {
        m_settle.stop();
        if (m_pending && !m_fresh) {
            m_pending = false;
            showChanges();
        }
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

void TerminalView::showChanges()
{
    m_leftOut = false;
    m_settle.stop();
    m_shownLines = m_session->emulator().linesPushed();
    const term::Damage damage = m_session->emulator().takeDamage();
    const bool moved = std::exchange(m_linesMoved, false);
    syncScrollBar();
    if (!m_following) {
        // Reading back: the screen's rows show only near the bottom, if at all.
        if (moved || !damage.isEmpty())
            viewport()->update();
    } else if (!damage.isEmpty()) {
        const int h = m_look.cellHeight;
        viewport()->update(0, damage.top * h, viewport()->width(),
                           (damage.bottom - damage.top) * h);
    }
    m_notes->changed();
}

// The bar's value is the first visible line counted from the oldest kept when it was set.
void TerminalView::syncScrollBar()
{
    const term::Emulator &emulator = m_session->emulator();
    m_barBase = emulator.linesPushed() - emulator.scrollbackCount();
    m_syncingBar = true;
    QScrollBar *bar = verticalScrollBar();
    bar->setRange(0, int(emulator.scrollbackCount()));
    bar->setPageStep(emulator.rows());
    bar->setValue(int(firstVisibleLine()));
    m_syncingBar = false;
}

void TerminalView::scrollContentsBy(int, int)
{
    if (m_syncingBar)
        return;
    const QScrollBar *bar = verticalScrollBar();
    m_following = bar->value() >= bar->maximum();
    m_top = m_barBase + bar->value();
    viewport()->update();
    m_notes->changed();
}

int TerminalView::scrolledBack() const
{
    return int(m_session->emulator().scrollbackCount() - firstVisibleLine());
}

void TerminalView::setScrolledBack(int lines)
{
    const term::Emulator &emulator = m_session->emulator();
    m_following = lines <= 0;
    m_top = emulator.linesPushed() - qBound<qint64>(0, qint64(lines), emulator.scrollbackCount());
    syncScrollBar();
    viewport()->update();
    m_notes->changed();
}

void TerminalView::followBoard()
{
    if (!m_following)
        setScrolledBack(0);
}

// Reading back, the view stays on its line while the board prints, until that line leaves the
// scrollback.
qint64 TerminalView::firstVisibleLine() const
{
    const term::Emulator &emulator = m_session->emulator();
    if (m_following)
        return emulator.scrollbackCount();
    const qint64 oldest = emulator.linesPushed() - emulator.scrollbackCount();
    return qBound<qint64>(0, m_top - oldest, emulator.scrollbackCount());
}

void TerminalView::paintEvent(QPaintEvent *event)
{
    const term::ScreenModel &screen = m_session->screen();
    QPainter painter(viewport());
    const QRect area = event->rect();
    const int h = m_look.cellHeight;
    const int rows = screen.rows();
    const int columns = screen.columns();
    const qint64 first = firstVisibleLine();
    const qint64 base = screen.droppedLines();
    Place from = qMin(m_anchor, m_caret);
    Place to = qMax(m_anchor, m_caret);
    const term::CursorState &cursor = screen.cursor();
    const int firstRow = qMax(0, area.top() / h);
    const int lastRow = qMin(rows - 1, area.bottom() / h);
    for (int r = firstRow; r <= lastRow; ++r) {
        const qint64 index = first + r;
        const qint64 absolute = base + index;
        term::RowMarks marks;
        marks.reverseScreen = screen.reverseScreen();
        if (from.line <= absolute && absolute <= to.line) {
            marks.selectionFrom = absolute == from.line ? from.column : 0;
            marks.selectionTo = absolute == to.line ? to.column : columns;
        }
        const int screenRow = int(index - screen.scrollbackCount());
        if (screenRow == cursor.row && cursor.visible && m_preedit.isEmpty()) {
            marks.cursorColumn = cursor.column;
            marks.cursorShape = cursor.shape;
            marks.cursorFilled = hasFocus();
        }
        term::paintRow(painter, r * h, screen.line(index), columns, m_look, marks, &m_cellImages);
    }
    // Past the last whole cell, and an input method's text under way at the cursor.
    const QRect grid(0, 0, columns * m_look.cellWidth, rows * h);
    painter.fillRect(QRect(grid.right() + 1, 0, width(), height()), m_look.background);
    painter.fillRect(QRect(0, grid.bottom() + 1, width(), height()), m_look.background);
    if (!m_preedit.isEmpty() && m_following) {
        const QRect at = cellRect(cursor.row, cursor.column);
        const int textWidth = painter.fontMetrics().horizontalAdvance(m_preedit);
        QRect box(at.topLeft(), QSize(textWidth, h));
        painter.setFont(m_look.font());
        painter.fillRect(box, m_look.background);
        painter.setPen(m_look.foreground);
        painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, m_preedit);
        painter.drawLine(box.bottomLeft(), box.bottomRight());
    }
    emit framePainted();
}

QRect TerminalView::cellRect(int row, int column) const
{
    return {column * m_look.cellWidth, row * m_look.cellHeight, m_look.cellWidth,
            m_look.cellHeight};
}

QPoint TerminalView::cursorCell() const
{
    const term::CursorState &cursor = m_session->screen().cursor();
    const int row = cursor.row + scrolledBack();
    return {cursor.column, row < m_session->screen().rows() ? row : -1};
}

QStringList TerminalView::visibleLines() const
{
    const term::ScreenModel &screen = m_session->screen();
    QStringList lines;
    const qint64 first = firstVisibleLine();
    for (int r = 0; r < screen.rows(); ++r)
        lines.append(screen.line(first + r).text());
    return lines;
}

bool TerminalView::event(QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        // Before the focus chain sees them: Tab and Shift+Tab complete on the board.
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    } else if (event->type() == QEvent::ShortcutOverride) {
        // Every key with a meaning for the board is the board's, not a shortcut's.
        auto *key = static_cast<QKeyEvent *>(event);
        const term::KeyAction action =
            term::encodeKey(key->key(), key->modifiers(), key->text(), {}, {});
        if (action.kind != term::KeyAction::Kind::Ignored) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

bool TerminalView::focusNextPrevChild(bool)
{
    return false;
}

bool TerminalView::handleViewKey(QKeyEvent *event)
{
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    const int key = event->key();
    if (mods == (Qt::ControlModifier | Qt::ShiftModifier) && key == Qt::Key_C) {
        copy();
        return true;
    }
    if ((mods == (Qt::ControlModifier | Qt::ShiftModifier) && key == Qt::Key_V) ||
        (mods == Qt::ShiftModifier && key == Qt::Key_Insert)) {
        paste();
        return true;
    }
    if (mods == Qt::ShiftModifier && (key == Qt::Key_PageUp || key == Qt::Key_PageDown)) {
        const int page = qMax(1, m_session->screen().rows() - 1);
        setScrolledBack(scrolledBack() + (key == Qt::Key_PageUp ? page : -page));
        return true;
    }
    return false;
}

void TerminalView::keyPressEvent(QKeyEvent *event)
{
    if (handleViewKey(event)) {
        event->accept();
        return;
    }
    if (m_session->pressKey(event->key(), event->modifiers(), event->text())) {
        event->accept();
        followBoard();
        return;
    }
    event->ignore();
}

void TerminalView::inputMethodEvent(QInputMethodEvent *event)
{
    if (!event->commitString().isEmpty()) {
        m_session->typeText(event->commitString());
        followBoard();
    }
    if (m_preedit != event->preeditString()) {
        m_preedit = event->preeditString();
        viewport()->update();
    }
    event->accept();
}

QVariant TerminalView::inputMethodQuery(Qt::InputMethodQuery query) const
{
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImCursorRectangle: {
        const QPoint cell = cursorCell();
        return cellRect(qMax(0, cell.y()), cell.x());
    }
    case Qt::ImFont:
        return m_look.font();
    case Qt::ImHints:
        return int(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void TerminalView::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TerminalView::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}
