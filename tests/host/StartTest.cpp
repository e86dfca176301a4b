#include <cwchar>
#include "tests/host/PluginDbNotifyTestSupport.h"

namespace
{
class StartTest : public PluginDbNotifyTest
{
protected:
    // A new object, and its progress event.
    void Recreate() override
    {
        PluginDbNotifyTest::Recreate();
        CScopedBstr name;
        ASSERT_EQ(S_OK, engine->GetProgressEventName(name.Receive()));
        progressEvent.Reset(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.Get()));
        ASSERT_TRUE(progressEvent.IsValid());
    }

    CScopedHandle progressEvent;
};
}  // namespace

// Every start mode queues the site item, then the request of its type carrying the whole flags;
// an unknown mode publishes a failed run at once.
TEST_F(StartTest, StartModeTable)
{
    const struct
    {
        ULONG flags;
        LONG type;  // 0: no request, S_FALSE
    } modes[] = {
        {0x00010008, Search::kItemFullSearch},          {0x00020000, Search::kItemCleanUp},
        {0x00030010, Search::kItemCategoryVersionSearch}, {0x40040008, Search::kItemCategorySearch},
        {0x00050001, Search::kItemMetadataUpdateMajor},   {0xC006FFFF, Search::kItemMetadataUpdateMinor},
        {0x00000000, 0},                                  {0x00070000, 0},
        {0x0100FFFF, 0},
    };
    for (const auto& mode : modes)
    {
        SCOPED_TRACE(mode.flags);
        Recreate();
        EXPECT_EQ(mode.type == 0 ? S_FALSE : S_OK, engine->Start(mode.flags, nullptr, none));
        EXPECT_EQ(1u, State());
        if (mode.type == 0)
        {
            EXPECT_EQ(Search::kProgressFailed, Progress());
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(progressEvent.Get(), 0));
        }

        const std::vector<CRequestRecorder::CEntry> taken = Taken();
        ASSERT_EQ(mode.type == 0 ? 1u : 2u, taken.size());
        EXPECT_EQ(Search::kItemSite, taken[0].type);
        EXPECT_EQ(0u, taken[0].value);
        if (mode.type != 0)
        {
            EXPECT_EQ(mode.type, taken[1].type);
            EXPECT_EQ(mode.flags, taken[1].value);
        }
    }
}

TEST_F(StartTest, ProgressEventIsNamedPerWorkerAndSignalledOnEveryChange)
{
    CScopedBstr name;
    ASSERT_EQ(S_OK, engine->GetProgressEventName(name.Receive()));
    unsigned processId = 0;
    unsigned tick = 0;
    ASSERT_EQ(2, swscanf(name.Get(), L"LumSiftDbNotifyWex_ProcessProgress-%8x-%8x-", &processId, &tick)) << name.Get();
    CString expected;  // the address as %p writes it here
    expected.Format(L"LumSiftDbNotifyWex_ProcessProgress-%08x-%08x-%p", static_cast<unsigned>(GetCurrentProcessId()),
                    tick, static_cast<void*>(&Search()));
    EXPECT_STREQ(expected.GetString(), name.Get());

    // Another object, another event.
    CComPtr<ILumMgrPluginEngine> other;
    ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&other)));
    CScopedBstr otherName;
    ASSERT_EQ(S_OK, other->GetProgressEventName(otherName.Receive()));
    EXPECT_STRNE(name.Get(), otherName.Get());
    other.Release();

    // A request reads queued until it runs (the worker is held at the site item, ahead of it); a
    // run that fails (no content database here) ends with 0x80000000, each change signalled.
    EXPECT_EQ(0u, Progress());
    recorder.Hold();
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(1));
    EXPECT_EQ(Search::kProgressQueued, Progress());
    ResetEvent(progressEvent.Get());
    recorder.Release();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(progressEvent.Get(), kTestWaitMs));
    for (const DWORD start = GetTickCount(); Progress() != Search::kProgressFailed;)
    {
        ASSERT_LT(GetTickCount() - start, kTestWaitMs) << "the run did not fail";
        WaitForSingleObject(progressEvent.Get(), kTestWaitMs);
    }
}

