// Batch timing on the real clock, with test workers whose delay is short. Lower bounds allow for
// the tick granularity, upper bounds for a busy machine.
#include "tests/worker/TestWorker.h"

namespace
{
// Holds the worker in its item of type 1 until `gate` opens; `inItem` tells the test it is there.
void HoldFirstItem(CTestWorker& worker, HANDLE inItem, HANDLE gate)
{
    worker.handler = [inItem, gate](CTestWorker&, CTestWorker::CProcessItem* item) {
        if (item->type == 1)
        {
            SetEvent(inItem);
            WaitForSingleObject(gate, 10000);
        }
        return false;
    };
}

DWORD TickOf(const CWorkLog& log, LONG type)
{
    CWorkLog::CEntry entry{};
    EXPECT_TRUE(log.FindProcessed(type, &entry)) << "type " << type;
    return entry.tick;
}
}  // namespace

using PluginThreadTiming = WorkerTest;

TEST_F(PluginThreadTiming, DelayedItemsWaitForTheDelayAfterTheLatestOne)
{
    const ULONG delay = 500;
    CTestWorker worker(m_log, delay);
    ASSERT_TRUE(worker.StartThread(kWait));

    ASSERT_EQ(S_OK, worker.Queue(1, 0, true));
    EXPECT_FALSE(m_log->WaitForProcessed(1, 1, 150)) << "processed before the delay";
    const DWORD secondQueued = GetTickCount();
    ASSERT_EQ(S_OK, worker.Queue(2, 0, true));
    ASSERT_TRUE(m_log->WaitForProcessed(2, 1, kWait));

    // The second item pushed the batch back: both ran a full delay after it, in order.
    EXPECT_EQ((std::vector<LONG>{kStarted, 1, 2}), m_log->ProcessedTypes());
    EXPECT_GE(TickOf(*m_log, 1) - secondQueued, delay - 100);
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadTiming, ImmediateItemTakesTheDelayedOnesAlong)
{
    CTestWorker worker(m_log, 5000);
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0, true));
    ASSERT_EQ(S_OK, worker.Queue(2, 0, true));
    ASSERT_EQ(S_OK, worker.Queue(3, 0, false));
    ASSERT_TRUE(m_log->WaitForProcessed(3, 1, 2500)) << "waited for the delay";
    EXPECT_EQ((std::vector<LONG>{kStarted, 1, 2, 3}), m_log->ProcessedTypes());
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadTiming, DelayedItemQueuedDuringABatchWaitsForTheDelay)
{
    const ULONG delay = 400;
    CTestWorker worker(m_log, delay);
    CScopedHandle inItem = NewEvent();
    CScopedHandle gate = NewEvent();
    HoldFirstItem(worker, inItem.Get(), gate.Get());
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inItem.Get(), kWait));

    ASSERT_EQ(S_OK, worker.Queue(2, 0, true));
    const DWORD released = GetTickCount();
    SetEvent(gate.Get());
    ASSERT_TRUE(m_log->WaitForProcessed(2, 1, kWait));

    // Not taken into the running batch (that would be at once); the delayed signal re-armed the
    // timer to one delay, replacing the three-delay retry armed after the batch.
    const DWORD waited = TickOf(*m_log, 2) - released;
    EXPECT_GE(waited, delay - 100);
    EXPECT_LT(waited, 3 * delay - 100);
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadTiming, ImmediateItemQueuedDuringABatchStartsTheNextBatchAtOnce)
{
    const ULONG delay = 2000;
    CTestWorker worker(m_log, delay);
    CScopedHandle inItem = NewEvent();
    CScopedHandle gate = NewEvent();
    HoldFirstItem(worker, inItem.Get(), gate.Get());
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inItem.Get(), kWait));

    ASSERT_EQ(S_OK, worker.Queue(2, 0));
    SetEvent(gate.Get());
    EXPECT_TRUE(m_log->WaitForProcessed(2, 1, delay - 500)) << "left for the retry timer";
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadTiming, LeftoversAreRetriedAfterThreeDelays)
{
    const ULONG delay = 200;
    CTestWorker worker(m_log, delay);
    DWORD batchEnd = 0;
    worker.handler = [&](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == 1)
        {
            // A leftover whose wake-up is already spent: only the retry timer brings it back.
            EXPECT_EQ(S_OK, self.Queue(2, 0));
            self.ForgetItemQueuedSignal();
            batchEnd = GetTickCount();
        }
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(2, 1, kWait));

    const DWORD waited = TickOf(*m_log, 2) - batchEnd;
    EXPECT_GE(waited, 3 * delay - 100);
    EXPECT_LT(waited, 3 * delay + 3000);
    EXPECT_TRUE(worker.StopThread(kWait));
}
