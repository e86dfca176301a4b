#include "tools/fuzz/ResourceSample.h"

#include <psapi.h>
#include "tools/soak/ProcessSnapshot.h"

CResourceSample CResourceSample::Take()
{
    CResourceSample sample;
    sample.handles = CProcessSnapshot::Take().handles;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        sample.privateBytes = counters.PrivateUsage;
    return sample;
}
