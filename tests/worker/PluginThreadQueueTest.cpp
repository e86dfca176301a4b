#include "tests/worker/TestWorker.h"
#include "common/HResult.h"

namespace
{
// Holds the worker thread in its start item until the test opens the gate, so that items can be
// queued before the thread takes any.
void HoldStartItem(CTestWorker& worker, HANDLE gate)
{
    worker.handler = [gate](CTestWorker&, CTestWorker::CProcessItem* item) {
        if (item->type == kStarted)
            WaitForSingleObject(gate, 10000);
        return false;
    };
}

std::vector<DWORD> Values(const std::vector<CWorkLog::CEntry>& entries, LONG type)
{
    std::vector<DWORD> values;
    for (const CWorkLog::CEntry& entry : entries)
    {
        if (entry.type == type)
            values.push_back(entry.value);
    }
    return values;
}
}  // namespace

using PluginThreadQueue = WorkerTest;

TEST_F(PluginThreadQueue, QueueItemAnswersByWorkerState)
{
    CTestWorker worker(m_log);
    EXPECT_EQ(E_POINTER, worker.QueueItem(nullptr, false, false));
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(1, 0));
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(1, 0, true));
    EXPECT_FALSE(worker.IsRunning());

    ASSERT_TRUE(worker.StartThread(kWait));
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(1, 1, kWait));

    ASSERT_TRUE(worker.StopThread(kWait));
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(E_ABORT, worker.Queue(2, 0)) << "the stop stays requested";
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(2, 0, false, true)) << "forced, but no thread";
    EXPECT_EQ(E_POINTER, worker.QueueItem(nullptr, false, true));
}

TEST_F(PluginThreadQueue, StopRequestedRefusesUnlessForcedWhileTheThreadRuns)
{
    CTestWorker worker(m_log);
    CScopedHandle inItem = NewEvent();
    CScopedHandle gate = NewEvent();
    worker.handler = [&](CTestWorker&, CTestWorker::CProcessItem* item) {
        if (item->type == 1)
        {
            SetEvent(inItem.Get());
            WaitForSingleObject(gate.Get(), kWait);
        }
        return false;
    };
    // Asked to stop before any thread exists: refused as stopping, not as "no thread".
    ASSERT_TRUE(worker.RequestStop());
    EXPECT_EQ(E_ABORT, worker.Queue(1, 0));

    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inItem.Get(), kWait));
    ASSERT_TRUE(worker.RequestStop());
    EXPECT_EQ(E_ABORT, worker.Queue(2, 0));
    EXPECT_EQ(E_ABORT, worker.Queue(2, 0, true));
    EXPECT_EQ(S_OK, worker.Queue(3, 0, false, true));
    EXPECT_EQ(S_OK, worker.Queue(4, 0, true, true));

    SetEvent(gate.Get());
    ASSERT_TRUE(m_log->WaitForProcessed(kEnding, 1, kWait));
    // The thread stopped after the item it was in; the forced items were discarded unseen.
    EXPECT_EQ((std::vector<LONG>{kStarted, 1, kEnding}), m_log->ProcessedTypes());
    EXPECT_EQ((std::vector<size_t>{2}), m_log->ExitQueueLengths());
}

