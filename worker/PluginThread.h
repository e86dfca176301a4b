#pragma once
#include <windows.h>
#include <objbase.h>
#include <atomic>
#include <list>
#include <memory>
#include <vector>
#include "common/Scoped.h"
#include "common/TraceDecision.h"
#include "worker/PluginEvent.h"

// One worker thread with a FIFO queue of work items, immediate and debounced (delayed) processing,
// a stop and pause protocol and a list of extra kernel handles the thread also waits on.
//
// Contract for the derived worker T (class T : public CPluginThread<T>, the template first base):
//  - T::CProcessItem is T's work item, publicly derived from CPluginThread<T>::CProcessItem (a T
//    that declares none uses the base item). The thread makes its own items (types -1, -2,
//    -2999 + k, -3999 + k) through T::CreateItem(type, value); the default below constructs
//    T::CProcessItem(type, value), so T's item needs that constructor unless T declares its own
//    public static std::unique_ptr<CProcessItem> CreateItem(LONG type, DWORD value). It may throw
//    or return null: the thread then drops that event and goes on. Every item reaching a hook is a
//    T item.
//  - T overrides ProcessItem and, if it wants, OnItemQueued, OnItemDequeued and OnThreadExit. The
//    hooks must not throw. OnItemQueued, OnItemDequeued and OnThreadExit run under the queue lock:
//    they may take T's own locks of a higher rank (every lock's rank: common/LockRank.h).
//    ProcessItem runs with no template lock held; it may queue items. It owns the item it is given.
//  - m_traceSource names T in the trace lines the template writes for it (a failed item, a wait
//    list that could not be made); T may set it in its constructor only.
//  - T's destructor stops the thread (StopThread) before its own members go away. The template's
//    destructor stops a thread still running, but by then only the base hooks exist, so it
//    discards every item instead of processing it.
//  - m_delay is the debounce delay in ms (10000); T may set it in its constructor only.
template <typename T>
class CPluginThread
{
public:
    // The base work item. Ownership: the queue while queued, then the thread, then ProcessItem,
    // always through a std::unique_ptr.
    class CProcessItem
    {
    public:
        explicit CProcessItem(LONG itemType = 0, DWORD itemValue = 0) noexcept
            : created(GetTickCount()), type(itemType), value(itemValue)
        {
        }
        virtual ~CProcessItem() = default;
        CProcessItem(const CProcessItem&) = delete;
        CProcessItem& operator=(const CProcessItem&) = delete;

        ULONG sequence = 0;  // set when queued, from 1; 0 for an item never queued
        DWORD created;       // GetTickCount at construction; delay rules measure from it
        LONG type;           // > 0: the worker's own; < 0: made by the thread (see the item types)
        DWORD value;         // extra-handle items: the value registered with the handle
    };

    // Item types the thread itself hands to ProcessItem.
    static constexpr LONG kItemThreadStarted = -1;
    static constexpr LONG kItemThreadEnding = -2;
    static constexpr LONG kItemHandleSignalled = -2999;  // + index of the extra handle
    static constexpr LONG kItemHandleAbandoned = -3999;  // + index of the extra handle
    // WaitForMultipleObjects takes 64 handles, five of which are the thread's own.
    static constexpr ULONG kMaxEffectiveWaitHandles = MAXIMUM_WAIT_OBJECTS - 5;
    static constexpr DWORD kStopTimeoutMs = 20000;

    CPluginThread() = default;
    CPluginThread(const CPluginThread&) = delete;
    CPluginThread& operator=(const CPluginThread&) = delete;

