#include "tools/fuzz/ResourceSample.h"

#include <vector>
#include "tools/soak/ProcessSnapshot.h"

namespace
{
// Busy bytes of one heap; locked while walked, so that no other thread changes it meanwhile.
uint64_t BusyBytes(HANDLE heap)
{
    uint64_t bytes = 0;
    if (!HeapLock(heap))
        return 0;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry))
    {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            bytes += entry.cbData;
    }
    HeapUnlock(heap);
    return bytes;
}
}  // namespace

CResourceSample CResourceSample::Take()
{
    CResourceSample sample;
    sample.handles = CProcessSnapshot::Take().handles;
    std::vector<HANDLE> heaps(64);
    DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size())
    {
        heaps.resize(count);
        count = GetProcessHeaps(count, heaps.data());
    }
    for (DWORD i = 0; i < count && i < heaps.size(); ++i)
        sample.heapBytes += BusyBytes(heaps[i]);
    return sample;
}
