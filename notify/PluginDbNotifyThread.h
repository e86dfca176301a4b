#pragma once
#include <windows.h>
#include <objbase.h>
#include <oaidl.h>
#include "common/Scoped.h"
#include "common/String.h"
#include "interfaces/ManagerInterfaces.h"
#include "worker/PluginThread.h"

// What the notification worker needs of the object that embeds it (the plug-in object): its
// identity, to keep it alive while an event is fired, and the firing itself. The worker holds it
// as a plain back pointer, guarded by its ownerLock; the object clears it before it goes.
class IPluginDbNotifyOwner
{
public:
    // The owner's controlling IUnknown; AddRef/Release on it keep the owner alive.
    virtual IUnknown* GetOwnerUnknown() = 0;
    // Fires OnPendingCountChanged(count) to the subscribed sinks; the last sink's result.
    virtual HRESULT FirePendingCountChanged(const VARIANT& count) = 0;

protected:
    ~IPluginDbNotifyOwner() = default;
};

// The worker that turns the content database's change notifications into analysis requests. It
// runs one worker thread for the whole life of the plug-in object, from StartWorker to the
// object's release; its countTimer is the thread's one extra wait handle.
class CPluginDbNotifyThread : public CPluginThread<CPluginDbNotifyThread>
{
public:
    using CBase = CPluginThread<CPluginDbNotifyThread>;

    // Item types of this worker (the thread's own are the template's negative ones).
    static constexpr LONG kItemConnect = 1;
    static constexpr LONG kItemDisconnect = 2;
    static constexpr LONG kItemChanged = 3;
    static constexpr LONG kItemRemoved = 5;
    static constexpr LONG kItemHandOff = 6;
    // The countTimer is extra handle 0.
    static constexpr LONG kItemCountTimer = kItemHandleSignalled;

    class CProcessItem : public CBase::CProcessItem
    {
    public:
        explicit CProcessItem(LONG itemType = 0, DWORD itemValue = 0) noexcept : CBase::CProcessItem(itemType, itemValue) {}
        // A marshalled site still held was never unmarshalled: its marshal data is released.
        ~CProcessItem() override;
        CProcessItem(const CProcessItem&) = delete;
        CProcessItem& operator=(const CProcessItem&) = delete;

        CString path;            // the item's file path (type 6)
        BYTE connectFlag = 1;    // connect item: whether change notifications are accepted
        ULONG pathHash = 0;      // set with path; 0: not computed
        CScopedBstr itemId;      // the database's item id (types 3, 5, 6)
        LONG itemClass = 0;      // the database's item class (100, 200, 300)
        IStream* siteStream = nullptr;  // connect item: the site marshalled for this thread; owned
    };

    CPluginDbNotifyThread();
    ~CPluginDbNotifyThread() override;

    // Registers countTimer as the thread's extra wait handle, starts the thread and, only when it
    // runs, makes `owner` the owner. S_OK in every case: without a thread nothing is ever fired.
    HRESULT StartWorker(IPluginDbNotifyOwner* owner);
    // Clears the owner under ownerLock; once this returns no event reaches the old owner.
    void ClearOwner() noexcept;
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

protected:
    bool ProcessItem(CBase::CProcessItem* item) override;

private:
    // The countTimer expired: report the pending count to the owner, forced.
    // Not implemented yet: the pending-request count does not exist yet, so nothing is reported.
    void ReportPendingCount(bool forced);

    CScopedHandle m_countTimer;       // unnamed synchronization waitable timer
    CCriticalSection m_ownerLock;     // guards m_owner
    IPluginDbNotifyOwner* m_owner = nullptr;  // back pointer, not a counted reference
    DWORD m_savedExecutionState = 0;  // the thread's execution state noted at its start
};
