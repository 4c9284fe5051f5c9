#include "terminal/terminal_accessible.h"

#include "terminal/session.h"
#include "terminal/terminal_view.h"

#include <QTimerEvent>

#include <algorithm>

namespace {

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

} // namespace

TerminalAccessible::TerminalAccessible(TerminalView *view)
    : QAccessibleWidget(view, QAccessible::Terminal)
{}

QAccessibleInterface *TerminalAccessible::create(const QString &className, QObject *object)
{
    if (className == QLatin1String("TerminalView") && object && object->isWidgetType())
        return new TerminalAccessible(static_cast<TerminalView *>(object));
    return nullptr;
}

TerminalView *TerminalAccessible::view() const
{
    return static_cast<TerminalView *>(widget());
}

void *TerminalAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State TerminalAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

QString TerminalAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Value)
        return screenText(view());
    return QAccessibleWidget::text(t);
}

QString TerminalAccessible::screenText(const TerminalView *view)
{
    return view->visibleLines().join(QLatin1Char('\n'));
}

int TerminalAccessible::cursorOffset(const TerminalView *view)
{
    const QPoint cell = view->cursorCell();
    if (cell.y() < 0)
        return -1;
    const QStringList lines = view->visibleLines();
    int offset = 0;
    for (int r = 0; r < cell.y() && r < lines.size(); ++r)
        offset += int(lines[r].size()) + 1;
    const term::ScreenModel &screen = view->session()->screen();
    const qint64 line = screen.scrollbackCount() - view->scrolledBack() + cell.y();
    return offset + int(screen.line(line).text(0, cell.x()).size());
}

void TerminalAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    Q_UNUSED(selectionIndex);
    *startOffset = *endOffset = 0;
}

int TerminalAccessible::selectionCount() const
{
    return 0;
}

// The board owns the cursor; a reader cannot move it or select through this interface.
void TerminalAccessible::addSelection(int, int) {}
void TerminalAccessible::removeSelection(int) {}
void TerminalAccessible::setSelection(int, int, int) {}
void TerminalAccessible::setCursorPosition(int) {}

int TerminalAccessible::cursorPosition() const
{
    return qMax(0, cursorOffset(view()));
}

QString TerminalAccessible::text(int startOffset, int endOffset) const
{
    const QString all = screenText(view());
    const int start = std::clamp(startOffset, 0, int(all.size()));
    const int end = endOffset < 0 ? int(all.size()) : std::clamp(endOffset, start, int(all.size()));
    return all.mid(start, end - start);
}

// Characters are whole (a surrogate pair is one); words are runs of letters and digits, and the
// runs between them; lines, sentences and paragraphs are the rows, with their break.
void TerminalAccessible::unitAt(const QString &text, int offset, QAccessible::TextBoundaryType type,
                                int *start, int *end)
{
    const int size = int(text.size());
    if (type == QAccessible::NoBoundary) {
        *start = 0;
        *end = size;
        return;
    }
    offset = std::clamp(offset, 0, size);
    if (type == QAccessible::CharBoundary) {
        *start = offset;
        *end = qMin(size, offset + 1);
        if (offset > 0 && offset < size && text.at(offset).isLowSurrogate() &&
            text.at(offset - 1).isHighSurrogate())
            *start = offset - 1;
        else if (*end < size && text.at(offset).isHighSurrogate())
            ++*end;
        return;
    }
    int lineStart = offset;
    while (lineStart > 0 && text.at(lineStart - 1) != QLatin1Char('\n'))
        --lineStart;
    int lineEnd = offset;
    while (lineEnd < size && text.at(lineEnd) != QLatin1Char('\n'))
        ++lineEnd;
    if (lineEnd < size)
        ++lineEnd;
    if (type != QAccessible::WordBoundary) {
        *start = lineStart;
        *end = lineEnd;
        return;
    }
    if (offset >= size) {
        *start = *end = offset;
        return;
    }
    const bool word = isWordChar(text.at(offset));
    int s = offset;
    while (s > lineStart && isWordChar(text.at(s - 1)) == word)
        --s;
    int e = offset + 1;
    while (e < lineEnd && isWordChar(text.at(e)) == word)
        ++e;
    *start = s;
    *end = e;
}

