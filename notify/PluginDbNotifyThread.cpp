#include "notify/PluginDbNotifyThread.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>
#include "common/ComCall.h"
#include "common/EventLog.h"
#include "common/HResult.h"
#include "common/HResultException.h"
#include "common/ProductKeys.h"
#include "common/TraceWriter.h"
#include "contentdb/ContentConstants.h"
#include "interfaces/ServiceInterfaces.h"
#include "notify/DelayQueueFile.h"

namespace
{
const wchar_t kObserverBaseName[] = L"TessalyLumSiftDbNotifyWexWatchingDB";

bool IsNotifiedClass(LONG itemClass) noexcept
{
    return itemClass == kItemClassAudio || itemClass == kItemClassImage || itemClass == kItemClassVideo;
}

bool IsCountedType(LONG type) noexcept
{
    return type == CPluginDbNotifyThread::kItemChanged || type == CPluginDbNotifyThread::kItemHandOff;
}

bool IsConnectionType(LONG type) noexcept
{
    return type == CPluginDbNotifyThread::kItemConnect || type == CPluginDbNotifyThread::kItemDisconnect;
}

// How many count events this thread is firing (nested when a sink calls back in).
thread_local ULONG t_firingDepth = 0;


// A request as the delay-queue file holds it, as one text: id, class and path.
std::wstring RequestKey(const CString& itemId, LONG itemClass, const CString& path)
{
    std::wstring key(itemId.GetString(), static_cast<size_t>(itemId.GetLength()));
    key += L'\t';
    key += std::to_wstring(itemClass);
    key += L'\t';
    key.append(path.GetString(), static_cast<size_t>(path.GetLength()));
    return key;
}
}  // namespace

// ---- Work item ------------------------------------------------------------------------------

void CPluginDbNotifyThread::CProcessItem::SetPath(const CString& text)
{
    path = text;
    pathHash = ComputePathHash(text);
}

const CString& CPluginDbNotifyThread::CProcessItem::CountKey()
{
    if (!m_countKeyReady)
    {
        m_countKey = type == kItemChanged ? CString(itemId.Get()) : LowerCasePath(path);
        m_countKeyReady = true;
    }
    return m_countKey;
}

// ---- Life ------------------------------------------------------------------------------------

CPluginDbNotifyThread::CPluginDbNotifyThread(ULONG batchDelayMs)
    : m_lastReportTick(GetTickCount()),
      m_countTimer(CreateWaitableTimerW(nullptr, FALSE, nullptr)),
      m_watchObserver(kObserverBaseName)
{
    m_delay = batchDelayMs;
    m_traceSource = TraceSource::Notify;
}

CPluginDbNotifyThread::~CPluginDbNotifyThread()
{
    // The thread must be gone before this worker's members are: its items use them.
    SignalStop();
    ClearOwner();
    RequestStop();
    if (!StopThread(kStopTimeoutMs))
    {
        // Ended by force inside a call out that never returned, perhaps a database call with the
        // connection's lock held; its own save at the end of its loop never came.
        m_database.Abandon();
        SaveDelayQueueAfterForcedEnd();
    }
    else
    {
        // An end item that could not be made leaves the end's snapshot to be written here.
        SaveExitSnapshot();
    }
    m_pending.Clear();
    // The members then go in reverse order: the observer, the site, the database connection.
}

HRESULT CPluginDbNotifyThread::StartWorker(IPluginDbNotifyOwner* owner)
{
    const HANDLE handles[] = {m_countTimer.Get(), m_traceSettings.GetEvent()};
    if (!SetWaitHandles(handles[1] ? 2 : 1, handles, nullptr) && TraceOn(TraceLevel::Failures))
        Trace(TraceSource::Notify, TraceDecision::Failed, nullptr, nullptr,
              L"the count timer and the trace settings' watch cannot be waited on", HResultFromLastError());
    if (!StartThread(kStopTimeoutMs) || !IsRunning())
    {
        if (TraceOn(TraceLevel::Failures))
            Trace(TraceSource::Notify, TraceDecision::Failed, nullptr, nullptr,
                  L"the notification worker's thread cannot be started", kHrThreadNotRunning);
        return kHrThreadNotRunning;
    }
    CLockGuard guard(m_ownerLock);
    m_owner = owner;
    return S_OK;
}

void CPluginDbNotifyThread::ClearOwner() noexcept
{
    CLockGuard guard(m_ownerLock);
    m_owner = nullptr;
}

