#include "common/ProtectedLocations.h"
#include "contentdb/KdCdbMgr.h"
#include "contentdb/RefusedFileChanges.h"
#include "tests/host/PluginDbNotifyTestSupport.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestOuter.h"

// The engine and both database-notify ids (one pointer); the container is found by the
// connection-point cases.
TEST_F(PluginDbNotifyTest, QueryInterfaceAnswersTheEngineAndBothDatabaseNotifyIds)
{
    CComPtr<ILumMgrPluginDatabaseNotify2> notify2;
    CComPtr<ILumMgrPluginDatabaseNotify> notify1;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify2)));
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify, reinterpret_cast<void**>(&notify1)));
    EXPECT_EQ(static_cast<ILumMgrPluginDatabaseNotify*>(notify2.Get()), notify1.Get());
    CComPtr<ILumMgrPluginEngine> back;
    ASSERT_EQ(S_OK, notify1->QueryInterface(IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&back)));
    EXPECT_EQ(engine.Get(), back.Get());

    for (const IID* iid : {&IID_IClassFactory, &IID_ILumMgrPluginQueueEvents, &IID_ILumMgrPluginSite, &IID_IDispatch})
    {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, engine->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
    }
}

// Aggregated, the object is its outer object's: identity and the container of its queue-event
// point. The worker's hold while it fires is on the inner object, whose destruction the outer's
// last release starts.
TEST_F(PluginDbNotifyTest, AggregatedObjectDelegatesToItsOuterObject)
{
    CTestOuter outer;
    ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    {
        CComPtr<ILumMgrPluginEngine> inner;
        ASSERT_EQ(S_OK, outer.QueryInterface(IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&inner)));
        IPluginDbNotifyOwner* owner = CPluginDbNotifyTestAccess::Notify(*static_cast<CPluginDbNotify*>(inner.Get())).GetOwner();
        ASSERT_NE(nullptr, owner);
        IUnknown* kept = owner->KeepAlive();
        EXPECT_EQ(outer.inner.Get(), kept);
        EXPECT_EQ(2, outer.refs);  // the engine only
        kept->Release();

        CComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, inner->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
        CComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point));
        EXPECT_EQ(4, outer.refs);  // the engine, the container and the point count on the outer object
        CComPtr<IConnectionPointContainer> back;
        ASSERT_EQ(S_OK, point->GetConnectionPointContainer(&back));
        CComPtr<IUnknown> identity;
        ASSERT_EQ(S_OK, back->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.Get());
    }
    EXPECT_EQ(1, outer.refs);
    outer.inner.Release();
}

// Creation starts the notification worker only; a stop or an abort before any start starts no
// search thread.
TEST_F(PluginDbNotifyTest, CreationStartsTheNotificationWorkerWithThisObjectAsOwner)
{
    EXPECT_TRUE(Notify().IsRunning());
    EXPECT_EQ(CPluginDbNotifyTestAccess::AsOwner(Object()), Notify().GetOwner());
    EXPECT_EQ(S_OK, engine->Stop(none));
    EXPECT_EQ(E_NOTIMPL, engine->Abort(none));
    EXPECT_FALSE(Search().IsRunning());
}

// A step of the engine state table: the call, what it answers and the state afterwards.
struct EngineStep
{
    enum Call { StartFull, Stop, Pause, Abort } call;  // StartFull: Start with mode 0x01
    HRESULT result;
    ULONG state;
    bool queues = false;  // queues a site item and a search request
};

