#include "textview/receive_box_accessible.h"

#include "textview/receive_box.h"

#include <QScrollBar>
#include <QTimerEvent>

#include <algorithm>
#include <climits>

namespace {

int clampToInt(qint64 value)
{
    return int(std::clamp<qint64>(value, 0, INT_MAX));
}

bool isWordChar(char16_t c)
{
    return QChar(c).isLetterOrNumber() || c == u'_';
}

} // namespace

ReceiveBoxAccessible::ReceiveBoxAccessible(ReceiveBox *box)
    : QAccessibleWidget(box, QAccessible::EditableText)
{}

QAccessibleInterface *ReceiveBoxAccessible::create(const QString &className, QObject *object)
{
    if (className == QLatin1String("ReceiveBox") && object && object->isWidgetType())
        return new ReceiveBoxAccessible(static_cast<ReceiveBox *>(object));
    return nullptr;
}

ReceiveBox *ReceiveBoxAccessible::box() const
{
    return static_cast<ReceiveBox *>(widget());
}

void *ReceiveBoxAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State ReceiveBoxAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.editable = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

// The value would be the whole text, which a board may have made hundreds of megabytes: readers
// take it through the text interface instead.
QString ReceiveBoxAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Value)
        return {};
    return QAccessibleWidget::text(t);
}

void ReceiveBoxAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    const ReceiveBox *b = box();
    if (selectionIndex != 0 || b->m_anchor == b->m_caret)
        return;
    *startOffset = clampToInt(qMin(b->m_anchor, b->m_caret));
    *endOffset = clampToInt(qMax(b->m_anchor, b->m_caret));
}

int ReceiveBoxAccessible::selectionCount() const
{
    return box()->m_anchor != box()->m_caret ? 1 : 0;
}

void ReceiveBoxAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void ReceiveBoxAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        box()->setSelStart(box()->m_caret);
}

void ReceiveBoxAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        box()->setSelection(startOffset, qint64(endOffset) - startOffset);
}

int ReceiveBoxAccessible::cursorPosition() const
{
    return clampToInt(box()->m_caret);
}

void ReceiveBoxAccessible::setCursorPosition(int position)
{
    box()->setSelStart(position);
}

// [start, end) cut to MaxAnswerChars, never between the halves of a surrogate pair.
qint64 ReceiveBoxAccessible::cutEnd(qint64 start, qint64 end) const
{
    if (end - start <= MaxAnswerChars)
        return end;
    end = start + MaxAnswerChars;
    if (QChar::isHighSurrogate(box()->m_store.at(end - 1)))
        --end;
    return end;
}

QString ReceiveBoxAccessible::text(int startOffset, int endOffset) const
{
    const qint64 size = box()->m_store.size();
    const qint64 start = std::clamp<qint64>(startOffset, 0, size);
    const qint64 end = endOffset < 0 ? size : qBound<qint64>(start, endOffset, size);
    return box()->m_store.mid(start, cutEnd(start, end) - start);
}

// Characters are whole (a surrogate pair is one); words are runs of letters and digits, and the
// runs between them; lines, sentences and paragraphs are the box's drawn lines, with their
// break, so that no answer depends on the length of a board's output without line breaks.
void ReceiveBoxAccessible::unitAt(qint64 offset, QAccessible::TextBoundaryType type, qint64 *start,
                                  qint64 *end) const
{
    const ReceiveBox *b = box();
    const TextStore &store = b->m_store;
    const qint64 size = store.size();
    if (type == QAccessible::NoBoundary) {
        *start = 0;
        *end = size;
        return;
    }
    offset = qBound<qint64>(0, offset, size);
    if (type == QAccessible::CharBoundary) {
        *start = offset;
        *end = qMin(size, offset + 1);
        if (offset > 0 && offset < size && QChar::isLowSurrogate(store.at(offset)) &&
            QChar::isHighSurrogate(store.at(offset - 1)))
            *start = offset - 1;
        else if (*end < size && QChar::isHighSurrogate(store.at(offset)) &&
                 QChar::isLowSurrogate(store.at(*end)))
            ++*end;
        return;
    }
    const WrapIndex &index = b->m_index;
    const qint64 line = index.lineAt(offset);
    const qint64 lineStart = index.lineStart(line);
    const qint64 lineEnd = line + 1 < index.lineCount() ? index.lineStart(line + 1) : size;
    if (type != QAccessible::WordBoundary) {
        *start = lineStart;
        *end = lineEnd;
        return;
    }
    if (offset >= lineEnd) {
        *start = *end = offset;
        return;
    }
    const bool word = isWordChar(store.at(offset));
    qint64 s = offset;
    while (s > lineStart && isWordChar(store.at(s - 1)) == word)
        --s;
    qint64 e = offset + 1;
    while (e < lineEnd && isWordChar(store.at(e)) == word)
        ++e;
    *start = s;
    *end = e;
}

