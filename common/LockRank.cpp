#include "common/LockRank.h"

#include <cstdio>
#include "common/Contract.h"

const char* LockRankName(LockRank rank) noexcept
{
    switch (rank)
    {
    case LockRank::Outside:
        return "outside";
    case LockRank::WorkerThread:
        return "worker thread";
    case LockRank::NotifyDatabase:
        return "notify database";
    case LockRank::SearchConnections:
        return "search connections";
    case LockRank::DbConnection:
        return "database connection";
    case LockRank::DbSinkOwner:
        return "database sink owner";
    case LockRank::DbListeners:
        return "database listeners";
    case LockRank::WorkerQueue:
        return "worker queue";
    case LockRank::NotifyReport:
        return "notify report";
    case LockRank::NotifyOwner:
        return "notify owner";
    case LockRank::PendingCounts:
        return "pending counts";
    case LockRank::ComObject:
        return "COM object";
    case LockRank::ModuleClassObjects:
        return "module class objects";
    case LockRank::WorkerInit:
        return "worker init";
    case LockRank::WorkerStop:
        return "worker stop";
    case LockRank::WorkerThreadHandle:
        return "worker thread handle";
    case LockRank::WorkerWaitHandles:
        return "worker wait handles";
    case LockRank::DbEvents:
        return "database events";
    case LockRank::ObserverWatch:
        return "observer watch";
    case LockRank::ProtectedLocations:
        return "protected locations";
    case LockRank::RefusedFileChanges:
        return "refused file changes";
    case LockRank::EventLog:
        return "event log";
    case LockRank::TraceWriter:
        return "trace writer";
    }
    return "unknown";
}

#if LUM_CHECKS
namespace
{
// Deeper nesting than this is itself a fault; beyond it locks are counted but not checked.
constexpr unsigned kMaxHeld = 32;

struct CHeldLocks
{
    const void* lock[kMaxHeld];
    LockRank rank[kMaxHeld];
    unsigned count;    // entries in use
    unsigned overflow; // taken beyond kMaxHeld
};

// Plain data, zero at thread start: no constructor or destructor runs per thread.
thread_local CHeldLocks t_held;
}

void NoteLockWanted(const void* lock, LockRank rank) noexcept
{
    if (rank == LockRank::Outside)
        return;
    const CHeldLocks& held = t_held;
    for (unsigned i = 0; i < held.count; ++i)
    {
        if (held.lock[i] == lock)
            return;  // taken again by its holder
    }
    // Nothing held reads as Outside, below every rank.
    const LockRank highest = HighestHeldLockRank();
    if (highest < rank)
        return;
    char what[160];
    // A truncated text still names the two locks: the result is dropped on purpose.
    static_cast<void>(std::snprintf(what, sizeof what, "lock order: %s (rank %u) taken while %s (rank %u) is held",
                                    LockRankName(rank), static_cast<unsigned>(rank), LockRankName(highest),
                                    static_cast<unsigned>(highest)));
    ReportContractFailure(what, __FILE__, __LINE__);
}

LockRank HighestHeldLockRank() noexcept
{
    const CHeldLocks& held = t_held;
    LockRank highest = LockRank::Outside;
    for (unsigned i = 0; i < held.count; ++i)
    {
        if (held.rank[i] > highest)
            highest = held.rank[i];
    }
    return highest;
}

void NoteLockTaken(const void* lock, LockRank rank) noexcept
{
    if (rank == LockRank::Outside)
        return;
    CHeldLocks& held = t_held;
    if (held.count == kMaxHeld)
    {
        ++held.overflow;
        return;
    }
    held.lock[held.count] = lock;
    held.rank[held.count] = rank;
    ++held.count;
}

void NoteLockReleased(const void* lock) noexcept
{
    CHeldLocks& held = t_held;
    if (held.overflow > 0)
    {
        --held.overflow;
        return;
    }
    // The latest entry of this lock: a re-entered lock is let go inside out.
    for (unsigned i = held.count; i-- > 0;)
    {
        if (held.lock[i] != lock)
            continue;
        for (unsigned j = i + 1; j < held.count; ++j)
        {
            held.lock[j - 1] = held.lock[j];
            held.rank[j - 1] = held.rank[j];
        }
        --held.count;
        return;
    }
}
#else
LockRank HighestHeldLockRank() noexcept
{
    return LockRank::Outside;
}
#endif
