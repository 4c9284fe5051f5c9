// The terminal view's selection, clipboard and context menu.
#include "terminal/session.h"
#include "terminal/terminal_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>

TerminalView::Place TerminalView::placeAt(const QPoint &point) const
{
    const term::ScreenModel &screen = m_session->screen();
    const int row = qBound(0, point.y() / m_look.cellHeight, screen.rows() - 1);
    // A click on the right half of a cell selects from after it, as text editors do.
    const int column =
        qBound(0, (point.x() + m_look.cellWidth / 2) / m_look.cellWidth, screen.columns());
    return {screen.droppedLines() + firstVisibleLine() + row, column};
}

void TerminalView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_anchor = m_caret = placeAt(event->position().toPoint());
        m_selecting = true;
        viewport()->update();
        event->accept();
        return;
    }
    if (event->button() == Qt::MiddleButton) {
        // As in every X terminal: the primary selection goes to the board.
        m_session->paste(QApplication::clipboard()->text(QClipboard::Selection));
        followBoard();
        event->accept();
        return;
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void TerminalView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selecting)
        return;
    const Place place = placeAt(event->position().toPoint());
    if (place == m_caret)
        return;
    m_caret = place;
    viewport()->update();
}

void TerminalView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_selecting)
        return;
    m_selecting = false;
    copySelectionToPrimary();
}

bool TerminalView::isWordChar(qint64 line, int column) const
{
    const term::ScreenModel &screen = m_session->screen();
    const qint64 index = line - screen.droppedLines();
    if (index < 0 || index >= screen.lineCount() || column < 0 || column >= screen.columns())
        return false;
    const char32_t c = screen.line(index).at(column).ch;
    if (c == term::Cell::Continuation)
        return true;
    return c != U' ' && !QStringLiteral("\"'`()[]{}<>|,;").contains(QChar(char16_t(c)));
}

void TerminalView::selectWordAt(const Place &place)
{
    int from = place.column;
    int to = place.column;
    if (!isWordChar(place.line, from))
        return;
    while (from > 0 && isWordChar(place.line, from - 1))
        --from;
    while (isWordChar(place.line, to))
        ++to;
    m_anchor = {place.line, from};
    m_caret = {place.line, to};
    viewport()->update();
}

void TerminalView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint point = event->position().toPoint();
    Place place = placeAt(point);
    place.column = qBound(0, point.x() / m_look.cellWidth, m_session->screen().columns() - 1);
    selectWordAt(place);
    m_selecting = false;
    copySelectionToPrimary();
}

QString TerminalView::selectedText() const
{
    const term::ScreenModel &screen = m_session->screen();
    const Place from = qMin(m_anchor, m_caret);
    const Place to = qMax(m_anchor, m_caret);
    QStringList lines;
    for (qint64 line = from.line; line <= to.line; ++line) {
        const qint64 index = line - screen.droppedLines();
        if (index < 0 || index >= screen.lineCount())
            continue;
        lines.append(screen.line(index).text(line == from.line ? from.column : 0,
                                             line == to.line ? to.column : -1));
    }
    return lines.join(QLatin1Char('\n'));
}

void TerminalView::clearSelection()
{
    if (!hasSelection())
        return;
    m_anchor = m_caret;
    viewport()->update();
}

void TerminalView::copySelectionToPrimary() const
{
    QClipboard *clipboard = QApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

void TerminalView::copy()
{
    if (hasSelection())
        QApplication::clipboard()->setText(selectedText());
}

void TerminalView::paste()
{
    m_session->paste(QApplication::clipboard()->text());
    followBoard();
}

void TerminalView::pasteMicroPython()
{
    m_session->pasteMicroPython(QApplication::clipboard()->text());
    followBoard();
}

void TerminalView::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    menu.setToolTipsVisible(true);
    QAction *copyAction = menu.addAction(QStringLiteral("复制"), this, &TerminalView::copy);
    copyAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+C")));
    copyAction->setEnabled(hasSelection());
    QAction *pasteAction = menu.addAction(QStringLiteral("粘贴"), this, &TerminalView::paste);
    pasteAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+V")));
    QAction *micro = menu.addAction(QStringLiteral("MicroPython 粘贴模式"), this,
                                    &TerminalView::pasteMicroPython);
    micro->setToolTip(QStringLiteral("剪贴板的内容以 Ctrl+E … Ctrl+D 送入 MicroPython 的粘贴模式"));
    const bool canSend = m_session->isSending();
    const bool clipboardText = !QApplication::clipboard()->text().isEmpty();
    pasteAction->setEnabled(canSend && clipboardText);
    micro->setEnabled(canSend && clipboardText);
    emit contextMenuAboutToShow(&menu);
    menu.exec(event->globalPos());
}
