#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include "standins/ContentDatabase.h"
#include "tests/host/PluginDbNotifyTestSupport.h"
#include "tests/support/TempFolder.h"

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
            ++queries;
            siteQueries += asksForSite ? 1 : 0;
        }
        if (!asksForSite || m_withSite)
            return CManagerSite::InternalQueryInterface(iid, out);
        *out = nullptr;
        return E_NOINTERFACE;
    }

    // What Connect passes: the object's identity, as the manager hands it.
    IUnknown* AsUnknown() { return static_cast<ILumMgrPluginSite*>(this); }

    std::atomic<LONG> siteQueries{0};
    std::atomic<LONG> queries{0};

private:
    bool m_withSite = true;
    DWORD m_thread = 0;
};

// The database-notify interface of an object the class factory made, with the stand-in content
// database the notification worker connects to and a delay-queue folder of the test's own.
class DatabaseNotifyTest : public PluginDbNotifyTest
{
protected:
    void SetUp() override
    {
        PluginDbNotifyTest::SetUp();
        m_database = CContentDatabase::Create();
        ASSERT_EQ(S_OK, m_database->Register());
    }

    // A new plug-in object in place of the case's, with its database-notify interface.
    void Recreate() override
    {
        notify.Release();
        PluginDbNotifyTest::Recreate();
        ASSERT_EQ(S_OK, engine->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify)));
        Notify().SetDelayQueueFolder(CString(m_folder.Path().c_str()));
    }

    void TearDown() override
    {
        Database().Reset();
        notify.Release();
        recorder.Release();
        engine.Release();
        m_database->Revoke();
        EXPECT_TRUE(m_database->WaitNotificationsIdle(kTestWaitMs));
        // The workers closed their connections when the object went.
        EXPECT_EQ(0, m_database->LiveConnections());
        m_database.reset();
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
        ASSERT_TRUE(Database().WaitStalled(CdbMethod::SetClientInfo, 1, kTestWaitMs));
    }
    void Resume() { Database().Release(CdbMethod::SetClientInfo); }

    // Queues a request as the worker does, delayed so that it stays queued for the whole case:
    // one waiting for its file (hand-off, a path) or a notification not resolved yet (an item id).
    void QueueDelayed(LONG type, const wchar_t* text)
    {
        auto item = std::make_unique<Notify::CProcessItem>(type);
        if (type == Notify::kItemHandOff)
            item->SetPath(CString(text));
        else
            item->itemId.Reset(SysAllocString(text));
        ASSERT_EQ(S_OK, Notify().QueueItem(std::move(item), true, false));
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

    // The site the next Start hands the search worker.
    ILumMgrPluginSite* SiteOfNextStart()
    {
        EXPECT_EQ(S_OK, engine->Start(0x00040000, nullptr, none));
        const std::vector<CRequestRecorder::CEntry> taken = Taken();
        EXPECT_FALSE(taken.empty());
        return taken.empty() ? nullptr : taken[0].site;
    }

    CComPtr<ILumMgrPluginDatabaseNotify2> notify;

private:
    CTempFolder m_folder{L"lum-dbnotify"};
    std::shared_ptr<CContentDatabase> m_database;
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
    } rows[] = {{VT_UI4, 0, false}, {VT_UI4, 1, true}, {VT_UI4, 0xFFFFFFFE, false}, {VT_I4, 0, true}};
    CComPtr<CCountingSite> site = CCountingSite::New();
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "type " << row.type << " value " << row.value);
        Recreate();
        VARIANT option;
        V_VT(&option) = row.type;
        V_UI4(&option) = row.value;  // a VT_I4 shares the storage
        ConnectAndHold(site->AsUnknown(), option);
        // A change notification for one video item, as the database delivers it.
        LPCWSTR ids[] = {L"item-1"};
        LONG classes[] = {300};
        LONG kinds[] = {Notify::kChangeAddedOrChanged};
        Notify().OnNotify(1, ids, classes, kinds, 0);
        EXPECT_EQ(row.accepts ? 1u : 0u, PendingCount());
        Resume();
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
    const LONG byMarshalling = first->siteQueries.load();
    CComPtr<ILumMgrPluginSite> unmarshalled;
    ASSERT_EQ(S_OK, CoGetInterfaceAndReleaseStream(stream, IID_ILumMgrPluginSite, reinterpret_cast<void**>(&unmarshalled)));
    unmarshalled.Release();

    LONG before = first->siteQueries.load();
    ConnectAndHold(first->AsUnknown(), none);
    EXPECT_EQ(1 + byMarshalling, first->siteQueries.load() - before);

    // The worker is held inside the first connect: the next ones wait in its queue.
    before = first->siteQueries.load();
    EXPECT_EQ(S_OK, notify->Connect(first->AsUnknown(), none));
    EXPECT_EQ(byMarshalling, first->siteQueries.load() - before);
    EXPECT_EQ(1u, QueuedConnectItems());

    before = second->siteQueries.load();
    EXPECT_EQ(S_OK, notify->Connect(second->AsUnknown(), none));
    EXPECT_EQ(1 + byMarshalling, second->siteQueries.load() - before);
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
    EXPECT_EQ(1, lacking->siteQueries.load());
    EXPECT_EQ(1, lacking->queries.load());
    EXPECT_EQ(nullptr, SiteOfNextStart());
}

