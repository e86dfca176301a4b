#include <string>
#include "common/Scoped.h"
#include "tests/host/PluginDbNotifyTestSupport.h"

using Search = CPluginDbSearchThread;

TEST_F(PluginDbNotifyTest, QueryInterfaceAnswersTheEngineAndBothDatabaseNotifyIds)
{
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    CComPtr<ILumMgrPluginDatabaseNotify2> notify2;
    CComPtr<ILumMgrPluginDatabaseNotify> notify1;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify2)));
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify, reinterpret_cast<void**>(&notify1)));
    // One pointer for both database-notify ids.
    EXPECT_EQ(static_cast<ILumMgrPluginDatabaseNotify*>(notify2.Get()), notify1.Get());

    // The same identity from every interface, and the engine back from each.
    for (IUnknown* from : {static_cast<IUnknown*>(notify1.Get()), static_cast<IUnknown*>(notify2.Get())})
    {
        CComPtr<IUnknown> other;
        ASSERT_EQ(S_OK, from->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&other)));
        EXPECT_EQ(identity.Get(), other.Get());
        CComPtr<ILumMgrPluginEngine> back;
        ASSERT_EQ(S_OK, from->QueryInterface(IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&back)));
        EXPECT_EQ(engine.Get(), back.Get());
    }

    for (const IID* iid : {&IID_IClassFactory, &IID_ILumMgrPluginQueueEvents, &IID_ILumMgrPluginSite, &IID_IDispatch})
    {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, engine->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, engine->QueryInterface(IID_IUnknown, nullptr));
}

// Aggregated, the object is its outer object's: identity and the owner the worker fires through.
TEST_F(PluginDbNotifyTest, AggregatedObjectDelegatesToItsOuterObject)
{
    struct COuter : IUnknown
    {
        LONG refs = 1;
        CComPtr<IUnknown> inner;
        STDMETHOD(QueryInterface)(REFIID iid, void** out) override
        {
            if (IsEqualIID(iid, IID_IUnknown))
            {
                *out = this;
                AddRef();
                return S_OK;
            }
            return inner->QueryInterface(iid, out);
        }
        STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
        STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
    } outer;
    const LONG locks = ModuleLockCount();
    ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    EXPECT_EQ(locks + 1, ModuleLockCount());

    CComPtr<ILumMgrPluginEngine> inner;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&inner)));
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.Get());

    CPluginDbNotify& object = *static_cast<CPluginDbNotify*>(inner.Get());
    IPluginDbNotifyOwner* owner = CPluginDbNotifyTestAccess::Notify(object).GetOwner();
    ASSERT_NE(nullptr, owner);
    EXPECT_EQ(static_cast<IUnknown*>(&outer), owner->GetOwnerUnknown());

    identity.Release();
    inner.Release();
    EXPECT_EQ(1, outer.refs);
    outer.inner.Release();
    EXPECT_EQ(locks, ModuleLockCount());
}

TEST_F(PluginDbNotifyTest, CreationStartsTheNotificationWorkerWithThisObjectAsOwner)
{
    EXPECT_TRUE(Notify().IsRunning());
    EXPECT_EQ(CPluginDbNotifyTestAccess::AsOwner(Object()), Notify().GetOwner());
    EXPECT_NE(nullptr, Notify().GetCountTimer());
    // The search worker gets its thread only with the first request.
    EXPECT_FALSE(Search().IsRunning());
}

// A step of the engine state table: the call, what it answers and the state afterwards.
struct EngineStep
{
    enum Call
    {
        StartFull,  // Start with mode 0x01
        Stop,
        Pause,
        Abort,
    } call;
    HRESULT result;
    ULONG state;
    bool queues = false;  // queues a site item and a search request
};

struct EngineSequence
{
    const char* name;
    std::vector<EngineStep> steps;
    // Search requests the worker took in, in order (the site items left out).
    std::vector<LONG> requests;
};

