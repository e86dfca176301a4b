#include "tests/worker/TestWorker.h"
#include <thread>
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
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0, true));
    ASSERT_EQ(S_OK, worker.Queue(2, 0, true));
    EXPECT_TRUE(worker.StopThread(kWait));
    EXPECT_FALSE(worker.IsRunning());

    EXPECT_EQ((std::vector<LONG>{kStarted, kEnding}), m_log->ProcessedTypes());
    EXPECT_EQ((std::vector<size_t>{2}), m_log->ExitQueueLengths()) << "exit hook before discard";
    EXPECT_EQ(0u, queuedAtEnd);
    EXPECT_EQ(liveBefore + 1, liveAtEnd) << "only the end item itself";
    // Discarded items pass no dequeue hook; the hook hears of the discard once, with null.
    const auto dequeued = m_log->Dequeued();
    ASSERT_EQ(1u, dequeued.size());
    EXPECT_EQ(CWorkLog::kNullItem, dequeued[0].type);
}

TEST_F(PluginThreadLifecycle, StartThreadKeepsARunningThread)
{
    CTestWorker worker(m_log);
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(1, 1, kWait));
    EXPECT_EQ(1u, m_log->CountProcessed(kStarted));
    EXPECT_TRUE(worker.StopThread(kWait));
    EXPECT_TRUE(worker.StopThread(kWait)) << "nothing left to stop";
}

TEST_F(PluginThreadLifecycle, StartThreadAfterRequestStopWaitsForTheOldThread)
{
    CTestWorker worker(m_log);
    CScopedHandle inEnding = NewEvent();
    CScopedHandle gate = NewEvent();
    std::atomic<bool> endingDone{false};
    HRESULT forcedAtEnd = E_FAIL;
    worker.handler = [&](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == kEnding && m_log->CountProcessed(kEnding) == 1)
        {
            // Still alive: a forced item is accepted, and outlives this thread.
            forcedAtEnd = self.Queue(7, 0, false, true);
            SetEvent(inEnding.Get());
            WaitForSingleObject(gate.Get(), kWait);
            endingDone = true;
        }
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_TRUE(worker.RequestStop());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inEnding.Get(), kWait));
    EXPECT_EQ(S_OK, forcedAtEnd);

    CScopedHandle startReturned = NewEvent();
    bool started = false;
    bool endingDoneAtReturn = false;
    std::thread starter([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        started = worker.StartThread(kWait);
        endingDoneAtReturn = endingDone;
        SetEvent(startReturned.Get());
        CoUninitialize();
    });
    EXPECT_EQ(DWORD{WAIT_TIMEOUT}, WaitForSingleObject(startReturned.Get(), 200))
        << "did not wait for the old thread";
    SetEvent(gate.Get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(startReturned.Get(), kWait));
    starter.join();
    EXPECT_TRUE(started);
    EXPECT_TRUE(endingDoneAtReturn);

    // The new thread is not stopping, and takes the item left in the queue.
    EXPECT_FALSE(worker.IsStopRequested(0));
    EXPECT_TRUE(worker.IsRunning());
    ASSERT_TRUE(m_log->WaitForProcessed(7, 1, kWait));
    EXPECT_EQ((std::vector<LONG>{kStarted, kEnding, kStarted, 7}), m_log->ProcessedTypes());
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadLifecycle, StartThreadReplacesAnEndedThread)
{
    CTestWorker worker(m_log);
    worker.handler = [](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == 1)
            self.RequestStop();
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(kEnding, 1, kWait));
    HANDLE old = worker.DuplicateThreadHandle();
    ASSERT_NE(nullptr, old);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(old, kWait));
    CloseHandle(old);
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(2, 0, false, true));

    ASSERT_TRUE(worker.StartThread(kWait));
    EXPECT_TRUE(worker.IsRunning());
    ASSERT_EQ(S_OK, worker.Queue(2, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(2, 1, kWait));
    EXPECT_TRUE(worker.StopThread(kWait));
}

TEST_F(PluginThreadLifecycle, StopIsCheckedBetweenTheItemsOfABatch)
{
    CTestWorker worker(m_log);
    CScopedHandle gate = NewEvent();
    worker.handler = [&](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == kStarted)
            WaitForSingleObject(gate.Get(), kWait);
        if (item->type == 1)
            self.RequestStop();
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kWait));
    for (LONG type : {1, 2, 3})
        ASSERT_EQ(S_OK, worker.Queue(type, 0));
    SetEvent(gate.Get());
    ASSERT_TRUE(m_log->WaitForProcessed(kEnding, 1, kWait));
    EXPECT_EQ((std::vector<LONG>{kStarted, 1, kEnding}), m_log->ProcessedTypes());
    EXPECT_EQ((std::vector<size_t>{2}), m_log->ExitQueueLengths());
}

