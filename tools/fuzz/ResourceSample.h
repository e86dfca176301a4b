#pragma once
#include <windows.h>
#include <cstdint>

// The process's handles and the bytes its heaps hand out, at one moment: a target's inputs must
// leave neither growing.
struct CResourceSample
{
    DWORD handles = 0;
    uint64_t heapBytes = 0;  // busy blocks of every heap of the process (HeapWalk)

    static CResourceSample Take();
};
