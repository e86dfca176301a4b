// The plug-in object's last reference going on one of its own workers' threads, inside a call the
// worker makes out: the object outlives the worker's code and is destroyed elsewhere.
#include <atomic>
#include <utility>
#include "tests/host/PluginDbNotifyTestSupport.h"
#include "tests/support/TempFolder.h"

namespace
{
// A manager site that notes the thread its last reference goes on: for the one the plug-in object
// holds, the thread that destroys the object.
class CWitnessSite : public CManagerSite
{
public:
    void FinalRelease() { *releasedOn = GetCurrentThreadId(); }
    std::atomic<DWORD>* releasedOn = nullptr;
};

class LastReleaseOnAWorkerTest : public PluginDbNotifyTest
{
protected:
    void SetUp() override
    {
        PluginDbNotifyTest::SetUp();
        // Where the notification worker keeps its delay-queue file once it has handled a request.
        Notify().SetDelayQueueFolder(CString(m_folder.Path().c_str()));
    }
    // Gives the object a site that only it holds (a worker handed the site holds one of its own).
    void AttachWitnessSite()
    {
        CComObject<CWitnessSite>* site = nullptr;
        ASSERT_EQ(S_OK, CComObject<CWitnessSite>::CreateInstance(&site));
        site->releasedOn = &destroyedOn;
        site->AddRef();
        CPluginDbNotifyTestAccess::SetSite(Object(), site);
        site->Release();
    }
    // Ends with the object gone (it may still be on its way when the releasing call returns), and
    // destroyed on another thread than the worker that let it go.
    void ExpectObjectGone(const std::atomic<DWORD>& workerThread)
    {
        // Polls: nothing signals the end of a destruction that runs on a thread of its own.
        const DWORD start = GetTickCount();
        while (ModuleLockCount() != m_locks && GetTickCount() - start < kTestWaitMs)
            Sleep(10);
        EXPECT_EQ(m_locks, ModuleLockCount()) << "the object was not destroyed";
        EXPECT_NE(0u, destroyedOn.load());
        EXPECT_NE(workerThread.load(), destroyedOn.load()) << "destroyed on its own worker's thread";
    }

    std::atomic<DWORD> destroyedOn{0};
    CTempFolder m_folder{L"lum-lifetime"};
};
}  // namespace

TEST_F(LastReleaseOnAWorkerTest, InsideTheCountEventOnTheNotificationWorker)
{
    AttachWitnessSite();
    CComPtr<CQueueEventsSink> sink = Subscribe();
    CPluginDbNotifyThread& worker = Notify();
    std::atomic<ILumMgrPluginEngine*> last{engine.Detach()};
    std::atomic<DWORD> releasedOn{0};
    sink->SetHook([&](const VARIANT& count) {
        if (V_UI4(&count) != 0)
            return;
        releasedOn = GetCurrentThreadId();
        if (ILumMgrPluginEngine* object = last.exchange(nullptr))
            object->Release();
    });

    // A counted request reported as 1 here; an immediate item then makes the thread take it, and
    // the thread reports 0 from its own stack.
    auto request = std::make_unique<CPluginDbNotifyThread::CProcessItem>(CPluginDbNotifyThread::kItemChanged);
    request->itemId.Reset(SysAllocString(L"gone"));
    ASSERT_EQ(S_OK, worker.QueueItem(std::move(request), true, false));
    worker.ReportPendingCount(false);
    auto wake = std::make_unique<CPluginDbNotifyThread::CProcessItem>(99);
    ASSERT_EQ(S_OK, worker.QueueItem(std::move(wake), false, false));

    ASSERT_TRUE(sink->WaitForEvents(2, kTestWaitMs));
    EXPECT_NE(GetCurrentThreadId(), releasedOn.load());
    sink.Release();  // the object lets go of its own reference when it is destroyed
    ExpectObjectGone(releasedOn);
    EXPECT_EQ(nullptr, last.load());
}

TEST_F(LastReleaseOnAWorkerTest, InsideACallOutOfTheSearchWorker)
{
    struct CContext
    {
        ILumMgrPluginEngine* last;
        CTestEvent go{false};
        std::atomic<DWORD> thread{0};
    } context{engine.Get()};
    // Stands in for the manager, called from the worker's thread, dropping its last reference.
    Search().SetRequestObserver(
        [](void* param, LONG type, ULONG, ILumMgrPluginSite*) {
            CContext* context = static_cast<CContext*>(param);
            if (type != CPluginDbSearchThread::kItemFullSearch || !context->last)
                return;
            context->go.Wait();
            context->thread = GetCurrentThreadId();
            std::exchange(context->last, nullptr)->Release();
        },
        &context);
    context.last->AddRef();
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    AttachWitnessSite();
    engine.Release();
    context.go.Set();
    ExpectObjectGone(context.thread);
}
