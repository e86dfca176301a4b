#pragma once
#include <windows.h>
#include <set>
#include <string>

// The process's handle count and threads at one moment, to compare the end of a run with its start.
struct CProcessSnapshot
{
    DWORD handles = 0;
    std::set<DWORD> threads;

    static CProcessSnapshot Take();
    // Threads running now that were not at `start`.
    std::set<DWORD> NewThreadsSince(const CProcessSnapshot& start) const;
};
