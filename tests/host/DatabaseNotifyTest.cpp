#include <memory>
#include <string>
#include <vector>
#include "common/HResult.h"
#include "common/Scoped.h"
#include "standins/ContentDatabase.h"
#include "standins/QueueEventsSink.h"
#include "tests/host/PluginDbNotifyTestSupport.h"

using Notify = CPluginDbNotifyThread;

namespace
{
// A manager site that counts the requests for ILumMgrPluginSite made on the thread that created
// it (the test's), and all requests made there; without `withSite` it lacks the interface.
class CCountingSite : public CManagerSite
{
public:
    static CComPtr<CCountingSite> New(bool withSite = true)
    {
        CComObject<CCountingSite>* object = nullptr;
        EXPECT_EQ(S_OK, CComObject<CCountingSite>::CreateInstance(&object));
        object->m_withSite = withSite;
        object->m_thread = GetCurrentThreadId();
        return CComPtr<CCountingSite>(object);
    }

    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        const bool asksForSite = IsEqualIID(iid, IID_ILumMgrPluginSite);
        if (GetCurrentThreadId() == m_thread)
        {
            InterlockedIncrement(&m_queries);
            if (asksForSite)
                InterlockedIncrement(&m_siteQueries);
        }
        if (asksForSite && !m_withSite)
        {
            if (out)
                *out = nullptr;
            return E_NOINTERFACE;
        }
        return CManagerSite::InternalQueryInterface(iid, out);
    }

    LONG SiteQueries() const { return InterlockedCompareExchange(&m_siteQueries, 0, 0); }
    LONG Queries() const { return InterlockedCompareExchange(&m_queries, 0, 0); }
    // What Connect passes: the object's identity, as the manager hands it.
    IUnknown* AsUnknown() { return static_cast<ILumMgrPluginSite*>(this); }

private:
    bool m_withSite = true;
    DWORD m_thread = 0;
    mutable volatile LONG m_siteQueries = 0;
    mutable volatile LONG m_queries = 0;
};

// Releases the reference it is given, as a manager thread would.
DWORD WINAPI ReleaseOnThisThread(void* object)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static_cast<IUnknown*>(object)->Release();
    CoUninitialize();
    return 0;
}

VARIANT OptionOf(VARTYPE type, ULONG value)
{
    VARIANT option;
    VariantInit(&option);
    V_VT(&option) = type;
    if (type == VT_UI4)
        V_UI4(&option) = value;
    else if (type == VT_I4)
        V_I4(&option) = static_cast<LONG>(value);
    return option;
}

std::vector<std::wstring> TextsOf(const VARIANT& items)
{
    std::vector<std::wstring> texts;
    EXPECT_EQ(VT_ARRAY | VT_BSTR, V_VT(&items));
    if (V_VT(&items) != (VT_ARRAY | VT_BSTR))
        return texts;
    SAFEARRAY* array = V_ARRAY(&items);
    LONG lower = 0;
    LONG upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    EXPECT_EQ(0, lower);
    for (LONG i = lower; i <= upper; ++i)
    {
        BSTR text = nullptr;
        EXPECT_EQ(S_OK, SafeArrayGetElement(array, &i, &text));
        texts.emplace_back(text ? text : L"", SysStringLen(text));
        SysFreeString(text);
    }
    return texts;
}

