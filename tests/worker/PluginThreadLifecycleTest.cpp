#include "tests/worker/TestWorker.h"
#include "common/HResult.h"

using PluginThreadLifecycle = WorkerTest;

TEST_F(PluginThreadLifecycle, StartAndEndItemsFrameTheWorkAndTheQueueIsDiscardedBetween)
{
    CTestWorker worker(m_log, 60000);
    size_t queuedAtEnd = 99;
    int liveAtEnd = -1;
    worker.handler = [&](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == kEnding)
        {
            queuedAtEnd = self.QueueLength();
            liveAtEnd = CTestWorker::CProcessItem::s_live;
        }
        return false;
    };
    const int liveBefore = CTestWorker::CProcessItem::s_live;
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    ASSERT_TRUE(worker.StartThread(kTestWaitMs)) << "keeps the running thread";
    ASSERT_EQ(S_OK, worker.Queue(1, 0, true));
    ASSERT_EQ(S_OK, worker.Queue(2, 0, true));
    EXPECT_TRUE(worker.StopThread(kTestWaitMs));
    EXPECT_TRUE(worker.StopThread(kTestWaitMs)) << "nothing left to stop";

    EXPECT_EQ((std::vector<LONG>{kStarted, kEnding}), m_log->ProcessedTypes());
    EXPECT_EQ((std::vector<DWORD>{2}), m_log->Values(0, Hook::Exit)) << "exit hook before discard";
    EXPECT_EQ(0u, queuedAtEnd);
    EXPECT_EQ(liveBefore + 1, liveAtEnd) << "only the end item itself";
    // Discarded items pass no dequeue hook; the hook hears of the discard once, with null.
    const auto dequeued = m_log->Entries(Hook::Dequeued);
    ASSERT_EQ(1u, dequeued.size());
    EXPECT_EQ(CWorkLog::kNullItem, dequeued[0].type);
}

TEST_F(PluginThreadLifecycle, StartThreadAfterRequestStopWaitsForTheOldThread)
{
    CTestEvent inEnding;
    CTestEvent gate;
    CTestWorker worker(m_log);
    std::atomic<bool> endingDone{false};
    HRESULT forcedAtEnd = E_FAIL;
    worker.handler = [&](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == kEnding && m_log->CountProcessed(kEnding) == 1)
        {
            // Still alive: a forced item is accepted, and outlives this thread.
            forcedAtEnd = self.Queue(7, 0, false, true);
            inEnding.Set();
            gate.Wait();
            endingDone = true;
        }
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    ASSERT_TRUE(worker.RequestStop());
    ASSERT_TRUE(inEnding.Wait());
    EXPECT_EQ(S_OK, forcedAtEnd);

    CTestEvent startReturned;
    bool started = false;
    bool endingDoneAtReturn = false;
    CTestThread starter([&] {
        started = worker.StartThread(kTestWaitMs);
        endingDoneAtReturn = endingDone;
        startReturned.Set();
    });
    EXPECT_FALSE(startReturned.Wait(200)) << "did not wait for the old thread";
    gate.Set();
    ASSERT_TRUE(starter.Join());
    EXPECT_TRUE(started);
    EXPECT_TRUE(endingDoneAtReturn);

    // The new thread is not stopping, and takes the item left in the queue.
    EXPECT_FALSE(worker.IsStopRequested(0));
    ASSERT_TRUE(m_log->WaitForProcessed(7, 1));
    EXPECT_EQ((std::vector<LONG>{kStarted, kEnding, kStarted, 7}), m_log->ProcessedTypes());
}

// A thread that ended (asked to stop from inside an item, or stopped from its own thread, which
// then only lets go of the handle) takes no more items, and StartThread makes a new one.
TEST_F(PluginThreadLifecycle, StartThreadReplacesAnEndedThread)
{
    for (const bool stopThread : {false, true})
    {
        SCOPED_TRACE(stopThread ? "StopThread on the worker thread" : "RequestStop");
        auto log = std::make_shared<CWorkLog>();
        CTestWorker worker(log);
        bool stopped = false;
        DWORD elapsed = 0;
        worker.handler = [&](CTestWorker& self, CTestWorker::CProcessItem* item) {
            if (item->type == 1)
            {
                const DWORD start = GetTickCount();
                stopped = stopThread ? self.StopThread(kTestWaitMs) : self.RequestStop();
                elapsed = GetTickCount() - start;
            }
            return false;
        };
        ASSERT_TRUE(worker.StartThread(kTestWaitMs));
        CScopedHandle thread(worker.DuplicateThreadHandle());
        ASSERT_EQ(S_OK, worker.Queue(1, 0));
        ASSERT_TRUE(log->WaitForProcessed(kEnding, 1));
        EXPECT_TRUE(stopped);
        EXPECT_LT(elapsed, 1000u) << "waited for itself";
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), kTestWaitMs));
        EXPECT_FALSE(worker.IsRunning());
        EXPECT_EQ(kHrThreadNotRunning, worker.Queue(2, 0, false, true));

        ASSERT_TRUE(worker.StartThread(kTestWaitMs));
        EXPECT_TRUE(worker.IsRunning());
        ASSERT_EQ(S_OK, worker.Queue(2, 0));
        ASSERT_TRUE(log->WaitForProcessed(2, 1));
    }
}

