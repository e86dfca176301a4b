#pragma once
#include <windows.h>
#include <objbase.h>
#include <oaidl.h>
#include <atomic>
#include "common/ComPtr.h"
#include "common/MarshalledStream.h"
#include "common/Scoped.h"
#include "common/String.h"
#include "common/ThreadChecker.h"
#include "common/TraceSettings.h"
#include "contentdb/KdCdbMgr.h"
#include "interfaces/ManagerInterfaces.h"
#include "notify/DelayQueueFile.h"
#include "notify/ObserveApp.h"
#include "notify/PendingRequests.h"
#include "worker/PluginThread.h"

// What the notification worker needs of the object that embeds it (the plug-in object): a hold on
// it while an event is fired, and the firing itself. The worker holds it as a plain back pointer,
// guarded by its ownerLock; the object clears it before it goes.
class IPluginDbNotifyOwner
{
public:
    // A counted reference that keeps the owner alive, given back with Release on it; null once the
    // owner's last reference has gone (the event is then not fired).
    virtual IUnknown* KeepAlive() = 0;
    // Fires OnPendingCountChanged(count) to the subscribed sinks; the last sink's result.
    virtual HRESULT FirePendingCountChanged(const VARIANT& count) = 0;

protected:
    ~IPluginDbNotifyOwner() = default;
};

// The worker that turns the content database's change notifications into analysis requests. It
// runs one worker thread for the whole life of the plug-in object, from StartWorker to the
// object's release; its countTimer and the trace settings' watch are the thread's extra wait
// handles.
//
// Threads: the worker thread handles every item and is the only one to use the database, the site
// and the delay-queue file; the database's notification thread runs the intake (OnNotify); the
// manager's threads queue connect and disconnect items and page or cancel pending requests.
// Its locks and their order: common/LockRank.h.
class CPluginDbNotifyThread : public CPluginThread<CPluginDbNotifyThread>, public IKdCdbMgrEvents
{
public:
    using CBase = CPluginThread<CPluginDbNotifyThread>;

    // Item types of this worker (the thread's own are the template's negative ones).
    static constexpr LONG kItemConnect = 1;
    static constexpr LONG kItemDisconnect = 2;
    static constexpr LONG kItemChanged = 3;
    static constexpr LONG kItemRemoved = 5;
    static constexpr LONG kItemHandOff = 6;
    // The countTimer is extra handle 0, the trace settings' change event extra handle 1.
    static constexpr LONG kItemCountTimer = kItemHandleSignalled;
    static constexpr LONG kItemTraceSettingsChanged = kItemHandleSignalled + 1;

    // Change kinds of a database notification.
    static constexpr LONG kChangeAddedOrChanged = 1;
    static constexpr LONG kChangeRemoved = 2;

    static constexpr ULONG kBatchDelayMs = 10000;
    // The count event fires at most this often, except when the count reaches or leaves 0.
    static constexpr DWORD kReportPacingMs = 333;
    // A waiting file is not looked at before this age...
    static constexpr DWORD kMinimumAgeMs = 25000;
    // ...and, lying in a listed folder, not before this one.
    static constexpr DWORD kListedFolderAgeMs = 120000;
    static constexpr ULONG kHandOffQueueFlags = 0x80000000;
    static constexpr DWORD kDatabaseOpenTimeoutMs = 300000;
    // After a forced end: how long the queue lock is tried for before the save is given up.
    static constexpr DWORD kForcedEndLockWaitMs = 2000;

    class CProcessItem : public CBase::CProcessItem
    {
    public:
        using CBase::CProcessItem::CProcessItem;

        // path := text and pathHash := its hash, always together.
        void SetPath(const CString& text);

        CString path;            // the item's file path (type 6)
        BYTE connectFlag = 1;    // connect item: whether change notifications are accepted
        ULONG pathHash = 0;      // set with path; 0: not computed
        CScopedBstr itemId;      // the database's item id (types 3, 5, 6)
        LONG itemClass = 0;      // the database's item class (100, 200, 300)
        CMarshalledStream siteStream;  // connect item: the site marshalled for this thread

    private:
        friend class CPluginDbNotifyThread;
        // The key this item is counted under while queued (types 3 and 6); made once, under the
        // queue lock, so that leaving the queue costs no allocation.
        const CString& CountKey();
        CString m_countKey;
        bool m_countKeyReady = false;
        bool m_counted = false;  // the count maps hold this item (under the queue lock)
    };

    // batchDelayMs: how long after the latest notification a batch runs. The product uses the
    // default; tests shorten it to watch items pass through the thread.
    explicit CPluginDbNotifyThread(ULONG batchDelayMs = kBatchDelayMs);
    ~CPluginDbNotifyThread() override;

