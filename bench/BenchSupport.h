#pragma once
// What the notification benchmarks share: the clock, a marker item for the notification worker
// and the removal of a scratch folder.
#include <windows.h>
#include "bench/BenchClock.h"
#include "common/String.h"
#include "notify/PluginDbNotifyThread.h"

namespace bench
{
// The clock every benchmark uses.
using ::NowMs;

// Signals `done` when the worker's thread lets it go (a type it does not handle): everything
// queued before it has been taken.
class CSentinelItem : public CPluginDbNotifyThread::CProcessItem
{
public:
    explicit CSentinelItem(HANDLE done) : CPluginDbNotifyThread::CProcessItem(99), m_done(done) {}
    ~CSentinelItem() override { SetEvent(m_done); }

private:
    HANDLE m_done;
};

// Deletes the files of `folder` (ending with "\") and then the folder.
inline void RemoveFolder(const CString& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(folder + L"*", &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW(folder + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder);
}
}  // namespace bench
