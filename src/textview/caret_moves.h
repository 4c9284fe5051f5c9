#pragma once

#include <QtGlobal>

#include <utility>

class TextStore;
class WrapIndex;

// How far one press of a caret key moves.
enum class CaretStep { Char, Word, Line, Page, LineEdge, Document };

// Where the caret goes by characters, words and line edges in the receive box: functions of the
// text and its visual lines alone. A character is what the user sees as one (a surrogate pair,
// a letter with its accents); a line break (CR LF included) is one step.
class CaretMoves
{
public:
    CaretMoves(const TextStore &store, const WrapIndex &index) : m_store(store), m_index(index) {}

    [[nodiscard]] qint64 next(qint64 pos) const;
    [[nodiscard]] qint64 previous(qint64 pos) const;
    // The next start or end of a word, or the next character at a line's edge.
    [[nodiscard]] qint64 word(qint64 pos, bool forward) const;
    // Last caret position on a line: a wrapped line stops before its last character, whose end
    // is the start of the next line.
    [[nodiscard]] qint64 lineCaretEnd(qint64 line) const;
    // The word around pos (a double click), as start and end; empty on an empty line.
    [[nodiscard]] std::pair<qint64, qint64> wordAt(qint64 pos) const;

private:
    const TextStore &m_store;
    const WrapIndex &m_index;
};
