// Method bodies of CPluginThread<T>; included at the end of PluginThread.h only.
#include <process.h>
#include <algorithm>
#include <new>
#include "common/CallbackType.h"
#include "common/HResult.h"
#include "common/TraceWriter.h"
#include "worker/ForcedEnd.h"

// The thread's wait list: its five events, then duplicates of the extra handles that belong to the
// thread alone, so SetWaitHandles may close the worker's list while the thread still waits on it.
template <typename T>
struct CPluginThread<T>::CWaitList
{
    std::vector<HANDLE> handles;
    std::vector<CScopedHandle> duplicates;
    std::vector<DWORD> values;
};

template <typename T>
CPluginThread<T>::~CPluginThread()
{
    // The derived worker is gone already: whatever the thread still takes is destroyed unseen.
    m_discard = true;
    SignalStop();
    DestroyQueuedItems();
    // This class's own stop: no override can run once the derived part is gone.
    CPluginThread::StopThread(kStopTimeoutMs);
    {
        CLockGuard guard(m_threadLock);
        CloseThreadHandle();
    }
    CLockGuard guard(m_handleListLock);
    m_extraHandles.clear();
    m_extraValues.clear();
}

template <typename T>
bool CPluginThread<T>::RequestStop()
{
    EnsureEvents();
    return SignalStop();
}

template <typename T>
bool CPluginThread<T>::SignalStop() noexcept
{
    CLockGuard guard(m_stopLock);
    m_stopRequested.store(true, std::memory_order_seq_cst);
    return m_stopEvent.Set();
}

template <typename T>
void CPluginThread<T>::ClearStop()
{
    CLockGuard guard(m_stopLock);
    m_stopRequested.store(false, std::memory_order_seq_cst);
    if (m_stopEvent.Get())
        ResetEvent(m_stopEvent.Get());
}

template <typename T>
bool CPluginThread<T>::StartThread(DWORD timeoutMs)
{
    EnsureEvents();
    CLockGuard guard(m_threadLock);
    if (m_threadHandle.IsValid())
    {
        if (m_stopEvent.Wait(0))
            StopThread(timeoutMs);
        else if (WaitForSingleObject(m_threadHandle.Get(), 0) == WAIT_OBJECT_0)
            CloseThreadHandle();
    }
    ClearStop();
    if (!m_threadHandle.IsValid())
    {
        // The new thread may queue from its first item; holding the handle lock until the handle
        // is stored keeps its QueueItem from seeing "no thread".
        CLockGuard handleGuard(m_threadHandleLock);
        unsigned threadId = 0;
        LUM_ASSERT_CALLBACK_TYPE(ThreadProc, _beginthreadex_proc_type);
        const uintptr_t thread = _beginthreadex(nullptr, 0, &ThreadProc, this, 0, &threadId);
        if (thread)
        {
            m_threadHandle.Reset(reinterpret_cast<HANDLE>(thread));
            m_threadId = threadId;
        }
    }
    return m_threadHandle.IsValid();
}

template <typename T>
bool CPluginThread<T>::StopThread(DWORD timeoutMs)
{
    bool stopped = true;
    RequestStop();
    CLockGuard guard(m_threadLock);
    if (!m_threadHandle.IsValid())
        return true;
    // The thread itself cannot wait for its own end.
    if (GetCurrentThreadId() != m_threadId)
    {
        HANDLE thread = m_threadHandle.Get();
        DWORD index = 0;
        if (CoWaitForMultipleHandles(0, timeoutMs, 1, &thread, &index) == kHrCallPending)
        {
            stopped = false;
            TerminateThread(thread, 0xFFFFFFFF);
            // Termination completes asynchronously; let it finish before the handle goes.
            WaitForSingleObject(thread, 5000);
            ReportThreadEndedByForce(m_threadId, timeoutMs);
        }
    }
    CloseThreadHandle();
    return stopped;
}

template <typename T>
bool CPluginThread<T>::IsRunning()
{
    return IsThreadAlive();
}

template <typename T>
bool CPluginThread<T>::IsWorkerThread()
{
    CLockGuard guard(m_threadHandleLock);
    return m_threadHandle.IsValid() && m_threadId == GetCurrentThreadId();
}

template <typename T>
void CPluginThread<T>::OnItemQueued(CProcessItem*)
{
}

template <typename T>
void CPluginThread<T>::OnItemDequeued(CProcessItem*)
{
}

template <typename T>
void CPluginThread<T>::OnThreadExit()
{
}

