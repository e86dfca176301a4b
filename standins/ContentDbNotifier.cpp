#include "standins/ContentDbNotifier.h"
#include <objbase.h>
#include <process.h>
#include <algorithm>
#include <utility>
#include "common/CallbackType.h"
#include "common/HResultException.h"

CContentDbNotifier::CContentDbNotifier()
    : m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_idle(CreateEventW(nullptr, TRUE, TRUE, nullptr)),
      m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_wake.IsValid() || !m_idle.IsValid() || !m_stop.IsValid())
        ThrowHResult(E_OUTOFMEMORY);
    unsigned threadId = 0;
    LUM_ASSERT_CALLBACK_TYPE(ThreadMain, _beginthreadex_proc_type);
    m_thread.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ThreadMain, this, 0, &threadId)));
    if (!m_thread.IsValid())
        ThrowHResult(E_OUTOFMEMORY);
    m_threadId = threadId;
}

CContentDbNotifier::~CContentDbNotifier()
{
    SetEvent(m_stop.Get());
    // The last reference to the database may go from a sink call on our own thread.
    if (GetCurrentThreadId() != m_threadId)
        WaitForSingleObject(m_thread.Get(), INFINITE);
    std::vector<std::pair<const void*, IKdCdbNotification*>> sinks;
    {
        CLockGuard guard(m_lock);
        sinks.swap(m_sinks);
    }
    for (const auto& entry : sinks)
        entry.second->Release();
}

void CContentDbNotifier::Register(const void* key, IKdCdbNotification* sink)
{
    if (!sink)
    {
        Unregister(key);
        return;
    }
    sink->AddRef();
    IKdCdbNotification* replaced = nullptr;
    {
        CLockGuard guard(m_lock);
        const auto found = std::find_if(m_sinks.begin(), m_sinks.end(), [key](const auto& entry) { return entry.first == key; });
        if (found != m_sinks.end())
            replaced = std::exchange(found->second, sink);
        else
        {
            try
            {
                m_sinks.emplace_back(key, sink);
            }
            catch (...)
            {
                sink->Release();
                throw;
            }
        }
    }
    // Released with no lock held: the last release may run the sink's clean-up.
    if (replaced)
        replaced->Release();
}

bool CContentDbNotifier::Unregister(const void* key)
{
    IKdCdbNotification* removed = nullptr;
    {
        CLockGuard guard(m_lock);
        const auto found = std::find_if(m_sinks.begin(), m_sinks.end(), [key](const auto& entry) { return entry.first == key; });
        if (found == m_sinks.end())
            return false;
        removed = found->second;
        m_sinks.erase(found);
    }
    removed->Release();
    return true;
}

size_t CContentDbNotifier::SinkCount()
{
    CLockGuard guard(m_lock);
    return m_sinks.size();
}

void CContentDbNotifier::Enqueue(const std::wstring& id, LONG itemClass, LONG kind)
{
    CLockGuard guard(m_lock);
    if (m_sinks.empty())
        return;
    m_queue.push_back(Change{id, itemClass, kind});
    ResetEvent(m_idle.Get());
    SetEvent(m_wake.Get());
}

void CContentDbNotifier::SetBatchSize(ULONG size)
{
    CLockGuard guard(m_lock);
    m_batchSize = size ? size : 1;
}

bool CContentDbNotifier::WaitIdle(DWORD timeoutMs)
{
    return WaitForSingleObject(m_idle.Get(), timeoutMs) == WAIT_OBJECT_0;
}

unsigned __stdcall CContentDbNotifier::ThreadMain(void* self)
{
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static_cast<CContentDbNotifier*>(self)->Run();
    if (SUCCEEDED(init))
        CoUninitialize();
    return 0;
}

void CContentDbNotifier::Run()
{
    HANDLE handles[2] = {m_stop.Get(), m_wake.Get()};
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
    {
        try
        {
            DeliverQueued();
        }
        catch (...)
        {
            // Out of memory: the batch is lost, the thread goes on.
            CLockGuard guard(m_lock);
            m_delivering = false;
            if (m_queue.empty())
                SetEvent(m_idle.Get());
            else
                SetEvent(m_wake.Get());
        }
    }
}

void CContentDbNotifier::DeliverQueued()
{
    while (WaitForSingleObject(m_stop.Get(), 0) != WAIT_OBJECT_0)
    {
        std::vector<Change> batch;
        std::vector<CComPtr<IKdCdbNotification>> sinks;
        LONG_PTR context = 0;
        {
            CLockGuard guard(m_lock);
            if (m_queue.empty())
            {
                m_delivering = false;
                SetEvent(m_idle.Get());
                return;
            }
            m_delivering = true;
            while (!m_queue.empty() && batch.size() < m_batchSize)
            {
                batch.push_back(std::move(m_queue.front()));
                m_queue.pop_front();
            }
            for (const auto& entry : m_sinks)
                sinks.push_back(entry.second);
            context = m_nextContext++;
        }

        std::vector<LPCWSTR> ids;
        std::vector<LONG> classes;
        std::vector<LONG> kinds;
        for (const Change& change : batch)
        {
            ids.push_back(change.id.c_str());
            classes.push_back(change.itemClass);
            kinds.push_back(change.kind);
        }
        for (const auto& sink : sinks)
        {
            // Fresh copies per sink: a sink may not change what the next one sees.
            std::vector<LPCWSTR> idCopy = ids;
            std::vector<LONG> classCopy = classes;
            std::vector<LONG> kindCopy = kinds;
            sink->OnNotify(static_cast<LONG>(batch.size()), idCopy.data(), classCopy.data(), kindCopy.data(), context);
            InterlockedIncrement(&m_deliveredCalls);
        }
    }
}
