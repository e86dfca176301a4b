#pragma once
#include <windows.h>

// Every lock of the plug-in, in the one order in which they may be taken. A thread takes locks
// with rising rank: while it holds a lock it may take only a lock of a higher rank, or the same
// lock again (critical sections are re-entrant). Every lock declaration names its rank here; a
// lock that is not in this table is not the plug-in's (LockRank::Outside).
//
// Checked builds (LUM_CHECKS: the test build folder, LUM_BUILD_TESTS=ON, and every Debug build)
// keep a per-thread stack of the ranks held and report a lock taken against the order as a
// contract failure (common/Contract.h) before it waits; the tests turn that into a failure. The
// shipped DLLs of both targets are built in folders with the tests off (script/package), so they
// are built without the check and pay nothing for it.
//
// Rules the order encodes:
//  - a worker's thread lock is held across its stop wait. A queue-event sink may start or stop
//    the search worker from inside a count event, and the intake fires that event under the
//    database wrapper's sink and listener locks: the thread lock ranks above those two;
//  - the notification worker's database lock is taken with no other worker lock held, and only
//    the wrapper's connection lock (and what that takes) inside it;
//  - the sink's owner lock before the wrapper's listener lock, and the connection lock never
//    inside a notification: the intake runs under both and takes the queue, report and owner
//    locks below them;
//  - a worker's queue lock before the pending-count lock (the queue hooks run inside it);
//  - the manager and the event sinks are called with none of the worker's locks held; the
//    connection point's object lock is held only to read a slot;
//  - the locks from WorkerInit on are leaves: nothing is taken under them but a higher leaf (the
//    observer's stop may report a forced end to the event log and the trace).
// The observer's named mutexes are not in the table: they mark the active instance for other
// processes and are taken without waiting.
enum class LockRank : unsigned
{
    // Not a lock of the plug-in: stand-ins, tests and tools. Never checked.
    Outside = 0,

    // CPluginDbNotifyThread::m_dbLock: every call sequence on the notification worker's database
    // connection (open, listener, close, a hand-off's lookups).
    NotifyDatabase = 10,
    // CKdCdbMgr::m_connectionLock: the database pointer and every sequence of calls over it, a
    // search and the walk over its results as one.
    DbConnection = 20,
    // CKdCdbMgrEvents::m_ownerLock: the sink's back pointer to its wrapper; held while a
    // notification is passed on.
    DbSinkOwner = 30,
    // CKdCdbMgr::m_listenerLock: the listener array; held during each listener call (the intake).
    DbListeners = 40,
    // CPluginThread::m_threadLock: the thread handle's start and stop; held across StopThread's
    // wait, and StartThread calls StopThread with it held.
    WorkerThread = 50,
    // CPluginDbSearchThread::m_connectionLock: the list of connections a stop request must abort;
    // taken by the search worker's RequestStop, which StopThread calls.
    SearchConnections = 60,
    // CPluginThread::m_queueLock: the queue, its sequence counter and the worker's queue state;
    // the queue hooks run inside it.
    WorkerQueue = 70,
    // CPluginDbNotifyThread::m_reportLock: the reported count, its tick, the count timer's state
    // and the busy announcement.
    NotifyReport = 80,
    // CPluginDbNotifyThread::m_ownerLock: the back pointer to the plug-in object, read to fire.
    NotifyOwner = 90,
    // CPendingRequestCounts::m_countLock: the pending count and its per-id and per-path counts.
    PendingCounts = 100,
    // CComObjectRootEx::m_objectLock: an object's own state (a connection point's sink array, an
    // enumerator's position); held only for a read or a store, never across a call out.
    ComObject = 110,
    // CComDllModule::m_lock: the cached class objects of the object map.
    ModuleClassObjects = 120,

    // Leaves.
    // CPluginThread::m_initLock: the one-time creation of the worker's events.
    WorkerInit = 200,
    // CPluginThread::m_stopLock: the stop and run events with their flags, which move together.
    WorkerStop = 210,
    // CPluginThread::m_threadHandleLock: reading, replacing or closing the thread handle.
    WorkerThreadHandle = 220,
    // CPluginThread::m_handleListLock: the extra wait handles, their values and the rebuild flag.
    WorkerWaitHandles = 230,
    // CKdCdbMgr::m_eventLock: the duplicates of the owner's run and abort events.
    DbEvents = 240,
    // CObserveApp::lock: the observer thread's start, stop and end. It stays although the owner's
    // thread alone starts and stops the observer: WaitWatchEnded and the destructor may come from
    // another thread.
    ObserverWatch = 250,
    // The protected-location list (common/ProtectedLocations.cpp).
    ProtectedLocations = 260,
    // The recent refused file changes (contentdb/RefusedFileChanges.cpp).
    RefusedFileChanges = 270,
    // CEventLog::m_lock: the rate limit's entries and the event-log functions in use.
    EventLog = 280,
    // CTraceWriter::m_lock: the trace's line queue and settings; a trace line may be made under any
    // lock above.
    TraceWriter = 290,
};

// The rank's name, for a report.
const char* LockRankName(LockRank rank) noexcept;

#if LUM_CHECKS
// The per-thread record of held locks. Wanted: before the wait, so that a lock taken against the
// order is reported before it can dead-lock. Taken and Released: after the lock is held and when
// it is let go (in any order).
void NoteLockWanted(const void* lock, LockRank rank) noexcept;
void NoteLockTaken(const void* lock, LockRank rank) noexcept;
void NoteLockReleased(const void* lock) noexcept;
#else
inline void NoteLockWanted(const void*, LockRank) noexcept {}
inline void NoteLockTaken(const void*, LockRank) noexcept {}
inline void NoteLockReleased(const void*) noexcept {}
#endif

// EnterCriticalSection and LeaveCriticalSection with the record above, for a raw critical section
// (the COM framework's object and module locks).
inline void EnterRankedCriticalSection(CRITICAL_SECTION* section, LockRank rank) noexcept
{
    NoteLockWanted(section, rank);
    EnterCriticalSection(section);
    NoteLockTaken(section, rank);
}

inline void LeaveRankedCriticalSection(CRITICAL_SECTION* section, LockRank rank) noexcept
{
    if (rank != LockRank::Outside)
        NoteLockReleased(section);
    LeaveCriticalSection(section);
}