QString ReceiveBoxAccessible::unitText(qint64 start, qint64 end, int *startOffset,
                                       int *endOffset) const
{
    end = cutEnd(start, end);
    *startOffset = clampToInt(start);
    *endOffset = clampToInt(end);
    return box()->m_store.mid(start, end - start);
}

QString ReceiveBoxAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                           int *startOffset, int *endOffset) const
{
    qint64 start = 0;
    qint64 end = 0;
    unitAt(offset, boundaryType, &start, &end);
    return unitText(start, end, startOffset, endOffset);
}

QString ReceiveBoxAccessible::textBeforeOffset(int offset,
                                               QAccessible::TextBoundaryType boundaryType,
                                               int *startOffset, int *endOffset) const
{
    qint64 start = 0;
    qint64 end = 0;
    unitAt(offset, boundaryType, &start, &end);
    if (start == 0 || boundaryType == QAccessible::NoBoundary) {
        *startOffset = *endOffset = -1;
        return {};
    }
    unitAt(start - 1, boundaryType, &start, &end);
    return unitText(start, end, startOffset, endOffset);
}

QString ReceiveBoxAccessible::textAfterOffset(int offset,
                                              QAccessible::TextBoundaryType boundaryType,
                                              int *startOffset, int *endOffset) const
{
    qint64 start = 0;
    qint64 end = 0;
    unitAt(offset, boundaryType, &start, &end);
    if (end >= box()->m_store.size() || boundaryType == QAccessible::NoBoundary) {
        *startOffset = *endOffset = -1;
        return {};
    }
    unitAt(end, boundaryType, &start, &end);
    return unitText(start, end, startOffset, endOffset);
}

int ReceiveBoxAccessible::characterCount() const
{
    return clampToInt(box()->m_store.size());
}

QRect ReceiveBoxAccessible::characterRect(int offset) const
{
    const ReceiveBox *b = box();
    if (offset < 0 || offset > b->m_store.size())
        return {};
    const QRect rect = b->characterRect(offset);
    return QRect(b->viewport()->mapToGlobal(rect.topLeft()), rect.size());
}

int ReceiveBoxAccessible::offsetAtPoint(const QPoint &point) const
{
    const ReceiveBox *b = box();
    const QPoint local = b->viewport()->mapFromGlobal(point);
    if (!b->viewport()->rect().contains(local))
        return -1;
    return clampToInt(b->positionAt(local));
}

void ReceiveBoxAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    Q_UNUSED(endIndex);
    ReceiveBox *b = box();
    const qint64 line = b->m_index.lineAt(std::clamp<qint64>(startIndex, 0, b->m_store.size()));
    if (line < b->m_top || line >= b->m_top + b->visibleLineCount())
        b->setTop(line);
}

QString ReceiveBoxAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    Q_UNUSED(offset);
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}

AccessibleNotes::AccessibleNotes(ReceiveBox *box) : QObject(box), m_box(box) {}

void AccessibleNotes::inserted(qint64 position, qint64 length)
{
    if (!QAccessible::isActive() || length <= 0)
        return;
    if (m_insertedAt >= 0 && m_insertedAt + m_insertedLength == position) {
        m_insertedLength += length;
    } else {
        flush();
        m_insertedAt = position;
        m_insertedLength = length;
    }
    if (!m_timer.isActive())
        m_timer.start(IntervalMs, this);
}

// While a stream's insertions wait, the caret goes with them; else it is told at once, as the
// user moves it.
void AccessibleNotes::caretMoved()
{
    if (!QAccessible::isActive())
        return;
    m_caretPending = true;
    if (!m_timer.isActive())
        flush();
}

void AccessibleNotes::reset()
{
    m_insertedAt = -1;
    m_insertedLength = 0;
    if (QAccessible::isActive())
        caretMoved();
}

void AccessibleNotes::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId())
        return;
    m_timer.stop();
    flush();
}

void AccessibleNotes::flush()
{
    if (m_insertedAt >= 0) {
        const qint64 at = m_insertedAt;
        const qint64 length = m_insertedLength;
        m_insertedAt = -1;
        m_insertedLength = 0;
        if (length <= MaxInsertedChars && at + length <= m_box->length()) {
            QAccessibleTextInsertEvent event(m_box, clampToInt(at), m_box->m_store.mid(at, length));
            QAccessible::updateAccessibility(&event);
        } else {
            m_caretPending = true;
        }
    }
    if (m_caretPending) {
        m_caretPending = false;
        QAccessibleTextCursorEvent event(m_box, clampToInt(m_box->m_caret));
        QAccessible::updateAccessibility(&event);
    }
}