TEST_F(PluginThreadQueue, OneBatchTakesItemsInOrderWithSequenceNumbers)
{
    CTestWorker worker(m_log);
    CScopedHandle gate = NewEvent();
    HoldStartItem(worker, gate.Get());
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_TRUE(m_log->WaitForProcessed(kStarted, 1, kWait));

    for (DWORD value : {30, 10, 20})
        ASSERT_EQ(S_OK, worker.Queue(1, value));
    EXPECT_EQ(3u, worker.QueueLength());
    SetEvent(gate.Get());
    ASSERT_TRUE(m_log->WaitForProcessed(1, 3, kWait));

    const auto processed = m_log->Processed();
    ASSERT_EQ(4u, processed.size());
    EXPECT_EQ(0u, processed[0].sequence) << "the start item is never queued";
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(i, processed[i].sequence);
    EXPECT_EQ((std::vector<DWORD>{30, 10, 20}), Values(processed, 1));
    EXPECT_EQ((std::vector<DWORD>{30, 10, 20}), Values(m_log->Queued(), 1));
    EXPECT_EQ((std::vector<DWORD>{30, 10, 20}), Values(m_log->Dequeued(), 1));
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadQueue, ProcessItemDecidesWhoDestroysTheItem)
{
    CTestWorker worker(m_log);
    std::vector<CTestWorker::CProcessItem*> kept;
    worker.handler = [&](CTestWorker&, CTestWorker::CProcessItem* item) {
        if (item->type != 1)
            return false;
        if (item->value == 1)
            kept.push_back(item);
        return item->value == 1;
    };
    const int liveBefore = CTestWorker::CProcessItem::s_live;
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 1));
    ASSERT_EQ(S_OK, worker.Queue(1, 2));
    ASSERT_TRUE(m_log->WaitForProcessed(1, 2, kWait));
    ASSERT_TRUE(worker.StopThread(kWait));

    // Only the kept item is alive: the other one and the thread's own items were destroyed.
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(1u, kept[0]->value);
    EXPECT_EQ(liveBefore + 1, CTestWorker::CProcessItem::s_live);
    delete kept[0];
}

TEST_F(PluginThreadQueue, RemoveAndVisitWorkOnTheWaitingItems)
{
    CTestWorker worker(m_log);
    CScopedHandle gate = NewEvent();
    HoldStartItem(worker, gate.Get());
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_TRUE(m_log->WaitForProcessed(kStarted, 1, kWait));
    for (DWORD value = 1; value <= 6; ++value)
        ASSERT_EQ(S_OK, worker.Queue(1, value));

    std::vector<DWORD> seen;
    const ULONG odd = worker.VisitQueuedItems(&seen, [](CTestWorker::CBase::CProcessItem* item,
                                                        void* context) {
        static_cast<std::vector<DWORD>*>(context)->push_back(item->value);
        return item->value % 2 == 1;
    });
    EXPECT_EQ(3u, odd);
    EXPECT_EQ((std::vector<DWORD>{1, 2, 3, 4, 5, 6}), seen);
    EXPECT_EQ(6u, worker.QueueLength()) << "visiting leaves the items queued";

    // Remove what matches the probe's parity; each removed item passes the dequeue hook.
    CTestWorker::CProcessItem probe(1, 2);
    const int liveBefore = CTestWorker::CProcessItem::s_live;
    const ULONG removed = worker.RemoveQueuedItems(
        &probe, [](CTestWorker::CBase::CProcessItem* item, CTestWorker::CBase::CProcessItem* p) {
            return item->value % 2 == p->value % 2;
        });
    EXPECT_EQ(3u, removed);
    EXPECT_EQ(liveBefore - 3, CTestWorker::CProcessItem::s_live);
    EXPECT_EQ((std::vector<DWORD>{2, 4, 6}), Values(m_log->Dequeued(), 1));
    EXPECT_EQ(0u, worker.RemoveQueuedItems(&probe, [](auto*, auto*) { return false; }));

    SetEvent(gate.Get());
    ASSERT_TRUE(m_log->WaitForProcessed(1, 3, kWait));
    EXPECT_EQ((std::vector<DWORD>{1, 3, 5}), Values(m_log->Processed(), 1));
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadQueue, ProcessItemMayQueueMore)
{
    CTestWorker worker(m_log);
    worker.handler = [](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == 1 && item->value < 5)
        {
            EXPECT_EQ(S_OK, self.Queue(1, item->value + 1, item->value % 2 == 0));
        }
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 1));
    ASSERT_TRUE(m_log->WaitForProcessed(1, 5, kWait));
    EXPECT_EQ((std::vector<DWORD>{1, 2, 3, 4, 5}), Values(m_log->Processed(), 1));
    EXPECT_TRUE(worker.StopThread(kWait));
}