TEST_F(PluginDbNotifyTest, EngineStateTable)
{
    using S = EngineStep;
    const EngineSequence sequences[] = {
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

    for (const EngineSequence& sequence : sequences)
    {
        SCOPED_TRACE(sequence.name);
        // A fresh object per sequence.
        engine.Release();
        ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine,
                                                           reinterpret_cast<void**>(&engine)));
        CRequestRecorder local;
        local.Attach(Search());
        ULONG state = 99;
        ASSERT_EQ(S_OK, engine->GetState(&state));
        EXPECT_EQ(0u, state);

        size_t queued = 0;
        for (size_t i = 0; i < sequence.steps.size(); ++i)
        {
            const EngineStep& step = sequence.steps[i];
            HRESULT hr = E_UNEXPECTED;
            switch (step.call)
            {
            case S::StartFull:
                hr = engine->Start(0x00010000, nullptr, none);
                break;
            case S::Stop:
                hr = engine->Stop(none);
                break;
            case S::Pause:
                hr = engine->Pause(none);
                break;
            case S::Abort:
                hr = engine->Abort(none);
                break;
            }
            EXPECT_EQ(step.result, hr) << "step " << i;
            ASSERT_EQ(S_OK, engine->GetState(&state));
            EXPECT_EQ(step.state, state) << "step " << i;
            // A stop discards what the thread has not taken yet: let it take the request first.
            if (step.queues)
            {
                ASSERT_TRUE(local.WaitForCount(2 * ++queued, kWaitMs)) << "step " << i;
            }
        }

        // Nothing the state table does not call for was queued.
        ASSERT_TRUE(Search().StartThread(kWaitMs));
        ASSERT_EQ(S_OK, Search().QueueSearch(Search::kItemFullSearch, kSentinel));
        ASSERT_TRUE(local.WaitForValue(kSentinel, kWaitMs));
        std::vector<LONG> requests;
        for (const CRequestRecorder::CEntry& entry : local.Entries())
        {
            if (entry.value == kSentinel)
                break;
            if (entry.type != Search::kItemSite)
                requests.push_back(entry.type);
        }
        EXPECT_EQ(sequence.requests, requests);
        engine.Release();  // before `local` goes
    }
}

TEST_F(PluginDbNotifyTest, StopBeforeAnyStartCreatesNoThread)
{
    EXPECT_EQ(S_OK, engine->Stop(none));
    ULONG state = 0;
    EXPECT_EQ(S_OK, engine->GetState(&state));
    EXPECT_EQ(2u, state);
    EXPECT_FALSE(Search().IsRunning());
    EXPECT_EQ(E_NOTIMPL, engine->Abort(none));
    EXPECT_FALSE(Search().IsRunning());
}

TEST_F(PluginDbNotifyTest, PauseHoldsTheRunEventAndStartSetsItAgain)
{
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    ASSERT_NE(nullptr, Search().GetRunEvent());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Search().GetRunEvent(), 0));
    ASSERT_EQ(S_OK, engine->Pause(none));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(Search().GetRunEvent(), 0));
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Search().GetRunEvent(), 0));

    // A pause before a stop does not hold the next run.
    ASSERT_EQ(S_OK, engine->Pause(none));
    ASSERT_EQ(S_OK, engine->Stop(none));
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(Search().GetRunEvent(), 0));
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
    VariantInit(&reserved);
    V_VT(&reserved) = VT_I4;
    V_I4(&reserved) = 7;
    EXPECT_EQ(E_POINTER, engine->GetProcessId(nullptr, &reserved));
    EXPECT_EQ(VT_I4, V_VT(&reserved));

    CComPtr<ILumMgrPluginDatabaseNotify2> notify;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify)));
    EXPECT_EQ(E_POINTER, notify->Connect(nullptr, none));
    EXPECT_EQ(E_POINTER, notify->GetNotifyFlag(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetInterval(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetPendingCount(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetPendingItems(0, 10, nullptr));

    ULONG state = 99;
    EXPECT_EQ(S_OK, engine->GetState(&state));
    EXPECT_EQ(0u, state);
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

    // Unknown properties leave the VARIANT empty, whatever it held.
    for (LONG id : {0L, 0x11002L, -1L})
    {
        VARIANT value;
        V_VT(&value) = VT_I4;
        V_I4(&value) = 5;
        EXPECT_EQ(E_NOTIMPL, engine->GetProperty(id, &value)) << id;
        EXPECT_EQ(VT_EMPTY, V_VT(&value)) << id;
        V_VT(&value) = VT_I4;
        EXPECT_EQ(E_NOTIMPL, engine->GetPropertyInfo(id, &value)) << id;
        EXPECT_EQ(VT_EMPTY, V_VT(&value)) << id;
    }

    CScopedVariant classId;
    ASSERT_EQ(S_OK, engine->GetClassId(classId.Get()));
    ASSERT_EQ(VT_BSTR, V_VT(classId.Get()));
    EXPECT_STREQ(L"{E8356F7A-A97E-4794-97DD-C715322472E3}", V_BSTR(classId.Get()));

    CScopedBstr moduleId;
    ASSERT_EQ(S_OK, engine->GetModuleId(moduleId.Receive()));
    EXPECT_STREQ(L"LumSiftDbNotifyWex", moduleId.Get());

    ULONG processId = 0;
    EXPECT_EQ(S_OK, engine->GetProcessId(&processId, nullptr));
    EXPECT_EQ(GetCurrentProcessId(), processId);
    VARIANT reserved;
    V_VT(&reserved) = VT_I4;
    processId = 0;
    EXPECT_EQ(S_OK, engine->GetProcessId(&processId, &reserved));
    EXPECT_EQ(VT_EMPTY, V_VT(&reserved));
    EXPECT_EQ(GetCurrentProcessId(), processId);
}