    // Registers countTimer as the thread's extra wait handle, starts the thread and, only when it
    // runs, makes `owner` the owner. Deliberately unlike the documented start, which answers S_OK
    // in every case: a thread that does not run gives 0x800705A4, traced (without a thread nothing
    // is ever fired). Wait handles that cannot be registered are traced; the thread runs without
    // them.
    HRESULT StartWorker(IPluginDbNotifyOwner* owner);
    // Clears the owner under ownerLock; once this returns no event reaches the old owner.
    void ClearOwner() noexcept;
    // Whether the calling thread is inside a count event fired by a worker (on the worker's thread
    // or the database's).
    static bool IsFiringOnThisThread() noexcept;
    // The owner as set now (null when none).
    IPluginDbNotifyOwner* GetOwner() noexcept;

    // Queues a connect item carrying `site` marshalled for the worker thread. E_POINTER for a null
    // site; otherwise the first failing step's HRESULT, or that of the queueing (E_ABORT while
    // the worker stops).
    HRESULT QueueConnect(ILumMgrPluginSite* site, bool connectSwitch);
    // Queues a disconnect item; the HRESULT of the queueing.
    HRESULT QueueDisconnect();
    // The paths of the queued requests in queue order (empty text for an unresolved one), from
    // `skip` on, at most maxCount, as VT_ARRAY | VT_BSTR. S_FALSE with VT_EMPTY when none.
    HRESULT GetPendingItems(ULONG skip, ULONG maxCount, VARIANT* items);
    // Withdraws the queued requests for the file `item` (any letter case). S_OK when some were
    // removed, else S_FALSE.
    HRESULT CancelPending(BSTR item);
    // The pending count as of the last report (lastReportedCount), read without a lock.
    ULONG GetLastReportedCount() const noexcept;

    // The timer that paces the pending-count event.
    HANDLE GetCountTimer() const noexcept { return m_countTimer.Get(); }

    // Where the delay-queue file lives, ending with "\"; empty (the default) is the product's
    // all-users folder. Set before the first connect item.
    void SetDelayQueueFolder(const CString& folder) { m_delayQueueFolder = folder; }
    // The execution state this worker last asked the system for on its thread (0 before any).
    DWORD GetRequestedExecutionState() const noexcept { return m_requestedExecutionState.load(); }

    // IKdCdbMgrEvents: the intake, on the database's notification thread. Queues one delayed item
    // per accepted change; the arrays are the database's and are not kept. Answers 0.
    LONG STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                    LONG_PTR context) override;

    // Pending requests.
    // Computes the pending count, stores it and fires it to the owner: at once when it reaches or
    // leaves 0, otherwise at most every kReportPacingMs (the last value of a burst follows when
    // countTimer expires). Unchanged and not forced: nothing happens.
    void ReportPendingCount(bool force);
    bool IsIdPending(const CString& itemId);
    bool IsPathPending(const CString& path);
    // Removes the queued items that match (type 0: any type; null or empty itemId: any id; paths
    // equal in any letter case). Returns how many were removed.
    LONG DiscardPending(LONG type, BSTR itemId, const CString& path);

    // What is done with a notification; each runs on the worker thread. The results go to the
    // thread, which traces a failure.
    HRESULT ResolveNotification(CProcessItem* item);
    HRESULT HandOffItem(CProcessItem* item);
    HRESULT CleanUpRemovedItem(CProcessItem* item);
    bool IsInListedFolder(const CString& path);
    HRESULT WithdrawQueuedEntries(const CString& path);

    // The delay-queue file.
    HRESULT LoadDelayQueue();
    HRESULT SaveDelayQueue();
    // Writes `records` unless collecting them failed (`collected`); a failure is reported.
    HRESULT WriteDelayQueue(HRESULT collected, const std::vector<CDelayQueueRecord>& records);
    // The save of the thread's end: the snapshot OnThreadExit took under the queue lock, written
    // on the thread's end item with no lock held. S_FALSE when the queue was not dirty.
    HRESULT SaveExitSnapshot();
    HRESULT BackUpDelayQueue();
    // The save the thread makes at its end, made for it by the thread that ended it by force: the
    // queued requests and the one it was working on, when the queue is dirty. No lock the ended
    // thread may have held is waited for.
    HRESULT SaveDelayQueueAfterForcedEnd();

protected:
    HRESULT ProcessItem(std::unique_ptr<CBase::CProcessItem> item) override;
    void OnItemQueued(CBase::CProcessItem* item) override;
    void OnItemDequeued(CBase::CProcessItem* item) override;
    void OnThreadExit() override;

