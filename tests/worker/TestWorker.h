#pragma once
#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>
#include "common/Scoped.h"
#include "worker/PluginThread.h"

// What a test worker saw. Kept apart from the worker so that it outlives it.
class CWorkLog
{
public:
    struct CEntry
    {
        LONG type;
        DWORD value;
        ULONG sequence;
        DWORD tick;
    };
    static constexpr LONG kNullItem = 0x7FFFFFFF;  // OnItemDequeued(null)

    CWorkLog() : m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

    void AddProcessed(const CEntry& entry) { Add(m_processed, entry); }
    void AddQueued(const CEntry& entry) { Add(m_queued, entry); }
    void AddDequeued(const CEntry& entry) { Add(m_dequeued, entry); }
    void AddReturned() { Change([&] { ++m_returned; }); }
    void AddExit(size_t queueLength) { Change([&] { m_exitQueueLengths.push_back(queueLength); }); }

    std::vector<CEntry> Processed() const { return Read(m_processed); }
    std::vector<CEntry> Queued() const { return Read(m_queued); }
    std::vector<CEntry> Dequeued() const { return Read(m_dequeued); }
    std::vector<size_t> ExitQueueLengths() const { return Read(m_exitQueueLengths); }
    std::vector<LONG> ProcessedTypes() const
    {
        std::vector<LONG> types;
        for (const CEntry& entry : Processed())
            types.push_back(entry.type);
        return types;
    }
    size_t CountProcessed(LONG type) const
    {
        size_t count = 0;
        for (const CEntry& entry : Processed())
            count += entry.type == type ? 1 : 0;
        return count;
    }
    // Whether an item of `type` was processed; `found` receives the first one.
    bool FindProcessed(LONG type, CEntry* found = nullptr) const
    {
        for (const CEntry& entry : Processed())
        {
            if (entry.type == type)
            {
                if (found)
                    *found = entry;
                return true;
            }
        }
        return false;
    }

    // Waits until `count` items of `type` were handed to ProcessItem.
    bool WaitForProcessed(LONG type, size_t count, DWORD timeoutMs) const
    {
        return WaitUntil([&] { return CountLocked(type) >= count; }, timeoutMs);
    }
    bool WaitForQueued(size_t count, DWORD timeoutMs) const
    {
        return WaitUntil([&] { return m_queued.size() >= count; }, timeoutMs);
    }
    // Waits until `count` ProcessItem calls have returned.
    bool WaitForReturned(size_t count, DWORD timeoutMs) const
    {
        return WaitUntil([&] { return m_returned >= count; }, timeoutMs);
    }

private:
    template <typename Edit>
    void Change(Edit change)
    {
        {
            CLockGuard guard(m_lock);
            change();
        }
        SetEvent(m_changed.Get());
    }
    template <typename Value>
    void Add(std::vector<Value>& list, const Value& value)
    {
        Change([&] { list.push_back(value); });
    }
    template <typename Value>
    std::vector<Value> Read(const std::vector<Value>& list) const
    {
        CLockGuard guard(m_lock);
        return list;
    }
    size_t CountLocked(LONG type) const
    {
        size_t count = 0;
        for (const CEntry& entry : m_processed)
            count += entry.type == type ? 1 : 0;
        return count;
    }
    // One waiter at a time: the auto-reset event wakes it after every change.
    template <typename Predicate>
    bool WaitUntil(Predicate predicate, DWORD timeoutMs) const
    {
        const DWORD start = GetTickCount();
        for (;;)
        {
            {
                CLockGuard guard(m_lock);
                if (predicate())
                    return true;
            }
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs)
                return false;
            WaitForSingleObject(m_changed.Get(), timeoutMs - elapsed);
        }
    }

    mutable CCriticalSection m_lock;
    CScopedHandle m_changed;
    std::vector<CEntry> m_processed;
    std::vector<CEntry> m_queued;
    std::vector<CEntry> m_dequeued;
    std::vector<size_t> m_exitQueueLengths;
    size_t m_returned = 0;
};

// A worker that logs every hook call and lets a test decide what ProcessItem does.
class CTestWorker : public CPluginThread<CTestWorker>
{
public:
    using CBase = CPluginThread<CTestWorker>;