IPluginDbNotifyOwner* CPluginDbNotifyThread::GetOwner() noexcept
{
    CLockGuard guard(m_ownerLock);
    return m_owner;
}

ULONG CPluginDbNotifyThread::GetLastReportedCount() const noexcept
{
    return m_lastReportedCount.load();
}

// ---- Connect and disconnect requests ----------------------------------------------------------

HRESULT CPluginDbNotifyThread::QueueConnect(ILumMgrPluginSite* site, bool connectSwitch)
{
    if (!site)
        return E_POINTER;
    std::unique_ptr<CProcessItem> item(new (std::nothrow) CProcessItem(kItemConnect));
    if (!item)
        return E_OUTOFMEMORY;
    const HRESULT hr = item->siteStream.Marshal(IID_ILumMgrPluginSite, site);
    if (FAILED(hr))
        return hr;
    item->connectFlag = connectSwitch ? 1 : 0;
    return QueueItem(std::move(item), false, false);
}

HRESULT CPluginDbNotifyThread::QueueDisconnect()
{
    std::unique_ptr<CProcessItem> item(new (std::nothrow) CProcessItem(kItemDisconnect));
    if (!item)
        return E_OUTOFMEMORY;
    return QueueItem(std::move(item), false, false);
}

// ---- Intake ---------------------------------------------------------------------------------

LONG STDMETHODCALLTYPE CPluginDbNotifyThread::OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses,
                                                       LONG* changeKinds, LONG_PTR /*context*/)
{
    if (!m_siteHeld.load() || count < 1 || !itemIds || !itemClasses || !changeKinds)
        return 0;

    // The thread is woken once for the whole call, also when a copy fails half-way.
    struct CWakeOnExit
    {
        CPluginDbNotifyThread& worker;
        bool queued = false;
        ~CWakeOnExit()
        {
            if (queued)
                worker.WakeForDelayedItems();
        }
    } wake{*this};

    for (LONG i = 0; i < count; ++i)
    {
        const LONG kind = changeKinds[i];
        const LONG itemClass = itemClasses[i];
        if (TraceOn(TraceLevel::Detail))
            Trace(TraceSource::Notify, TraceDecision::Notified, itemIds[i], nullptr, nullptr, S_OK,
                  L"kind %ld, item class %ld", static_cast<long>(kind), static_cast<long>(itemClass));
        if (!IsNotifiedClass(itemClass))
            continue;
        LONG type = 0;
        if (kind == kChangeAddedOrChanged)
        {
            if (!m_notificationsEnabled.load())
                continue;
            type = kItemChanged;
        }
        else if (kind == kChangeRemoved)
        {
            type = kItemRemoved;
        }
        else
        {
            continue;
        }

        std::unique_ptr<CProcessItem> item(new (std::nothrow) CProcessItem(type));
        if (!item)
            continue;
        if (itemIds[i])
        {
            item->itemId.Reset(SysAllocString(itemIds[i]));
            if (!item->itemId.Get())
                ThrowHResult(E_OUTOFMEMORY);
        }
        item->itemClass = itemClass;
        // Made here rather than under the queue lock.
        if (type == kItemChanged)
            item->CountKey();
        const HRESULT appended = AppendDelayedItem(std::move(item));
        if (FAILED(appended))
        {
            if (TraceOn(TraceLevel::Decisions))
                Trace(TraceSource::Notify, TraceDecision::Dropped, itemIds[i], nullptr,
                      L"the worker takes no requests", appended);
            continue;
        }
        wake.queued = true;
        if (type == kItemChanged)
            ReportPendingCount(false);
    }
    return 0;
}