private:
    // A SAFEARRAY's data held accessed for a scope.
    class CArrayDataAccess
    {
    public:
        CArrayDataAccess(SAFEARRAY* array, void** data) noexcept : m_array(array), m_result(SafeArrayAccessData(array, data)) {}
        ~CArrayDataAccess()
        {
            if (SUCCEEDED(m_result))
                SafeArrayUnaccessData(m_array);
        }
        CArrayDataAccess(const CArrayDataAccess&) = delete;
        CArrayDataAccess& operator=(const CArrayDataAccess&) = delete;
        HRESULT Result() const noexcept { return m_result; }

    private:
        SAFEARRAY* m_array;
        HRESULT m_result;
    };

    // The queue holds base items and QueueItem takes any, but only this worker's own items carry
    // its fields: every look at them goes through here. Null for an item of another class.
    static CProcessItem* AsOwnItem(CBase::CProcessItem* item) noexcept { return dynamic_cast<CProcessItem*>(item); }

    HRESULT Connect(CProcessItem* item);
    void Disconnect();
    void SetSite(ILumMgrPluginSite* site) noexcept;
    void RequestExecutionState(DWORD state) noexcept;
    // Appends a delayed item: like QueueItem(item, delayed, forced), but without the per-item
    // kernel calls; the caller wakes the thread once for many (WakeForDelayedItems).
    HRESULT AppendDelayedItem(std::unique_ptr<CProcessItem> item) noexcept;
    void WakeForDelayedItems() noexcept;
    // Queues a copy of `item` as a type-6 item again; restartAge gives it a fresh creation tick.
    // Without `wake` the thread is not told: the caller knows it is told already.
    HRESULT Requeue(CProcessItem* item, bool restartAge, bool wake);
    // Under m_reportLock.
    void AnnounceBusy(ULONG count);
    void FireCount(ULONG count);
    CString DelayQueueFolder() const;
    // The records of the queued requests (types 3 and 6), appended in queue order; under the
    // queue lock.
    void CollectQueueRecords(std::vector<CDelayQueueRecord>& records);
    static void AddQueueRecord(const CProcessItem& item, std::vector<CDelayQueueRecord>& records);

    // Fields in the order the worker's design gives them.
    bool m_busyAnnounced = false;         // under m_reportLock, as is the busy announcement
    std::atomic<ULONG> m_lastReportedCount{0};
    DWORD m_lastReportTick;
    CScopedHandle m_countTimer;           // unnamed synchronization waitable timer
    CCriticalSection m_ownerLock{LockRank::NotifyOwner};  // guards m_owner
    IPluginDbNotifyOwner* m_owner = nullptr;  // back pointer, not a counted reference
    CCriticalSection m_dbLock{LockRank::NotifyDatabase};  // held around every call on m_database
    CKdCdbMgr m_database;
    std::atomic<bool> m_notificationsEnabled{true};
    CComPtr<ILumMgrPluginSite> m_site;    // worker thread only (m_workerThread)
    DWORD m_savedExecutionState = 0;      // the thread's execution state noted at its start
    CObserveApp m_watchObserver;
    bool m_queueDirty = false;            // worker thread only
    // OnThreadExit's snapshot of the queue, for SaveExitSnapshot; m_exitSaveDue: it was taken.
    std::vector<CDelayQueueRecord> m_exitRecords;
    bool m_exitSaveDue = false;
    CThreadChecker m_workerThread;        // bound while the thread runs
    CPendingRequestCounts m_pending;      // countLock, pendingIdCounts, pendingPathCounts

    // Whether a site is held, for the intake on the database's thread.
    std::atomic<bool> m_siteHeld{false};
    // Serialises the reports up to the firing, so that the count, the tick, the timer state and
    // the busy announcement move together. Never held while firing or with the queue lock.
    CCriticalSection m_reportLock{LockRank::NotifyReport};
    // Under m_reportLock: set when the timer is armed; cleared when a report fires (which cancels
    // the timer) and when the expiry's report runs. So it is never false while the timer is armed.
    bool m_countTimerArmed = false;
    // Under the queue lock: the thread loop has not yet ended, so items queued now will be seen.
    bool m_acceptingItems = false;
    // Under the queue lock: whether the intake woke the thread, and what had left the queue then.
    bool m_wakeGiven = false;
    ULONG m_dequeuedItems = 0;
    ULONG m_dequeuedAtWake = 0;
    // Connect and disconnect items in the queue; changed under the queue lock, read by the thread
    // before each hand-off.
    std::atomic<ULONG> m_connectionItemsQueued{0};
    // Requests were put back behind a waiting connect or disconnect and the thread was woken for
    // them; cleared when the thread takes a connect or disconnect.
    std::atomic<bool> m_deferralWakeGiven{false};
    CString m_delayQueueFolder;
    std::atomic<DWORD> m_requestedExecutionState{0};
    // The request (type 3 or 6) the thread is handling, out of the queue; null between requests.
    // Read only once the thread is gone.
    std::atomic<CProcessItem*> m_requestInHand{nullptr};
    // The trace level and file settings, taken up on this thread when they change.
    CTraceSettingsWatch m_traceSettings;
};