TEST_F(PluginDbNotifyTest, EngineStateTable)
{
    using S = EngineStep;
    const struct
    {
        const char* name;
        std::vector<EngineStep> steps;
        std::vector<LONG> requests;  // search requests the worker took in, in order (site items left out)
    } sequences[] = {
        {"start twice", {{S::StartFull, S_OK, 1, true}, {S::StartFull, E_NOTIMPL, 1}}, {Search::kItemFullSearch}},
        {"stop and start again",
         {{S::StartFull, S_OK, 1, true}, {S::Stop, S_OK, 2}, {S::StartFull, S_OK, 1, true}},
         {Search::kItemFullSearch, Search::kItemFullSearch}},
        {"pause resumes without a new request",
         {{S::StartFull, S_OK, 1, true}, {S::Pause, S_OK, 3}, {S::StartFull, S_OK, 1}, {S::StartFull, E_NOTIMPL, 1}},
         {Search::kItemFullSearch}},
        {"pause before any start", {{S::Pause, S_OK, 3}, {S::StartFull, S_OK, 1}}, {}},
        {"abort stops but answers E_NOTIMPL",
         {{S::StartFull, S_OK, 1, true}, {S::Abort, E_NOTIMPL, 2}, {S::Abort, E_NOTIMPL, 2}, {S::StartFull, S_OK, 1, true}},
         {Search::kItemFullSearch, Search::kItemFullSearch}},
        {"stop from any state", {{S::Stop, S_OK, 2}, {S::Pause, S_OK, 3}, {S::Stop, S_OK, 2}}, {}},
    };

    for (const auto& sequence : sequences)
    {
        SCOPED_TRACE(sequence.name);
        Recreate();
        EXPECT_EQ(0u, State());
        size_t queued = 0;
        for (size_t i = 0; i < sequence.steps.size(); ++i)
        {
            const EngineStep& step = sequence.steps[i];
            const HRESULT hr = step.call == S::StartFull ? engine->Start(0x00010000, nullptr, none)
                               : step.call == S::Stop    ? engine->Stop(none)
                               : step.call == S::Pause   ? engine->Pause(none)
                                                         : engine->Abort(none);
            EXPECT_EQ(step.result, hr) << "step " << i;
            EXPECT_EQ(step.state, State()) << "step " << i;
            // A stop discards what the thread has not taken yet: let it take the request first.
            if (step.queues)
            {
                ASSERT_TRUE(recorder.WaitForCount(2 * ++queued)) << "step " << i;
            }
        }
        // Nothing the state table does not call for was queued.
        std::vector<LONG> requests;
        for (const CRequestRecorder::CEntry& entry : Taken())
        {
            if (entry.type != Search::kItemSite)
                requests.push_back(entry.type);
        }
        EXPECT_EQ(sequence.requests, requests);
    }
}

TEST_F(PluginDbNotifyTest, PauseHoldsTheRunEventAndStartSetsItAgain)
{
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    ASSERT_NE(nullptr, Search().GetRunEvent().Get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Search().GetRunEvent().Get(), 0));
    ASSERT_EQ(S_OK, engine->Pause(none));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(Search().GetRunEvent().Get(), 0));
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Search().GetRunEvent().Get(), 0));

    // A pause before a stop does not hold the next run.
    ASSERT_EQ(S_OK, engine->Pause(none));
    ASSERT_EQ(S_OK, engine->Stop(none));
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Search().GetRunEvent().Get(), 0));
}

