#include "contentdb/RefusedFileChanges.h"

#include <atomic>
#include <deque>
#include <new>
#include "common/Scoped.h"

namespace
{
struct CRefusalLog
{
    CCriticalSection lock{LockRank::RefusedFileChanges};
    std::deque<CString> recent;
};

CRefusalLog& Log()
{
    static CRefusalLog log;
    return log;
}

std::atomic<ULONG> g_refused{0};
}  // namespace

void RecordRefusedFileChange(FileChange change, LPCWSTR path, FileGuardRefusal refusal) noexcept
{
    ++g_refused;
    try
    {
        CString line(change == FileChange::Deletion ? L"deletion refused, " : L"overwrite refused, ");
        line += DescribeFileGuardRefusal(refusal);
        line += L": ";
        line += path ? path : L"";
        CRefusalLog& log = Log();
        CLockGuard guard(log.lock);
        if (log.recent.size() == kRecentRefusedFileChanges)
            log.recent.pop_front();
        log.recent.push_back(std::move(line));
    }
    catch (const std::bad_alloc&)
    {
        // The count still tells; only the line is lost.
    }
}

ULONG RefusedFileChangeCount() noexcept
{
    return g_refused.load();
}

std::vector<CString> RecentRefusedFileChanges()
{
    CRefusalLog& log = Log();
    CLockGuard guard(log.lock);
    return std::vector<CString>(log.recent.begin(), log.recent.end());
}

CString RecentRefusedFileChangesText()
{
    CString text;
    for (const CString& line : RecentRefusedFileChanges())
    {
        text += line;
        text += L"\r\n";
    }
    return text;
}
