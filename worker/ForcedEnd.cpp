#include "worker/ForcedEnd.h"
#include <atomic>
#include <cwchar>
#include "common/EventLog.h"
#include "common/HResult.h"

namespace
{
std::atomic<ULONG> g_endedByForce{0};
}  // namespace

ULONG ThreadsEndedByForce() noexcept
{
    return g_endedByForce.load();
}

void ReportThreadEndedByForce(DWORD threadId, DWORD timeoutMs) noexcept
{
    ++g_endedByForce;
    wchar_t thread[32];
    swprintf(thread, 32, L"thread %lx", static_cast<unsigned long>(threadId));
    ReportFailure(TraceSource::Host, kEventWorkerEndedByForce, L"a worker was ended by force",
                  HResultFromWin32(ERROR_TIMEOUT), thread, timeoutMs);
}