TEST_F(PluginThreadLifecycle, StopThreadTerminatesAThreadStuckInAnItem)
{
    CTestEvent inItem;
    CTestEvent never;
    CTestWorker worker(m_log);
    CTestWorker::CProcessItem* stuck = nullptr;
    worker.handler = [&](CTestWorker&, CTestWorker::CProcessItem* item) {
        if (item->type == 1)
        {
            stuck = item;
            inItem.Set();
            never.Wait(INFINITE);
        }
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_TRUE(inItem.Wait());
    CScopedHandle thread(worker.DuplicateThreadHandle());

    const DWORD start = GetTickCount();
    EXPECT_FALSE(worker.StopThread(300));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 250u);
    EXPECT_LT(elapsed, 5000u);

    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), kTestWaitMs));
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.Get(), &exitCode));
    EXPECT_EQ(0xFFFFFFFFu, exitCode);
    EXPECT_EQ(0u, m_log->CountProcessed(kEnding));
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(2, 0, false, true));
    // The killed thread owned the item it was in.
    delete stuck;
}

TEST_F(PluginThreadLifecycle, DestructionDiscardsWhatIsQueued)
{
    auto* worker = new CTestWorker(m_log, 60000);
    worker->stopInDestructor = false;  // the template's destructor meets the running thread
    ASSERT_TRUE(worker->StartThread(kTestWaitMs));
    ASSERT_TRUE(m_log->WaitFor(Hook::Returned, kStarted, 1));
    ASSERT_EQ(S_OK, worker->Queue(1, 0, true));
    ASSERT_EQ(S_OK, worker->Queue(2, 0, true));
    CScopedHandle thread(worker->DuplicateThreadHandle());

    delete worker;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), 0)) << "the thread outlived its worker";
    // Nothing after the start item reached the (gone) worker, not even the end item.
    EXPECT_EQ((std::vector<LONG>{kStarted}), m_log->ProcessedTypes());
    EXPECT_TRUE(m_log->Values(0, Hook::Exit).empty());
}

TEST_F(PluginThreadLifecycle, StopAndPauseWaits)
{
    CTestWorker worker(m_log);
    EXPECT_FALSE(worker.IsStopRequested(0));
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    const DWORD start = GetTickCount();
    EXPECT_FALSE(worker.IsStopRequested(100));
    EXPECT_GE(GetTickCount() - start, 80u);

    // Running: WaitForRun passes at once. Paused: a time-out still means "go on".
    EXPECT_TRUE(worker.WaitForRun(0));
    ASSERT_TRUE(worker.ResetRunEvent());
    EXPECT_TRUE(worker.WaitForRun(50));

    // Paused with no time-out: blocks until resumed, or until a stop is requested.
    for (const bool stop : {false, true})
    {
        SCOPED_TRACE(stop ? "stop" : "resume");
        ASSERT_TRUE(worker.ResetRunEvent());
        bool result = stop;
        CTestThread waiter([&] { result = worker.WaitForRun(INFINITE); });
        EXPECT_FALSE(waiter.Join(150));
        if (stop)
            worker.RequestStop();
        else
            worker.SetRunEvent();
        EXPECT_TRUE(waiter.Join());
        EXPECT_EQ(!stop, result);
    }

    // Stop requested: both waits answer at once, whatever the run event says.
    const DWORD stopStart = GetTickCount();
    EXPECT_TRUE(worker.IsStopRequested(kTestWaitMs));
    worker.SetRunEvent();
    EXPECT_FALSE(worker.WaitForRun(kTestWaitMs));
    worker.ResetRunEvent();
    EXPECT_FALSE(worker.WaitForRun(kTestWaitMs));
    EXPECT_LT(GetTickCount() - stopStart, 2000u);
}

TEST_F(PluginThreadLifecycle, RunEventIsHandedOutForWaitingOnly)
{
    CTestWorker worker(m_log);
    ASSERT_TRUE(worker.StartThread(kTestWaitMs));
    const CScopedHandle runEvent(worker.GetRunEvent());
    ASSERT_TRUE(runEvent.IsValid());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(runEvent.Get(), 0));

    // Neither a pause nor a resume can be made through it: only the worker's own calls change it.
    EXPECT_FALSE(ResetEvent(runEvent.Get()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(runEvent.Get(), 0));
    ASSERT_TRUE(worker.ResetRunEvent());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(runEvent.Get(), 0));
    EXPECT_FALSE(SetEvent(runEvent.Get()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(runEvent.Get(), 0));
    ASSERT_TRUE(worker.SetRunEvent());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(runEvent.Get(), 0));

    // Each caller owns its own duplicate.
    const CScopedHandle other(worker.GetRunEvent());
    EXPECT_NE(runEvent.Get(), other.Get());
}
