#include "filter/line_filter.h"

#include "textview/text_store.h"

#include <algorithm>

QString LineFilter::setPattern(const Pattern &pattern)
{
    m_pattern = pattern;
    reset();
    m_regex = QRegularExpression();
    m_active = !pattern.text.isEmpty();
    if (m_active && pattern.regex) {
        m_regex = QRegularExpression(pattern.text, pattern.matchCase
                                                       ? QRegularExpression::NoPatternOption
                                                       : QRegularExpression::CaseInsensitiveOption);
        if (!m_regex.isValid()) {
            m_active = false;
            return QStringLiteral("正则表达式有误：") + m_regex.errorString();
        }
        m_regex.optimize();
    }
    return {};
}

void LineFilter::reset()
{
    m_rows = {};
    m_done = m_noBreakUntil = 0;
    m_open = -1;
}

bool LineFilter::matches(QStringView line) const
{
    const bool found =
        m_pattern.regex ? m_regex.match(line).hasMatch()
                        : line.contains(m_pattern.text, m_pattern.matchCase ? Qt::CaseSensitive
                                                                            : Qt::CaseInsensitive);
    return found != m_pattern.invert;
}

qint64 LineFilter::breakFrom(const TextStore &text, qint64 from)
{
    qint64 found = text.size();
    qint64 at = from;
    text.forEachRun(from, text.size(), [&](const auto *p, qsizetype n) {
        for (qsizetype i = 0; i < n; ++i) {
            if (p[i] == u'\n' || p[i] == u'\r') {
                found = at + i;
                return false;
            }
        }
        at += n;
        return true;
    });
    return found;
}

qint64 LineFilter::lineStartOf(const TextStore &text, qint64 pos)
{
    for (qint64 i = pos - 1; i >= 0; --i) {
        const char16_t c = text.at(i);
        // The CR of a CR LF whose LF is at pos or after ends no line before pos.
        if (c == u'\r' && i + 1 >= pos && text.at(i + 1) == u'\n')
            continue;
        if (c == u'\n' || c == u'\r')
            return i + 1;
    }
    return 0;
}

qint64 LineFilter::nextLine(const TextStore &text, qint64 end)
{
    return end + (text.at(end) == u'\r' && text.at(end + 1) == u'\n' ? 2 : 1);
}

bool LineFilter::scan(const TextStore &text, qint64 budget)
{
    const qint64 size = text.size();
    m_open = -1;
    if (!m_active) {
        m_done = m_noBreakUntil = size;
        return false;
    }
    while (m_done < size) {
        const qint64 end = breakFrom(text, qMax(m_done, m_noBreakUntil));
        // A CR at the very end may yet become a CR LF: its line is still being written.
        if (end == size || (end + 1 == size && text.at(end) == u'\r')) {
            m_noBreakUntil = end;
            if (end - m_done <= MaxOpenLine && matches(text.mid(m_done, end - m_done)))
                m_open = m_done;
            return false;
        }
        if (matches(text.mid(m_done, end - m_done)))
            m_rows.push_back(m_done);
        const qint64 next = nextLine(text, end);
        budget -= next - m_done;
        m_done = m_noBreakUntil = next;
        if (budget <= 0)
            return m_done < size;
    }
    return false;
}

LineFilter::Change LineFilter::replaced(const TextStore &text, qint64 pos, qint64 removed,
                                        qint64 inserted)
{
    Change change;
    m_open = -1;
    if (pos >= m_done) {
        // Only what was not read yet changed.
        m_noBreakUntil = qMin(m_noBreakUntil, pos);
        return change;
    }
    const qint64 delta = inserted - removed;
    const qint64 end = pos + removed;
    if (pos == 0 && inserted == 0 && end < m_done) {
        // Old lines dropped: their rows go, the others move.
        const auto kept = std::lower_bound(m_rows.begin(), m_rows.end(), end);
        change.removedFront = kept - m_rows.begin();
        m_rows.erase(m_rows.begin(), kept);
        for (qint64 &row : m_rows)
            row -= end;
        m_done -= end;
        m_noBreakUntil -= end;
        return change;
    }
    const qint64 start = lineStartOf(text, pos);
    const auto first = std::lower_bound(m_rows.begin(), m_rows.end(), start);
    if (end >= m_done) {
        // The change reaches what was not read yet: read on from the line it begins in.
        change.removedBack = m_rows.end() - first;
        m_rows.erase(first, m_rows.end());
        m_done = m_noBreakUntil = start;
        return change;
    }
    // An edit inside what was read: the lines it touched are read again, the rest move.
    change.reset = true;
    const auto last = std::upper_bound(first, m_rows.end(), end);
    const auto at = m_rows.erase(first, last);
    for (auto it = at; it != m_rows.end(); ++it)
        *it += delta;
    m_done += delta;
    m_noBreakUntil += delta;
    std::vector<qint64> again;
    for (qint64 line = start; line <= pos + inserted && line < m_done;) {
        const qint64 lineEnd = breakFrom(text, line);
        if (matches(text.mid(line, lineEnd - line)))
            again.push_back(line);
        if (lineEnd >= text.size())
            break;
        line = nextLine(text, lineEnd);
    }
    m_rows.insert(std::lower_bound(m_rows.begin(), m_rows.end(), start), again.begin(),
                  again.end());
    return change;
}
