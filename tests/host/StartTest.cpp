#include <cwchar>
#include <string>
#include "common/Scoped.h"
#include "tests/host/PluginDbNotifyTestSupport.h"

using Search = CPluginDbSearchThread;

namespace
{
CScopedHandle OpenProgressEvent(ILumMgrPluginEngine* engine)
{
    CScopedBstr name;
    if (engine->GetProgressEventName(name.Receive()) != S_OK)
        return CScopedHandle();
    return CScopedHandle(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.Get()));
}
}  // namespace

// Every start mode queues the site item, then the request of its type carrying the whole flags.
TEST_F(PluginDbNotifyTest, StartModeTable)
{
    const struct
    {
        ULONG flags;
        LONG type;  // 0: no request, S_FALSE
    } modes[] = {
        {0x00010000, Search::kItemFullSearch},
        {0x00010008, Search::kItemFullSearch},
        {0x00020000, Search::kItemCleanUp},
        {0x00030010, Search::kItemCategoryVersionSearch},
        {0x40040008, Search::kItemCategorySearch},
        {0x00050001, Search::kItemMetadataUpdateMajor},
        {0xC006FFFF, Search::kItemMetadataUpdateMinor},
        {0x00000000, 0},
        {0x00070000, 0},
        {0x00FF0000, 0},
        {0x0100FFFF, 0},
    };
    for (const auto& mode : modes)
    {
        SCOPED_TRACE(mode.flags);
        engine.Release();
        ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine,
                                                           reinterpret_cast<void**>(&engine)));
        CRequestRecorder local;
        local.Attach(Search());
        CScopedHandle progressEvent = OpenProgressEvent(engine);
        ASSERT_TRUE(progressEvent.IsValid());

        const HRESULT hr = engine->Start(mode.flags, nullptr, none);
        ULONG state = 0;
        engine->GetState(&state);
        EXPECT_EQ(1u, state);
        if (mode.type == 0)
        {
            EXPECT_EQ(S_FALSE, hr);
            ULONG progress = 0;
            engine->GetProgress(&progress);
            EXPECT_EQ(Search::kProgressFailed, progress);
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(progressEvent.Get(), 0));
        }
        else
        {
            EXPECT_EQ(S_OK, hr);
        }

        ASSERT_TRUE(Search().StartThread(kWaitMs));
        ASSERT_EQ(S_OK, Search().QueueSearch(Search::kItemFullSearch, kSentinel));
        ASSERT_TRUE(local.WaitForValue(kSentinel, kWaitMs));
        std::vector<CRequestRecorder::CEntry> taken = local.Entries();
        taken.pop_back();  // the sentinel
        ASSERT_EQ(mode.type == 0 ? 1u : 2u, taken.size());
        EXPECT_EQ(Search::kItemSite, taken[0].type);
        EXPECT_EQ(0u, taken[0].value);
        if (mode.type != 0)
        {
            EXPECT_EQ(mode.type, taken[1].type);
            EXPECT_EQ(mode.flags, taken[1].value);
        }
        engine.Release();
    }
}

TEST_F(PluginDbNotifyTest, ProgressEventIsNamedPerWorkerAndSignalledOnEveryChange)
{
    CScopedBstr name;
    ASSERT_EQ(S_OK, engine->GetProgressEventName(name.Receive()));
    wchar_t prefix[64];
    swprintf(prefix, 64, L"LumSiftDbNotifyWex_ProcessProgress-%08x-", static_cast<unsigned>(GetCurrentProcessId()));
    const std::wstring text(name.Get());
    ASSERT_EQ(0u, text.find(prefix)) << text;
    // Then the tick count in eight lower-case hex digits, and the worker's address in hex.
    const size_t tickAt = wcslen(prefix);
    ASSERT_GT(text.size(), tickAt + 9) << text;
    const std::wstring tick = text.substr(tickAt, 8);
    EXPECT_EQ(std::wstring::npos, tick.find_first_not_of(L"0123456789abcdef")) << text;
    ASSERT_EQ(L'-', text[tickAt + 8]) << text;
    const std::wstring address = text.substr(tickAt + 9);
    EXPECT_EQ(std::wstring::npos, address.find_first_not_of(L"0123456789abcdefABCDEF")) << text;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&Search()), static_cast<uintptr_t>(wcstoull(address.c_str(), nullptr, 16)))
        << text;

    // Another object, another event.
    CComPtr<ILumMgrPluginEngine> other;
    ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&other)));
    CScopedBstr otherName;
    ASSERT_EQ(S_OK, other->GetProgressEventName(otherName.Receive()));
    EXPECT_STRNE(name.Get(), otherName.Get());
    other.Release();

    // A run that fails (no run is implemented yet) ends with 0x80000000 and the event signalled.
    CScopedHandle progressEvent = OpenProgressEvent(engine);
    ASSERT_TRUE(progressEvent.IsValid());
    ULONG progress = 99;
    engine->GetProgress(&progress);
    EXPECT_EQ(0u, progress);
    ASSERT_EQ(S_OK, engine->Start(0x00040008, nullptr, none));
    EXPECT_TRUE(WaitForProgress(progressEvent.Get(), Search::kProgressFailed));
}