TEST_F(StartTest, RefusedRequestPublishesFailure)
{
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(2));
    // Keep the thread alive inside an item while a stop is pending: the queue refuses.
    recorder.Hold();
    ASSERT_EQ(S_OK, Search().QueueSearch(Search::kItemCategorySearch, 1));
    ASSERT_TRUE(recorder.WaitForCount(3));
    ASSERT_TRUE(Search().RequestStop());
    ResetEvent(progressEvent.Get());
    EXPECT_EQ(E_ABORT, Search().QueueSearch(Search::kItemCategorySearch, 2));
    EXPECT_EQ(Search::kProgressFailed, Progress());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(progressEvent.Get(), 0));
    recorder.Release();
}

TEST_F(StartTest, StartContextIsStoredOnSuccessAndTakenOnce)
{
    CScopedBstr context;
    EXPECT_EQ(S_OK, engine->TakeStartContext(context.Receive()));
    EXPECT_EQ(nullptr, context.Get());

    CScopedBstr first(SysAllocString(L"first"));
    CScopedBstr second(SysAllocString(L"second"));
    // Unknown mode: S_FALSE, still stored.
    ASSERT_EQ(S_FALSE, engine->Start(0, first.Get(), none));
    // Refused while running: the stored one stays.
    ASSERT_EQ(E_NOTIMPL, engine->Start(0x00010000, second.Get(), none));
    // Resumed from a pause: the stored one stays.
    ASSERT_EQ(S_OK, engine->Pause(none));
    ASSERT_EQ(S_OK, engine->Start(0x00010000, second.Get(), none));

    ASSERT_EQ(S_OK, engine->TakeStartContext(context.Receive()));
    ASSERT_NE(nullptr, context.Get());
    EXPECT_STREQ(L"first", context.Get());
    EXPECT_NE(first.Get(), context.Get());  // a copy: the caller's stays the caller's
    EXPECT_EQ(S_OK, engine->TakeStartContext(context.Receive()));
    EXPECT_EQ(nullptr, context.Get());

    // Replaced by the next successful start, null included.
    ASSERT_EQ(S_OK, engine->Stop(none));
    ASSERT_EQ(S_OK, engine->Start(0x00010000, second.Get(), none));
    ASSERT_EQ(S_OK, engine->Stop(none));
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    EXPECT_EQ(S_OK, engine->TakeStartContext(context.Receive()));
    EXPECT_EQ(nullptr, context.Get());
}

TEST_F(StartTest, SiteReachesTheSearchWorkerMarshalled)
{
    CManagerSite* site = nullptr;
    ASSERT_EQ(S_OK, CManagerSite::Create(&site));
    CPluginDbNotifyTestAccess::SetSite(Object(), site);

    ASSERT_EQ(S_OK, engine->Start(0x00040008, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(2));
    // The stand-in is free-threaded: unmarshalled in the same process it is the object itself.
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site), recorder.Entries()[0].site);
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site), recorder.Entries()[1].site);

    // A site item without a stream leaves the site the worker holds.
    ASSERT_EQ(S_OK, Search().QueueSite(nullptr));
    ASSERT_TRUE(recorder.WaitForCount(3));
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site), recorder.Entries()[2].site);

    // A stopped worker lets the site go with its thread; without a site the next start hands
    // none.
    ASSERT_EQ(S_OK, engine->Stop(none));
    CPluginDbNotifyTestAccess::SetSite(Object(), nullptr);
    ASSERT_EQ(S_OK, engine->Start(0x00040008, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(5));
    EXPECT_EQ(nullptr, recorder.Entries()[3].site);
    site->Release();
    // Final release (TearDown) checks that no reference to the site is left anywhere.
}

TEST_F(StartTest, ReleaseWhileARequestRunsStopsBothWorkers)
{
    recorder.Hold();
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(1));
    ASSERT_TRUE(Search().IsRunning());
    ASSERT_TRUE(Notify().IsRunning());
    recorder.Release();
    const DWORD start = GetTickCount();
    engine.Release();
    // Both threads end at their next stop check; nothing waits for the 20 s stop time-out.
    EXPECT_LT(GetTickCount() - start, 15000u);
}