    // Virtual operations, in this order.
    virtual ~CPluginThread();
    // Marks the stop as requested and signals the stop event; false when the event does not exist.
    virtual bool RequestStop();
    // Starts the thread unless one runs that was not asked to stop; a stopping or ended thread is
    // disposed of first (waited for up to timeoutMs). True when a thread handle exists afterwards.
    virtual bool StartThread(DWORD timeoutMs);
    // Asks the thread to stop and waits up to timeoutMs; on time-out terminates it and answers
    // false. Called on the worker thread itself it only closes the handle.
    virtual bool StopThread(DWORD timeoutMs);
    virtual bool IsRunning();

protected:
    // Handles one item, which it owns from now on. A failure is the item's own: the thread traces
    // it and goes on (E_ABORT, a stop, is not traced). Deliberately unlike the documented hook,
    // which answers whether it kept the item: ownership is in the type, and the answer is a result.
    virtual HRESULT ProcessItem(std::unique_ptr<CProcessItem> item) = 0;
    // Right after `item` was appended, under the queue lock, on the queueing thread.
    virtual void OnItemQueued(CProcessItem* item);
    // Right after `item` left the queue, under the queue lock; null when the thread discards what
    // is left at its end.
    virtual void OnItemDequeued(CProcessItem* item);
    // When the loop has ended, under the queue lock, before the remaining items are discarded.
    virtual void OnThreadExit();

public:
    // Creates the five events once; retried by every caller while one is missing.
    bool EnsureEvents();
    // Queues `item` for immediate or delayed processing. E_POINTER for null, E_ABORT while a stop
    // is requested (unless evenIfStopping), 0x800705A4 when no thread runs. The queue takes the
    // item; a refused item is destroyed. Deliberately unlike the documented queueing, where a
    // refused item stays the caller's: no caller had any use for it but to destroy it.
    HRESULT QueueItem(std::unique_ptr<CProcessItem> item, bool delayed, bool evenIfStopping);
    // Replaces the extra wait handles with duplicates of `handles` (the caller keeps its own) and
    // their values (all 0 when values is null). Only the first kMaxEffectiveWaitHandles are waited
    // on. False, with the old list kept, when a handle cannot be duplicated.
    bool SetWaitHandles(ULONG count, const HANDLE* handles, const DWORD* values);
    // Unlinks and destroys every queued item for which predicate(item, probe) is true, passing
    // each to OnItemDequeued first. Returns how many were removed.
    template <typename Predicate>
    ULONG RemoveQueuedItems(CProcessItem* probe, Predicate predicate);
    // Calls visitor(item, context) for every queued item, head to tail; returns how many calls
    // answered true. The items stay queued.
    template <typename Visitor>
    ULONG VisitQueuedItems(void* context, Visitor visitor);
    // Whether a stop is requested, waiting up to timeoutMs while the apartment keeps being
    // served. An unexpected wait failure counts as a stop. A poll (timeoutMs 0) makes no kernel
    // call: it is made per item and per manager queue entry.
    bool IsStopRequested(DWORD timeoutMs);
    // Blocks while paused (run event reset). True: go on (running, or the time-out passed);
    // false: a stop is requested or the wait failed. While neither a stop nor a pause is
    // requested it makes no kernel call: it is made per result row and per queued entry.
    bool WaitForRun(DWORD timeoutMs);
    // Resume and pause: set or reset the run event. Everything that changes the run event goes
    // through these, or WaitForRun would not see the change.
    bool SetRunEvent();
    bool ResetRunEvent();
    // Whether the caller is this worker's thread. The thread must not destroy the worker it runs
    // in, nor wait for itself; an owner whose last reference may go there checks this first.
    bool IsWorkerThread();

    // The stop event, for waits of the derived worker's own. Null before EnsureEvents succeeded.
    // It is signalled through RequestStop only: a poll without a kernel call would miss a SetEvent.
    HANDLE GetStopEvent() const noexcept { return m_stopEvent.Get(); }
    // The run event for waiting on only: a duplicate with SYNCHRONIZE access, which the caller owns
    // and closes. SetEvent and ResetEvent fail on it, so a pause can be made through SetRunEvent and
    // ResetRunEvent alone, which WaitForRun sees. Invalid before EnsureEvents succeeded or when the
    // duplicate cannot be made.
    CScopedHandle GetRunEvent() const noexcept
    {
        HANDLE duplicate = nullptr;
        const HANDLE own = m_runEvent.Get();
        if (own && !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &duplicate, SYNCHRONIZE, FALSE, 0))
            duplicate = nullptr;
        return CScopedHandle(duplicate);
    }

    // The default item construction (see the contract above).
    static std::unique_ptr<CProcessItem> CreateItem(LONG type, DWORD value);

