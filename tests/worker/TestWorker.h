#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>
#include "common/Scoped.h"
#include "tests/support/TestSync.h"
#include "tests/support/WaitableLog.h"
#include "worker/PluginThread.h"

// What a test worker saw, hook by hook. Kept apart from the worker so that it outlives it.
enum class Hook { Processed, Returned, Queued, Dequeued, Exit };  // Processed: handed to ProcessItem
struct CWorkEntry { Hook hook; LONG type; DWORD value; ULONG sequence; DWORD tick; };

class CWorkLog : public CWaitableLog<CWorkEntry>
{
public:
    static constexpr LONG kNullItem = 0x7FFFFFFF;  // OnItemDequeued(null)

    // The values of the items of `type` that passed `hook`, in order (Exit: the queue length).
    static std::vector<DWORD> ValuesIn(const std::vector<CWorkEntry>& entries, LONG type, Hook hook)
    {
        std::vector<DWORD> values;
        for (const CWorkEntry& entry : entries)
            if (entry.hook == hook && entry.type == type)
                values.push_back(entry.value);
        return values;
    }
    std::vector<DWORD> Values(LONG type, Hook hook = Hook::Processed) const { return ValuesIn(Items(), type, hook); }
    std::vector<CWorkEntry> Entries(Hook hook = Hook::Processed) const
    {
        std::vector<CWorkEntry> entries;
        for (const CWorkEntry& entry : Items())
            if (entry.hook == hook)
                entries.push_back(entry);
        return entries;
    }
    std::vector<LONG> ProcessedTypes() const
    {
        std::vector<LONG> types;
        for (const CWorkEntry& entry : Entries())
            types.push_back(entry.type);
        return types;
    }
    size_t CountProcessed(LONG type) const { return Values(type).size(); }
    // When the first item of `type` was handed to ProcessItem (0: never).
    DWORD TickOf(LONG type) const
    {
        for (const CWorkEntry& entry : Entries())
            if (entry.type == type)
                return entry.tick;
        return 0;
    }
    // Waits until `count` items of `type` passed `hook`.
    bool WaitFor(Hook hook, LONG type, size_t count, DWORD timeoutMs = kTestWaitMs) const
    {
        return WaitUntil([&](const auto& entries) { return ValuesIn(entries, type, hook).size() >= count; }, timeoutMs);
    }
    bool WaitForProcessed(LONG type, size_t count, DWORD timeoutMs = kTestWaitMs) const
    {
        return WaitFor(Hook::Processed, type, count, timeoutMs);
    }
    // No further item of `type` comes. A handle wrongly waited on fires as soon as the thread
    // waits, so a short watch is enough to see it.
    bool NoMoreProcessed(LONG type) const { return !WaitForProcessed(type, CountProcessed(type) + 1, 300); }
};

// A worker that logs every hook call and lets a test decide what ProcessItem does.
class CTestWorker : public CPluginThread<CTestWorker>
{
public:
    using CBase = CPluginThread<CTestWorker>;

    class CProcessItem : public CBase::CProcessItem
    {
    public:
        explicit CProcessItem(LONG type = 0, DWORD value = 0) : CBase::CProcessItem(type, value) { ++s_live; }
        ~CProcessItem() override { --s_live; }

        // Items alive right now, to prove that none leaks and none is destroyed twice.
        static inline std::atomic<int> s_live{0};
    };

    // Runs on the worker thread inside ProcessItem, after the item was logged. True keeps the
    // item alive with the worker; false lets it go when ProcessItem returns. Set it before the
    // thread starts.
    using CHandler = std::function<bool(CTestWorker& worker, CProcessItem* item)>;

    explicit CTestWorker(std::shared_ptr<CWorkLog> log, ULONG delayMs = 200) : m_log(std::move(log)) { m_delay = delayMs; }
    ~CTestWorker() override
    {
        if (stopInDestructor)
            StopThread(kStopTimeoutMs);
    }