// A worker that refuses the item: Connect and Disconnect answer the queueing result, and the site
// marshalled for the refused item is let go (TearDown checks that no site is left alive).
TEST_F(DatabaseNotifyTest, RefusedQueueingIsAnsweredAndReleasesTheMarshalledSite)
{
    CComPtr<CCountingSite> site = CCountingSite::New();
    ASSERT_TRUE(Notify().StopThread(kTestWaitMs));
    // Stopped: the stop request is still standing.
    EXPECT_EQ(E_ABORT, notify->Connect(site->AsUnknown(), none));
    EXPECT_EQ(E_ABORT, notify->Disconnect(none));
    // The refused connects still kept the site: the engine hands it on.
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site.Get()), SiteOfNextStart());
}

// Neither a null site nor Disconnect touches the site the object keeps; the engine hands it on.
TEST_F(DatabaseNotifyTest, NullSiteAndDisconnectKeepTheSite)
{
    CComPtr<CCountingSite> site = CCountingSite::New();
    ConnectAndHold(site->AsUnknown(), none);
    Resume();
    EXPECT_EQ(E_POINTER, notify->Connect(nullptr, none));
    EXPECT_EQ(S_OK, notify->Disconnect(none));
    EXPECT_EQ(static_cast<ILumMgrPluginSite*>(site.Get()), SiteOfNextStart());
}

TEST_F(DatabaseNotifyTest, FixedAnswers)
{
    VARIANT_BOOL flag = VARIANT_TRUE;
    EXPECT_EQ(S_OK, notify->GetNotifyFlag(&flag));
    EXPECT_EQ(VARIANT_FALSE, flag);
    EXPECT_EQ(E_NOTIMPL, notify->SetInterval(1000));
    ULONG milliseconds = 0;
    EXPECT_EQ(S_OK, notify->GetInterval(&milliseconds));
    EXPECT_EQ(120000u, milliseconds);
}

// The pending-request questions go to the worker's queue, and a withdrawal (in any letter case) is
// reported to the subscribed sinks at once, on the calling thread.
TEST_F(DatabaseNotifyTest, PendingRequestsAreTheWorkersQueue)
{
    QueueDelayed(Notify::kItemHandOff, L"C:\\A\\x.mp4");
    QueueDelayed(Notify::kItemChanged, L"item-7");
    QueueDelayed(Notify::kItemHandOff, L"C:\\B\\y.mp4");
    CScopedVariant page;
    ASSERT_EQ(S_OK, notify->GetPendingItems(1, 5, page.Get()));
    ASSERT_EQ(VT_ARRAY | VT_BSTR, V_VT(page.Get()));
    LONG lower = -1;
    LONG upper = -1;
    SafeArrayGetLBound(V_ARRAY(page.Get()), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(page.Get()), 1, &upper);
    EXPECT_EQ(0, lower);
    ASSERT_EQ(1, upper);
    LONG index = 1;
    CScopedBstr text;
    ASSERT_EQ(S_OK, SafeArrayGetElement(V_ARRAY(page.Get()), &index, text.Receive()));
    EXPECT_STREQ(L"C:\\B\\y.mp4", text.Get());
    CScopedVariant pastTheEnd;
    EXPECT_EQ(S_FALSE, notify->GetPendingItems(3, 1, pastTheEnd.Get()));

    CComPtr<CQueueEventsSink> sink = Subscribe();
    // Nothing has been reported yet: the items were queued without a report.
    EXPECT_EQ(0u, PendingCount());
    CScopedBstr other(SysAllocString(L"c:\\a\\X.MP4"));
    EXPECT_EQ(S_OK, notify->CancelPending(other.Get()));
    EXPECT_EQ(S_FALSE, notify->CancelPending(other.Get()));
    EXPECT_EQ(2u, PendingCount());
    ASSERT_EQ(1u, sink->Events().Count());
    EXPECT_EQ(2u, sink->Events().Calls()[0].value);
    EXPECT_EQ(GetCurrentThreadId(), sink->Events().Calls()[0].threadId);
}

// The module stays locked while code of the object runs: the release that waits for a notification
// worker stuck in a call out keeps its lock until that worker has ended.
TEST_F(DatabaseNotifyTest, ModuleStaysLockedUntilTheWorkersHaveEnded)
{
    CComPtr<CCountingSite> site = CCountingSite::New();
    ConnectAndHold(site->AsUnknown(), none);
    const LONG locked = ModuleLockCount();
    notify.Release();
    IUnknown* last = engine.Detach();
    CTestThread releasing([last] { last->Release(); });  // as a manager thread would
    EXPECT_FALSE(releasing.Join(300));
    EXPECT_EQ(locked, ModuleLockCount()) << "unlocked while its worker still runs";
    Resume();
    ASSERT_TRUE(releasing.Join());
    EXPECT_LT(ModuleLockCount(), locked);
}
