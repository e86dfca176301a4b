// The plug-in object's last reference going on one of its own workers' threads, inside a call the
// worker makes out: the object outlives the worker's code and is destroyed elsewhere.
#include <ocidl.h>
#include <atomic>
#include <string>
#include <utility>
#include "common/Scoped.h"
#include "standins/ManagerSite.h"
#include "standins/QueueEventsSink.h"
#include "tests/host/PluginDbNotifyTestSupport.h"

namespace
{
// Polls: nothing signals the end of a destruction that runs on a thread of its own.
bool WaitForModuleLocks(LONG count, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (ModuleLockCount() != count)
    {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

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
        m_locks = ModuleLockCount();
        PluginDbNotifyTest::SetUp();
        // Where the notification worker keeps its delay-queue file once it has handled a request.
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        m_folder = std::wstring(temp) + L"lum-lifetime-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        Notify().SetDelayQueueFolder(CString(m_folder.c_str()));
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
    void TearDown() override
    {
        PluginDbNotifyTest::TearDown();
        for (const wchar_t* suffix : {L"", L".new", L".bak"})
            DeleteFileW((m_folder + L"DbWexDelayQueue.dat" + suffix).c_str());
        RemoveDirectoryW(m_folder.c_str());
    }
    // Ends with the object gone (it may still be on its way when the releasing call returns), and
    // destroyed on another thread than the worker that let it go.
    template <typename ThreadId>
    void ExpectObjectGone(const ThreadId& workerThread)
    {
        EXPECT_TRUE(WaitForModuleLocks(m_locks, kWaitMs)) << "the object was not destroyed";
        EXPECT_NE(0u, destroyedOn.load());
        EXPECT_NE(static_cast<DWORD>(workerThread), destroyedOn.load()) << "destroyed on its own worker's thread";
    }

    std::atomic<DWORD> destroyedOn{0};

    LONG m_locks = 0;
    std::wstring m_folder;
};
}  // namespace

TEST_F(LastReleaseOnAWorkerTest, InsideTheCountEventOnTheNotificationWorker)
{
    AttachWitnessSite();
    CComPtr<CQueueEventsSink> sink;
    {
        CQueueEventsSink* created = nullptr;
        ASSERT_EQ(S_OK, CQueueEventsSink::Create(&created));
        sink.Attach(created);
        CComPtr<IConnectionPointContainer> container;
        CComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, engine->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point));
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(static_cast<ILumMgrPluginQueueEvents*>(sink.Get()), &cookie));
    }
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
    ASSERT_EQ(S_OK, worker.QueueItem(request.get(), true, false));
    request.release();
    worker.ReportPendingCount(false);
    auto wake = std::make_unique<CPluginDbNotifyThread::CProcessItem>(99);
    ASSERT_EQ(S_OK, worker.QueueItem(wake.get(), false, false));
    wake.release();

    ASSERT_TRUE(sink->WaitForEvents(2, kWaitMs));
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
        HANDLE go;
        DWORD thread;
    };
    CScopedHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CContext context{engine.Get(), go.Get(), 0};
    // Stands in for the manager, called from the worker's thread, dropping its last reference.
    Search().SetRequestObserver(
        [](void* param, LONG type, ULONG, ILumMgrPluginSite*) {
            CContext* context = static_cast<CContext*>(param);
            if (type != CPluginDbSearchThread::kItemFullSearch || !context->last)
                return;
            WaitForSingleObject(context->go, kWaitMs);
            context->thread = GetCurrentThreadId();
            std::exchange(context->last, nullptr)->Release();
        },
        &context);
    context.last->AddRef();
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    AttachWitnessSite();
    engine.Release();
    SetEvent(go.Get());
    ExpectObjectGone(context.thread);
}
