#pragma once

#include "textview/ansi_parser.h"
#include "textview/arrival_times.h"
#include "textview/caret_moves.h"
#include "textview/colour_runs.h"
#include "textview/highlight_rules.h"
#include "textview/line_marks.h"
#include "textview/line_renderer.h"
#include "textview/text_colours.h"
#include "textview/text_store.h"
#include "textview/wrap_index.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QPalette>
#include <QVarLengthArray>

struct BoxKey;
class FindDialog;
class QMenu;
class QPainter;

// The receive box: a multi-line text box with a vertical scroll bar that holds tens of
// megabytes without slowing down. Text lives in a TextStore, its visual lines in a WrapIndex,
// and only the lines on screen are ever drawn (by a LineRenderer), so appending a block costs
// the block, however long the text (one endless line of hexadecimal included). It still edits
// like a text box: caret, mouse and keyboard selection, clipboard, typing and input methods
// (receive_box_editing.cpp), with the keys of box_keys.cpp and the steps of CaretMoves.
class AccessibleNotes;
class ExposeWatch;

class ReceiveBox : public QAbstractScrollArea
{
    Q_OBJECT
    // Read the store, the line index and the caret to answer and tell a screen reader.
    friend class ReceiveBoxAccessible;
    friend class AccessibleNotes;

public:
    explicit ReceiveBox(QWidget *parent = nullptr);
    ~ReceiveBox() override;

    [[nodiscard]] QString text() const;
    // Replaces the whole text and puts the caret at its start; emits Change only when the text
    // differs.
    void setText(const QString &text);
    // Same as setText(text() + piece), at the cost of the piece; the selection stays, and a
    // view that follows the end goes on showing it.
    void appendText(QStringView piece);
    // The view shows the last line and nothing is selected, or the whole text is being replaced:
    // a change should take the caret to the end. A user who scrolls away to read, or selects
    // something to copy, keeps the view, the caret and the selection while data arrives.
    [[nodiscard]] bool followsEnd() const;

    // At most this many bytes are kept for the text, its visual lines and its times (0: no
    // limit): past it the oldest lines go, a tenth of the limit at a time. A view that reads back
    // keeps its text while that is kept.
    void setMaxBytes(qint64 bytes);
    [[nodiscard]] qint64 maxBytes() const { return m_maxBytes; }
    // Bytes dropped so far for the limit.
    [[nodiscard]] qint64 droppedBytes() const { return m_droppedBytes; }

    // What the times of received text mark: the start of each line, or of each burst (a block
    // after a silence), for a stream without line breaks.
    enum class Stamping { Lines, Bursts };
    void setStamping(Stamping stamping);
    // appendText for text that arrived at msecs (since the epoch): its time is kept.
    void appendReceived(QStringView piece, qint64 msecs);
    [[nodiscard]] const ArrivalTimes &arrivalTimes() const { return m_times; }
    // The gutter left of the text showing, on a line's first row, when it began to arrive.
    [[nodiscard]] bool timestampsShown() const { return m_gutter > 0; }
    void setTimestampsShown(bool shown);
    // [from, to) with each line, and each burst, written as "[HH:MM:SS.mmm] " and its text;
    // a range that starts inside a line gets that line's time.
    [[nodiscard]] QString stampedText(qint64 from, qint64 to) const;
    // What the gutter shows: on each visible row where a line or burst begins, its time, and
    // whether that line still waits for its line break (drawn dimmer).
    struct GutterLabel
    {
        int row;
        QString text;
        bool open;
    };
    [[nodiscard]] QList<GutterLabel> gutterLabels() const;
    // The time as the gutter shows it, in local time.
    [[nodiscard]] QString timeText(qint64 msecs) const { return m_timeFormat.text(msecs); }
    [[nodiscard]] qint64 length() const;

