#include "tools/soak/SoakTally.h"

void CSoakTally::Add(const std::wstring& name, ULONG count)
{
    CLockGuard guard(m_lock);
    m_counts[name] += count;
}

std::map<std::wstring, ULONG> CSoakTally::Counts() const
{
    CLockGuard guard(m_lock);
    return m_counts;
}

ULONG CSoakTally::Total() const
{
    CLockGuard guard(m_lock);
    ULONG total = 0;
    for (const auto& entry : m_counts)
        total += entry.second;
    return total;
}
