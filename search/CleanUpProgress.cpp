#include "search/CleanUpProgress.h"
#include <utility>

CCleanUpProgress::CCleanUpProgress(std::function<void(ULONG)> publish) : m_publish(std::move(publish)) {}

void CCleanUpProgress::BeginPhase(ULONG low, ULONG high)
{
    m_low = low;
    m_high = high;
    Publish(low);
}

void CCleanUpProgress::EntryDone(size_t index, size_t count)
{
    if (count == 0 || index >= count)
        return;
    const ULONGLONG span = m_high > m_low ? m_high - m_low : 0;
    Publish(m_low + static_cast<ULONG>(span * index / count));
}

void CCleanUpProgress::Publish(ULONG value)
{
    if (static_cast<LONG>(value) == m_published)
        return;
    m_published = static_cast<LONG>(value);
    if (m_publish)
        m_publish(value);
}
