#include "tests/worker/TestWorker.h"
#include <thread>

namespace
{
// No further item of `type` comes. A handle wrongly waited on fires as soon as the thread waits,
// so a short watch is enough to see it.
bool NoMoreItems(const CWorkLog& log, LONG type)
{
    return !log.WaitForProcessed(type, log.CountProcessed(type) + 1, 300);
}

std::vector<DWORD> ValuesOf(const CWorkLog& log, LONG type)
{
    std::vector<DWORD> values;
    for (const CWorkLog::CEntry& entry : log.Processed())
    {
        if (entry.type == type)
            values.push_back(entry.value);
    }
    return values;
}
}  // namespace

using PluginThreadWaitHandles = WorkerTest;

TEST_F(PluginThreadWaitHandles, SignalledHandleBecomesAnItemWithItsValue)
{
    struct Case
    {
        const char* what;
        bool withValues;
    };
    for (const Case& c : {Case{"with values", true}, Case{"without values", false}})
    {
        auto log = std::make_shared<CWorkLog>();
        CTestWorker worker(log);
        ASSERT_TRUE(worker.StartThread(kWait)) << c.what;
        CScopedHandle first = NewEvent(false);
        CScopedHandle second = NewEvent(false);
        const HANDLE handles[] = {first.Get(), second.Get()};
        const DWORD values[] = {11, 22};
        ASSERT_TRUE(worker.SetWaitHandles(2, handles, c.withValues ? values : nullptr)) << c.what;

        SetEvent(second.Get());
        ASSERT_TRUE(log->WaitForProcessed(kSignalled + 1, 1, kWait)) << c.what;
        SetEvent(first.Get());
        ASSERT_TRUE(log->WaitForProcessed(kSignalled, 1, kWait)) << c.what;
        EXPECT_EQ(std::vector<DWORD>{c.withValues ? 22u : 0u}, ValuesOf(*log, kSignalled + 1))
            << c.what;
        EXPECT_EQ(std::vector<DWORD>{c.withValues ? 11u : 0u}, ValuesOf(*log, kSignalled))
            << c.what;
        EXPECT_TRUE(worker.StopThread(kWait)) << c.what;
    }
}

TEST_F(PluginThreadWaitHandles, HandlesSurviveARestart)
{
    CTestWorker worker(m_log);
    CScopedHandle event = NewEvent(false);
    const HANDLE handles[] = {event.Get()};
    const DWORD values[] = {5};
    ASSERT_TRUE(worker.SetWaitHandles(1, handles, values)) << "before any thread";
    for (size_t run = 1; run <= 2; ++run)
    {
        ASSERT_TRUE(worker.StartThread(kWait));
        SetEvent(event.Get());
        ASSERT_TRUE(m_log->WaitForProcessed(kSignalled, run, kWait)) << "run " << run;
        ASSERT_TRUE(worker.StopThread(kWait));
    }
    EXPECT_EQ((std::vector<DWORD>{5, 5}), ValuesOf(*m_log, kSignalled));
}

TEST_F(PluginThreadWaitHandles, ReplacingTheListDropsTheOldHandles)
{
    CTestWorker worker(m_log);
    ASSERT_TRUE(worker.StartThread(kWait));
    // Manual reset: if the thread still waited on it, it would hand over item after item.
    CScopedHandle old = NewEvent(true);
    CScopedHandle current = NewEvent(false);
    const HANDLE oldHandle = old.Get();
    const HANDLE currentHandle = current.Get();
    const DWORD oldValue = 1;
    const DWORD currentValue = 2;
    ASSERT_TRUE(worker.SetWaitHandles(1, &oldHandle, &oldValue));
    ASSERT_TRUE(worker.SetWaitHandles(1, &currentHandle, &currentValue));

    // The worker closed its own copies only: the caller's handle still works.
    EXPECT_TRUE(SetEvent(oldHandle));
    SetEvent(currentHandle);
    ASSERT_TRUE(m_log->WaitForProcessed(kSignalled, 1, kWait));
    EXPECT_TRUE(NoMoreItems(*m_log, kSignalled));
    EXPECT_EQ(std::vector<DWORD>{currentValue}, ValuesOf(*m_log, kSignalled));

    // A handle that cannot be duplicated refuses the whole new list and keeps the old one.
    CScopedHandle unused = NewEvent(false);
    const HANDLE broken[] = {unused.Get(), nullptr};
    EXPECT_FALSE(worker.SetWaitHandles(2, broken, nullptr));
    SetEvent(current.Get());
    ASSERT_TRUE(m_log->WaitForProcessed(kSignalled, 2, kWait));
    EXPECT_EQ((std::vector<DWORD>{currentValue, currentValue}), ValuesOf(*m_log, kSignalled));

    // An empty list stops all extra waits.
    ASSERT_TRUE(worker.SetWaitHandles(0, nullptr, nullptr));
    SetEvent(current.Get());
    EXPECT_TRUE(NoMoreItems(*m_log, kSignalled));
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadWaitHandles, OnlyTheFirstFiftyNineHandlesAreWaitedOn)
{
    const ULONG limit = CTestWorker::kMaxEffectiveWaitHandles;
    ASSERT_EQ(59u, limit);
    CTestWorker worker(m_log);
    ASSERT_TRUE(worker.StartThread(kWait));
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
    ASSERT_TRUE(m_log->WaitForProcessed(kSignalled + static_cast<LONG>(limit - 1), 1, kWait));
    EXPECT_TRUE(NoMoreItems(*m_log, kSignalled + static_cast<LONG>(limit)));
    EXPECT_EQ(std::vector<DWORD>{100 + limit - 1},
              ValuesOf(*m_log, kSignalled + static_cast<LONG>(limit - 1)));
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadWaitHandles, AbandonedMutexBecomesAnAbandonedItem)
{
    CScopedHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex.IsValid());
    std::thread([&] { WaitForSingleObject(mutex.Get(), INFINITE); }).join();

    CTestWorker worker(m_log);
    worker.handler = [](CTestWorker& self, CTestWorker::CProcessItem* item) {
        // The thread now owns the mutex, so waiting on it again would succeed at once forever.
        if (item->type >= kAbandoned && item->type < kSignalled)
            self.SetWaitHandles(0, nullptr, nullptr);
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kWait));
    CScopedHandle other = NewEvent(false);
    const HANDLE handles[] = {other.Get(), mutex.Get()};
    const DWORD values[] = {76, 77};
    ASSERT_TRUE(worker.SetWaitHandles(2, handles, values));

    ASSERT_TRUE(m_log->WaitForProcessed(kAbandoned + 1, 1, kWait));
    EXPECT_TRUE(NoMoreItems(*m_log, kSignalled + 1));
    EXPECT_EQ(std::vector<DWORD>{77}, ValuesOf(*m_log, kAbandoned + 1));
    EXPECT_EQ(1u, m_log->CountProcessed(kAbandoned + 1));
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_TRUE(worker.StopThread(kWait));
}
