#include "tests/worker/TestWorker.h"

namespace
{
CScopedHandle NewEvent(bool manualReset = false)
{
    return CScopedHandle(CreateEventW(nullptr, manualReset, FALSE, nullptr));
}
}  // namespace

using PluginThreadWaitHandles = WorkerTest;

// Each signal of a handle becomes an item of its index with its value (0 without values); the list
// is kept across a restart of the thread.
TEST_F(PluginThreadWaitHandles, SignalledHandleBecomesAnItemWithItsValue)
{
    for (const bool withValues : {true, false})
    {
        SCOPED_TRACE(withValues ? "with values" : "without values");
        auto log = std::make_shared<CWorkLog>();
        CTestWorker worker(log);
        CScopedHandle first = NewEvent();
        CScopedHandle second = NewEvent();
        const HANDLE handles[] = {first.Get(), second.Get()};
        const DWORD values[] = {11, 22};
        ASSERT_TRUE(worker.SetWaitHandles(2, handles, withValues ? values : nullptr)) << "before any thread";
        for (size_t run = 1; run <= 2; ++run)
        {
            ASSERT_TRUE(worker.StartThread(kTestWaitMs));
            SetEvent(second.Get());
            ASSERT_TRUE(log->WaitForProcessed(kSignalled + 1, run));
            SetEvent(first.Get());
            ASSERT_TRUE(log->WaitForProcessed(kSignalled, run));
            ASSERT_TRUE(worker.StopThread(kTestWaitMs));
        }
        EXPECT_EQ(std::vector<DWORD>(2, withValues ? 22u : 0u), log->Values(kSignalled + 1));
        EXPECT_EQ(std::vector<DWORD>(2, withValues ? 11u : 0u), log->Values(kSignalled));
    }
}

TEST_F(PluginThreadWaitHandles, ReplacingTheListDropsTheOldHandles)
{
    CTestWorker worker(m_log);
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    // Manual reset: if the thread still waited on it, it would hand over item after item.
    CScopedHandle old = NewEvent(true);
    CScopedHandle current = NewEvent();
    const HANDLE oldHandle = old.Get();
    const HANDLE currentHandle = current.Get();
    const DWORD oldValue = 1;
    const DWORD currentValue = 2;
    ASSERT_TRUE(worker.SetWaitHandles(1, &oldHandle, &oldValue));
    ASSERT_TRUE(worker.SetWaitHandles(1, &currentHandle, &currentValue));

    // The worker closed its own copies only: the caller's handle still works.
    EXPECT_TRUE(SetEvent(oldHandle));
    SetEvent(currentHandle);
    ASSERT_TRUE(m_log->WaitForProcessed(kSignalled, 1));
    EXPECT_TRUE(m_log->NoMoreProcessed(kSignalled));
    EXPECT_EQ(std::vector<DWORD>{currentValue}, m_log->Values(kSignalled));

    // A handle that cannot be duplicated refuses the whole new list and keeps the old one.
    CScopedHandle unused = NewEvent();
    const HANDLE broken[] = {unused.Get(), nullptr};
    EXPECT_FALSE(worker.SetWaitHandles(2, broken, nullptr));
    SetEvent(currentHandle);
    ASSERT_TRUE(m_log->WaitForProcessed(kSignalled, 2));
    EXPECT_EQ((std::vector<DWORD>{currentValue, currentValue}), m_log->Values(kSignalled));

    // An empty list stops all extra waits.
    ASSERT_TRUE(worker.SetWaitHandles(0, nullptr, nullptr));
    SetEvent(currentHandle);
    EXPECT_TRUE(m_log->NoMoreProcessed(kSignalled));
}

TEST_F(PluginThreadWaitHandles, OnlyTheFirstFiftyNineHandlesAreWaitedOn)
{
    const ULONG limit = CTestWorker::kMaxEffectiveWaitHandles;
    ASSERT_EQ(59u, limit);
    CTestWorker worker(m_log);
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    std::vector<CScopedHandle> events;
    std::vector<HANDLE> handles;
    std::vector<DWORD> values;
    for (ULONG i = 0; i <= limit; ++i)
    {
        // The one past the limit is manual-reset: waited on, it would never stop firing.
        events.push_back(NewEvent(i == limit));
        handles.push_back(events.back().Get());
        values.push_back(100 + i);
    }
    ASSERT_TRUE(worker.SetWaitHandles(limit + 1, handles.data(), values.data()));

    SetEvent(handles[limit]);
    SetEvent(handles[limit - 1]);
    const LONG last = kSignalled + static_cast<LONG>(limit - 1);
    ASSERT_TRUE(m_log->WaitForProcessed(last, 1));
    EXPECT_TRUE(m_log->NoMoreProcessed(last + 1));
    EXPECT_EQ(std::vector<DWORD>{100 + limit - 1}, m_log->Values(last));
    EXPECT_TRUE(worker.IsRunning());
}

TEST_F(PluginThreadWaitHandles, AbandonedMutexBecomesAnAbandonedItem)
{
    CScopedHandle mutex(NewAbandonedMutex());
    CTestWorker worker(m_log);
    worker.handler = [](CTestWorker& self, CTestWorker::CProcessItem* item) {
        // The thread now owns the mutex, so waiting on it again would succeed at once forever.
        if (item->type >= kAbandoned && item->type < kSignalled)
            self.SetWaitHandles(0, nullptr, nullptr);
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    CScopedHandle other = NewEvent();
    const HANDLE handles[] = {other.Get(), mutex.Get()};
    const DWORD values[] = {76, 77};
    ASSERT_TRUE(worker.SetWaitHandles(2, handles, values));

    ASSERT_TRUE(m_log->WaitForProcessed(kAbandoned + 1, 1));
    EXPECT_TRUE(m_log->NoMoreProcessed(kSignalled + 1));
    EXPECT_EQ(std::vector<DWORD>{77}, m_log->Values(kAbandoned + 1));
    EXPECT_TRUE(worker.IsRunning());
}