QString TerminalAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                         int *startOffset, int *endOffset) const
{
    const QString all = screenText(view());
    unitAt(all, offset, boundaryType, startOffset, endOffset);
    return all.mid(*startOffset, *endOffset - *startOffset);
}

QString TerminalAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                             int *startOffset, int *endOffset) const
{
    const QString all = screenText(view());
    unitAt(all, offset, boundaryType, startOffset, endOffset);
    if (*startOffset == 0 || boundaryType == QAccessible::NoBoundary) {
        *startOffset = *endOffset = -1;
        return {};
    }
    unitAt(all, *startOffset - 1, boundaryType, startOffset, endOffset);
    return all.mid(*startOffset, *endOffset - *startOffset);
}

QString TerminalAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int *startOffset, int *endOffset) const
{
    const QString all = screenText(view());
    unitAt(all, offset, boundaryType, startOffset, endOffset);
    if (*endOffset >= all.size() || boundaryType == QAccessible::NoBoundary) {
        *startOffset = *endOffset = -1;
        return {};
    }
    unitAt(all, *endOffset, boundaryType, startOffset, endOffset);
    return all.mid(*startOffset, *endOffset - *startOffset);
}

int TerminalAccessible::characterCount() const
{
    return int(screenText(view()).size());
}

QRect TerminalAccessible::characterRect(int offset) const
{
    const QStringList lines = view()->visibleLines();
    int row = 0;
    while (row < lines.size() && offset > lines[row].size()) {
        offset -= int(lines[row].size()) + 1;
        ++row;
    }
    if (row >= lines.size() || offset < 0)
        return {};
    const term::ScreenModel &screen = view()->session()->screen();
    const term::Line &line = screen.line(screen.scrollbackCount() - view()->scrolledBack() + row);
    int column = 0;
    for (int chars = 0; column < screen.columns(); ++column) {
        const term::Cell cell = line.at(column);
        if (cell.ch == term::Cell::Continuation)
            continue;
        chars += (cell.ch > 0xffff ? 2 : 1) + int(line.marks.value(column).size());
        if (chars > offset)
            break;
    }
    const QRect cell = view()->cellRect(row, qMin(column, screen.columns() - 1));
    return QRect(view()->viewport()->mapToGlobal(cell.topLeft()), cell.size());
}

int TerminalAccessible::offsetAtPoint(const QPoint &point) const
{
    const QPoint local = view()->viewport()->mapFromGlobal(point);
    if (!view()->viewport()->rect().contains(local))
        return -1;
    const term::RowLook &look = view()->look();
    const QStringList lines = view()->visibleLines();
    const int row = local.y() / look.cellHeight;
    if (row >= lines.size())
        return -1;
    int offset = 0;
    for (int r = 0; r < row; ++r)
        offset += int(lines[r].size()) + 1;
    return offset + qMin(int(lines[row].size()), local.x() / look.cellWidth);
}

void TerminalAccessible::scrollToSubstring(int, int) {}

QString TerminalAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    Q_UNUSED(offset);
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}

TerminalAccessibleNotes::TerminalAccessibleNotes(TerminalView *view) : QObject(view), m_view(view)
{}

void TerminalAccessibleNotes::changed()
{
    if (!QAccessible::isActive())
        return;
    if (!m_timer.isActive())
        m_timer.start(IntervalMs, this);
}

void TerminalAccessibleNotes::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId())
        return;
    m_timer.stop();
    flush();
}

// Text added at the end is told as an insertion, which a reader speaks; anything else as the
// screen's text replaced.
void TerminalAccessibleNotes::flush()
{
    const QString text = TerminalAccessible::screenText(m_view);
    if (text != m_told) {
        if (text.startsWith(m_told)) {
            QAccessibleTextInsertEvent event(m_view, int(m_told.size()), text.mid(m_told.size()));
            QAccessible::updateAccessibility(&event);
        } else {
            QAccessibleTextUpdateEvent event(m_view, 0, m_told, text);
            QAccessible::updateAccessibility(&event);
        }
        m_told = text;
    }
    const int cursor = TerminalAccessible::cursorOffset(m_view);
    if (cursor >= 0 && cursor != m_toldCursor) {
        m_toldCursor = cursor;
        QAccessibleTextCursorEvent event(m_view, cursor);
        QAccessible::updateAccessibility(&event);
    }
}
