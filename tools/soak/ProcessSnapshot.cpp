#include "tools/soak/ProcessSnapshot.h"
#include <tlhelp32.h>
#include "common/Scoped.h"

CProcessSnapshot CProcessSnapshot::Take()
{
    CProcessSnapshot snapshot;
    GetProcessHandleCount(GetCurrentProcess(), &snapshot.handles);
    const DWORD process = GetCurrentProcessId();
    CScopedHandle list(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = list.IsValid() && Thread32First(list.Get(), &entry); more; more = Thread32Next(list.Get(), &entry))
    {
        if (entry.th32OwnerProcessID == process)
            snapshot.threads.insert(entry.th32ThreadID);
    }
    // The snapshot's own handle is closed by now; it is not counted.
    return snapshot;
}

std::set<DWORD> CProcessSnapshot::NewThreadsSince(const CProcessSnapshot& start) const
{
    std::set<DWORD> added;
    for (DWORD thread : threads)
    {
        if (start.threads.count(thread) == 0)
            added.insert(thread);
    }
    return added;
}
