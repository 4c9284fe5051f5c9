// The receive box's editing: keys, mouse, input methods, the clipboard and the context menu.
#include "textview/receive_box.h"
#include "textview/receive_box_accessible.h"

#include "textview/box_keys.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>

namespace {

// Input methods ask for the selection often; a huge one is not worth copying for them.
constexpr qint64 MaxSelectionForInputMethod = 4096;

} // namespace

QVariant ReceiveBox::inputMethodQuery(Qt::InputMethodQuery query) const
{
    const qint64 line = caretLine();
    const qint64 start = m_index.lineStart(line);
    const qint64 end = m_index.lineEnd(line);
    switch (query) {
    case Qt::ImEnabled:
        return isEnabled();
    case Qt::ImCursorRectangle:
        return QRectF(caretRect().translated(viewport()->pos()));
    case Qt::ImFont:
        return m_renderer.font();
    case Qt::ImCursorPosition:
        return int(qMin(m_caret, end) - start);
    case Qt::ImAnchorPosition:
        return int(qBound(start, m_anchor, end) - start);
    case Qt::ImSurroundingText:
        return m_store.mid(start, end - start);
    case Qt::ImCurrentSelection:
        return selLength() <= MaxSelectionForInputMethod ? selectedText() : QString();
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void ReceiveBox::keyPressEvent(QKeyEvent *e)
{
    const BoxKey key = boxKey(e);
    switch (key.kind) {
    case BoxKey::None:
        QAbstractScrollArea::keyPressEvent(e);
        return;
    case BoxKey::Move:
        pressMove(key);
        break;
    case BoxKey::Find:
        openFind();
        break;
    case BoxKey::Zoom:
        zoom(key.zoom);
        break;
    case BoxKey::SelectAll:
        selectAll();
        break;
    case BoxKey::Copy:
        copy();
        break;
    case BoxKey::Cut:
        cut();
        break;
    case BoxKey::Paste:
        paste();
        break;
    case BoxKey::Delete:
        deleteStep(key.step, key.forward);
        break;
    case BoxKey::InsertBreak:
        replaceSelection(u"\r\n");
        break;
    case BoxKey::InsertText:
        replaceSelection(e->text());
        break;
    case BoxKey::ToggleBookmark:
        toggleBookmark();
        break;
    case BoxKey::GoToBookmark:
        goToBookmark(key.forward);
        break;
    }
    e->accept();
}

void ReceiveBox::pressMove(const BoxKey &key)
{
    const CaretStep step = key.step;
    if (step != CaretStep::Line && step != CaretStep::Page)
        m_wantedX = -1;
    // An arrow key on a selection goes to its edge.
    if (!key.select && step == CaretStep::Char && m_anchor != m_caret) {
        moveCaret(key.forward ? qMax(m_anchor, m_caret) : qMin(m_anchor, m_caret), false);
        return;
    }
    const qint64 pos = moved(step, key.forward);
    if (step == CaretStep::Page)
        setTop(m_top + (key.forward ? 1 : -1) * visibleLineCount());
    moveCaret(pos, key.select);
}

void ReceiveBox::inputMethodEvent(QInputMethodEvent *e)
{
    const QString preedit = e->preeditString();
    if (!e->commitString().isEmpty() || e->replacementLength() > 0) {
        qint64 from = selStart();
        qint64 length = selLength();
        if (length == 0 && e->replacementLength() > 0) {
            from = qBound<qint64>(0, m_caret + e->replacementStart(), m_store.size());
            length = qMin<qint64>(e->replacementLength(), m_store.size() - from);
        }
        m_preedit.clear();
        replaceRange(from, length, e->commitString());
    }
    m_preedit = preedit;
    m_preeditCursor = int(preedit.size());
    for (const QInputMethodEvent::Attribute &a : e->attributes()) {
        if (a.type == QInputMethodEvent::Cursor)
            m_preeditCursor = qBound(0, a.start, int(preedit.size()));
    }
    ensureCaretVisible();
    repaintAll();
    e->accept();
}

void ReceiveBox::mousePressEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton) {
        m_wantedX = -1;
        moveCaret(positionAt(e->position()), e->modifiers() & Qt::ShiftModifier);
        m_dragging = true;
        m_dragPoint = e->position();
        e->accept();
        return;
    }
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (e->button() == Qt::MiddleButton && clipboard->supportsSelection()) {
        const QString text = clipboard->text(QClipboard::Selection);
        if (!text.isEmpty()) {
            moveCaret(positionAt(e->position()), false);
            replaceSelection(text);
        }
        e->accept();
        return;
    }
    QAbstractScrollArea::mousePressEvent(e);
}

void ReceiveBox::mouseMoveEvent(QMouseEvent *e)
{
    if (!m_dragging || !(e->buttons() & Qt::LeftButton)) {
        QAbstractScrollArea::mouseMoveEvent(e);
        return;
    }
    m_dragPoint = e->position();
    const bool outside = m_dragPoint.y() < 0 || m_dragPoint.y() >= viewport()->height();
    if (outside && !m_dragScroll.isActive())
        m_dragScroll.start(50, this);
    else if (!outside)
        m_dragScroll.stop();
    moveCaret(positionAt(m_dragPoint), true);
    e->accept();
}

void ReceiveBox::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseReleaseEvent(e);
        return;
    }
    m_dragging = false;
    m_dragScroll.stop();
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (selLength() > 0 && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
    e->accept();
}

void ReceiveBox::mouseDoubleClickEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(e);
        return;
    }
    selectWordAt(positionAt(e->position()));
    e->accept();
}

