#pragma once

#include <QtGlobal>

#include <optional>
#include <vector>

// Positions in the receive box's text where a line begins that carries a mark: a bookmark, or
// the separator where a board cleared its screen. They move with edits and go with the lines
// they mark.
class LineMarks
{
public:
    void clear() { m_marks = {}; }
    [[nodiscard]] bool isEmpty() const { return m_marks.empty(); }
    [[nodiscard]] qint64 count() const { return qint64(m_marks.size()); }
    [[nodiscard]] qint64 memoryBytes() const { return qint64(m_marks.capacity() * sizeof(qint64)); }
    [[nodiscard]] const std::vector<qint64> &positions() const { return m_marks; }

    // Adds a mark at pos, or removes the one there; true when it is there now.
    bool toggle(qint64 pos);
    // pos is at or after the last mark; a mark already there stays one.
    void append(qint64 pos);
    [[nodiscard]] bool contains(qint64 pos) const;
    // The first mark in [from, to).
    [[nodiscard]] std::optional<qint64> firstIn(qint64 from, qint64 to) const;
    // The first mark after pos, or the last before it.
    [[nodiscard]] std::optional<qint64> after(qint64 pos) const;
    [[nodiscard]] std::optional<qint64> before(qint64 pos) const;

    // The text's range [pos, pos + removed) became `inserted` characters: marks inside it go,
    // one at pos stays, and one at its end moves to the end of what was inserted.
    void replaced(qint64 pos, qint64 removed, qint64 inserted);
    // Marks at pos or after go.
    void truncate(qint64 pos);
    // The text's first n characters are gone, and the marks in them.
    void dropFront(qint64 n);

private:
    std::vector<qint64> m_marks;
};