// The database-notify interface of an object the class factory made, with the stand-in content
// database the notification worker connects to and a delay-queue folder of the test's own.
class DatabaseNotifyTest : public PluginDbNotifyTest
{
protected:
    void SetUp() override
    {
        PluginDbNotifyTest::SetUp();
        ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify)));
        m_database = CContentDatabase::Create();
        ASSERT_EQ(S_OK, m_database->Register());
        wchar_t temp[MAX_PATH] = {};
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        m_folder = std::wstring(temp) + L"lum-dbnotify-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(GetTickCount()) + L"\\";
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
        Notify().SetDelayQueueFolder(CString(m_folder.c_str()));
    }

    // A new plug-in object in place of the fixture's (the search-worker recorder is not attached).
    void Recreate()
    {
        notify.Release();
        engine.Release();
        ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(nullptr, IID_ILumMgrPluginEngine,
                                                           reinterpret_cast<void**>(&engine)));
        ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify)));
        Notify().SetDelayQueueFolder(CString(m_folder.c_str()));
    }

    void TearDown() override
    {
        Database().Reset();
        notify.Release();
        recorder.Release();
        engine.Release();
        m_database->Revoke();
        EXPECT_TRUE(m_database->WaitNotificationsIdle(kWaitMs));
        // The workers closed their connections when the object went.
        EXPECT_EQ(0, m_database->LiveConnections());
        m_database.reset();
        RemoveFolder();
        PluginDbNotifyTest::TearDown();
    }

    CContentDbControl& Database() { return m_database->Control(); }

    // Connects and waits until the worker, on its thread, has taken the connect item in: it holds
    // the site and the switch and sits in the database call that follows, until Resume(). Once
    // per object: the released call may not even have reached its wait when Resume() returns, so
    // the stall may be armed again only after that worker's thread has ended (Recreate()).
    void ConnectAndHold(IUnknown* site, const VARIANT& options)
    {
        Database().Stall(CdbMethod::SetClientInfo);
        ASSERT_EQ(S_OK, notify->Connect(site, options));
        ASSERT_TRUE(Database().WaitStalled(CdbMethod::SetClientInfo, 1, kWaitMs));
    }
    void Resume() { Database().Release(CdbMethod::SetClientInfo); }

    // A change notification for one video item, as the database delivers it.
    void NotifyChanged(const wchar_t* itemId)
    {
        LPCWSTR ids[] = {itemId};
        LONG classes[] = {300};
        LONG kinds[] = {Notify::kChangeAddedOrChanged};
        Notify().OnNotify(1, ids, classes, kinds, 0);
    }

    // Queues a request waiting for its file, as the worker does after resolving a notification;
    // delayed, so that it stays queued for the whole case.
    void QueueWaitingFile(const wchar_t* path)
    {
        auto item = std::make_unique<Notify::CProcessItem>(Notify::kItemHandOff);
        item->SetPath(CString(path));
        ASSERT_EQ(S_OK, Notify().QueueItem(item.get(), true, false));
        item.release();
    }
    void QueueUnresolved(const wchar_t* itemId)
    {
        auto item = std::make_unique<Notify::CProcessItem>(Notify::kItemChanged);
        item->itemId.Reset(SysAllocString(itemId));
        ASSERT_EQ(S_OK, Notify().QueueItem(item.get(), true, false));
        item.release();
    }

    ULONG QueuedConnectItems()
    {
        return Notify().VisitQueuedItems(nullptr, [](Notify::CBase::CProcessItem* item, void*) {
            return item->type == Notify::kItemConnect;
        });
    }

    ULONG PendingCount()
    {
        ULONG count = 0xFFFF;
        EXPECT_EQ(S_OK, notify->GetPendingCount(&count));
        return count;
    }

    CComPtr<ILumMgrPluginDatabaseNotify2> notify;

private:
    void RemoveFolder()
    {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((m_folder + L"*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE)
        {
            do
            {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileW((m_folder + found.cFileName).c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(m_folder.c_str());
    }

    std::shared_ptr<CContentDatabase> m_database;
    std::wstring m_folder;
};
}  // namespace

// Only a VT_UI4 option is read, and only its bit 0: the worker then accepts change notifications
// or ignores them.
TEST_F(DatabaseNotifyTest, ConnectSwitchComesFromBitZeroOfAUi4Option)
{
    const struct
    {
        VARTYPE type;
        ULONG value;
        bool accepts;
    } rows[] = {
        {VT_UI4, 0, false}, {VT_UI4, 3, true},  {VT_EMPTY, 0, true}, {VT_I4, 0, true},
        {VT_UI4, 2, false}, {VT_UI4, 1, true},  {VT_BOOL, 0, true},  {VT_UI4, 0xFFFFFFFE, false},
    };
    CComPtr<CCountingSite> site = CCountingSite::New();
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "type " << row.type << " value " << row.value);
        Recreate();
        CComPtr<CQueueEventsSink> sink;
        ASSERT_EQ(S_OK, CQueueEventsSink::Create(&sink));
        CComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, notify->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
        CComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point));
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(static_cast<ILumMgrPluginQueueEvents*>(sink.Get()), &cookie));

        ConnectAndHold(site->AsUnknown(), OptionOf(row.type, row.value));
        NotifyChanged(L"item-1");
        EXPECT_EQ(row.accepts ? 1u : 0u, PendingCount());
        // Withdrawing what waits for no file takes the unresolved notifications back.
        EXPECT_EQ(row.accepts ? S_OK : S_FALSE, notify->CancelPending(nullptr));
        EXPECT_EQ(0u, PendingCount());
        Resume();

        // Reaching and leaving 0 is fired at once, on the calling thread.
        const std::vector<PendingCountEvent> fired = sink->Events().Calls();
        ASSERT_EQ(row.accepts ? 2u : 0u, fired.size());
        if (row.accepts)
        {
            EXPECT_EQ(1u, fired[0].value);
            EXPECT_EQ(0u, fired[1].value);
            EXPECT_EQ(GetCurrentThreadId(), fired[1].threadId);
        }
    }
}