TEST_F(PluginDbNotifyTest, QueuedRequestReadsQueuedUntilItRuns)
{
    CScopedHandle progressEvent = OpenProgressEvent(engine);
    ASSERT_TRUE(progressEvent.IsValid());
    // Hold the worker at the site item, ahead of the request.
    recorder.Hold();
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(1, kWaitMs));
    ULONG progress = 0;
    engine->GetProgress(&progress);
    EXPECT_EQ(Search::kProgressQueued, progress);
    ResetEvent(progressEvent.Get());
    recorder.Release();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(progressEvent.Get(), kWaitMs));
    EXPECT_TRUE(WaitForProgress(progressEvent.Get(), Search::kProgressFailed));
}

TEST_F(PluginDbNotifyTest, RefusedRequestPublishesFailure)
{
    CScopedHandle progressEvent = OpenProgressEvent(engine);
    ASSERT_TRUE(progressEvent.IsValid());
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(2, kWaitMs));
    // Keep the thread alive inside an item while a stop is pending: the queue refuses.
    recorder.Hold();
    ASSERT_EQ(S_OK, Search().QueueSearch(Search::kItemCategorySearch, 1));
    ASSERT_TRUE(recorder.WaitForCount(3, kWaitMs));
    ASSERT_TRUE(Search().RequestStop());
    ResetEvent(progressEvent.Get());
    EXPECT_EQ(E_ABORT, Search().QueueSearch(Search::kItemCategorySearch, 2));
    ULONG progress = 0;
    engine->GetProgress(&progress);
    EXPECT_EQ(Search::kProgressFailed, progress);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(progressEvent.Get(), 0));
    recorder.Release();
}

TEST_F(PluginDbNotifyTest, StartContextIsStoredOnSuccessAndTakenOnce)
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

TEST_F(PluginDbNotifyTest, SiteReachesTheSearchWorkerMarshalled)
{
    CManagerSite* site = nullptr;
    ASSERT_EQ(S_OK, CManagerSite::Create(&site));
    CPluginDbNotifyTestAccess::SetSite(Object(), site);

    ASSERT_EQ(S_OK, engine->Start(0x00040008, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(2, kWaitMs));
    std::vector<CRequestRecorder::CEntry> taken = recorder.Entries();
    // The stand-in is free-threaded: unmarshalled in the same process it is the object itself.
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site), taken[0].site);
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site), taken[1].site);

    // A site item without a stream leaves the site the worker holds.
    ASSERT_EQ(S_OK, Search().QueueSite(nullptr));
    ASSERT_TRUE(recorder.WaitForCount(3, kWaitMs));
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site), recorder.Entries()[2].site);

    // A stopped worker lets the site go with its thread; without a site the next start hands
    // none.
    ASSERT_EQ(S_OK, engine->Stop(none));
    CPluginDbNotifyTestAccess::SetSite(Object(), nullptr);
    ASSERT_EQ(S_OK, engine->Start(0x00040008, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(5, kWaitMs));
    EXPECT_EQ(nullptr, recorder.Entries()[3].site);
    site->Release();
    // Final release (TearDown) checks that no reference to the site is left anywhere.
}

TEST_F(PluginDbNotifyTest, ReleaseWhileARequestRunsStopsBothWorkers)
{
    recorder.Hold();
    ASSERT_EQ(S_OK, engine->Start(0x00010000, nullptr, none));
    ASSERT_TRUE(recorder.WaitForCount(1, kWaitMs));
    ASSERT_TRUE(Search().IsRunning());
    ASSERT_TRUE(Notify().IsRunning());
    recorder.Release();
    const DWORD start = GetTickCount();
    engine.Release();
    // Both threads end at their next stop check; nothing waits for the 20 s stop time-out.
    EXPECT_LT(GetTickCount() - start, 15000u);
}
