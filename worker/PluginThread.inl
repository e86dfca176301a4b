// Method bodies of CPluginThread<T>; included at the end of PluginThread.h only.
#include <process.h>
#include <algorithm>
#include <new>
#include "common/CallbackType.h"
#include "common/HResult.h"
#include "worker/ForcedEnd.h"

// The thread's wait list: its five events, then duplicates of the extra handles that belong to the
// thread alone, so SetWaitHandles may close the worker's list while the thread still waits on it.
template <typename T>
struct CPluginThread<T>::CWaitList
{
    std::vector<HANDLE> handles;
    std::vector<HANDLE> duplicates;
    std::vector<DWORD> values;

    CWaitList() = default;
    CWaitList(const CWaitList&) = delete;
    CWaitList& operator=(const CWaitList&) = delete;
    ~CWaitList()
    {
        for (HANDLE handle : duplicates)
        {
            if (handle)
                CloseHandle(handle);
        }
    }
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
    for (HANDLE handle : m_extraHandles)
        CloseHandle(handle);
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
    if (m_stopEvent.GetHandle())
        ResetEvent(m_stopEvent.GetHandle());
}

template <typename T>
bool CPluginThread<T>::StartThread(DWORD timeoutMs)
{
    EnsureEvents();
    CLockGuard guard(m_threadLock);
    if (m_threadHandle)
    {
        if (m_stopEvent.Wait(0))
            StopThread(timeoutMs);
        else if (WaitForSingleObject(m_threadHandle, 0) == WAIT_OBJECT_0)
            CloseThreadHandle();
    }
    ClearStop();
    if (!m_threadHandle)
    {
        // The new thread may queue from its first item; holding the handle lock until the handle
        // is stored keeps its QueueItem from seeing "no thread".
        CLockGuard handleGuard(m_threadHandleLock);
        unsigned threadId = 0;
        LUM_ASSERT_CALLBACK_TYPE(ThreadProc, _beginthreadex_proc_type);
        const uintptr_t thread = _beginthreadex(nullptr, 0, &ThreadProc, this, 0, &threadId);
        if (thread)
        {
            m_threadHandle = reinterpret_cast<HANDLE>(thread);
            m_threadId = threadId;
        }
    }
    return m_threadHandle != nullptr;
}

template <typename T>
bool CPluginThread<T>::StopThread(DWORD timeoutMs)
{
    bool stopped = true;
    RequestStop();
    CLockGuard guard(m_threadLock);
    if (!m_threadHandle)
        return true;
    // The thread itself cannot wait for its own end.
    if (GetCurrentThreadId() != m_threadId)
    {
        HANDLE thread = m_threadHandle;
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
    return m_threadHandle && m_threadId == GetCurrentThreadId();
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
    if (!m_stopEvent.GetHandle())
        m_stopEvent.Create(true, nullptr, false, nullptr);
    if (!m_runEvent.GetHandle())
        m_runEvent.Create(true, nullptr, true, nullptr);
    if (!m_handlesChangedEvent.GetHandle())
        m_handlesChangedEvent.Create(false, nullptr, false, nullptr);
    if (!m_itemQueuedEvent.GetHandle())
        m_itemQueuedEvent.Create(false, nullptr, false, nullptr);
    if (!m_delayedQueuedEvent.GetHandle())
        m_delayedQueuedEvent.Create(false, nullptr, false, nullptr);
    const bool ready = m_stopEvent.GetHandle() && m_runEvent.GetHandle() &&
                       m_handlesChangedEvent.GetHandle() && m_itemQueuedEvent.GetHandle() &&
                       m_delayedQueuedEvent.GetHandle();
    m_eventsReady.store(ready, std::memory_order_release);
    return ready;
}

template <typename T>
HRESULT CPluginThread<T>::QueueItem(CProcessItem* item, bool delayed, bool evenIfStopping)
{
    if (!item)
        return E_POINTER;
    EnsureEvents();
    if (!evenIfStopping && IsStopRequested(0))
        return E_ABORT;
    if (!IsThreadAlive())
        return kHrThreadNotRunning;

    CLockGuard guard(m_queueLock);
    try
    {
        m_queue.push_back(item);
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

    std::vector<HANDLE> duplicates;
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
        {
            for (HANDLE made : duplicates)
                CloseHandle(made);
            return false;
        }
        duplicates.push_back(duplicate);
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
    for (HANDLE handle : duplicates)
        CloseHandle(handle);
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
        CProcessItem* item = *it;
        if (predicate(item, probe))
        {
            it = m_queue.erase(it);
            OnItemDequeued(item);
            delete item;
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
    for (CProcessItem* item : m_queue)
    {
        if (visitor(item, context))
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
    HANDLE stop = m_stopEvent.GetHandle();
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
    HANDLE handles[2] = {m_stopEvent.GetHandle(), m_runEvent.GetHandle()};
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
    const bool set = SetEvent(m_runEvent.GetHandle()) != FALSE;
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
    return ResetEvent(m_runEvent.GetHandle()) != FALSE;
}

template <typename T>
typename CPluginThread<T>::CProcessItem* CPluginThread<T>::CreateItem(LONG type, DWORD value)
{
    return new typename T::CProcessItem(type, value);
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

    HANDLE batchTimer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    {
        CWaitList list;
        bool ready = true;
        try
        {
            // This order is the dispatch below: the stop event wins over everything else.
            list.handles = {m_stopEvent.GetHandle(), m_delayedQueuedEvent.GetHandle(), batchTimer,
                            m_itemQueuedEvent.GetHandle(), m_handlesChangedEvent.GetHandle()};
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
                ArmTimer(batchTimer, m_delay);
            }
            else if (result == WAIT_OBJECT_0 + 2 || result == WAIT_OBJECT_0 + 3)
            {
                if (!RunBatch(batchTimer, result == WAIT_OBJECT_0 + 2))
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
    if (batchTimer)
        CloseHandle(batchTimer);
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
        DuplicateHandle(process, m_extraHandles[i], process, &duplicate, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        fresh.duplicates.push_back(duplicate);
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
        CProcessItem* item = nullptr;
        {
            CLockGuard guard(m_queueLock);
            if (m_queue.empty())
                break;
            item = m_queue.front();
            m_queue.pop_front();
            OnItemDequeued(item);
        }
        HandOver(item);
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
void CPluginThread<T>::HandOver(CProcessItem* item)
{
    if (m_discard || !ProcessItem(item))
        delete item;
}

template <typename T>
void CPluginThread<T>::HandOverNew(LONG type, DWORD value)
{
    CProcessItem* item = nullptr;
    try
    {
        item = T::CreateItem(type, value);
    }
    catch (...)
    {
        return;
    }
    if (item)
        HandOver(item);
}

template <typename T>
bool CPluginThread<T>::IsThreadAlive()
{
    CLockGuard guard(m_threadHandleLock);
    return m_threadHandle && WaitForSingleObject(m_threadHandle, 0) == WAIT_TIMEOUT;
}

template <typename T>
void CPluginThread<T>::CloseThreadHandle()
{
    CLockGuard guard(m_threadHandleLock);
    if (m_threadHandle)
        CloseHandle(m_threadHandle);
    m_threadHandle = nullptr;
    m_threadId = 0;
}

template <typename T>
void CPluginThread<T>::DestroyQueuedItems()
{
    CLockGuard guard(m_queueLock);
    for (CProcessItem* item : m_queue)
        delete item;
    m_queue.clear();
}
