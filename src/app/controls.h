#pragma once

#include <QComboBox>
#include <QElapsedTimer>
#include <QGlyphRun>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRawFont>
#include <QWidget>

// The window's controls raise the same handling whether the user or the program changes them:
// setting a text runs the change handling only when the text really differs, selecting a list
// entry from the program runs its click handling, and filling a list raises nothing. These
// classes are the one place where that rule lives; the handlers only connect to Change()/Click().

// Single-line text box.
class LineBox : public QLineEdit
{
    Q_OBJECT
public:
    explicit LineBox(QWidget *parent = nullptr);
    void setText(const QString &text);

signals:
    void Change();
};

// Multi-line text box. Its text uses CR LF line breaks, as the serial line and the settings file
// expect; the editor itself keeps plain line feeds.
class MemoBox : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit MemoBox(QWidget *parent = nullptr);
    [[nodiscard]] QString text() const;
    void setText(const QString &text);

signals:
    void Change();
    // The context menu is about to open with the editor's own entries; more may be added.
    void contextMenuAboutToShow(QMenu *menu);
    // Ctrl+Up (older) or Ctrl+Down: a step through what was sent before.
    void historyStep(bool older);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void onContentsChange(int position, int removed, int added);
    QString m_last;
};

// Editable drop-down list. Typing is its Change, picking an entry (or the program selecting
// one) is its Click; picking raises no Change. Ending the typing (Return, focus leaving) is
// neither, even when the typed text equals an entry, and never adds one.
class ListBox : public QComboBox
{
    Q_OBJECT
public:
    explicit ListBox(QWidget *parent = nullptr);
    [[nodiscard]] QString text() const { return currentText(); }
    void setText(const QString &text);
    // Appends entries; the text stays as it is and nothing is raised.
    void fill(const QStringList &entries);
    void addEntry(const QString &entry);
    // Position of the selected entry, or -1 when the text is not a selected entry.
    [[nodiscard]] int listIndex() const;
    // Selects the entry at index (as a pick from the list would) and raises Click.
    void select(int index);
    void showPopup() override;

signals:
    void Click();
    void Change();
    // The list is about to open: the moment to bring what it shows up to date.
    void popupAboutToShow();

protected:
    void keyPressEvent(QKeyEvent *e) override;
    void focusOutEvent(QFocusEvent *e) override;
};

// Label that reports clicks.
class ClickLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ClickLabel(QWidget *parent = nullptr);

signals:
    void Click();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// Label whose caption is a count in decimal digits. The caption is always the exact number;
// one too long for the label is drawn narrower, so that every digit shows inside it.
class CounterLabel : public QLabel
{
    Q_OBJECT
public:
    explicit CounterLabel(QWidget *parent = nullptr);
    // Reads the caption as a number, adds amount and writes the sum back in plain digits.
    void add(double amount);
    // A new caption repaints only from the first digit that changed, where QLabel's would
    // repaint the whole label; a counter's caption is set through this.
    void setText(const QString &caption);

    // From now on a count added less than ms after the caption last changed is held for the
    // window's next painting, and frameWanted() asks for it: a board's hundreds of blocks a
    // second then write the caption, and tell a screen reader, once a frame. A count after a
    // pause shows at once.
    void holdCountsWithin(int ms);
    // Writes the count held back, if any.
    void showHeldCount();

signals:
    void frameWanted();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The caption's glyphs in a row, and how much they are squeezed to fit.
    struct Digits
    {
        QGlyphRun run;
        QList<qreal> lefts;
        qreal scale = 1;
    };
    void showCount();
    // The last caption's are kept: a count is laid out once, when it changes.
    [[nodiscard]] const Digits &digits(const QString &caption);
    [[nodiscard]] QRect digitsBox() const;
    [[nodiscard]] QRect changedArea(const QString &before, const QString &after);

    // What the parent paints behind the label. A count that changes hundreds of times a second
    // would otherwise repaint the group box behind it each frame.
    QPixmap m_backdrop;
    QRawFont m_rawFont;
    QFont m_rawFontFor;
    Digits m_digits;
    QString m_digitsFor;
    int m_digitsWidth = -1;
    // The count as add() last wrote it, so that a block's count parses no caption.
    double m_count = 0;
    QString m_countFor;
    int m_holdMs = 0;
    bool m_held = false;
    QElapsedTimer m_captionSet;
};

// Characters of text as the counters count them: one for a character beyond U+FFFF too, which
// UTF-16 holds in two code units.
[[nodiscard]] qsizetype characterCount(QStringView text);

// Filled circle showing the port state. Colours are 0x00BBGGRR values.
class Lamp : public QWidget
{
    Q_OBJECT
public:
    explicit Lamp(QWidget *parent = nullptr);
    [[nodiscard]] quint32 fillColor() const { return m_bgr; }
    void setFillColor(quint32 bgr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    quint32 m_bgr = 0xFFFFC0;
};