    [[nodiscard]] qint64 selStart() const;
    // Moves the caret to pos (clamped), collapses the selection and scrolls the caret into
    // view.
    void setSelStart(qint64 pos);
    [[nodiscard]] qint64 selLength() const;
    [[nodiscard]] QString selectedText() const;
    void setSelection(qint64 start, qint64 length);

    // Where needle next occurs starting at from (forward) or at from or before (backward), or -1.
    // The text is searched in slices, so a long capture costs no copy of itself.
    [[nodiscard]] qint64 find(const QString &needle, qint64 from, bool forward,
                              Qt::CaseSensitivity cs) const;
    // Shows the find bar (Ctrl+F, "查找…").
    void openFind();

    [[nodiscard]] int fontPointSize() const;
    // 0: the designed size, the window's font. Bounded to what stays readable and fits.
    void setFontPointSize(int points);

    [[nodiscard]] QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

    // What becomes of the ANSI control sequences in received text (receive_box_sequences.cpp):
    // shown as they came, as the box always did; rendered (colours and styles, CR and BS
    // overwriting within the line, a cleared screen marked between lines); or stripped, the
    // same without colours. Text already in the box stays as it is.
    enum class ControlSequences { Shown, Rendered, Stripped };
    void setControlSequences(ControlSequences mode);
    [[nodiscard]] ControlSequences controlSequences() const { return m_sequences; }
    // Received text in character display, appended as the mode says, with its time. Returns it
    // without its control sequences (as it came while they are shown), for the other readers of
    // what arrives.
    QString appendReceivedText(QStringView piece, qint64 msecs);
    // The same, handing back piece itself (no copy) while sequences are shown.
    QString appendReceivedText(const QString &piece, qint64 msecs);
    // The parser forgets any sequence under way and the pen, as after a file transfer.
    void resetControlSequences();
    // The pens of the text, and where a cleared screen began a new one.
    [[nodiscard]] const ColourRuns &colourRuns() const { return m_colours; }
    [[nodiscard]] const LineMarks &separators() const { return m_separators; }

    // Rules that colour the lines drawn (receive_box_styles.cpp).
    void setHighlightRules(const HighlightRules &rules);
    [[nodiscard]] const HighlightRules &highlightRules() const { return m_highlighter.rules(); }

    // Bookmarks on lines, at the line's first character (receive_box_marks.cpp): Ctrl+F2 on
    // the caret's line, F2 and Shift+F2 to the next and previous.
    [[nodiscard]] const LineMarks &bookmarks() const { return m_bookmarks; }
    // A thin line in the time gutter (at the left edge while it is hidden) above the row where
    // the text now ends: where something happened to the port between two bytes, such as being
    // lent to a flasher and taken back. Never part of the text; it goes with its line.
    void addGutterMark();
    [[nodiscard]] const LineMarks &gutterMarks() const { return m_gutterMarks; }
    void toggleBookmark();
    void goToBookmark(bool forward);
    // Selects the line that holds pos and shows it: the view then stays on it while data
    // arrives, as when the user reads back.
    void revealLine(qint64 pos);

    // The text as stored, for readers that go through it line by line (the filter window).
    [[nodiscard]] const TextStore &store() const { return m_store; }

