#include "search/hitcap.h"

namespace search {

void HitCap::reset(qsizetype limit)
{
    m_limit = qMax<qsizetype>(1, limit);
    m_found = m_next = m_settledFound = m_kept = 0;
    m_waiting.clear();
    m_settled.clear();
}

qsizetype HitCap::foundBefore(qsizetype folder) const
{
    // Folders answer a few at a time on the run's connections: only those few wait here.
    qsizetype before = m_settledFound;
    for (auto it = m_waiting.cbegin(); it != m_waiting.cend() && it->first < folder; ++it)
        before += it->second;
    return before;
}

qsizetype HitCap::answer(qsizetype folder, qsizetype found)
{
    found = qMax<qsizetype>(0, found);
    if (folder < m_next || m_waiting.count(folder))
        return 0; // a folder answers once
    const qsizetype room = qMax<qsizetype>(0, m_limit - foundBefore(folder));
    m_found += found;
    m_waiting.emplace(folder, found);
    settle();
    return qMin(found, room);
}

void HitCap::closeBelow(qsizetype count)
{
    for (qsizetype folder = m_next; folder < count; ++folder)
        m_waiting.emplace(folder, 0); // no effect on a folder that answered
    settle();
}

void HitCap::settle()
{
    for (auto it = m_waiting.begin(); it != m_waiting.end() && it->first == m_next;
         it = m_waiting.erase(it)) {
        const qsizetype kept = qMin(it->second, m_limit - m_kept);
        m_settled.append({m_next, it->second, kept});
        m_settledFound += it->second;
        m_kept += kept;
        ++m_next;
    }
}

} // namespace search
