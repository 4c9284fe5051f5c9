#pragma once

#include <QAccessibleWidget>
#include <QBasicTimer>
#include <QObject>
#include <QString>

class ReceiveBox;

// What a screen reader (Orca, through AT-SPI) reads of the receive box, which draws its own
// text: the text interface answers from the box's store and line index, a line or a range at a
// time, never copying the whole text.
class ReceiveBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    // The longest answer to a range: one from offset 0 to -1 (the whole text) would otherwise copy
    // everything a board printed, up to the memory limit. A longer range is answered from its
    // start, shorter; the reader asks on from where the answer ended.
    static constexpr qint64 MaxAnswerChars = 65536;

    explicit ReceiveBoxAccessible(ReceiveBox *box);

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

private:
    [[nodiscard]] ReceiveBox *box() const;
    // The unit of the given kind around offset, as [start, end).
    void unitAt(qint64 offset, QAccessible::TextBoundaryType type, qint64 *start,
                qint64 *end) const;
    // The text of [start, end) cut to MaxAnswerChars, with its offsets handed back.
    [[nodiscard]] QString unitText(qint64 start, qint64 end, int *startOffset,
                                   int *endOffset) const;
    [[nodiscard]] qint64 cutEnd(qint64 start, qint64 end) const;
};

// Tells an assistive technology what changed in the box, only while one listens: new text and
// the caret at most every IntervalMs while a board streams, as one insertion.
class AccessibleNotes : public QObject
{
public:
    static constexpr int IntervalMs = 100;
    // Larger insertions are told as a moved caret only: the reader asks for what it wants.
    static constexpr int MaxInsertedChars = 65536;

    explicit AccessibleNotes(ReceiveBox *box);

    void inserted(qint64 position, qint64 length);
    void caretMoved();
    // Text went away or was replaced wholesale: what was pending no longer applies.
    void reset();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void flush();

    ReceiveBox *m_box;
    QBasicTimer m_timer;
    qint64 m_insertedAt = -1;
    qint64 m_insertedLength = 0;
    bool m_caretPending = false;
};