HRESULT CPluginDbNotifyThread::AppendDelayedItem(std::unique_ptr<CProcessItem> owned) noexcept
{
    // A refused item goes with `owned`, after the lock is left.
    CProcessItem* const item = owned.get();
    CLockGuard guard(m_queueLock);
    if (!m_acceptingItems)
        return kHrThreadNotRunning;
    try
    {
        m_queue.push_back(std::move(owned));
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
    item->sequence = m_nextSequence++;
    OnItemQueued(item);
    NoteDelayedItemQueued();
    return S_OK;
}

void CPluginDbNotifyThread::WakeForDelayedItems() noexcept
{
    // Setting an event is a kernel call that costs more than the rest of a notification call, so
    // the thread is signalled only when it may have no batch timer armed: at the first call, and
    // again once it has taken items since the last signal (a batch ran). In between, its timer is
    // armed and moves itself to a full delay after the latest item when it fires.
    bool wake = false;
    {
        CLockGuard guard(m_queueLock);
        wake = !m_wakeGiven || m_dequeuedItems != m_dequeuedAtWake;
        if (wake)
        {
            m_wakeGiven = true;
            m_dequeuedAtWake = m_dequeuedItems;
        }
    }
    if (wake)
        m_delayedQueuedEvent.Set();
}

// ---- Queue hooks -----------------------------------------------------------------------------

void CPluginDbNotifyThread::OnItemQueued(CBase::CProcessItem* baseItem)
{
    if (baseItem && IsConnectionType(baseItem->type))
        ++m_connectionItemsQueued;
    CProcessItem* item = AsOwnItem(baseItem);
    if (!item || !IsCountedType(item->type))
        return;
    if (item->type == kItemHandOff && item->path.IsEmpty())
        return;
    try
    {
        item->m_counted = m_pending.Add(item->type == kItemChanged ? CPendingRequestCounts::Kind::Id
                                                                   : CPendingRequestCounts::Kind::Path,
                                        item->CountKey());
    }
    catch (...)
    {
        // No key, no count: the item is simply not counted.
    }
}

void CPluginDbNotifyThread::OnItemDequeued(CBase::CProcessItem* baseItem)
{
    if (!baseItem)
    {
        m_pending.Clear();
        m_connectionItemsQueued = 0;
        return;
    }
    ++m_dequeuedItems;
    if (IsConnectionType(baseItem->type))
    {
        --m_connectionItemsQueued;
        m_deferralWakeGiven = false;
    }
    CProcessItem* item = IsCountedType(baseItem->type) ? AsOwnItem(baseItem) : nullptr;
    if (!item || !item->m_counted)
        return;
    item->m_counted = false;
    m_pending.Remove(item->type == kItemChanged ? CPendingRequestCounts::Kind::Id : CPendingRequestCounts::Kind::Path,
                     item->m_countKey);
}

void CPluginDbNotifyThread::OnThreadExit()
{
    m_acceptingItems = false;
    // A thread started later has no timer armed: its first intake must signal it.
    m_wakeGiven = false;
    // What is queued now is what the file must hold; it is written at the thread's end item,
    // outside the queue lock. m_queueDirty stays set until then, for a forced end in between.
    if (m_queueDirty)
    {
        m_exitRecords.clear();
        m_exitSaveDue = SUCCEEDED(CatchAsHResult([&] {
            CollectQueueRecords(m_exitRecords);
            return S_OK;
        }));
    }
}

// ---- Dispatch --------------------------------------------------------------------------------

HRESULT CPluginDbNotifyThread::ProcessItem(std::unique_ptr<CBase::CProcessItem> owned)
{
    CProcessItem* item = AsOwnItem(owned.get());
    if (!item)
        return S_FALSE;

    HRESULT result = S_OK;
    bool queueChanged = false;
    switch (item->type)
    {
    case kItemThreadStarted:
    {
        m_workerThread.Bind();
        {
            CLockGuard guard(m_queueLock);
            m_acceptingItems = true;
        }
        // Asking for the system-required state answers the state the thread had; put it back.
        m_savedExecutionState = SetThreadExecutionState(ES_SYSTEM_REQUIRED);
        RequestExecutionState(m_savedExecutionState);
        // A stop also ends the connection's waits, the retries of a busy open among them.
        m_database.SetAbortEvent(GetStopEvent());
        m_traceSettings.Refresh();
        break;
    }
    case kItemThreadEnding:
    {
        // First, before a database call that may never return: the save the queue's end owes.
        SaveExitSnapshot();
        // Here, on the thread that switched it on: its mutexes can be released only by it.
        m_watchObserver.SetActive(false);
        {
            // Removing the listener waits for an intake call still running on the database's
            // thread: this worker's members must outlive it.
            CLockGuard guard(m_dbLock);
            m_database.RemoveListener(this);
            m_database.Close();
        }
        SetSite(nullptr);
        RequestExecutionState(m_savedExecutionState);
        m_traceSettings.Close();
        m_workerThread.Unbind();
        break;
    }
    case kItemCountTimer:
        ReportPendingCount(true);
        break;
    case kItemTraceSettingsChanged:
        m_traceSettings.Refresh();
        break;
    case kItemConnect:
        result = CatchAsHResult([&] { return Connect(item); });
        break;
    case kItemDisconnect:
        result = CatchAsHResult([&] {
            Disconnect();
            return S_OK;
        });
        break;
    case kItemChanged:
        m_requestInHand = item;
        result = ResolveNotification(item);
        m_requestInHand = nullptr;
        queueChanged = true;
        break;
    case kItemRemoved:
        result = CleanUpRemovedItem(item);
        queueChanged = true;
        break;
    case kItemHandOff:
        m_requestInHand = item;
        result = HandOffItem(item);
        m_requestInHand = nullptr;
        queueChanged = true;
        break;
    default:
        result = S_FALSE;
        break;
    }

    size_t queued = 0;
    {
        CLockGuard guard(m_queueLock);
        queued = m_queue.size();
    }
    if (queued > 0)
    {
        // Keep the machine awake while work waits.
        RequestExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    }
    else
    {
        if (queueChanged)
        {
            // Nothing waits any more: a crash now must not bring back requests already handled.
            m_queueDirty = true;
            TraceUnreportedFailure(TraceSource::Notify, BackUpDelayQueue(), L"the delay-queue file cannot be backed up",
                                   nullptr, DelayQueueFolder() + kDelayQueueFileName);
        }
        RequestExecutionState(m_savedExecutionState);
    }
    return result;
}

void CPluginDbNotifyThread::RequestExecutionState(DWORD state) noexcept
{
    m_requestedExecutionState.store(state);
    SetThreadExecutionState(state);
}

void CPluginDbNotifyThread::SetSite(ILumMgrPluginSite* site) noexcept
{
    LUM_ASSERT_ON_THREAD(m_workerThread);
    // Released outside the assignment so that the flag never claims a site being released.
    CComPtr<ILumMgrPluginSite> old(m_site);
    m_siteHeld.store(site != nullptr);
    m_site = site;
}

HRESULT CPluginDbNotifyThread::Connect(CProcessItem* item)
{
    LUM_ASSERT_ON_THREAD(m_workerThread);
    SetSite(nullptr);
    CComPtr<ILumMgrPluginSite> site;
    const HRESULT hr = item->siteStream.Unmarshal(IID_ILumMgrPluginSite, reinterpret_cast<void**>(&site));
    m_notificationsEnabled.store(item->connectFlag != 0);
    if (!site)
        return hr;
    SetSite(site);

    // The requests saved last time are queued before the database can notify anything new.
    const HRESULT loaded = LoadDelayQueue();
    if (SUCCEEDED(loaded))
    {
        m_queueDirty = true;
        ReportPendingCount(false);
    }
    else
    {
        ReportFailure(TraceSource::Notify, kEventDelayQueueNotRead, L"the delay-queue file cannot be read", loaded,
                      DelayQueueFolder() + kDelayQueueFileName);
    }

    HRESULT opened;
    {
        CLockGuard guard(m_dbLock);
        opened = m_database.Open(true, kPluginName, kDatabaseOpenTimeoutMs);
        if (SUCCEEDED(opened))
            m_database.AddListener(this);
    }
    if (FAILED(opened))
    {
        // A stop ends a busy open on purpose: no failure of the database's.
        if (opened != E_ABORT)
            ReportFailure(TraceSource::Notify, kEventDatabaseNotOpened, L"the content database cannot be opened",
                          opened, L"change notifications");
        return E_ABORT;
    }
    m_watchObserver.SetActive(true);
    return S_OK;
}

void CPluginDbNotifyThread::Disconnect()
{
    LUM_ASSERT_ON_THREAD(m_workerThread);
    m_watchObserver.SetActive(false);
    CComPtr<ILumMgrPluginSite> site;
    {
        CLockGuard guard(m_dbLock);
        m_database.RemoveListener(this);
        site = m_site;
        SetSite(nullptr);
        m_database.Close();
    }
    // The manager's site is released with no lock of ours held.
    site.Release();
    if (m_queueDirty)
    {
        m_queueDirty = false;
        SaveDelayQueue();
    }
}

// ---- Delay-queue file ------------------------------------------------------------------------

CString CPluginDbNotifyThread::DelayQueueFolder() const
{
    return m_delayQueueFolder.IsEmpty() ? GetDelayQueueFolder() : m_delayQueueFolder;
}

HRESULT CPluginDbNotifyThread::LoadDelayQueue()
{
    return CatchAsHResult([&] {
        // Deliberately unlike the documented reload, which queues every line of the file beside
        // what is still queued: a request equal to one already queued (same item id, class and
        // path) is left out, so that connecting again without draining cannot double the queue.
        std::unordered_set<std::wstring> queued;
        {
            std::vector<CDelayQueueRecord> records;
            {
                CLockGuard guard(m_queueLock);
                CollectQueueRecords(records);
            }
            for (const CDelayQueueRecord& record : records)
                queued.insert(RequestKey(record.itemId, record.itemClass, record.path));
        }
        return LoadDelayQueueFile(DelayQueueFolder(), [&](const CString& itemId, LONG itemClass, const CString& path) {
            if (!queued.empty() && queued.count(RequestKey(itemId, itemClass, path)) != 0)
                return S_OK;
            // A reloaded request waits its full time again: its creation tick is now.
            std::unique_ptr<CProcessItem> item(new CProcessItem(kItemHandOff));
            item->itemId.Reset(itemId.AllocSysString());
            item->itemClass = itemClass;
            item->SetPath(path);
            return QueueItem(std::move(item), true, false);
        });
    });
}

void CPluginDbNotifyThread::AddQueueRecord(const CProcessItem& item, std::vector<CDelayQueueRecord>& records)
{
    CDelayQueueRecord record;
    record.path = item.path;
    record.itemId = CString(item.itemId.Get());
    record.itemClass = item.itemClass;
    records.push_back(std::move(record));
}

void CPluginDbNotifyThread::CollectQueueRecords(std::vector<CDelayQueueRecord>& records)
{
    records.reserve(records.size() + m_queue.size());
    for (const std::unique_ptr<CBase::CProcessItem>& queued : m_queue)
    {
        const CProcessItem* item = AsOwnItem(queued.get());
        if (item && IsCountedType(item->type))
            AddQueueRecord(*item, records);
    }
}

HRESULT CPluginDbNotifyThread::SaveDelayQueue()
{
    LUM_ASSERT_ON_THREAD(m_workerThread);
    std::vector<CDelayQueueRecord> records;
    const HRESULT collected = CatchAsHResult([&] {
        CLockGuard guard(m_queueLock);
        CollectQueueRecords(records);
        return S_OK;
    });
    return WriteDelayQueue(collected, records);
}

HRESULT CPluginDbNotifyThread::WriteDelayQueue(HRESULT collected, const std::vector<CDelayQueueRecord>& records)
{
    const HRESULT hr =
        FAILED(collected) ? collected : CatchAsHResult([&] { return SaveDelayQueueFile(DelayQueueFolder(), records); });
    if (FAILED(hr))
        ReportFailure(TraceSource::Notify, kEventDelayQueueNotWritten, L"the delay-queue file cannot be written", hr,
                      DelayQueueFolder() + kDelayQueueFileName);
    return hr;
}

HRESULT CPluginDbNotifyThread::SaveExitSnapshot()
{
    if (!m_queueDirty)
        return S_FALSE;
    m_queueDirty = false;
    const HRESULT collected = m_exitSaveDue ? S_OK : E_OUTOFMEMORY;
    m_exitSaveDue = false;
    const HRESULT hr = WriteDelayQueue(collected, m_exitRecords);
    m_exitRecords.clear();
    return hr;
}

HRESULT CPluginDbNotifyThread::SaveDelayQueueAfterForcedEnd()
{
    // The ended thread's flag, read now that it is gone: whether its save would have been made.
    if (!m_queueDirty)
        return S_FALSE;
    // Ended between its queue snapshot and the write: the snapshot is what the file must hold.
    if (m_exitSaveDue)
        return SaveExitSnapshot();
    m_queueDirty = false;
    std::vector<CDelayQueueRecord> records;
    const HRESULT collected = CatchAsHResult([&] {
        // The request the thread was working on goes first, where it stood in the queue. The
        // manager may have it already; a second hand-off withdraws the first, while a request
        // left out would never be analysed.
        const CProcessItem* inHand = m_requestInHand.load();
        if (inHand && SysStringLen(inHand->itemId.Get()) > 0)
            AddQueueRecord(*inHand, records);
        // Not waited for without a bound: the thread never holds the queue lock across a call out,
        // but an end inside a fault of its own could have left it taken for good.
        const ULONGLONG start = GetTickCount64();
        while (!m_queueLock.TryLock())
        {
            if (GetTickCount64() - start >= kForcedEndLockWaitMs)
                return HResultFromWin32(ERROR_TIMEOUT);
            Sleep(10);
        }
        struct CUnlock
        {
            CCriticalSection& lock;
            ~CUnlock() { lock.Unlock(); }
        } unlock{m_queueLock};
        CollectQueueRecords(records);
        return S_OK;
    });
    return WriteDelayQueue(collected, records);
}

HRESULT CPluginDbNotifyThread::BackUpDelayQueue()
{
    return CatchAsHResult([&] { return BackUpDelayQueueFile(DelayQueueFolder()); });
}

// ---- Pending requests --------------------------------------------------------------------------

void CPluginDbNotifyThread::ReportPendingCount(bool force)
{
    {
        CLockGuard guard(m_reportLock);
        if (force)
        {
            // The timer has expired, so it is no longer armed. An expiry that a fired report
            // cancelled meanwhile is stale: that report carried the count already.
            force = m_countTimerArmed;
            m_countTimerArmed = false;
        }
        const ULONG previous = m_lastReportedCount.load();
        const ULONG current = m_pending.Count();
        m_lastReportedCount.store(current);
        if (current == previous && !force)
            return;
        const bool edge = previous == 0 || current == 0;

        AnnounceBusy(current);

        const DWORD elapsed = GetTickCount() - m_lastReportTick;
        if (!edge && elapsed <= kReportPacingMs)
        {
            // Every arm aims at the same moment (the last report + the pacing time), so an armed
            // timer is left as it is.
            if (!m_countTimerArmed)
            {
                LARGE_INTEGER due;
                due.QuadPart = -static_cast<LONGLONG>(kReportPacingMs - elapsed) * 10000;
                m_countTimerArmed = SetWaitableTimer(m_countTimer.Get(), &due, 0, nullptr, nullptr, FALSE) != FALSE;
            }
            return;
        }
        // Whatever the flag says: a report that fires leaves no timer armed behind it.
        CancelWaitableTimer(m_countTimer.Get());
        m_countTimerArmed = false;
        m_lastReportTick = GetTickCount();
    }
    FireCount(m_lastReportedCount.load());
}

void CPluginDbNotifyThread::AnnounceBusy(ULONG count)
{
    if (count == 0)
    {
        m_busyAnnounced = false;
        return;
    }
    if (m_busyAnnounced)
        return;
    // A missing or failing service is retried at the next report with work pending.
    CComPtr<IBusyNotify> busy;
    const HRESULT created = CoCreateInstance(CLSID_BusyNotify, nullptr, kClassContextAll, IID_IBusyNotify,
                                             reinterpret_cast<void**>(&busy));
    if (FAILED(created) || !busy)
        return;
    VARIANT context;
    VARIANT result;
    VariantInit(&context);
    VariantInit(&result);
    if (SUCCEEDED(busy->NotifyBusy(GetCurrentProcessId(), kBusyNotifyPendingWork, context, &result)))
        m_busyAnnounced = true;
    VariantClear(&context);
    VariantClear(&result);
}

void CPluginDbNotifyThread::FireCount(ULONG count)
{
    IPluginDbNotifyOwner* owner = nullptr;
    IUnknown* keepAlive = nullptr;
    {
        CLockGuard guard(m_ownerLock);
        // The object clears the owner only in its destruction, which may start well after its
        // count came to 0: a plain AddRef in between would destroy it twice.
        if (m_owner)
        {
            keepAlive = m_owner->KeepAlive();
            if (keepAlive)
                owner = m_owner;
        }
    }
    if (!owner)
        return;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = count;
    // The owner's last reference may go inside the event or with keepAlive below, with this
    // worker's code still on the stack: the owner asks IsFiringOnThisThread before destroying.
    ++t_firingDepth;
    // None of this worker's locks is held here; a fire from the intake holds the wrapper's.
    LUM_ASSERT(HighestHeldLockRank() <= LockRank::DbListeners);
    owner->FirePendingCountChanged(value);
    VariantClear(&value);
    keepAlive->Release();
    --t_firingDepth;
}

bool CPluginDbNotifyThread::IsFiringOnThisThread() noexcept
{
    return t_firingDepth > 0;
}

bool CPluginDbNotifyThread::IsIdPending(const CString& itemId)
{
    return !itemId.IsEmpty() && m_pending.Contains(CPendingRequestCounts::Kind::Id, itemId);
}

bool CPluginDbNotifyThread::IsPathPending(const CString& path)
{
    return !path.IsEmpty() && m_pending.Contains(CPendingRequestCounts::Kind::Path, LowerCasePath(path));
}

LONG CPluginDbNotifyThread::DiscardPending(LONG type, BSTR itemId, const CString& path)
{
    if (type == kItemHandOff && !IsPathPending(path))
        return 0;
    if (type == kItemChanged && !IsIdPending(CString(itemId)))
        return 0;
    // Only waiting files (type 6) carry a path, and every one of them is counted: a path that is
    // not counted matches no queued item, so the walk over the queue can be spared.
    if (type == 0 && !path.IsEmpty() && !IsPathPending(path))
        return 0;

    CProcessItem pattern(type);
    if (itemId)
    {
        pattern.itemId.Reset(SysAllocStringLen(itemId, SysStringLen(itemId)));
        if (!pattern.itemId.Get())
            ThrowHResult(E_OUTOFMEMORY);
    }
    pattern.SetPath(path);

    const ULONG removed = RemoveQueuedItems(&pattern, [](CBase::CProcessItem* baseItem, CBase::CProcessItem* probe) {
        const CProcessItem* own = AsOwnItem(baseItem);
        if (!own)
            return false;
        const CProcessItem& item = *own;
        const CProcessItem& match = *static_cast<const CProcessItem*>(probe);  // the pattern above
        if (match.type != 0 && match.type != item.type)
            return false;
        if (SysStringLen(match.itemId.Get()) > 0 &&
            VarBstrCmp(match.itemId.Get(), item.itemId.Get(), LOCALE_USER_DEFAULT, 0) != VARCMP_EQ)
            return false;
        if (match.pathHash != 0 && item.pathHash != 0 && match.pathHash != item.pathHash)
            return false;
        return _wcsicmp(match.path, item.path) == 0;
    });
    return static_cast<LONG>(removed);
}

HRESULT CPluginDbNotifyThread::CancelPending(BSTR item)
{
    return CatchAsHResult([&] {
        // An empty text (not a null one) would only match unresolved notifications without an id,
        // of which none is ever counted: it removes nothing.
        const LONG type = item && SysStringLen(item) == 0 ? kItemChanged : 0;
        const LONG removed = DiscardPending(type, nullptr, CString(item));
        ReportPendingCount(false);
        return removed > 0 ? S_OK : S_FALSE;
    });
}

HRESULT CPluginDbNotifyThread::GetPendingItems(ULONG skip, ULONG maxCount, VARIANT* items)
{
    if (!items)
        return E_POINTER;
    VariantInit(items);
    return CatchAsHResult([&] {
        std::vector<CString> paths;
        {
            CLockGuard guard(m_queueLock);
            paths.reserve(std::min<size_t>(maxCount, m_queue.size()));
            ULONG seen = 0;
            for (const std::unique_ptr<CBase::CProcessItem>& queued : m_queue)
            {
                if (paths.size() >= maxCount)
                    break;
                const CProcessItem* item = AsOwnItem(queued.get());
                if (!item || !IsCountedType(item->type))
                    continue;
                if (seen++ < skip)
                    continue;
                // An unresolved notification has no path yet.
                paths.push_back(item->type == kItemHandOff ? item->path : CString());
            }
        }
        if (paths.empty())
            return S_FALSE;

        SAFEARRAYBOUND bound;
        bound.cElements = static_cast<ULONG>(paths.size());
        bound.lLbound = 0;
        CScopedSafeArray array(SafeArrayCreate(VT_BSTR, 1, &bound));
        if (!array.Get())
            return E_OUTOFMEMORY;
        BSTR* slots = nullptr;
        {
            CArrayDataAccess access(array.Get(), reinterpret_cast<void**>(&slots));
            if (FAILED(access.Result()))
                return access.Result();
            // The array owns each copy as soon as it is stored.
            for (size_t i = 0; i < paths.size(); ++i)
                slots[i] = paths[i].AllocSysString();
        }
        items->vt = VT_ARRAY | VT_BSTR;
        items->parray = array.Release();
        return S_OK;
    });
}
