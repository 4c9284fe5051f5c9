#include "send/send_history.h"

void SendHistory::setEntries(const QStringList &entries)
{
    m_entries.clear();
    m_walk = -1;
    for (const QString &text : entries) {
        if (m_entries.size() == MaxEntries)
            break;
        if (!text.isEmpty() && (m_entries.isEmpty() || m_entries.last() != text))
            m_entries.append(text);
    }
}

bool SendHistory::add(const QString &text)
{
    m_walk = -1;
    if (text.isEmpty() || (!m_entries.isEmpty() && m_entries.first() == text))
        return false;
    m_entries.prepend(text);
    if (m_entries.size() > MaxEntries)
        m_entries.removeLast();
    return true;
}

void SendHistory::clear()
{
    m_entries.clear();
    m_walk = -1;
}

std::optional<QString> SendHistory::older(const QString &typed)
{
    if (m_walk + 1 >= m_entries.size())
        return std::nullopt;
    if (m_walk < 0)
        m_typed = typed;
    return m_entries.at(++m_walk);
}

std::optional<QString> SendHistory::newer()
{
    if (m_walk < 0)
        return std::nullopt;
    --m_walk;
    return m_walk < 0 ? m_typed : m_entries.at(m_walk);
}