    // Frames prepared so far: each moves what is drawn by the lines that arrived, marks the
    // rows that changed and syncs the scroll bar. None while the window cannot be seen.
    [[nodiscard]] qint64 framesPrepared() const { return m_frames; }
    // A window that paces its own painting prepares the box's frames itself, just before it
    // paints: the box then asks for one with frameWanted() instead of running a timer of its own,
    // and the window's frame and the box's are one, painted in one flush.
    void setFramesFromWindow(bool on);
    // The frame asked for with frameWanted(), if it is still to come.
    void prepareWantedFrame();

signals:
    // Any change of the text, by the user or by the program.
    void Change();
    // The user changed the font size (Ctrl+wheel, Ctrl+Plus, Ctrl+Minus, Ctrl+0).
    void fontSizeChanged(int points);
    // Old text was dropped to stay within the limit.
    void dropped();
    // The user switched the gutter on or off from the context menu.
    void timestampsShownChanged(bool shown);
    // The context menu is about to open with the box's own entries; more may be added.
    void contextMenuAboutToShow(QMenu *menu);
    // The text's range [pos, pos + removed) became `inserted` characters: text appended or
    // rewritten, edited, old lines dropped (at 0) or the whole text replaced.
    void textReplaced(qint64 pos, qint64 removed, qint64 inserted);
    // A bookmark was set or taken away by the user, or went with its line.
    void bookmarksChanged();
    // Changes wait for a frame prepared by the window (setFramesFromWindow()).
    void frameWanted();

protected:
    bool event(QEvent *e) override;
    void paintEvent(QPaintEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;
    void changeEvent(QEvent *e) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *e) override;
    void inputMethodEvent(QInputMethodEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void mouseDoubleClickEvent(QMouseEvent *e) override;
    void contextMenuEvent(QContextMenuEvent *e) override;
    void focusInEvent(QFocusEvent *e) override;
    void focusOutEvent(QFocusEvent *e) override;
    void timerEvent(QTimerEvent *e) override;
    void wheelEvent(QWheelEvent *e) override;

private:
    void setupFont();
    void markLineStarts(QStringView piece, qint64 at, qint64 msecs);
    // After text was appended at pos, perhaps replacing `removed` characters there.
    void appended(qint64 pos, qint64 removed, qint64 inserted, qint64 changedLine, bool follow);
    void applyBlock(const AnsiBlock &block, qint64 msecs);
    // The parser's line is no longer the end of the text as it gave it.
    void detachLine();
    // False when nothing could go.
    bool dropOldest(bool follow);
    // What the marks and pens do when old text goes or an edit replaces some.
    void dropFrontOfMarks(qint64 cut);
    void replacedInMarks(qint64 pos, qint64 removed, qint64 inserted);
    [[nodiscard]] qint64 keptBytes() const;
    [[nodiscard]] int gutterWidth() const;
    [[nodiscard]] int textLeft() const;
    // These paint the rows from line `top` on.
    void paintGutter(QPainter &painter, const QRect &dirty, QPalette::ColorGroup group, qint64 top);
    [[nodiscard]] QList<GutterLabel> gutterLabelsFrom(qint64 top) const;
    // Separators, and bookmarks at the left edge while the gutter is hidden.
    void paintMarks(QPainter &painter, QPalette::ColorGroup group, qint64 top);
    void paintGutterMarks(QPainter &painter, QPalette::ColorGroup group, qint64 top);
    // The rows on screen from line `top` whose visual line holds one of the marks.
    [[nodiscard]] QList<int> markedRows(const LineMarks &marks, qint64 top) const;
    void clearMarks();
    // The colours of the visual line [start, end), and the background of a whole highlighted
    // line, drawn at y.
    void styleLine(QPainter &painter, LineRenderer::Look &look, qint64 line, int y) const;
    // The first character of the line (not the visual line) that holds visual line `line`.
    [[nodiscard]] qint64 paragraphStart(qint64 line) const;
    // The rules' result for the line that holds visual line `line`.
    [[nodiscard]] const HighlightMatcher::Result &highlighted(qint64 line, qint64 *start) const;
    void rewrap();
    [[nodiscard]] qint32 wrapWidthFor(int viewportWidth) const;
    [[nodiscard]] qint64 maxTop() const;
    void setTop(qint64 line);
    void updateScrollRange();
    void scrollBarAction(int action);
    [[nodiscard]] int visibleLineCount() const;
    void ensureCaretVisible();
    void caretMoved();
    void restartBlink();
    // Asks for the rows of lines [from, to] as drawn now.
    void repaintLines(qint64 from, qint64 to);

    // Frames (receive_box_follow.cpp). What changed is noted by line and painted at the next
    // frame, after what is drawn has moved by the lines that arrived.
    [[nodiscard]] qint64 firstChangedLine(qint64 changedLine, bool rewritten) const;
    void linesChanged(qint64 from);
    void rowChanged(qint64 line);
    // Everything is painted anew, from the top as it is now.
    void repaintAll();
    void scheduleFrame();
    void prepareFrame();
    void paintingAll(const QPaintEvent *e);
    void exposedChanged(bool exposed);

    [[nodiscard]] CaretMoves caretMoves() const { return {m_store, m_index}; }
    [[nodiscard]] qint64 caretLine() const;
    [[nodiscard]] qint64 positionAt(QPointF point) const;
    [[nodiscard]] qint64 positionInLine(qint64 line, qreal x) const;
    [[nodiscard]] qreal caretX() const;
    [[nodiscard]] QRect caretRect() const;
    // Where the character at pos is drawn, in the viewport's coordinates.
    [[nodiscard]] QRect characterRect(qint64 pos) const;
    [[nodiscard]] qint64 moved(CaretStep step, bool forward);
    void moveCaret(qint64 pos, bool select);
    void pressMove(const BoxKey &key);
    void zoom(int step);

    void replaceSelection(QStringView text);
    void replaceRange(qint64 pos, qint64 length, QStringView text);
    void deleteStep(CaretStep step, bool forward);
    void copy() const;
    void copyStamped() const;
    void cut();
    void paste();
    void selectAll();
    void selectWordAt(qint64 pos);

    TextStore m_store;
    WrapIndex m_index;
    // The lines at the width before the last resize, which the window switches back to on
    // every tab change; it trails appends and catches up when it is used again.
    WrapIndex m_spare;
    bool m_spareValid = false;

    // First line shown; the scroll bar follows it.
    qint64 m_top = 0;
    bool m_atEnd = true;
    bool m_replacing = false;
    AccessibleNotes *m_notes;
    bool m_syncingBar = false;
    int m_wheelDelta = 0;
    int m_zoomDelta = 0;
    FindDialog *m_find = nullptr;

    qint64 m_anchor = 0;
    qint64 m_caret = 0;
    qreal m_wantedX = -1;
    QString m_preedit;
    int m_preeditCursor = 0;

    LineRenderer m_renderer{m_store};

    ArrivalTimes m_times;
    TimeFormat m_timeFormat;
    Stamping m_stamping = Stamping::Lines;
    // When the last received block arrived, or -1: the next one starts a burst.
    qint64 m_lastArrival = -1;
    qint64 m_maxBytes = 0;
    qint64 m_droppedBytes = 0;
    // Width of the time gutter, 0 while hidden.
    int m_gutter = 0;

    ControlSequences m_sequences = ControlSequences::Shown;
    AnsiParser m_parser;
    // Where the line the parser still writes begins in the store.
    qint64 m_openFrom = 0;
    ColourRuns m_colours;
    LineMarks m_separators;
    LineMarks m_bookmarks;
    LineMarks m_gutterMarks;
    HighlightMatcher m_highlighter;
    TextColours m_textColours;
    // The rules' results for lines drawn lately, by where the line begins and ends.
    struct Highlighted
    {
        qint64 start;
        qint64 end;
        HighlightMatcher::Result result;
    };
    mutable std::vector<Highlighted> m_highlighted;

    bool m_caretOn = true;
    QBasicTimer m_blink;
    // Frames: the line at the top of what is drawn, the lines changed since, and the caret and
    // selection as drawn.
    ExposeWatch *m_exposure;
    qint64 m_drawnTop = 0;
    qint64 m_changedFrom = -1;
    QVarLengthArray<qint64, 8> m_changedRows;
    qint64 m_shownCaret = 0;
    bool m_shownSelection = false;
    QBasicTimer m_frame;
    bool m_frameDue = false;
    bool m_framesFromWindow = false;
    QElapsedTimer m_lastFrame;
    qint64 m_frames = 0;
    QBasicTimer m_dragScroll;
    bool m_dragging = false;
    QPointF m_dragPoint;
};