    CHandler handler;
    // What ProcessItem answers for an item (S_OK when unset). Set it before the thread starts.
    std::function<HRESULT(const CProcessItem& item)> result;
    // Cleared by a test that lets the template's destructor meet a running thread.
    bool stopInDestructor = true;

    // Holds the thread in its item of `type` until `gate` opens; `inItem` tells the test it is there.
    void HoldIn(LONG type, CTestEvent& inItem, CTestEvent& gate)
    {
        handler = [type, &inItem, &gate](CTestWorker&, CProcessItem* item) {
            if (item->type == type)
            {
                inItem.Set();
                gate.Wait();
            }
            return false;
        };
    }
    // Queues a new item; on failure destroys it and returns the error.
    HRESULT Queue(LONG type, DWORD value, bool delayed = false, bool evenIfStopping = false)
    {
        return QueueItem(std::make_unique<CProcessItem>(type, value), delayed, evenIfStopping);
    }
    ULONG QueueLength() { return VisitQueuedItems(nullptr, [](CBase::CProcessItem*, void*) { return true; }); }
    // A handle of the current thread for the test to keep (null when there is none).
    HANDLE DuplicateThreadHandle()
    {
        CLockGuard guard(m_threadLock);
        HANDLE duplicate = nullptr;
        if (m_threadHandle.IsValid())
            DuplicateHandle(GetCurrentProcess(), m_threadHandle.Get(), GetCurrentProcess(), &duplicate, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
        return duplicate;
    }
    // As if the thread had already consumed the wake-up of the items now queued.
    void ForgetItemQueuedSignal() { ResetEvent(m_itemQueuedEvent.Get()); }

protected:
    HRESULT ProcessItem(std::unique_ptr<CBase::CProcessItem> item) override
    {
        m_log->Add(Entry(Hook::Processed, item.get()));
        const bool keep = handler ? handler(*this, static_cast<CProcessItem*>(item.get())) : false;
        m_log->Add(Entry(Hook::Returned, item.get()));
        const HRESULT hr = result ? result(static_cast<const CProcessItem&>(*item)) : S_OK;
        if (keep)
            m_kept.push_back(std::move(item));
        return hr;
    }
    void OnItemQueued(CBase::CProcessItem* item) override
    {
        // Appended before the hook runs: it is the tail.
        EXPECT_EQ(item, m_queue.back().get());
        m_log->Add(Entry(Hook::Queued, item));
    }
    void OnItemDequeued(CBase::CProcessItem* item) override
    {
        m_log->Add(item ? Entry(Hook::Dequeued, item) : CWorkEntry{Hook::Dequeued, CWorkLog::kNullItem, 0, 0, 0});
    }
    void OnThreadExit() override { m_log->Add({Hook::Exit, 0, static_cast<DWORD>(m_queue.size()), 0, 0}); }

private:
    static CWorkEntry Entry(Hook hook, CBase::CProcessItem* item)
    {
        return {hook, item->type, item->value, item->sequence, GetTickCount()};
    }

    std::shared_ptr<CWorkLog> m_log;
    std::vector<std::unique_ptr<CBase::CProcessItem>> m_kept;  // the worker thread's only
};

// A mutex whose owning thread ended without releasing it.
inline HANDLE NewAbandonedMutex()
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    std::thread([mutex] { WaitForSingleObject(mutex, INFINITE); }).join();
    return mutex;
}

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

    std::shared_ptr<CWorkLog> m_log = std::make_shared<CWorkLog>();

private:
    int m_liveAtStart = 0;
};

constexpr LONG kStarted = CTestWorker::kItemThreadStarted;
constexpr LONG kEnding = CTestWorker::kItemThreadEnding;
constexpr LONG kSignalled = CTestWorker::kItemHandleSignalled;
constexpr LONG kAbandoned = CTestWorker::kItemHandleAbandoned;
