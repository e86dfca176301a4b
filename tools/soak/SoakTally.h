#pragma once
#include <windows.h>
#include <map>
#include <string>
#include "common/Scoped.h"

// Named counters that any thread may add to: the soak's operations by kind, its faults by kind.
class CSoakTally
{
public:
    void Add(const std::wstring& name, ULONG count = 1);
    std::map<std::wstring, ULONG> Counts() const;
    ULONG Total() const;

private:
    mutable CCriticalSection m_lock{LockRank::Outside};
    std::map<std::wstring, ULONG> m_counts;
};
