// Ending the notification worker: a stop ends whatever it waits for, the requests still waiting
// are kept in the delay-queue file, also when the worker has to be ended by force, and the
// observer's mutexes are let go by the thread that holds them.
#include "notify/DelayQueueFile.h"
#include "tests/notify/PluginDbNotifyThreadTestSupport.h"
#include "worker/ForcedEnd.h"

using namespace notify_test;

namespace
{
const wchar_t* const kMutexNames[] = {L"TessalyLumSiftDbNotifyWexWatchingDB-MutexUser",
                                      L"Global\\TessalyLumSiftDbNotifyWexWatchingDB-MutexAll"};

class WorkerStopTest : public NotifyWorkerTest
{
protected:
    // Destroys the worker on a thread of its own, as the plug-in object's release does; how long
    // that took.
    DWORD DestroyWorker(DWORD timeoutMs)
    {
        CTestEvent destroyed;
        const DWORD start = GetTickCount();
        CTestThread destroyer([&] {
            worker.reset();
            destroyed.Set();
        });
        EXPECT_TRUE(destroyed.Wait(timeoutMs));
        return GetTickCount() - start;
    }

    // The item ids in the delay-queue file, in file order.
    std::vector<std::wstring> SavedIds()
    {
        std::vector<std::wstring> ids;
        LoadDelayQueueFile(CString(folder.c_str()), [&](const CString& id, LONG, const CString&) {
            ids.push_back(id.GetString());
            return S_OK;
        });
        return ids;
    }
};
}  // namespace

// A busy database is retried for minutes; a stop ends the retries at once, so the worker ends
// without force and saves what the connect had loaded.
TEST_F(WorkerStopTest, AStopEndsABusyOpenAndTheRequestsAreSaved)
{
    const std::wstring a = CreateFileIn(L"a.mpg");
    const std::wstring b = CreateFileIn(L"b.mpg");
    ASSERT_EQ(S_OK, SaveDelayQueueFile(CString(folder.c_str()), {{a.c_str(), L"A", 300}, {b.c_str(), L"B", 200}}));
    db->SetBusyFor(600000);
    ASSERT_EQ(S_OK, worker->QueueConnect(site, true));
    // The file is loaded before the open: once the retries have gone on for 200 ms it is taken
    // away, so that only the worker's own save can bring it back.
    for (const DWORD start = GetTickCount(); db->Control().CallCount(CdbMethod::Open) < 3;)
    {
        ASSERT_LT(GetTickCount() - start, kTestWaitMs) << "the worker did not try to open";
        Sleep(10);
    }
    ASSERT_TRUE(DeleteFileW(QueueFile().c_str()));

    const ULONG forcedBefore = ThreadsEndedByForce();
    EXPECT_LT(DestroyWorker(kTestWaitMs), 1000u);
    EXPECT_EQ(forcedBefore, ThreadsEndedByForce());
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), SavedIds());
}

// A call out that never returns is the one case the stop time-out is for: the worker is ended by
// force, that is counted, and the requests are saved all the same, the one it was handing over
// first.
TEST_F(WorkerStopTest, AWorkerEndedByForceStillSavesItsRequests)
{
    Connect();
    db->Control().Stall(CdbMethod::SelectItem);
    Queue(WaitingFile(L"A", 300, CreateFileIn(L"a.mpg"), 60000));
    Queue(WaitingFile(L"B", 200, CreateFileIn(L"b.mpg"), 0));
    Queue(std::unique_ptr<CItem>(new CItem(99)), false);  // runs the batch now
    ASSERT_TRUE(db->Control().WaitStalled(CdbMethod::SelectItem, 1, kTestWaitMs));

    const ULONG forcedBefore = ThreadsEndedByForce();
    const DWORD took = DestroyWorker(CPluginDbNotifyThread::kStopTimeoutMs + 20000);
    endedByForce = true;
    EXPECT_GE(took + 100, CPluginDbNotifyThread::kStopTimeoutMs);
    EXPECT_EQ(forcedBefore + 1, ThreadsEndedByForce());
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), SavedIds());
}

// Released without a disconnect, the worker's thread switches the observer off itself: the
// mutexes it holds are released, not left abandoned when the thread ends.
TEST_F(WorkerStopTest, TheThreadEndReleasesTheObserverMutexes)
{
    Connect();
    std::vector<CScopedHandle> mutexes;  // outlive the worker, so the mutexes do too
    for (const wchar_t* name : kMutexNames)
    {
        mutexes.emplace_back(OpenMutexW(SYNCHRONIZE, FALSE, name));
        ASSERT_TRUE(mutexes.back().IsValid()) << name;
    }
    DestroyWorker(kTestWaitMs);
    for (size_t i = 0; i < mutexes.size(); ++i)
    {
        DWORD wait = WAIT_FAILED;
        RunOnMtaThread([&] {
            wait = WaitForSingleObject(mutexes[i].Get(), 0);
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
                ReleaseMutex(mutexes[i].Get());
        });
        EXPECT_EQ(WAIT_OBJECT_0, wait) << kMutexNames[i];
    }
}