protected:
    // Marks the stop as requested, then signals the stop event (false when it does not exist).
    // Everything that signals the stop event goes through here, or a poll would miss it; unlike
    // RequestStop it creates no event.
    bool SignalStop() noexcept;

    // The thread's body; returns its exit code.
    unsigned ThreadMain();
    static unsigned __stdcall ThreadProc(void* param);

    std::atomic<bool> m_discard{false};

    CCriticalSection m_threadLock{LockRank::WorkerThread};  // re-entrant: StartThread calls StopThread with it held
    CScopedHandle m_threadHandle;
    DWORD m_threadId = 0;
    // Held only for a moment around reading, replacing or closing m_threadHandle, so that
    // QueueItem and IsRunning never wait for a StopThread in progress (which holds the thread
    // lock across its wait) and never use a handle while it is being closed.
    CCriticalSection m_threadHandleLock{LockRank::WorkerThreadHandle};

    CCriticalSection m_initLock{LockRank::WorkerInit};
    std::atomic<bool> m_eventsReady{false};
    CPluginEvent m_stopEvent;            // manual-reset; signalled: the thread is to end
    // False: no stop is requested, and a poll answers without a kernel call. Set before the event
    // is signalled and cleared with its reset, both under m_stopLock, so that it is never false
    // while the event is signalled.
    std::atomic<bool> m_stopRequested{false};
    CCriticalSection m_stopLock{LockRank::WorkerStop};
    CPluginEvent m_runEvent;             // manual-reset, initially set; reset: paused
    // False: the run event is set. Set before the event is reset and cleared after it is set,
    // both under m_stopLock, so that it is never false while the event is reset.
    std::atomic<bool> m_pauseRequested{false};
    CPluginEvent m_handlesChangedEvent;  // auto-reset; the thread rebuilds its wait list

    CCriticalSection m_handleListLock{LockRank::WorkerWaitHandles};
    std::vector<CScopedHandle> m_extraHandles;  // duplicates
    std::vector<DWORD> m_extraValues;    // may be shorter than m_extraHandles (missing read as 0)
    bool m_rebuild = true;

    CCriticalSection m_queueLock{LockRank::WorkerQueue};
    std::list<std::unique_ptr<CProcessItem>> m_queue;
    CPluginEvent m_itemQueuedEvent;     // auto-reset; an immediate item was queued
    CPluginEvent m_delayedQueuedEvent;  // auto-reset; a delayed item was queued
    ULONG m_nextSequence = 1;
    ULONG m_delay = 10000;
    TraceSource m_traceSource = TraceSource::Host;
    // Under the queue lock: when the latest delayed item was queued. A batch timer that fires
    // sooner than a full delay after it is armed again for the rest, so a delayed item need not
    // signal the thread each time for the batch to come exactly one delay after the latest one.
    DWORD m_lastDelayedTick = 0;
    bool m_delayedSeen = false;

    // Notes a delayed item queued now; under the queue lock. For a derived worker that appends
    // delayed items itself and wakes the thread less often than once per item.
    void NoteDelayedItemQueued() noexcept
    {
        m_lastDelayedTick = GetTickCount();
        m_delayedSeen = true;
    }

private:
    struct CWaitList;
    bool RebuildWaitList(CWaitList& list);
    // Runs one batch; false when the thread is to stop. A batch the timer asks for before a full
    // delay has passed since the latest delayed item only re-arms the timer.
    bool RunBatch(HANDLE batchTimer, bool byTimer);
    static void ArmTimer(HANDLE timer, LONGLONG delayMs);
    void HandOver(std::unique_ptr<CProcessItem> item);
    void HandOverNew(LONG type, DWORD value);
    bool IsThreadAlive();
    void ClearStop();
    void CloseThreadHandle();
    void DestroyQueuedItems();
};

#include "worker/PluginThread.inl"
