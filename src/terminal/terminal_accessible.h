#pragma once

#include <QAccessibleWidget>
#include <QBasicTimer>
#include <QObject>
#include <QString>

class TerminalView;

// What a screen reader (Orca, through AT-SPI) reads of the terminal: the rows in view as text,
// one line each, with the cursor as the caret.
class TerminalAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit TerminalAccessible(TerminalView *view);

    // For QAccessible::installFactory.
    static QAccessibleInterface *create(const QString &className, QObject *object);

    void *interface_cast(QAccessible::InterfaceType type) override;
    [[nodiscard]] QAccessible::State state() const override;
    [[nodiscard]] QString text(QAccessible::Text t) const override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    [[nodiscard]] int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    [[nodiscard]] int cursorPosition() const override;
    void setCursorPosition(int position) override;
    [[nodiscard]] QString text(int startOffset, int endOffset) const override;
    [[nodiscard]] QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                           int *startOffset, int *endOffset) const override;
    [[nodiscard]] QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                          int *startOffset, int *endOffset) const override;
    [[nodiscard]] QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                       int *startOffset, int *endOffset) const override;
    [[nodiscard]] int characterCount() const override;
    [[nodiscard]] QRect characterRect(int offset) const override;
    [[nodiscard]] int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    [[nodiscard]] QString attributes(int offset, int *startOffset, int *endOffset) const override;

    // The rows in view joined by line breaks, and where the cursor is in it (-1: out of view).
    [[nodiscard]] static QString screenText(const TerminalView *view);
    [[nodiscard]] static int cursorOffset(const TerminalView *view);

private:
    [[nodiscard]] TerminalView *view() const;
    // The unit of the given kind around offset in text, as [start, end).
    static void unitAt(const QString &text, int offset, QAccessible::TextBoundaryType type,
                       int *start, int *end);
};

// Tells an assistive technology what changed on the screen, only while one listens, at most
// every IntervalMs however fast the board draws.
class TerminalAccessibleNotes : public QObject
{
public:
    static constexpr int IntervalMs = 100;

    explicit TerminalAccessibleNotes(TerminalView *view);
    void changed();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void flush();

    TerminalView *m_view;
    QBasicTimer m_timer;
    QString m_told;
    int m_toldCursor = -1;
};