TEST_F(PluginThreadLifecycle, StopThreadTerminatesAThreadStuckInAnItem)
{
    CTestWorker worker(m_log);
    CScopedHandle inItem = NewEvent();
    CScopedHandle never = NewEvent();
    CTestWorker::CProcessItem* stuck = nullptr;
    worker.handler = [&](CTestWorker&, CTestWorker::CProcessItem* item) {
        if (item->type == 1)
        {
            stuck = item;
            SetEvent(inItem.Get());
            WaitForSingleObject(never.Get(), INFINITE);
        }
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inItem.Get(), kWait));
    CScopedHandle thread(worker.DuplicateThreadHandle());
    ASSERT_TRUE(thread.IsValid());

    const DWORD start = GetTickCount();
    EXPECT_FALSE(worker.StopThread(300));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 250u);
    EXPECT_LT(elapsed, 5000u);

    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), kWait));
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.Get(), &exitCode));
    EXPECT_EQ(0xFFFFFFFFu, exitCode);
    EXPECT_EQ(0u, m_log->CountProcessed(kEnding));
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(2, 0, false, true));
    // The killed thread owned the item it was in.
    delete stuck;
}

TEST_F(PluginThreadLifecycle, StopThreadOnTheWorkerThreadOnlyLetsGoOfTheHandle)
{
    CTestWorker worker(m_log);
    bool stopped = false;
    DWORD elapsed = 0;
    worker.handler = [&](CTestWorker& self, CTestWorker::CProcessItem* item) {
        if (item->type == 1)
        {
            const DWORD start = GetTickCount();
            stopped = self.StopThread(kWait);
            elapsed = GetTickCount() - start;
        }
        return false;
    };
    ASSERT_TRUE(worker.StartThread(kWait));
    ASSERT_EQ(S_OK, worker.Queue(1, 0));
    ASSERT_TRUE(m_log->WaitForProcessed(kEnding, 1, kWait));
    EXPECT_TRUE(stopped);
    EXPECT_LT(elapsed, 1000u) << "waited for itself";
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(kHrThreadNotRunning, worker.Queue(2, 0, false, true));
}

TEST_F(PluginThreadLifecycle, DestructionDiscardsWhatIsQueued)
{
    auto* worker = new CTestWorker(m_log, 60000);
    worker->stopInDestructor = false;  // the template's destructor meets the running thread
    ASSERT_TRUE(worker->StartThread(kWait));
    ASSERT_TRUE(m_log->WaitForReturned(1, kWait));
    ASSERT_EQ(S_OK, worker->Queue(1, 0, true));
    ASSERT_EQ(S_OK, worker->Queue(2, 0, true));
    HANDLE thread = worker->DuplicateThreadHandle();
    ASSERT_NE(nullptr, thread);

    delete worker;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0)) << "the thread outlived its worker";
    CloseHandle(thread);
    // Nothing after the start item reached the (gone) worker, not even the end item.
    EXPECT_EQ((std::vector<LONG>{kStarted}), m_log->ProcessedTypes());
    EXPECT_TRUE(m_log->ExitQueueLengths().empty());
}

TEST_F(PluginThreadLifecycle, StopAndPauseWaits)
{
    CTestWorker worker(m_log);
    EXPECT_FALSE(worker.IsStopRequested(0));
    ASSERT_TRUE(worker.StartThread(kWait));
    EXPECT_FALSE(worker.IsStopRequested(0));
    const DWORD start = GetTickCount();
    EXPECT_FALSE(worker.IsStopRequested(100));
    EXPECT_GE(GetTickCount() - start, 80u);

    // Running: WaitForRun passes at once. Paused: a time-out still means "go on".
    EXPECT_TRUE(worker.WaitForRun(0));
    ASSERT_TRUE(worker.ResetRunEvent());
    EXPECT_TRUE(worker.WaitForRun(50));

    // Paused with no time-out: blocks until resumed, or until a stop is requested.
    struct Case
    {
        const char* what;
        bool stop;
        bool expected;
    };
    for (const Case& c : {Case{"resume", false, true}, Case{"stop", true, false}})
    {
        ASSERT_TRUE(worker.ResetRunEvent());
        CScopedHandle done = NewEvent();
        bool result = !c.expected;
        std::thread waiter([&] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            result = worker.WaitForRun(INFINITE);
            SetEvent(done.Get());
            CoUninitialize();
        });
        EXPECT_EQ(DWORD{WAIT_TIMEOUT}, WaitForSingleObject(done.Get(), 150)) << c.what;
        if (c.stop)
            worker.RequestStop();
        else
            worker.SetRunEvent();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.Get(), kWait)) << c.what;
        waiter.join();
        EXPECT_EQ(c.expected, result) << c.what;
    }

    // Stop requested: both waits answer at once, whatever the run event says.
    const DWORD stopStart = GetTickCount();
    EXPECT_TRUE(worker.IsStopRequested(kWait));
    worker.SetRunEvent();
    EXPECT_FALSE(worker.WaitForRun(kWait));
    worker.ResetRunEvent();
    EXPECT_FALSE(worker.WaitForRun(kWait));
    EXPECT_LT(GetTickCount() - stopStart, 2000u);
    EXPECT_TRUE(worker.StopThread(kWait));
}
