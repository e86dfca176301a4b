#pragma once
#include <windows.h>
#include <string_view>
#include <unordered_map>
#include "common/Scoped.h"
#include "common/String.h"

// The text as the pending-path keys hold it: lower-cased with the C runtime (_wcslwr_s), so that
// paths differing only in letter case count as one file. Null gives the empty text.
CString LowerCasePath(const wchar_t* text);

// The hash that lets two paths be told apart before they are compared: 1 plus the sum (mod 2^32)
// of the little-endian 32-bit words formed by the code-unit pairs of the lower-cased text; a
// trailing odd code unit is left out; texts shorter than 2 give 1. "ab" and "AB" both give
// 0x00620062. A sum that wraps to 0 reads as "not computed", which only costs a comparison.
ULONG ComputePathHash(const wchar_t* text);

// The two counting maps beside the notification worker's queue: queued requests by item id
// (unresolved notifications) and by lower-cased path (files waiting). A key is present exactly
// while its count is above 0. Every operation takes the count lock itself; the queue hooks take
// it inside the worker's queue lock (common/LockRank.h), so nothing here calls out or takes
// another lock.
class CPendingRequestCounts
{
public:
    enum class Kind
    {
        Id,
        Path,
    };

    CPendingRequestCounts() = default;
    CPendingRequestCounts(const CPendingRequestCounts&) = delete;
    CPendingRequestCounts& operator=(const CPendingRequestCounts&) = delete;

    // Adds one to the key's count. False when the key could not be stored (out of memory): the
    // request then goes uncounted, and its later Remove finds nothing to take away.
    bool Add(Kind kind, const CString& key) noexcept;
    // Takes one away; the key goes at 0. An absent key is left alone.
    void Remove(Kind kind, const CString& key) noexcept;
    void Clear() noexcept;
    // Distinct ids plus distinct paths, read together.
    ULONG Count() const noexcept;
    bool Contains(Kind kind, const CString& key) const noexcept;

private:
    struct KeyHash
    {
        // Not noexcept, so that the map keeps each key's hash and growing it hashes no key again.
        size_t operator()(const CString& key) const
        {
            return std::hash<std::wstring_view>()(std::wstring_view(key.GetString(), static_cast<size_t>(key.GetLength())));
        }
    };
    using CountMap = std::unordered_map<CString, LONG, KeyHash>;

    CountMap& MapOf(Kind kind) noexcept { return kind == Kind::Id ? m_idCounts : m_pathCounts; }
    const CountMap& MapOf(Kind kind) const noexcept { return kind == Kind::Id ? m_idCounts : m_pathCounts; }

    mutable CCriticalSection m_countLock{LockRank::PendingCounts};
    CountMap m_idCounts;    // pendingIdCounts
    CountMap m_pathCounts;  // pendingPathCounts
};