// The same pointer again is not asked for the site interface again, but it is connected again.
// Marshalling the site for the worker asks too, so the calls are compared with a marshalling alone.
TEST_F(DatabaseNotifyTest, SamePointerAgainIsNotAskedButQueuedAgain)
{
    CComPtr<CCountingSite> first = CCountingSite::New();
    CComPtr<CCountingSite> second = CCountingSite::New();

    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_ILumMgrPluginSite, first->AsUnknown(), &stream));
    const LONG byMarshalling = first->SiteQueries();
    CComPtr<ILumMgrPluginSite> unmarshalled;
    ASSERT_EQ(S_OK, CoGetInterfaceAndReleaseStream(stream, IID_ILumMgrPluginSite, reinterpret_cast<void**>(&unmarshalled)));
    unmarshalled.Release();

    LONG before = first->SiteQueries();
    ConnectAndHold(first->AsUnknown(), none);
    EXPECT_EQ(1 + byMarshalling, first->SiteQueries() - before);

    // The worker is held inside the first connect: the next ones wait in its queue.
    before = first->SiteQueries();
    EXPECT_EQ(S_OK, notify->Connect(first->AsUnknown(), none));
    EXPECT_EQ(byMarshalling, first->SiteQueries() - before);
    EXPECT_EQ(1u, QueuedConnectItems());

    before = second->SiteQueries();
    EXPECT_EQ(S_OK, notify->Connect(second->AsUnknown(), none));
    EXPECT_EQ(1 + byMarshalling, second->SiteQueries() - before);
    EXPECT_EQ(2u, QueuedConnectItems());
    Resume();
}

// An object without the site interface is refused before anything is marshalled or queued, and
// the site kept before is dropped: the next Start hands the search worker no site.
TEST_F(DatabaseNotifyTest, ObjectWithoutTheSiteInterfaceIsRefusedAndDropsTheKeptSite)
{
    CComPtr<CCountingSite> site = CCountingSite::New();
    CComPtr<CCountingSite> lacking = CCountingSite::New(false);
    ConnectAndHold(site->AsUnknown(), none);
    EXPECT_EQ(E_INVALIDARG, notify->Connect(lacking->AsUnknown(), none));
    EXPECT_EQ(0u, QueuedConnectItems());
    Resume();
    // Asked once, and nothing else: a marshalling would have asked for more.
    EXPECT_EQ(1, lacking->SiteQueries());
    EXPECT_EQ(1, lacking->Queries());

    ASSERT_EQ(S_OK, engine->Start(0x00040000, nullptr, none));
    Flush();
    const std::vector<CRequestRecorder::CEntry> taken = TakenBeforeSentinel();
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(nullptr, taken[0].site);
}