void ReceiveBox::contextMenuEvent(QContextMenuEvent *e)
{
    QMenu menu(this);
    const bool hasSelection = selLength() > 0;
    QAction *cutAction = menu.addAction(QStringLiteral("剪切(&T)"));
    cutAction->setEnabled(hasSelection);
    QAction *copyAction = menu.addAction(QStringLiteral("复制(&C)"));
    copyAction->setEnabled(hasSelection);
    QAction *copyStampedAction = menu.addAction(QStringLiteral("复制（含时间戳）"));
    copyStampedAction->setEnabled(hasSelection);
    QAction *pasteAction = menu.addAction(QStringLiteral("粘贴(&P)"));
    pasteAction->setEnabled(!QGuiApplication::clipboard()->text().isEmpty());
    QAction *deleteAction = menu.addAction(QStringLiteral("删除(&D)"));
    deleteAction->setEnabled(hasSelection);
    menu.addSeparator();
    QAction *selectAllAction = menu.addAction(QStringLiteral("全选(&A)"));
    selectAllAction->setEnabled(m_store.size() > 0);
    menu.addSeparator();
    menu.addAction(QStringLiteral("查找…"), this, &ReceiveBox::openFind);
    QAction *stampsAction = menu.addAction(QStringLiteral("显示时间戳"));
    stampsAction->setCheckable(true);
    stampsAction->setChecked(timestampsShown());
    emit contextMenuAboutToShow(&menu);

    QAction *chosen = menu.exec(e->globalPos());
    if (chosen == cutAction)
        cut();
    else if (chosen == copyAction)
        copy();
    else if (chosen == copyStampedAction)
        copyStamped();
    else if (chosen == pasteAction)
        paste();
    else if (chosen == deleteAction)
        replaceSelection({});
    else if (chosen == selectAllAction)
        selectAll();
    else if (chosen == stampsAction) {
        setTimestampsShown(stampsAction->isChecked());
        emit timestampsShownChanged(timestampsShown());
    }
}

qint64 ReceiveBox::moved(CaretStep step, bool forward)
{
    const CaretMoves moves = caretMoves();
    switch (step) {
    case CaretStep::Char:
        return forward ? moves.next(m_caret) : moves.previous(m_caret);
    case CaretStep::Word:
        return moves.word(m_caret, forward);
    case CaretStep::Line:
    case CaretStep::Page: {
        if (m_wantedX < 0)
            m_wantedX = caretX();
        const qint64 line = caretLine();
        const qint64 lines = step == CaretStep::Line ? 1 : visibleLineCount();
        const qint64 target = line + (forward ? lines : -lines);
        if (target < 0 || target >= m_index.lineCount()) {
            if (step == CaretStep::Line)
                return m_caret;
            return forward ? m_store.size() : 0;
        }
        return positionInLine(target, m_wantedX);
    }
    case CaretStep::LineEdge:
        return forward ? moves.lineCaretEnd(caretLine()) : m_index.lineStart(caretLine());
    case CaretStep::Document:
        return forward ? m_store.size() : 0;
    }
    return m_caret;
}

void ReceiveBox::moveCaret(qint64 pos, bool select)
{
    m_caret = pos;
    if (!select)
        m_anchor = pos;
    ensureCaretVisible();
    caretMoved();
}

void ReceiveBox::replaceSelection(QStringView text)
{
    replaceRange(selStart(), selLength(), text);
}

void ReceiveBox::replaceRange(qint64 pos, qint64 length, QStringView text)
{
    if (length == 0 && text.isEmpty())
        return;
    m_times.replaced(pos, length, text.size(), m_store.size() - length + text.size());
    if (length == 0 && pos == m_store.size()) {
        m_store.append(text);
        m_index.catchUp(m_store);
    } else {
        m_store.replace(pos, length, text);
        m_index.replaced(m_store, pos, length, text.size());
        m_spareValid = false;
    }
    replacedInMarks(pos, length, text.size());
    emit textReplaced(pos, length, text.size());
    m_anchor = m_caret = pos + text.size();
    m_wantedX = -1;
    updateScrollRange();
    ensureCaretVisible();
    repaintAll();
    if (length == 0)
        m_notes->inserted(pos, text.size());
    else
        m_notes->reset();
    caretMoved();
    emit Change();
}

void ReceiveBox::deleteStep(CaretStep step, bool forward)
{
    if (m_anchor != m_caret) {
        replaceSelection({});
        return;
    }
    const CaretMoves moves = caretMoves();
    const qint64 other = step == CaretStep::Word ? moves.word(m_caret, forward)
                         : forward               ? moves.next(m_caret)
                                                 : moves.previous(m_caret);
    replaceRange(qMin(m_caret, other), qAbs(other - m_caret), {});
}

void ReceiveBox::copy() const
{
    if (selLength() > 0)
        QGuiApplication::clipboard()->setText(selectedText());
}

void ReceiveBox::copyStamped() const
{
    if (selLength() > 0)
        QGuiApplication::clipboard()->setText(stampedText(selStart(), selStart() + selLength()));
}

void ReceiveBox::cut()
{
    if (selLength() == 0)
        return;
    copy();
    replaceSelection({});
}

void ReceiveBox::paste()
{
    const QString text = QGuiApplication::clipboard()->text();
    if (!text.isEmpty())
        replaceSelection(text);
}

void ReceiveBox::selectAll()
{
    m_anchor = 0;
    m_caret = m_store.size();
    m_wantedX = -1;
    ensureCaretVisible();
    caretMoved();
}

void ReceiveBox::selectWordAt(qint64 pos)
{
    const auto [from, to] = caretMoves().wordAt(pos);
    m_anchor = from;
    m_caret = to;
    m_wantedX = -1;
    ensureCaretVisible();
    caretMoved();
}
