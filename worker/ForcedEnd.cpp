#include "worker/ForcedEnd.h"
#include <atomic>

namespace
{
std::atomic<ULONG> g_endedByForce{0};
}  // namespace

ULONG ThreadsEndedByForce() noexcept
{
    return g_endedByForce.load();
}

void ReportThreadEndedByForce(DWORD /*threadId*/) noexcept
{
    ++g_endedByForce;
    // The service's event for it is written here once the plug-in has an event source; until then
    // the count is all that is kept (the engine's property 0x11F00 answers it).
}
