#pragma once

#include "terminal/cell_images.h"
#include "terminal/row_painter.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>

class QMenu;
class TerminalAccessibleNotes;

namespace term {
class Session;
}

// The terminal's screen as a grid of cells in the given font, and the keyboard into it. Keys,
// input-method text and pastes go to the session; what the board draws is painted at most once
// a frame from the rows that changed, however fast it arrives. The wheel, the scroll bar and
// Shift+PageUp/PageDown read back through the scrollback; a key sent to the board comes back to
// the live screen. Tab, Shift+Tab and Esc are the board's, never the window's.
class TerminalView : public QAbstractScrollArea
{
    Q_OBJECT
public:
    static constexpr int FrameMs = 33;
    // How long the board must stay quiet after a frame was left out for it to be painted at once.
    static constexpr int SettleMs = 8;
    static constexpr int BellIntervalMs = 200;

    explicit TerminalView(term::Session *session, QWidget *parent = nullptr);

    [[nodiscard]] term::Session *session() const { return m_session; }
    void setTerminalFont(const QFont &font);
    [[nodiscard]] const term::RowLook &look() const { return m_look; }
    // The size of a viewport that holds rows x columns cells.
    [[nodiscard]] QSize viewportSizeFor(int rows, int columns) const;

    // Lines scrolled back from the live screen; 0 follows the board.
    [[nodiscard]] int scrolledBack() const;
    void setScrolledBack(int lines);

    [[nodiscard]] bool hasSelection() const { return m_anchor != m_caret; }
    [[nodiscard]] QString selectedText() const;
    void clearSelection();
    void copy();
    void paste();
    void pasteMicroPython();

    // The rows in view as text, as a screen reader reads them.
    [[nodiscard]] QStringList visibleLines() const;
    // The cursor as a row in view and a column; row -1 when scrolled out of view.
    [[nodiscard]] QPoint cursorCell() const;
    [[nodiscard]] QRect cellRect(int row, int column) const;

signals:
    // The context menu is about to open with the view's own entries; add to it.
    void contextMenuAboutToShow(QMenu *menu);
    // Painted what had changed (tests and benchmarks wait for it).
    void framePainted();

protected:
    bool event(QEvent *event) override;
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    [[nodiscard]] QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void timerEvent(QTimerEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // A place in the text: a line numbered from the first ever kept, and a column.
    struct Place
    {
        qint64 line = 0;
        int column = 0;
        friend bool operator==(const Place &a, const Place &b)
        {
            return a.line == b.line && a.column == b.column;
        }
        friend bool operator!=(const Place &a, const Place &b) { return !(a == b); }
        friend bool operator<(const Place &a, const Place &b)
        {
            return a.line < b.line || (a.line == b.line && a.column < b.column);
        }
    };

    // The board changed the screen: painted now when nothing was painted for a frame, else at
    // the frame's end with whatever else changed meanwhile.
    void screenChanged();
    void frameEnded();
    // Whole screens scrolled by since the last frame: nothing painted now could be read.
    [[nodiscard]] bool isFlooding() const;
    void showChanges();
    void ring();
    void fitTerminal();
    void syncScrollBar();
    [[nodiscard]] bool handleViewKey(QKeyEvent *event);
    [[nodiscard]] qint64 firstVisibleLine() const;
    [[nodiscard]] Place placeAt(const QPoint &point) const;
    [[nodiscard]] bool isWordChar(qint64 line, int column) const;
    void selectWordAt(const Place &place);
    void copySelectionToPrimary() const;
    void followBoard();

    term::Session *m_session;
    term::RowLook m_look;
    term::CellImages m_cellImages;
    TerminalAccessibleNotes *m_notes;
    bool m_following = true;
    qint64 m_top = 0;       // reading back: the first visible line, numbered from the first ever
    qint64 m_barBase = 0;   // the line the scroll bar's 0 stood for when last set
    qint64 m_seenLines = 0; // scrollback lines ever pushed, when last looked
    Place m_anchor;
    Place m_caret;
    bool m_selecting = false;
    QString m_preedit;
    QBasicTimer m_frame;
    QBasicTimer m_settle;
    bool m_pending = false;
    bool m_fresh = false;    // the board drew since the frame's last end
    bool m_leftOut = false;  // the last frame's end painted nothing
    qint64 m_shownLines = 0; // scrollback lines ever pushed when changes were last shown
    bool m_linesMoved = false;
    bool m_syncingBar = false;
    QElapsedTimer m_lastBell;
};
