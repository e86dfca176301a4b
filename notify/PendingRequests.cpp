#include "notify/PendingRequests.h"

#include <cwchar>
#include <new>
#include <string.h>

CString LowerCasePath(const wchar_t* text)
{
    CString lower(text);
    const int length = lower.GetLength();
    if (length > 0)
    {
        wchar_t* buffer = lower.GetBuffer(length);
        _wcslwr_s(buffer, static_cast<size_t>(length) + 1);
        lower.ReleaseBuffer(length);
    }
    return lower;
}

ULONG ComputePathHash(const wchar_t* text)
{
    const CString lower = LowerCasePath(text);
    const size_t pairs = static_cast<size_t>(lower.GetLength()) / 2;
    const wchar_t* units = lower.GetString();
    ULONG sum = 1;
    for (size_t k = 0; k < pairs; ++k)
    {
        const ULONG low = static_cast<ULONG>(static_cast<unsigned short>(units[2 * k]));
        const ULONG high = static_cast<ULONG>(static_cast<unsigned short>(units[2 * k + 1]));
        sum += low | (high << 16);
    }
    return sum;
}

bool CPendingRequestCounts::Add(Kind kind, const CString& key) noexcept
{
    CLockGuard guard(m_countLock);
    try
    {
        ++MapOf(kind)[key];
        return true;
    }
    catch (...)
    {
        return false;
    }
}

void CPendingRequestCounts::Remove(Kind kind, const CString& key) noexcept
{
    CLockGuard guard(m_countLock);
    CountMap& map = MapOf(kind);
    const auto found = map.find(key);
    if (found == map.end())
        return;
    if (--found->second <= 0)
        map.erase(found);
}

void CPendingRequestCounts::Clear() noexcept
{
    CLockGuard guard(m_countLock);
    m_idCounts.clear();
    m_pathCounts.clear();
}

ULONG CPendingRequestCounts::Count() const noexcept
{
    CLockGuard guard(m_countLock);
    return static_cast<ULONG>(m_idCounts.size() + m_pathCounts.size());
}

bool CPendingRequestCounts::Contains(Kind kind, const CString& key) const noexcept
{
    CLockGuard guard(m_countLock);
    const CountMap& map = MapOf(kind);
    const auto found = map.find(key);
    return found != map.end() && found->second != 0;
}
