// Batch timing on the real clock, with test workers whose delay is short. Lower bounds allow for
// the tick granularity, upper bounds for a busy machine.
#include "tests/worker/TestWorker.h"

using PluginThreadTiming = WorkerTest;

TEST_F(PluginThreadTiming, DelayedItemsWaitForTheDelayAfterTheLatestOne)
{
    const ULONG delay = 500;
    CTestWorker worker(m_log, delay);
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    ASSERT_EQ(S_OK, worker.Queue(1, 0, true));
    EXPECT_FALSE(m_log->WaitForProcessed(1, 1, 150)) << "processed before the delay";
    const DWORD secondQueued = GetTickCount();
    ASSERT_EQ(S_OK, worker.Queue(2, 0, true));
    ASSERT_TRUE(m_log->WaitForProcessed(2, 1));

    // The second item pushed the batch back: both ran a full delay after it, in order.
    EXPECT_EQ((std::vector<LONG>{kStarted, 1, 2}), m_log->ProcessedTypes());
    EXPECT_GE(m_log->TickOf(1) - secondQueued, delay - 100);
}

TEST_F(PluginThreadTiming, ImmediateItemTakesTheDelayedOnesAlong)
{
    CTestWorker worker(m_log, 5000);
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    ASSERT_EQ(S_OK, worker.Queue(1, 0, true));
    ASSERT_EQ(S_OK, worker.Queue(2, 0, true));
    ASSERT_EQ(S_OK, worker.Queue(3, 0, false));
    ASSERT_TRUE(m_log->WaitForProcessed(3, 1, 2500)) << "waited for the delay";
    EXPECT_EQ((std::vector<LONG>{kStarted, 1, 2, 3}), m_log->ProcessedTypes());
}

// An item queued while a batch runs is not taken into it. An immediate one starts the next batch
// at once; a delayed one re-arms the timer to one delay, replacing the three-delay retry.
TEST_F(PluginThreadTiming, ItemQueuedDuringABatchWaitsByItsKind)
{
    const struct
    {
        bool delayed;
        ULONG delay;
        DWORD atLeast;
        DWORD below;
    } cases[] = {{true, 400, 300, 1100}, {false, 2000, 0, 1500}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.delayed ? "delayed" : "immediate");
        CTestEvent inItem;
        CTestEvent gate;
        auto log = std::make_shared<CWorkLog>();
        CTestWorker worker(log, c.delay);
        worker.HoldIn(1, inItem, gate);
        ASSERT_TRUE(worker.StartThread(kTestWaitMs));
        ASSERT_EQ(S_OK, worker.Queue(1, 0));
        ASSERT_TRUE(inItem.Wait());

        ASSERT_EQ(S_OK, worker.Queue(2, 0, c.delayed));
        const DWORD released = GetTickCount();
        gate.Set();
        ASSERT_TRUE(log->WaitForProcessed(2, 1));
        const DWORD waited = log->TickOf(2) - released;
        EXPECT_GE(waited, c.atLeast);
        EXPECT_LT(waited, c.below);
    }
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
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(2, 1));

    const DWORD waited = m_log->TickOf(2) - batchEnd;
    EXPECT_GE(waited, 3 * delay - 100);
    EXPECT_LT(waited, 3 * delay + 3000);
}