// A worker that refuses the item: Connect and Disconnect answer the queueing result, and the site
// marshalled for the refused item is let go (TearDown checks that no site is left alive).
TEST_F(DatabaseNotifyTest, RefusedQueueingIsAnsweredAndReleasesTheMarshalledSite)
{
    CComPtr<CCountingSite> site = CCountingSite::New();
    ASSERT_TRUE(Notify().StopThread(kWaitMs));
    // Stopped: the stop request is still standing.
    EXPECT_EQ(E_ABORT, notify->Connect(site->AsUnknown(), none));
    EXPECT_EQ(E_ABORT, notify->Disconnect(none));
    // No thread and no stop request.
    ASSERT_NE(nullptr, Notify().GetStopEvent());
    ResetEvent(Notify().GetStopEvent());
    EXPECT_EQ(kHrThreadNotRunning, notify->Connect(site->AsUnknown(), none));
    EXPECT_EQ(kHrThreadNotRunning, notify->Disconnect(none));
    // The refused connects still kept the site: the engine hands it on.
    ASSERT_EQ(S_OK, engine->Start(0x00040000, nullptr, none));
    Flush();
    const std::vector<CRequestRecorder::CEntry> taken = TakenBeforeSentinel();
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site.Get()), taken[0].site);
}

// Neither a null site nor Disconnect touches the site the object keeps; the engine hands it on.
TEST_F(DatabaseNotifyTest, NullSiteAndDisconnectKeepTheSite)
{
    CComPtr<CCountingSite> site = CCountingSite::New();
    ConnectAndHold(site->AsUnknown(), none);
    Resume();
    EXPECT_EQ(E_POINTER, notify->Connect(nullptr, OptionOf(VT_UI4, 1)));
    EXPECT_EQ(S_OK, notify->Disconnect(OptionOf(VT_UI4, 0)));
    ASSERT_EQ(S_OK, engine->Start(0x00040000, nullptr, none));
    Flush();
    const std::vector<CRequestRecorder::CEntry> taken = TakenBeforeSentinel();
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site.Get()), taken[0].site);
}

TEST_F(DatabaseNotifyTest, FixedAnswers)
{
    VARIANT_BOOL flag = VARIANT_TRUE;
    EXPECT_EQ(S_OK, notify->GetNotifyFlag(&flag));
    EXPECT_EQ(VARIANT_FALSE, flag);
    for (ULONG interval : {0ul, 1000ul, 120000ul, 0xFFFFFFFFul})
    {
        EXPECT_EQ(E_NOTIMPL, notify->SetInterval(interval));
        ULONG milliseconds = 0;
        EXPECT_EQ(S_OK, notify->GetInterval(&milliseconds));
        EXPECT_EQ(120000u, milliseconds);
    }
    // Both database-notify ids give the same methods.
    CComPtr<ILumMgrPluginDatabaseNotify> first;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify, reinterpret_cast<void**>(&first)));
    ULONG milliseconds = 0;
    EXPECT_EQ(S_OK, first->GetInterval(&milliseconds));
    EXPECT_EQ(120000u, milliseconds);
}

