#include "textview/line_marks.h"

#include <algorithm>

bool LineMarks::toggle(qint64 pos)
{
    const auto it = std::lower_bound(m_marks.begin(), m_marks.end(), pos);
    if (it != m_marks.end() && *it == pos) {
        m_marks.erase(it);
        return false;
    }
    m_marks.insert(it, pos);
    return true;
}

void LineMarks::append(qint64 pos)
{
    if (m_marks.empty() || m_marks.back() < pos)
        m_marks.push_back(pos);
}

bool LineMarks::contains(qint64 pos) const
{
    return std::binary_search(m_marks.begin(), m_marks.end(), pos);
}

std::optional<qint64> LineMarks::firstIn(qint64 from, qint64 to) const
{
    const auto it = std::lower_bound(m_marks.begin(), m_marks.end(), from);
    if (it == m_marks.end() || *it >= to)
        return std::nullopt;
    return *it;
}

std::optional<qint64> LineMarks::after(qint64 pos) const
{
    const auto it = std::upper_bound(m_marks.begin(), m_marks.end(), pos);
    if (it == m_marks.end())
        return std::nullopt;
    return *it;
}

std::optional<qint64> LineMarks::before(qint64 pos) const
{
    const auto it = std::lower_bound(m_marks.begin(), m_marks.end(), pos);
    if (it == m_marks.begin())
        return std::nullopt;
    return *(it - 1);
}

void LineMarks::replaced(qint64 pos, qint64 removed, qint64 inserted)
{
    const qint64 end = pos + removed;
    const auto first = std::upper_bound(m_marks.begin(), m_marks.end(), pos);
    const auto last = std::lower_bound(first, m_marks.end(), end);
    const auto kept = m_marks.erase(first, last);
    for (auto it = kept; it != m_marks.end(); ++it)
        *it += inserted - removed;
    // A mark at the end that met the one at pos.
    m_marks.erase(std::unique(m_marks.begin(), m_marks.end()), m_marks.end());
}

void LineMarks::truncate(qint64 pos)
{
    m_marks.erase(std::lower_bound(m_marks.begin(), m_marks.end(), pos), m_marks.end());
}

void LineMarks::dropFront(qint64 n)
{
    m_marks.erase(m_marks.begin(), std::lower_bound(m_marks.begin(), m_marks.end(), n));
    for (qint64 &mark : m_marks)
        mark -= n;
}