template <typename T>
bool CPluginThread<T>::EnsureEvents()
{
    if (m_eventsReady.load(std::memory_order_acquire))
        return true;
    CLockGuard guard(m_initLock);
    if (!m_stopEvent.Get())
        m_stopEvent.Create(true, nullptr, false, nullptr);
    if (!m_runEvent.Get())
        m_runEvent.Create(true, nullptr, true, nullptr);
    if (!m_handlesChangedEvent.Get())
        m_handlesChangedEvent.Create(false, nullptr, false, nullptr);
    if (!m_itemQueuedEvent.Get())
        m_itemQueuedEvent.Create(false, nullptr, false, nullptr);
    if (!m_delayedQueuedEvent.Get())
        m_delayedQueuedEvent.Create(false, nullptr, false, nullptr);
    const bool ready = m_stopEvent.Get() && m_runEvent.Get() && m_handlesChangedEvent.Get() &&
                       m_itemQueuedEvent.Get() && m_delayedQueuedEvent.Get();
    m_eventsReady.store(ready, std::memory_order_release);
    return ready;
}

template <typename T>
HRESULT CPluginThread<T>::QueueItem(std::unique_ptr<CProcessItem> owned, bool delayed, bool evenIfStopping)
{
    if (!owned)
        return E_POINTER;
    EnsureEvents();
    if (!evenIfStopping && IsStopRequested(0))
        return E_ABORT;
    if (!IsThreadAlive())
        return kHrThreadNotRunning;

    // A refused item goes with `owned`, after the lock is left.
    CProcessItem* const item = owned.get();
    CLockGuard guard(m_queueLock);
    try
    {
        m_queue.push_back(std::move(owned));
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    item->sequence = m_nextSequence++;
    OnItemQueued(item);
    if (delayed)
    {
        NoteDelayedItemQueued();
        m_delayedQueuedEvent.Set();
    }
    else
    {
        m_itemQueuedEvent.Set();
    }
    return S_OK;
}

template <typename T>
bool CPluginThread<T>::SetWaitHandles(ULONG count, const HANDLE* handles, const DWORD* values)
{
    EnsureEvents();
    if (count && !handles)
        return false;

    // Holds the new list, and then the old one, closed once the lock is left.
    std::vector<CScopedHandle> duplicates;
    std::vector<DWORD> newValues;
    try
    {
        duplicates.reserve(count);
        if (values)
            newValues.assign(values, values + count);
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    const HANDLE process = GetCurrentProcess();
    for (ULONG i = 0; i < count; ++i)
    {
        HANDLE duplicate = nullptr;
        if (!DuplicateHandle(process, handles[i], process, &duplicate, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return false;
        duplicates.emplace_back(duplicate);
    }

    // Deliberately unlike the documented replacement, which sleeps 10 ms under the lock to let the
    // thread leave its wait on the old list: the thread waits on duplicates of its own (CWaitList),
    // so the old list is swapped out under the lock and closed after it, with no wait at all.
    {
        CLockGuard guard(m_handleListLock);
        m_extraHandles.swap(duplicates);
        m_extraValues.swap(newValues);
        m_rebuild = true;
        m_handlesChangedEvent.Set();
    }
    // `duplicates` holds the old list now: it is closed here, after the lock.
    return true;
}

template <typename T>
template <typename Predicate>
ULONG CPluginThread<T>::RemoveQueuedItems(CProcessItem* probe, Predicate predicate)
{
    ULONG removed = 0;
    CLockGuard guard(m_queueLock);
    for (auto it = m_queue.begin(); it != m_queue.end();)
    {
        if (predicate(it->get(), probe))
        {
            const std::unique_ptr<CProcessItem> item = std::move(*it);
            it = m_queue.erase(it);
            OnItemDequeued(item.get());
            ++removed;
        }
        else
        {
            ++it;
        }
    }
    return removed;
}

template <typename T>
template <typename Visitor>
ULONG CPluginThread<T>::VisitQueuedItems(void* context, Visitor visitor)
{
    ULONG accepted = 0;
    CLockGuard guard(m_queueLock);
    for (const std::unique_ptr<CProcessItem>& item : m_queue)
    {
        if (visitor(item.get(), context))
            ++accepted;
    }
    return accepted;
}

template <typename T>
bool CPluginThread<T>::IsStopRequested(DWORD timeoutMs)
{
    // With no stop requested a poll needs no kernel call. Once one is, the event answers, as the
    // owner may have reset it since.
    const bool ready = EnsureEvents();
    if (timeoutMs == 0 && ready && !m_stopRequested.load(std::memory_order_seq_cst))
        return false;
    HANDLE stop = m_stopEvent.Get();
    DWORD index = 0;
    const HRESULT hr = CoWaitForMultipleHandles(0, timeoutMs, 1, &stop, &index);
    if (hr == S_OK)
        return true;
    return FAILED(hr) && hr != kHrCallPending;
}

template <typename T>
bool CPluginThread<T>::WaitForRun(DWORD timeoutMs)
{
    const bool ready = EnsureEvents();
    if (ready && !m_stopRequested.load(std::memory_order_seq_cst) && !m_pauseRequested.load(std::memory_order_seq_cst))
        return true;
    HANDLE handles[2] = {m_stopEvent.Get(), m_runEvent.Get()};
    DWORD index = 0;
    const HRESULT hr = CoWaitForMultipleHandles(0, timeoutMs, 2, handles, &index);
    if (FAILED(hr))
        return hr == kHrCallPending;
    if (hr == S_OK && index == 0)
        return false;
    if (hr == S_OK && index == 1)
        return WaitForSingleObject(handles[0], 0) != WAIT_OBJECT_0;
    return true;
}

template <typename T>
bool CPluginThread<T>::SetRunEvent()
{
    if (!EnsureEvents())
        return false;
    CLockGuard guard(m_stopLock);
    const bool set = SetEvent(m_runEvent.Get()) != FALSE;
    if (set)
        m_pauseRequested.store(false, std::memory_order_seq_cst);
    return set;
}

template <typename T>
bool CPluginThread<T>::ResetRunEvent()
{
    if (!EnsureEvents())
        return false;
    CLockGuard guard(m_stopLock);
    m_pauseRequested.store(true, std::memory_order_seq_cst);
    return ResetEvent(m_runEvent.Get()) != FALSE;
}

template <typename T>
std::unique_ptr<typename CPluginThread<T>::CProcessItem> CPluginThread<T>::CreateItem(LONG type, DWORD value)
{
    return std::make_unique<typename T::CProcessItem>(type, value);
}

template <typename T>
unsigned __stdcall CPluginThread<T>::ThreadProc(void* param)
{
    if (!param)
        return 0;
    return static_cast<CPluginThread*>(param)->ThreadMain();
}

template <typename T>
unsigned CPluginThread<T>::ThreadMain()
{
    const HRESULT comResult = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HandOverNew(kItemThreadStarted, 0);

    const CScopedHandle batchTimer(CreateWaitableTimerW(nullptr, FALSE, nullptr));
    {
        CWaitList list;
        bool ready = true;
        try
        {
            // This order is the dispatch below: the stop event wins over everything else.
            list.handles = {m_stopEvent.Get(), m_delayedQueuedEvent.Get(), batchTimer.Get(),
                            m_itemQueuedEvent.Get(), m_handlesChangedEvent.Get()};
        }
        catch (const std::bad_alloc&)
        {
            ready = false;
        }
        {
            CLockGuard guard(m_handleListLock);
            m_rebuild = true;
        }
        while (ready && RebuildWaitList(list))
        {
            const DWORD count = static_cast<DWORD>(list.handles.size());
            const DWORD result = WaitForMultipleObjects(count, list.handles.data(), FALSE, INFINITE);
            if (result == WAIT_OBJECT_0)
                break;
            if (result == WAIT_OBJECT_0 + 1)
            {
                // Every delayed item pushes the next batch back to a full delay after it.
                ArmTimer(batchTimer.Get(), m_delay);
            }
            else if (result == WAIT_OBJECT_0 + 2 || result == WAIT_OBJECT_0 + 3)
            {
                if (!RunBatch(batchTimer.Get(), result == WAIT_OBJECT_0 + 2))
                    break;
            }
            else if (result == WAIT_OBJECT_0 + 4)
            {
                CLockGuard guard(m_handleListLock);
                m_rebuild = true;
            }
            else if (result >= WAIT_OBJECT_0 + 5 && result < WAIT_OBJECT_0 + count)
            {
                const DWORD k = result - WAIT_OBJECT_0 - 5;
                HandOverNew(kItemHandleSignalled + static_cast<LONG>(k),
                            k < list.values.size() ? list.values[k] : 0);
            }
            else if (result >= WAIT_ABANDONED_0 + 5 && result < WAIT_ABANDONED_0 + count)
            {
                const DWORD k = result - WAIT_ABANDONED_0 - 5;
                HandOverNew(kItemHandleAbandoned + static_cast<LONG>(k),
                            k < list.values.size() ? list.values[k] : 0);
            }
            else
            {
                // An abandoned or failed fixed handle: end as if asked to stop.
                break;
            }
        }
    }

    {
        CLockGuard guard(m_queueLock);
        OnThreadExit();
        DestroyQueuedItems();
        OnItemDequeued(nullptr);
    }
    HandOverNew(kItemThreadEnding, 0);
    if (SUCCEEDED(comResult))
        CoUninitialize();
    return 0;
}

template <typename T>
bool CPluginThread<T>::RebuildWaitList(CWaitList& list)
{
    CLockGuard guard(m_handleListLock);
    if (!m_rebuild)
        return true;
    m_rebuild = false;

    const size_t count = std::min<size_t>(m_extraHandles.size(), kMaxEffectiveWaitHandles);
    CWaitList fresh;
    try
    {
        fresh.handles.assign(list.handles.begin(), list.handles.begin() + 5);
        fresh.handles.reserve(5 + count);
        fresh.duplicates.reserve(count);
        fresh.values.assign(m_extraValues.begin(),
                            m_extraValues.begin() + std::min(m_extraValues.size(), count));
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    const HANDLE process = GetCurrentProcess();
    for (size_t i = 0; i < count; ++i)
    {
        // A handle that cannot be duplicated stays null: the wait fails and the thread ends, as
        // with any other missing handle.
        HANDLE duplicate = nullptr;
        if (!DuplicateHandle(process, m_extraHandles[i].Get(), process, &duplicate, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
        {
            duplicate = nullptr;
            if (TraceOn(TraceLevel::Failures))
                Trace(m_traceSource, TraceDecision::Failed, nullptr, nullptr,
                      L"the worker thread cannot duplicate its wait handles and ends", HResultFromLastError(),
                      L"extra handle %lu", static_cast<unsigned long>(i));
        }
        fresh.duplicates.emplace_back(duplicate);
        fresh.handles.push_back(duplicate);
    }
    std::swap(list.handles, fresh.handles);
    std::swap(list.duplicates, fresh.duplicates);
    std::swap(list.values, fresh.values);
    return true;
}

template <typename T>
bool CPluginThread<T>::RunBatch(HANDLE batchTimer, bool byTimer)
{
    size_t batchSize = 0;
    {
        CLockGuard guard(m_queueLock);
        if (byTimer && m_delayedSeen)
        {
            const DWORD elapsed = GetTickCount() - m_lastDelayedTick;
            if (elapsed < m_delay)
            {
                ArmTimer(batchTimer, m_delay - elapsed);
                return true;
            }
        }
        batchSize = m_queue.size();
    }
    // Only what is queued now: a steady stream of new items must not keep the stop check away.
    bool stopping = false;
    for (size_t taken = 0; taken < batchSize && !stopping; ++taken)
    {
        std::unique_ptr<CProcessItem> item;
        {
            CLockGuard guard(m_queueLock);
            if (m_queue.empty())
                break;
            item = std::move(m_queue.front());
            m_queue.pop_front();
            OnItemDequeued(item.get());
        }
        HandOver(std::move(item));
        stopping = IsStopRequested(0);
    }
    {
        CLockGuard guard(m_queueLock);
        if (!m_queue.empty())
            ArmTimer(batchTimer, 3 * static_cast<LONGLONG>(m_delay));
    }
    return !stopping;
}

template <typename T>
void CPluginThread<T>::ArmTimer(HANDLE timer, LONGLONG delayMs)
{
    LARGE_INTEGER due;
    due.QuadPart = -delayMs * 10000;
    SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
}

template <typename T>
void CPluginThread<T>::HandOver(std::unique_ptr<CProcessItem> item)
{
    if (m_discard)
        return;
    const LONG type = item->type;
    const HRESULT hr = ProcessItem(std::move(item));
    // Nobody waits for an item's result: a failure is at least traced. A stop is no failure.
    if (FAILED(hr) && hr != E_ABORT && TraceOn(TraceLevel::Detail))
        Trace(m_traceSource, TraceDecision::Failed, nullptr, nullptr, L"a work item failed", hr, L"item type %ld",
              static_cast<long>(type));
}

template <typename T>
void CPluginThread<T>::HandOverNew(LONG type, DWORD value)
{
    std::unique_ptr<CProcessItem> item;
    try
    {
        item = T::CreateItem(type, value);
    }
    catch (...)
    {
        return;
    }
    if (item)
        HandOver(std::move(item));
}

template <typename T>
bool CPluginThread<T>::IsThreadAlive()
{
    CLockGuard guard(m_threadHandleLock);
    return m_threadHandle.IsValid() && WaitForSingleObject(m_threadHandle.Get(), 0) == WAIT_TIMEOUT;
}

template <typename T>
void CPluginThread<T>::CloseThreadHandle()
{
    CLockGuard guard(m_threadHandleLock);
    m_threadHandle.Close();
    m_threadId = 0;
}

template <typename T>
void CPluginThread<T>::DestroyQueuedItems()
{
    CLockGuard guard(m_queueLock);
    m_queue.clear();
}
