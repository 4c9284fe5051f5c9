#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include <array>
#include <vector>

namespace quicksend {

// Finds many literal patterns in one pass over a stream (Aho-Corasick): each symbol is one step
// through an automaton, whatever the number of patterns, and a pattern split between two reads
// is found because the state carries over. Symbols are UTF-16 code units, or bytes as 0 to 255.
class MultiMatch
{
public:
    // The automaton for patterns; pattern i reports id i. Empty patterns are left out.
    void build(const QList<QList<char16_t>> &patterns);
    [[nodiscard]] bool isEmpty() const { return m_outputs.size() <= 1; }

    // The state after symbol.
    [[nodiscard]] int step(int state, char16_t symbol) const
    {
        if (symbol < 256)
            return m_dense[std::size_t(state) * 256 + symbol];
        return stepWide(state, symbol);
    }
    // Whether any pattern ends at state (most end none), and which.
    [[nodiscard]] bool ends(int state) const { return m_ends[std::size_t(state)] != 0; }
    [[nodiscard]] const QList<int> &endingAt(int state) const { return m_outputs[state]; }

private:
    [[nodiscard]] int stepWide(int state, char16_t symbol) const;

    std::vector<int> m_dense;                 // state * 256 + symbol, every transition
    std::vector<QHash<char16_t, int>> m_wide; // the trie's own edges for symbols past 255
    std::vector<int> m_fail;
    std::vector<QList<int>> m_outputs{QList<int>()};
    std::vector<char> m_ends{0};
};

} // namespace quicksend
