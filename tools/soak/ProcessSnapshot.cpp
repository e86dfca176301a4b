#include "tools/soak/ProcessSnapshot.h"
#include <tlhelp32.h>
#include "common/Scoped.h"

namespace
{
// Handle values are multiples of 4 from 4 up; a process of this kind stays far below this.
constexpr ULONG_PTR kLastProbedHandle = 0x20000;

// Where the system does not count a process's handles (GetProcessHandleCount answers 0), every
// handle value is asked about instead.
DWORD CountHandles()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    for (ULONG_PTR value = 4; value <= kLastProbedHandle; value += 4)
    {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
    return count;
}
}  // namespace

CProcessSnapshot CProcessSnapshot::Take()
{
    CProcessSnapshot snapshot;
    snapshot.handles = CountHandles();
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
