#include "quicksend/multi_match.h"

#include <queue>

namespace quicksend {

void MultiMatch::build(const QList<QList<char16_t>> &patterns)
{
    // The trie, with every edge kept in a map while it grows.
    std::vector<QHash<char16_t, int>> edges(1);
    m_outputs.assign(1, {});
    for (qsizetype id = 0; id < patterns.size(); ++id) {
        if (patterns.at(id).isEmpty())
            continue;
        int state = 0;
        for (const char16_t symbol : patterns.at(id)) {
            const int next = edges[std::size_t(state)].value(symbol, -1);
            if (next >= 0) {
                state = next;
                continue;
            }
            edges.emplace_back();
            m_outputs.emplace_back();
            const int added = int(edges.size()) - 1;
            edges[std::size_t(state)].insert(symbol, added);
            state = added;
        }
        m_outputs[std::size_t(state)].append(int(id));
    }

    // Breadth first: each state's failure is the longest proper suffix that is also in the trie,
    // and its transitions for small symbols are filled in from it.
    const std::size_t count = edges.size();
    m_fail.assign(count, 0);
    m_dense.assign(count * 256, 0);
    m_wide.assign(count, {});
    std::queue<int> order;
    for (auto it = edges[0].cbegin(); it != edges[0].cend(); ++it) {
        if (it.key() < 256)
            m_dense[it.key()] = it.value();
        else
            m_wide[0].insert(it.key(), it.value());
        order.push(it.value());
    }
    while (!order.empty()) {
        const int state = order.front();
        order.pop();
        const int fail = m_fail[std::size_t(state)];
        m_outputs[std::size_t(state)] += m_outputs[std::size_t(fail)];
        for (int symbol = 0; symbol < 256; ++symbol)
            m_dense[std::size_t(state) * 256 + symbol] = m_dense[std::size_t(fail) * 256 + symbol];
        for (auto it = edges[std::size_t(state)].cbegin(); it != edges[std::size_t(state)].cend();
             ++it) {
            const int child = it.value();
            m_fail[std::size_t(child)] = step(fail, it.key());
            if (it.key() < 256)
                m_dense[std::size_t(state) * 256 + it.key()] = child;
            else
                m_wide[std::size_t(state)].insert(it.key(), child);
            order.push(child);
        }
    }
    m_ends.assign(count, 0);
    for (std::size_t state = 0; state < count; ++state)
        m_ends[state] = m_outputs[state].isEmpty() ? 0 : 1;
}

int MultiMatch::stepWide(int state, char16_t symbol) const
{
    for (;;) {
        const auto next = m_wide[std::size_t(state)].constFind(symbol);
        if (next != m_wide[std::size_t(state)].cend())
            return next.value();
        if (state == 0)
            return 0;
        state = m_fail[std::size_t(state)];
    }
}

} // namespace quicksend