TEST_F(PluginDbNotifyTest, NullOutPointersAreRefusedAndNothingChanges)
{
    EXPECT_EQ(E_POINTER, engine->GetProperty(0x11000, nullptr));
    EXPECT_EQ(E_POINTER, engine->GetPropertyInfo(1, nullptr));
    EXPECT_EQ(E_POINTER, engine->GetOptionFlag(nullptr));
    EXPECT_EQ(E_POINTER, engine->GetState(nullptr));
    EXPECT_EQ(E_POINTER, engine->GetProgress(nullptr));
    EXPECT_EQ(E_POINTER, engine->GetProgressEventName(nullptr));
    EXPECT_EQ(E_POINTER, engine->GetModuleId(nullptr));
    EXPECT_EQ(E_POINTER, engine->GetCategoryMask(nullptr));
    EXPECT_EQ(E_POINTER, engine->GetClassId(nullptr));
    EXPECT_EQ(E_POINTER, engine->GetOptionFlag2(nullptr));
    EXPECT_EQ(E_POINTER, engine->TakeStartContext(nullptr));
    VARIANT reserved;
    V_VT(&reserved) = VT_I4;
    EXPECT_EQ(E_POINTER, engine->GetProcessId(nullptr, &reserved));
    EXPECT_EQ(VT_I4, V_VT(&reserved));

    CComPtr<ILumMgrPluginDatabaseNotify2> notify;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify)));
    EXPECT_EQ(E_POINTER, notify->Connect(nullptr, none));
    EXPECT_EQ(E_POINTER, notify->GetNotifyFlag(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetInterval(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetPendingCount(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetPendingItems(0, 10, nullptr));
    EXPECT_EQ(0u, State());
}

TEST_F(PluginDbNotifyTest, FixedAnswersOfTheEngine)
{
    // Out-values start as garbage: each method writes what it answers.
    VARIANT_BOOL flag = VARIANT_TRUE;
    EXPECT_EQ(S_OK, engine->GetOptionFlag(&flag));
    EXPECT_EQ(VARIANT_FALSE, flag);
    flag = VARIANT_TRUE;
    EXPECT_EQ(E_NOTIMPL, engine->GetOptionFlag2(&flag));
    EXPECT_EQ(VARIANT_FALSE, flag);
    ULONG mask = 0xFFFF;
    EXPECT_EQ(E_NOTIMPL, engine->GetCategoryMask(&mask));
    EXPECT_EQ(0u, mask);

    EXPECT_EQ(E_NOTIMPL, engine->SetProperty(0x11000, none));
    EXPECT_EQ(E_NOTIMPL, engine->Resume(none));
    EXPECT_EQ(E_NOTIMPL, engine->SetOption(1));

    // An unknown property, and any property's information, leave the VARIANT empty.
    VARIANT value;
    V_VT(&value) = VT_I4;
    EXPECT_EQ(E_NOTIMPL, engine->GetProperty(0x11002, &value));
    EXPECT_EQ(VT_EMPTY, V_VT(&value));
    V_VT(&value) = VT_I4;
    EXPECT_EQ(E_NOTIMPL, engine->GetPropertyInfo(0x11000, &value));
    EXPECT_EQ(VT_EMPTY, V_VT(&value));

    CScopedVariant classId;
    ASSERT_EQ(S_OK, engine->GetClassId(classId.Get()));
    ASSERT_EQ(VT_BSTR, V_VT(classId.Get()));
    EXPECT_STREQ(L"{E8356F7A-A97E-4794-97DD-C715322472E3}", V_BSTR(classId.Get()));

    CScopedBstr moduleId;
    ASSERT_EQ(S_OK, engine->GetModuleId(moduleId.Receive()));
    EXPECT_STREQ(L"LumSiftDbNotifyWex", moduleId.Get());

    // The reserved VARIANT is optional, and emptied when given.
    VARIANT reserved;
    V_VT(&reserved) = VT_I4;
    for (VARIANT* given : {static_cast<VARIANT*>(nullptr), &reserved})
    {
        ULONG processId = 0;
        EXPECT_EQ(S_OK, engine->GetProcessId(&processId, given));
        EXPECT_EQ(GetCurrentProcessId(), processId);
    }
    EXPECT_EQ(VT_EMPTY, V_VT(&reserved));
}

TEST_F(PluginDbNotifyTest, RefusedFileChangesAreAnsweredAsTwoProperties)
{
    CTempFolder protectedFolder(L"lumrefused");
    const std::wstring kept = protectedFolder / L"kept.dat";
    ASSERT_TRUE(WriteTestFile(kept, 4));
    const std::vector<CString> folders{CString(protectedFolder.Path().c_str())};
    SetProtectedFoldersForTest(&folders);
    const bool deleted = DeleteFileAsUser(kept.c_str());
    SetProtectedFoldersForTest(nullptr);
    ASSERT_FALSE(deleted);

    CScopedVariant count;
    ASSERT_EQ(S_OK, engine->GetProperty(kPropertyRefusedFileChanges, count.Get()));
    ASSERT_EQ(VT_UI4, count->vt);
    EXPECT_EQ(RefusedFileChangeCount(), count->ulVal);
    EXPECT_LE(1u, count->ulVal);
    CScopedVariant recent;
    ASSERT_EQ(S_OK, engine->GetProperty(kPropertyRecentRefusedFileChanges, recent.Get()));
    ASSERT_EQ(VT_BSTR, recent->vt);
    const std::wstring text(recent->bstrVal, SysStringLen(recent->bstrVal));
    const std::wstring last = L"deletion refused, a protected location: " + kept + L"\r\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(last, text.substr(text.size() - last.size()));
}