    class CProcessItem : public CBase::CProcessItem
    {
    public:
        explicit CProcessItem(LONG type = 0, DWORD value = 0) : CBase::CProcessItem(type, value)
        {
            ++s_live;
        }
        ~CProcessItem() override { --s_live; }

        // Items alive right now, to prove that none leaks and none is destroyed twice.
        static inline std::atomic<int> s_live{0};
    };

    // Runs on the worker thread inside ProcessItem, after the item was logged. True keeps the
    // item. Set it before the thread starts.
    using CHandler = std::function<bool(CTestWorker& worker, CProcessItem* item)>;

    explicit CTestWorker(std::shared_ptr<CWorkLog> log, ULONG delayMs = 200)
        : m_log(std::move(log))
    {
        m_delay = delayMs;
    }
    ~CTestWorker() override
    {
        if (stopInDestructor)
            StopThread(kStopTimeoutMs);
    }

    CHandler handler;
    // Cleared by a test that lets the template's destructor meet a running thread.
    bool stopInDestructor = true;

    // Queues a new item; on failure destroys it and returns the error.
    HRESULT Queue(LONG type, DWORD value, bool delayed = false, bool evenIfStopping = false)
    {
        CProcessItem* item = new CProcessItem(type, value);
        const HRESULT hr = QueueItem(item, delayed, evenIfStopping);
        if (FAILED(hr))
            delete item;
        return hr;
    }
    ULONG QueueLength()
    {
        return VisitQueuedItems(nullptr, [](CBase::CProcessItem*, void*) { return true; });
    }
    // A handle of the current thread for the test to keep (null when there is none).
    HANDLE DuplicateThreadHandle()
    {
        CLockGuard guard(m_threadLock);
        HANDLE duplicate = nullptr;
        if (m_threadHandle)
            DuplicateHandle(GetCurrentProcess(), m_threadHandle, GetCurrentProcess(), &duplicate, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
        return duplicate;
    }
    // As if the thread had already consumed the wake-up of the items now queued.
    void ForgetItemQueuedSignal() { ResetEvent(m_itemQueuedEvent.GetHandle()); }

protected:
    bool ProcessItem(CBase::CProcessItem* item) override
    {
        m_log->AddProcessed({item->type, item->value, item->sequence, GetTickCount()});
        const bool keep = handler ? handler(*this, static_cast<CProcessItem*>(item)) : false;
        m_log->AddReturned();
        return keep;
    }
    void OnItemQueued(CBase::CProcessItem* item) override
    {
        // Appended before the hook runs: it is the tail.
        EXPECT_EQ(item, m_queue.back());
        m_log->AddQueued({item->type, item->value, item->sequence, GetTickCount()});
    }
    void OnItemDequeued(CBase::CProcessItem* item) override
    {
        if (item)
            m_log->AddDequeued({item->type, item->value, item->sequence, GetTickCount()});
        else
            m_log->AddDequeued({CWorkLog::kNullItem, 0, 0, GetTickCount()});
    }
    void OnThreadExit() override { m_log->AddExit(m_queue.size()); }

private:
    std::shared_ptr<CWorkLog> m_log;
};

// Every worker test runs in the multi-threaded apartment and ends with no item alive.
class WorkerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_liveAtStart = CTestWorker::CProcessItem::s_live.load();
    }
    void TearDown() override
    {
        EXPECT_EQ(m_liveAtStart, CTestWorker::CProcessItem::s_live.load()) << "items leaked";
        CoUninitialize();
    }

    static CScopedHandle NewEvent(bool manualReset = true)
    {
        return CScopedHandle(CreateEventW(nullptr, manualReset, FALSE, nullptr));
    }

    std::shared_ptr<CWorkLog> m_log = std::make_shared<CWorkLog>();
    static constexpr DWORD kWait = 10000;  // for what must happen; never reached when it does

private:
    int m_liveAtStart = 0;
};

constexpr LONG kStarted = CTestWorker::kItemThreadStarted;
constexpr LONG kEnding = CTestWorker::kItemThreadEnding;
constexpr LONG kSignalled = CTestWorker::kItemHandleSignalled;
constexpr LONG kAbandoned = CTestWorker::kItemHandleAbandoned;
