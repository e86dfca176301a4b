#include "tests/worker/TestWorker.h"
#include "common/HResult.h"
#include "tests/support/TraceCapture.h"

using PluginThreadQueue = WorkerTest;

TEST_F(PluginThreadQueue, QueueItemAnswersByWorkerState)
{
    CTestWorker worker(m_log);
    EXPECT_EQ(E_POINTER, worker.QueueItem(nullptr, false, false));
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(1, 0, true));
    // Asked to stop before any thread exists: refused as stopping, not as "no thread".
    ASSERT_TRUE(worker.RequestStop());
    EXPECT_EQ(E_ABORT, worker.Queue(1, 0));

    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    EXPECT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(1, 1));

    ASSERT_TRUE(worker.StopThread(kTestWaitMs));
    EXPECT_EQ(E_ABORT, worker.Queue(2, 0)) << "the stop stays requested";
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(2, 0, false, true)) << "forced, but no thread";
    EXPECT_EQ(E_POINTER, worker.QueueItem(nullptr, false, true));
}

// Once a stop is requested only forced items are taken, and the thread ends after the item it is
// in: the rest of its batch and the forced items are discarded unseen.
TEST_F(PluginThreadQueue, StopRequestedInABatchEndsItAfterTheCurrentItem)
{
    CTestEvent gate;
    CTestWorker worker(m_log);
    std::vector<HRESULT> answers;
    worker.handler = [&](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == kStarted)
            gate.Wait();
        if (item->type == 1)
        {
            EXPECT_TRUE(self.RequestStop());
            answers = {self.Queue(2, 0), self.Queue(2, 0, true), self.Queue(3, 0, false, true),
                       self.Queue(4, 0, true, true)};
        }
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    for (LONG type : {1, 5, 6})
        ASSERT_EQ(S_OK, worker.Queue(type, 0));
    gate.Set();
    ASSERT_TRUE(m_log->WaitForProcessed(kEnding, 1));
    EXPECT_EQ((std::vector<HRESULT>{E_ABORT, E_ABORT, S_OK, S_OK}), answers);
    EXPECT_EQ((std::vector<LONG>{kStarted, 1, kEnding}), m_log->ProcessedTypes());
    EXPECT_EQ((std::vector<DWORD>{4}), m_log->Values(0, Hook::Exit));
}

// Items queued while the start item holds the thread are visited and removed in place; the rest
// are taken in queue order, each with the sequence number it got when queued.
TEST_F(PluginThreadQueue, WaitingItemsAreVisitedRemovedAndTakenInOrder)
{
    CTestEvent inStart;
    CTestEvent gate;
    CTestWorker worker(m_log);
    worker.HoldIn(kStarted, inStart, gate);
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    ASSERT_TRUE(inStart.Wait());
    const std::vector<DWORD> queued = {5, 2, 1, 4, 3, 6};
    for (DWORD value : queued)
        ASSERT_EQ(S_OK, worker.Queue(1, value));

    std::vector<DWORD> seen;
    EXPECT_EQ(3u, worker.VisitQueuedItems(&seen, [](CTestWorker::CBase::CProcessItem* item, void* context) {
        static_cast<std::vector<DWORD>*>(context)->push_back(item->value);
        return item->value % 2 == 1;
    }));
    EXPECT_EQ(queued, seen);
    EXPECT_EQ(6u, worker.QueueLength()) << "visiting leaves the items queued";

    // Removed: what matches the probe's parity; each removed item passes the dequeue hook.
    CTestWorker::CProcessItem probe(1, 2);
    const int liveBefore = CTestWorker::CProcessItem::s_live;
    EXPECT_EQ(3u, worker.RemoveQueuedItems(&probe, [](auto* item, auto* p) { return item->value % 2 == p->value % 2; }));
    EXPECT_EQ(liveBefore - 3, CTestWorker::CProcessItem::s_live);
    EXPECT_EQ(0u, worker.RemoveQueuedItems(&probe, [](auto*, auto*) { return false; }));

    gate.Set();
    ASSERT_TRUE(m_log->WaitForProcessed(1, 3));
    EXPECT_EQ((std::vector<DWORD>{5, 1, 3}), m_log->Values(1));
    EXPECT_EQ(queued, m_log->Values(1, Hook::Queued));
    EXPECT_EQ((std::vector<DWORD>{2, 4, 6, 5, 1, 3}), m_log->Values(1, Hook::Dequeued));
    std::vector<ULONG> sequences;
    for (const CWorkEntry& entry : m_log->Entries())
        sequences.push_back(entry.sequence);
    EXPECT_EQ((std::vector<ULONG>{0, 1, 3, 5}), sequences) << "the start item is never queued";
}

TEST_F(PluginThreadQueue, ProcessItemDecidesWhoDestroysTheItem)
{
    CTestWorker worker(m_log);
    std::vector<CTestWorker::CProcessItem*> kept;
    worker.handler = [&](CTestWorker&, CTestWorker::CProcessItem* item) {
        if (item->type == 1 && item->value == 1)
            kept.push_back(item);
        return item->type == 1 && item->value == 1;
    };
    const int liveBefore = CTestWorker::CProcessItem::s_live;
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    ASSERT_EQ(S_OK, worker.Queue(1, 1));
    ASSERT_EQ(S_OK, worker.Queue(1, 2));
    ASSERT_TRUE(m_log->WaitForProcessed(1, 2));
    ASSERT_TRUE(worker.StopThread(kTestWaitMs));

    // Only the kept item is alive: the other one and the thread's own items were destroyed.
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(liveBefore + 1, CTestWorker::CProcessItem::s_live);
}

// Nobody waits for an item's result: a failure is traced with the item's type, a stop is not.
TEST_F(PluginThreadQueue, AFailedItemIsTraced)
{
    trace_test::CTraceCapture capture(3);
    CTestWorker worker(m_log);
    worker.result = [](const CTestWorker::CProcessItem& item) {
        return item.type == 1 ? E_ACCESSDENIED : item.type == 2 ? E_ABORT : S_OK;
    };
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    for (LONG type : {1, 2, 3})
        ASSERT_EQ(S_OK, worker.Queue(type, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(3, 1));
    ASSERT_TRUE(worker.StopThread(kTestWaitMs));

    const auto lines = capture.LinesWith(L"a work item failed");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"0x80070005")) << lines[0];
    EXPECT_NE(std::wstring::npos, lines[0].find(L"item type 1")) << lines[0];
}