TEST_F(DatabaseNotifyTest, NullOutPointersAreRefused)
{
    EXPECT_EQ(E_POINTER, notify->Connect(nullptr, none));
    EXPECT_EQ(E_POINTER, notify->GetNotifyFlag(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetInterval(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetPendingCount(nullptr));
    EXPECT_EQ(E_POINTER, notify->GetPendingItems(0, 10, nullptr));
}

TEST_F(DatabaseNotifyTest, EmptyWorkerHasNothingPending)
{
    EXPECT_EQ(0u, PendingCount());
    VARIANT items;
    VariantInit(&items);
    V_VT(&items) = VT_I4;
    V_I4(&items) = 7;
    EXPECT_EQ(S_FALSE, notify->GetPendingItems(0, 10, &items));
    EXPECT_EQ(VT_EMPTY, V_VT(&items));
    for (const wchar_t* text : {static_cast<const wchar_t*>(nullptr), L"", L"C:\\Media\\a.mp4"})
    {
        CScopedBstr item(text ? SysAllocString(text) : nullptr);
        EXPECT_EQ(S_FALSE, notify->CancelPending(item.Get()));
    }
    EXPECT_EQ(0u, PendingCount());
}

// The pending-request questions go to the worker's queue: pages of paths in queue order, and
// withdrawing a file in any letter case, which reports the new count to the subscribed sinks on
// the calling thread (a change away from 0 at once, others paced).
TEST_F(DatabaseNotifyTest, PendingItemsPagesAndCancelGoToTheWorkersQueue)
{
    QueueWaitingFile(L"C:\\A\\x.mp4");
    QueueUnresolved(L"item-7");
    QueueWaitingFile(L"C:\\B\\y.mp4");
    QueueWaitingFile(L"C:\\C\\z.mp4");

    const struct
    {
        ULONG skip;
        ULONG maxCount;
        std::vector<std::wstring> texts;  // empty: S_FALSE and VT_EMPTY
    } pages[] = {
        {0, 10, {L"C:\\A\\x.mp4", L"", L"C:\\B\\y.mp4", L"C:\\C\\z.mp4"}},
        {1, 2, {L"", L"C:\\B\\y.mp4"}},
        {3, 1, {L"C:\\C\\z.mp4"}},
        {0, 0, {}},
        {4, 10, {}},
        {0xFFFFFFFF, 1, {}},
    };
    for (const auto& page : pages)
    {
        SCOPED_TRACE(testing::Message() << "skip " << page.skip << " max " << page.maxCount);
        CScopedVariant items;
        const HRESULT hr = notify->GetPendingItems(page.skip, page.maxCount, items.Get());
        if (page.texts.empty())
        {
            EXPECT_EQ(S_FALSE, hr);
            EXPECT_EQ(VT_EMPTY, V_VT(items.Get()));
        }
        else
        {
            EXPECT_EQ(S_OK, hr);
            EXPECT_EQ(page.texts, TextsOf(*items.Get()));
        }
    }

    CComPtr<CQueueEventsSink> sink;
    ASSERT_EQ(S_OK, CQueueEventsSink::Create(&sink));
    CComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, notify->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
    CComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(static_cast<ILumMgrPluginQueueEvents*>(sink.Get()), &cookie));

    // Nothing has been reported yet: the items were queued without a report.
    EXPECT_EQ(0u, PendingCount());
    CScopedBstr other(SysAllocString(L"c:\\a\\X.MP4"));
    EXPECT_EQ(S_OK, notify->CancelPending(other.Get()));
    EXPECT_EQ(S_FALSE, notify->CancelPending(other.Get()));
    // One unresolved notification and two files: fired at once, as it leaves 0.
    EXPECT_EQ(3u, PendingCount());
    ASSERT_EQ(1u, sink->Events().Count());
    EXPECT_EQ(3u, sink->Events().Calls()[0].value);
    EXPECT_EQ(GetCurrentThreadId(), sink->Events().Calls()[0].threadId);

    // Within the pacing window the count is already the new one; the event follows.
    CScopedBstr second(SysAllocString(L"C:\\B\\Y.mp4"));
    EXPECT_EQ(S_OK, notify->CancelPending(second.Get()));
    EXPECT_EQ(2u, PendingCount());
    ASSERT_TRUE(sink->WaitForEvents(2, kWaitMs));
    EXPECT_EQ(2u, sink->Events().Calls()[1].value);
    EXPECT_EQ(VT_UI4, sink->Events().Calls()[1].type);

    CScopedVariant items;
    EXPECT_EQ(S_OK, notify->GetPendingItems(0, 10, items.Get()));
    EXPECT_EQ(std::vector<std::wstring>({L"", L"C:\\C\\z.mp4"}), TextsOf(*items.Get()));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
}

// The module stays locked while code of the object runs: the release that waits for a notification
// worker stuck in a call out keeps its lock until that worker has ended.
TEST_F(DatabaseNotifyTest, ModuleStaysLockedUntilTheWorkersHaveEnded)
{
    CComPtr<CCountingSite> site = CCountingSite::New();
    ConnectAndHold(site->AsUnknown(), none);
    const LONG locked = ModuleLockCount();
    notify.Release();
    CScopedHandle releasing(CreateThread(nullptr, 0, &ReleaseOnThisThread, static_cast<IUnknown*>(engine.Detach()), 0, nullptr));
    ASSERT_TRUE(releasing.IsValid());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(releasing.Get(), 300));
    EXPECT_EQ(locked, ModuleLockCount()) << "unlocked while its worker still runs";
    Resume();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(releasing.Get(), kWaitMs));
    EXPECT_LT(ModuleLockCount(), locked);
}
