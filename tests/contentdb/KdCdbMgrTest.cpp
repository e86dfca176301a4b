// The content database connection against the stand-in database.
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "com/ComObject.h"
#include "common/HResult.h"
#include "common/Scoped.h"
#include "contentdb/KdCdbMgr.h"
#include "contentdb/KdCdbMgrEvents.h"
#include "standins/ContentDbConnection.h"
#include "standins/ContentDbQuery.h"
#include "tests/support/ContentDbFixture.h"

namespace
{
constexpr DWORD kWaitMs = kTestWaitMs;
const wchar_t kClient[] = L"LumSiftDbNotifyWex";

// A listener that records what it hears as "id/class/kind", and runs `whileCalled` inside each call.
class CTestListener : public IKdCdbMgrEvents
{
public:
    LONG STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                    LONG_PTR) override
    {
        {
            CLockGuard guard(m_lock);
            ++m_calls;
            for (LONG i = 0; i < count; ++i)
                m_changes.push_back(std::wstring(itemIds[i]) + L"/" + std::to_wstring(itemClasses[i]) + L"/" +
                                    std::to_wstring(changeKinds[i]));
        }
        entered.Set();
        if (whileCalled)
            whileCalled();
        finished.Set();
        return 0;
    }

    std::vector<std::wstring> Changes()
    {
        CLockGuard guard(m_lock);
        return m_changes;
    }
    int Calls()
    {
        CLockGuard guard(m_lock);
        return m_calls;
    }

    std::function<void()> whileCalled;
    CTestEvent entered;
    CTestEvent finished;

private:
    CCriticalSection m_lock{LockRank::Outside};
    std::vector<std::wstring> m_changes;
    int m_calls = 0;
};

using KdCdbMgrTest = ContentDbTest;
using Strings = std::vector<std::wstring>;

// Walks the videos as a search run does: one result at a time, waiting between two results while
// paused. E_ABORT when a stop or abort ends it; `visited` counts the results read.
HRESULT WalkVideos(CKdCdbMgr& mgr, LONG* visited)
{
    CLockGuard walk(mgr.ConnectionLock());
    LONG props[] = {-1};
    LONG count = 0;
    HRESULT result = mgr.Search(L"-2 = \"300\"", 1, props, &count);
    for (LONG i = 0; SUCCEEDED(result) && i < count; ++i)
    {
        CScopedBstr id;
        mgr.GetValue(-1, id.Receive());
        ++*visited;
        if (FAILED(mgr.MoveNext()))
            break;
        if (!mgr.WaitRunnable(INFINITE))
            result = E_ABORT;
    }
    return result;
}
}  // namespace

// ---- Opening and closing --------------------------------------------------------------------

TEST_F(KdCdbMgrTest, OpenReadsServerInfoAndDatabaseNames)
{
    m_db->SetServerText(L"Server 7");
    m_db->SetVersionText(L"2.1.5");
    m_db->SetDatabaseNames({L"Media", L"Other"});
    CKdCdbMgr mgr;
    EXPECT_FALSE(mgr.IsConnected());
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 300000));  // notifications off and staying off
    EXPECT_TRUE(mgr.IsConnected());
    EXPECT_EQ(CString(L"Server 7"), mgr.GetServerText());
    EXPECT_EQ(0x00020105u, mgr.GetServerVersion());
    EXPECT_EQ(CString(kClient), mgr.GetClientName());
    const std::vector<CString> names = mgr.GetDatabaseNames();
    EXPECT_EQ((Strings{L"Media", L"Other"}), Strings(names.begin(), names.end()));
    EXPECT_EQ((std::vector<LONG>{0x11, 0}), LastCall(CdbMethod::Open).numbers);
    EXPECT_EQ((std::vector<LONG>{1}), LastCall(CdbMethod::SetClientInfo).numbers);
    EXPECT_EQ(kClient, LastCall(CdbMethod::SetClientInfo).text);
    EXPECT_EQ(0u, m_db->SinkCount());
    EXPECT_EQ(1, m_db->LiveConnections());
    ASSERT_EQ(S_OK, mgr.Search(L"-1 exists true", 0, nullptr, nullptr));
    EXPECT_EQ(L"Media", LastCall(CdbMethod::Search).database);

    EXPECT_EQ(S_OK, mgr.Close());
    EXPECT_FALSE(mgr.IsConnected());
    EXPECT_EQ(0u, mgr.GetServerVersion());
    EXPECT_TRUE(mgr.GetServerText().IsEmpty());
    EXPECT_TRUE(mgr.GetClientName().IsEmpty());
    EXPECT_TRUE(mgr.GetDatabaseNames().empty());
    EXPECT_EQ(0, m_db->LiveConnections());
    EXPECT_EQ(S_OK, mgr.Close());  // not connected: nothing to close
    EXPECT_EQ(1, Count(CdbMethod::Close));
}

TEST_F(KdCdbMgrTest, ServerVersionTexts)
{
    const struct
    {
        const wchar_t* text;
        DWORD version;
    } cases[] = {
        {L"2.1.5", 0x00020105}, {L"3.0", 0x00030000},   {L"1,2,3", 0x00010203},  {L"10.0.0.7", 0x000A0000},
        {L"", 0},               {nullptr, 0},            {L"3", 0x00030000},      {L".5", 0x00050000},
        {L"3..1", 0x00030100},  {L"0x10.010.9", 0x00100809}, {L"256.1.1", 0x00000101}, {L"3.1beta.2", 0x00030102},
        {L"abc", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.version, CKdCdbMgr::ParseServerVersion(c.text)) << (c.text ? c.text : L"<null>");
}

TEST_F(KdCdbMgrTest, OpenWithNotificationsRegistersASinkUntilSwitchedOff)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    EXPECT_EQ(1u, m_db->SinkCount());
    EXPECT_EQ((std::vector<LONG>{1}), LastCall(CdbMethod::SetNotificationSink).numbers);
    EXPECT_EQ(S_FALSE, mgr.EnableNotifications(true));
    EXPECT_EQ(1, Count(CdbMethod::SetNotificationSink));

    CTestListener listener;
    mgr.AddListener(&listener);
    EXPECT_EQ(S_OK, mgr.EnableNotifications(false));
    EXPECT_EQ(0u, m_db->SinkCount());
    EXPECT_EQ((std::vector<LONG>{0}), LastCall(CdbMethod::SetNotificationSink).numbers);
    EXPECT_FALSE(mgr.IsListener(&listener));  // switching off empties the listeners
    EXPECT_EQ(S_FALSE, mgr.EnableNotifications(false));

    // The registration's own answer does not change the result of switching on.
    Control().FailNext(CdbMethod::SetNotificationSink, E_FAIL);
    EXPECT_EQ(S_OK, mgr.EnableNotifications(true));
    // Switching off answers what the database said.
    Control().FailNext(CdbMethod::SetNotificationSink, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, mgr.EnableNotifications(false));
    EXPECT_EQ(S_FALSE, mgr.EnableNotifications(false));
}

TEST_F(KdCdbMgrTest, OpenWhileConnectedOnlyResendsTheClientName)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, L"First", 1000));
    ASSERT_EQ(S_OK, mgr.Open(true, L"Second", 1000));
    EXPECT_EQ(1, Count(CdbMethod::Open));
    EXPECT_EQ(1, m_db->LiveConnections());
    EXPECT_EQ(2, Count(CdbMethod::SetClientInfo));
    EXPECT_EQ(L"Second", LastCall(CdbMethod::SetClientInfo).text);
    EXPECT_EQ(CString(L"Second"), mgr.GetClientName());
    EXPECT_EQ(1u, m_db->SinkCount());
    EXPECT_EQ(S_FALSE, mgr.Open(true, L"Second", 1000));  // the sink already exists
    EXPECT_EQ(S_OK, mgr.Open(false, L"Second", 1000));    // switched off
    EXPECT_EQ(0u, m_db->SinkCount());
    EXPECT_EQ(1, Count(CdbMethod::GetDatabaseNames));
}


TEST_F(KdCdbMgrTest, BusyShorterThanTheTimeOutSucceedsOnALaterTry)
{
    SetThreadExecutionState(ES_CONTINUOUS);
    m_db->SetBusyFor(350);
    CKdCdbMgr mgr;
    const DWORD start = GetTickCount();
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 10000));
    EXPECT_GE(GetTickCount() - start, 300u);
    EXPECT_TRUE(mgr.IsConnected());
    // Tries are paced about 100 ms apart, not made in a tight loop.
    EXPECT_GE(Count(CdbMethod::Open), 2);
    EXPECT_LE(Count(CdbMethod::Open), 12);
    // The keep-awake request ends with the open.
    EXPECT_EQ(static_cast<EXECUTION_STATE>(ES_CONTINUOUS), SetThreadExecutionState(ES_CONTINUOUS));
}

// Retries of a busy database would hold the owner's thread for minutes: the owner's abort event
// (set before or during the retries) and the wrapper's own end them at once, with nothing left
// open and the keep-awake request withdrawn.
TEST_F(KdCdbMgrTest, AStopOrAbortEndsTheRetriesOfABusyOpen)
{
    const struct
    {
        const char* what;
        bool ownerEvent;
        DWORD signalAfterMs;
    } cases[] = {{"owner's abort, signalled before", true, 0},
                 {"owner's abort, signalled during", true, 200},
                 {"the wrapper's own, signalled during", false, 200}};
    m_db->SetBusyFor(600000);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        SetThreadExecutionState(ES_CONTINUOUS);
        CTestEvent abort(c.signalAfterMs == 0);
        CKdCdbMgr mgr;
        if (c.ownerEvent)
        {
            ASSERT_TRUE(mgr.SetAbortEvent(abort.Get()));
        }
        const HANDLE signal = c.ownerEvent ? abort.Get() : mgr.EnsureAbortEvent();
        DWORD signalled = GetTickCount();
        CTestThread signaller([&] {
            Sleep(c.signalAfterMs);  // the retries go on meanwhile
            signalled = GetTickCount();
            SetEvent(signal);
        });
        EXPECT_EQ(E_ABORT, mgr.Open(false, kClient, 300000));
        EXPECT_LT(GetTickCount() - signalled, 1000u);
        EXPECT_FALSE(mgr.IsConnected());
        EXPECT_EQ(0, m_db->LiveConnections());
        EXPECT_EQ(static_cast<EXECUTION_STATE>(ES_CONTINUOUS), SetThreadExecutionState(ES_CONTINUOUS));
    }
    EXPECT_EQ(0, Count(CdbMethod::Close));  // nothing was opened
}

TEST_F(KdCdbMgrTest, BusyLongerThanTheTimeOutFailsAndLeavesNothingBehind)
{
    m_db->SetBusyFor(60000);
    CKdCdbMgr mgr;
    const DWORD start = GetTickCount();
    EXPECT_EQ(kHrCdbBusy, mgr.Open(false, kClient, 500));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 450u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_GE(Count(CdbMethod::Open), 3);
    EXPECT_LE(Count(CdbMethod::Open), 12);
    EXPECT_FALSE(mgr.IsConnected());
    EXPECT_EQ(0, Count(CdbMethod::Close));  // nothing was opened
    EXPECT_EQ(kHrNotConnected, mgr.MoveNext());
}

TEST_F(KdCdbMgrTest, FailuresWhileOpeningLeaveItDisconnected)
{
    const struct
    {
        CdbMethod method;
        HRESULT failure;
        HRESULT expected;
        LONG closes;  // whether the database was asked to close
    } cases[] = {
        {CdbMethod::Open, E_ACCESSDENIED, E_ACCESSDENIED, 0},
        {CdbMethod::SetClientInfo, E_FAIL, E_FAIL, 1},
        {CdbMethod::GetServerInfo, E_UNEXPECTED, E_UNEXPECTED, 1},
        // A failed name query gives no array, which is the missing-names answer.
        {CdbMethod::GetDatabaseNames, E_OUTOFMEMORY, kHrCdbNoDatabaseNames, 1},
    };
    for (const auto& c : cases)
    {
        Control().ClearCalls();
        Control().FailNext(c.method, c.failure);
        CKdCdbMgr mgr;
        EXPECT_EQ(c.expected, mgr.Open(true, kClient, 1000)) << static_cast<int>(c.method);
        EXPECT_FALSE(mgr.IsConnected());
        EXPECT_EQ(0u, mgr.GetServerVersion());
        EXPECT_EQ(c.closes, Count(CdbMethod::Close)) << static_cast<int>(c.method);
        EXPECT_EQ(0, Count(CdbMethod::SetNotificationSink));
        EXPECT_EQ(0, m_db->LiveConnections());
        // A later open works.
        EXPECT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    }
    m_db->Revoke();
    CKdCdbMgr mgr;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, mgr.Open(true, kClient, 1000));
    EXPECT_FALSE(mgr.IsConnected());
}

TEST_F(KdCdbMgrTest, OpenNeedsADatabaseName)
{
    const struct
    {
        std::vector<const wchar_t*> names;
        HRESULT expected;
        const wchar_t* searched;
    } cases[] = {
        {{}, kHrCdbNoDatabaseNames, nullptr},
        {{nullptr}, kHrCdbNoDatabaseNames, nullptr},
        {{nullptr, L"Second"}, S_FALSE, L"Second"},
    };
    for (const auto& c : cases)
    {
        m_db->SetDatabaseNames(c.names);
        CKdCdbMgr mgr;
        EXPECT_EQ(c.expected, mgr.Open(false, kClient, 1000));
        EXPECT_EQ(c.searched != nullptr, mgr.IsConnected());
        if (c.searched)
        {
            EXPECT_EQ(S_OK, mgr.Search(L"-1 exists true", 0, nullptr, nullptr));
            EXPECT_EQ(c.searched, LastCall(CdbMethod::Search).database);
        }
    }
    EXPECT_EQ(0, m_db->LiveConnections());
}

TEST_F(KdCdbMgrTest, CloseOrDestructionReleasesEverything)
{
    CTestListener listener;
    const LONG locks = ModuleLockCount();
    {
        CKdCdbMgr mgr;
        ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
        mgr.AddListener(&listener);
        EXPECT_EQ(locks + 2, ModuleLockCount());  // the connection and the sink
    }
    EXPECT_EQ(1, Count(CdbMethod::Close));
    EXPECT_EQ(locks, ModuleLockCount());

    // Close answers what the database said, and lets go all the same.
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    Control().FailNext(CdbMethod::Close, E_FAIL);
    EXPECT_EQ(E_FAIL, mgr.Close());
    EXPECT_FALSE(mgr.IsConnected());
    EXPECT_EQ(0u, m_db->SinkCount());
    EXPECT_EQ(0, m_db->LiveConnections());
}

// ---- Argument checks ------------------------------------------------------------------------

TEST_F(KdCdbMgrTest, EveryCallNeedsAConnectionAndPassesOnTheDatabasesFailure)
{
    Items().AddItem(L"a", 300, {{500, L"C:\\a.vdq"}});
    CKdCdbMgr mgr;
    CScopedBstr id(SysAllocString(L"a"));
    CScopedBstr value;
    LONG classes[] = {100};
    std::vector<BSTR> values{id.Get()};
    BSTR raw = id.Get();
    KdCdbPropValue record{0xAF, 1, &raw};
    std::vector<CString> a{CString(L"kept")}, b, keys{CString(L"k")};
    std::vector<CKdCdbItemGroup> groups;
    const struct
    {
        CdbMethod first;  // the database call it starts with
        std::function<HRESULT()> call;
    } calls[] = {
        {CdbMethod::Search, [&] { return mgr.Search(L"-1 exists true", 0, nullptr, nullptr); }},
        {CdbMethod::SelectItem, [&] { return mgr.SelectItem(id.Get(), 0, nullptr, nullptr); }},
        {CdbMethod::SearchRelated, [&] { return mgr.SearchRelated(id.Get(), 0, nullptr, nullptr); }},
        {CdbMethod::SearchRelatedByClass, [&] { return mgr.SearchRelatedByClass(id.Get(), 1, classes, 0, nullptr, nullptr); }},
        {CdbMethod::SelectItem, [&] { return mgr.ItemExists(L"a"); }},
        {CdbMethod::DeleteItem, [&] { return mgr.DeleteItem(L"a"); }},
        {CdbMethod::MoveNext, [&] { return mgr.MoveNext(); }},
        {CdbMethod::GetValue, [&] { return mgr.GetValue(-1, value.Receive()); }},
        {CdbMethod::SelectItem, [&] { return mgr.GetItemValue(L"a", -1, value.Receive()); }},
        {CdbMethod::SelectItem, [&] { return mgr.GetItemPath(L"a", value.Receive()); }},
        {CdbMethod::SetValues, [&] { return mgr.SetValue(L"a", 0xAF, L"1"); }},
        {CdbMethod::SetValues, [&] { return mgr.SetValueList(L"a", {0xAF}, &values); }},
        {CdbMethod::SetValues, [&] { return mgr.SetValuesRaw(id.Get(), 0, nullptr, 1, &record); }},
        // The lookups.
        {CdbMethod::Search, [&] { return mgr.FindItemByPath(L"C:\\a.vdq", 0, nullptr, 300); }},
        {CdbMethod::Search, [&] { return mgr.ListContainerGroups(&groups); }},
        {CdbMethod::SelectItem, [&] { return mgr.GetItemFiles(L"a", &a); }},
        {CdbMethod::Search, [&] { return mgr.FindDerivedItems(L"a", &a, &b, &b); }},
        {CdbMethod::Search, [&] { return mgr.ListDerivationSources(&a, &b); }},
        {CdbMethod::Search, [&] { return mgr.FindEmptyContainers(&a, &b); }},
        {CdbMethod::Search, [&] { return mgr.FindEmptyContainersByKey(&keys, &a, &b); }},
        {CdbMethod::Search, [&] { return mgr.FindEmptyCollections(&a, &b); }},
        {CdbMethod::Search, [&] { return mgr.RemoveFromCollections(L"a", &a, &b); }},
        {CdbMethod::Search, [&] { return mgr.FindItemsWithMissingFile(&a, -1); }},
        {CdbMethod::Search, [&] { return mgr.DeleteItemWithDependents(L"a", true, true); }},
    };
    for (size_t i = 0; i < std::size(calls); ++i)
        EXPECT_EQ(kHrNotConnected, calls[i].call()) << "call " << i;
    EXPECT_TRUE(a.empty());  // outputs are emptied whatever the outcome
    EXPECT_EQ(HResultFromWin32(ERROR_NOT_READY), mgr.EnableNotifications(true));
    EXPECT_EQ(S_FALSE, mgr.EnableNotifications(false));
    EXPECT_EQ(S_OK, mgr.Close());
    EXPECT_EQ(0, m_db->LiveConnections());

    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    const HRESULT failure = static_cast<HRESULT>(0x80042777);
    for (size_t i = 0; i < std::size(calls); ++i)
    {
        Control().FailNext(calls[i].first, failure);
        EXPECT_EQ(failure, calls[i].call()) << "call " << i;
    }
    EXPECT_EQ(1u, Items().Count());
}

TEST_F(KdCdbMgrTest, MissingArgumentsAndBlankIdsAreRefusedWithoutCallingTheDatabase)
{
    Items().AddItem(L"a", 300);
    Items().AddItem(L"d1", 610, {{180, L"x"}});
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    Control().ClearCalls();
    CScopedBstr id(SysAllocString(L"a"));
    CScopedBstr text(SysAllocString(L"1"));
    std::vector<BSTR> oneValue{text.Get()};
    std::vector<BSTR> twoValues{text.Get(), text.Get()};
    std::vector<BSTR> noValues;
    KdCdbPropValue record{0xAF, 1, nullptr};
    BSTR out = nullptr;
    std::vector<CString> list{CString(L"untouched")}, keys;
    const struct
    {
        HRESULT expected;
        std::function<HRESULT()> call;
    } cases[] = {
        {E_POINTER, [&] { return mgr.ItemExists(nullptr); }},
        {E_POINTER, [&] { return mgr.ItemExists(L""); }},
        {E_POINTER, [&] { return mgr.DeleteItem(nullptr); }},
        {E_POINTER, [&] { return mgr.DeleteItem(L""); }},
        {E_POINTER, [&] { return mgr.GetValue(-1, nullptr); }},
        {E_POINTER, [&] { return mgr.GetItemValue(L"a", -1, nullptr); }},
        {E_POINTER, [&] { return mgr.GetItemPath(L"a", nullptr); }},
        {E_POINTER, [&] { return mgr.GetItemPath(nullptr, &out); }},
        {E_POINTER, [&] { return mgr.SetValue(nullptr, 0xAF, L"1"); }},
        {E_POINTER, [&] { return mgr.SetValueList(nullptr, {0xAF}, &oneValue); }},
        {E_OUTOFMEMORY, [&] { return mgr.SetValueList(L"a", {}, &noValues); }},
        {E_OUTOFMEMORY, [&] { return mgr.SetValueList(L"a", {0xAF}, nullptr); }},
        {E_INVALIDARG, [&] { return mgr.SetValueList(L"a", {0xAF}, &twoValues); }},
        {E_INVALIDARG, [&] { return mgr.SetValueList(L"a", {0xAF, 0xB0}, &noValues); }},
        {E_POINTER, [&] { return mgr.SetValuesRaw(nullptr, 0, nullptr, 1, &record); }},
        {E_POINTER, [&] { return mgr.SetValuesRaw(id.Get(), 1, nullptr, 0, nullptr); }},
        {E_POINTER, [&] { return mgr.SetValuesRaw(id.Get(), 0, nullptr, 1, nullptr); }},
        // The lookups.
        {E_POINTER, [&] { return mgr.FindItemByPath(nullptr, 0, nullptr, 300); }},
        {E_POINTER, [&] { return mgr.ListContainerGroups(nullptr); }},
        {E_POINTER, [&] { return mgr.GetItemFiles(nullptr, &list); }},
        {E_POINTER, [&] { return mgr.GetItemFiles(L"", &list); }},
        {E_POINTER, [&] { return mgr.GetItemFiles(L"a", nullptr); }},
        {E_POINTER, [&] { return mgr.FindDerivedItems(nullptr, &list); }},
        {E_POINTER, [&] { return mgr.FindDerivedItems(L"", &list); }},
        {E_POINTER, [&] { return mgr.FindDerivedItems(L"a", nullptr, &list, &list); }},
        {E_POINTER, [&] { return mgr.ListDerivationSources(nullptr, &list); }},
        {E_POINTER, [&] { return mgr.ListDerivationSources(&list, nullptr); }},
        {E_POINTER, [&] { return mgr.FindEmptyContainers(nullptr, &list); }},
        {E_POINTER, [&] { return mgr.FindEmptyContainersByKey(nullptr, &list, &list); }},
        {E_POINTER, [&] { return mgr.FindEmptyContainersByKey(&keys, nullptr, &list); }},
        {E_POINTER, [&] { return mgr.FindEmptyCollections(nullptr, &list); }},
        {E_POINTER, [&] { return mgr.RemoveFromCollections(nullptr, &list); }},
        {E_POINTER, [&] { return mgr.RemoveFromCollections(L"", &list); }},
        {E_POINTER, [&] { return mgr.RemoveFromCollections(L"a", nullptr); }},
        {E_POINTER, [&] { return mgr.FindItemsWithMissingFile(nullptr, -1); }},
        {E_POINTER, [&] { return mgr.DeleteItemWithDependents(nullptr, true, true); }},
        {E_POINTER, [&] { return mgr.DeleteItemWithDependents(L"", true, true); }},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].expected, cases[i].call()) << "case " << i;
    EXPECT_EQ(std::vector<CString>{CString(L"untouched")}, list);
    EXPECT_TRUE(Control().Calls().empty());
    EXPECT_EQ(2u, Items().Count());
}

// ---- Searches and walks ---------------------------------------------------------------------

TEST_F(KdCdbMgrTest, SearchAddsTheClassFilterInFrontOfTheQuery)
{
    Items().AddItem(L"v", 300, {{500, L"C:\\v.mpg"}});
    Items().AddItem(L"i", 200, {{500, L"C:\\i.jpg"}});
    Items().AddItem(L"a", 100);
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    const struct
    {
        LONG itemClass;
        const wchar_t* sent;
        LONG found;
    } cases[] = {
        {-1, L"500 exists true", 2},
        {0, L"-2 = \"0\" and 500 exists true", 0},
        {300, L"-2 = \"300\" and 500 exists true", 1},
    };
    LONG props[] = {-1, 500};
    for (const auto& c : cases)
    {
        LONG found = -1;
        EXPECT_EQ(S_OK, mgr.Search(L"500 exists true", 2, props, &found, c.itemClass, 7, 8, 9));
        const CdbCall call = LastCall(CdbMethod::Search);
        EXPECT_EQ(c.sent, call.text);
        EXPECT_EQ(c.found, found) << c.itemClass;
        EXPECT_EQ((std::vector<LONG>{-1, 500}), call.numbers);
        EXPECT_EQ((std::vector<ULONG>{7, 8, 9}), call.options);
    }

    // The last search found "v" alone; past the end the database's failure comes through.
    CScopedBstr value;
    ASSERT_EQ(S_OK, mgr.GetValue(500, value.Receive()));
    EXPECT_STREQ(L"C:\\v.mpg", value.Get());
    EXPECT_TRUE(SUCCEEDED(mgr.MoveNext()));
    EXPECT_TRUE(FAILED(mgr.MoveNext()));
    EXPECT_TRUE(FAILED(mgr.GetValue(-1, value.Receive())));
    EXPECT_EQ(nullptr, value.Get());
    // A failing search leaves the count at 0.
    LONG found = -1;
    EXPECT_EQ(kHrCdbQuerySyntax, mgr.Search(L"500 exists", 0, nullptr, &found));
    EXPECT_EQ(0, found);
}


TEST_F(KdCdbMgrTest, SelectAndRelatedSearchesStoreTheirCounts)
{
    CContentDbCatalogue& catalogue = Items();
    catalogue.AddItem(L"box", 600);
    catalogue.AddItem(L"m1", 612);
    catalogue.AddItem(L"m2", 300);
    catalogue.SetMembers(L"box", {L"m1", L"m2"});
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    CScopedBstr box(SysAllocString(L"box"));
    LONG props[] = {-1, -2};
    LONG classes[] = {612};
    LONG found = -1;
    EXPECT_EQ(S_OK, mgr.SelectItem(box.Get(), 2, props, &found));
    EXPECT_EQ(1, found);
    EXPECT_EQ(S_OK, mgr.SearchRelated(box.Get(), 2, props, &found));
    EXPECT_EQ(2, found);
    EXPECT_EQ(S_OK, mgr.SearchRelatedByClass(box.Get(), 1, classes, 2, props, &found));
    EXPECT_EQ(1, found);
    EXPECT_EQ((std::vector<LONG>{612}), LastCall(CdbMethod::SearchRelatedByClass).classes);
    CScopedBstr id;
    ASSERT_EQ(S_OK, mgr.GetValue(-1, id.Receive()));
    EXPECT_STREQ(L"m1", id.Get());
    CScopedBstr nothing(SysAllocString(L"nothing"));
    found = -1;
    EXPECT_EQ(kHrCdbNoSuchItem, mgr.SearchRelated(nothing.Get(), 2, props, &found));
    EXPECT_EQ(-1, found);  // stored only on success
}

TEST_F(KdCdbMgrTest, ItemExistsAnswersSFalseForAMissingItem)
{
    Items().AddItem(L"a", 300);
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    EXPECT_EQ(S_OK, mgr.ItemExists(L"a"));
    EXPECT_TRUE(LastCall(CdbMethod::SelectItem).numbers.empty());
    EXPECT_EQ(S_FALSE, mgr.ItemExists(L"b"));
    Control().FailNext(CdbMethod::SelectItem, kHrCdbNoSuchItem);
    EXPECT_EQ(S_FALSE, mgr.ItemExists(L"a"));
    Control().FailNext(CdbMethod::SelectItem, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, mgr.ItemExists(L"a"));
}

TEST_F(KdCdbMgrTest, ItemValuesAndPaths)
{
    Items().AddItem(L"a", 300, {{0x01F4, L"C:\\Media\\a.mpg"}});
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    CScopedBstr value;
    EXPECT_EQ(S_OK, mgr.GetItemPath(L"a", value.Receive()));
    EXPECT_STREQ(L"C:\\Media\\a.mpg", value.Get());
    EXPECT_EQ((std::vector<LONG>{0x01F4}), LastCall(CdbMethod::SelectItem).numbers);
    EXPECT_EQ(S_OK, mgr.GetItemValue(L"a", 0x68, value.Receive()));
    EXPECT_EQ(nullptr, value.Get());
    EXPECT_EQ(S_OK, mgr.GetItemValue(L"a", -2, value.Receive()));
    EXPECT_STREQ(L"300", value.Get());
    // No item: no current result to read.
    EXPECT_TRUE(FAILED(mgr.GetItemPath(L"b", value.Receive())));
    EXPECT_EQ(nullptr, value.Get());
    // A failed selection is not read past.
    Control().FailNext(CdbMethod::SelectItem, E_ACCESSDENIED);
    const LONG reads = Count(CdbMethod::GetValue);
    EXPECT_EQ(E_ACCESSDENIED, mgr.GetItemPath(L"a", value.Receive()));
    EXPECT_EQ(reads, Count(CdbMethod::GetValue));
}

TEST_F(KdCdbMgrTest, WritesGoToTheSecondListOfSetValues)
{
    Items().AddItem(L"a", 300, {{0xAF, L"1"}});
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    EXPECT_EQ(S_OK, mgr.SetValue(L"a", 0xAF, L"-5"));
    CdbCall call = LastCall(CdbMethod::SetValues);
    EXPECT_EQ(L"a", call.text);
    EXPECT_EQ((std::vector<LONG>{0xAF}), call.numbers);
    EXPECT_EQ((std::vector<std::wstring>{L"-5"}), call.values);
    EXPECT_EQ(L"-5", *Items().Find(L"a")->FindProperty(0xAF));

    CScopedBstr one(SysAllocString(L"11"));
    CScopedBstr two(SysAllocString(L"22"));
    std::vector<BSTR> values{one.Get(), two.Get()};
    EXPECT_EQ(S_OK, mgr.SetValueList(L"a", {0xB0, 0xB1}, &values));
    call = LastCall(CdbMethod::SetValues);
    EXPECT_EQ((std::vector<LONG>{0xB0, 0xB1}), call.numbers);
    EXPECT_EQ((std::vector<std::wstring>{L"11", L"22"}), call.values);
    EXPECT_EQ(one.Get(), values[0]);  // the caller's BSTRs are left alone
    EXPECT_STREQ(L"11", one.Get());
    EXPECT_EQ(L"22", *Items().Find(L"a")->FindProperty(0xB1));

    CScopedBstr id(SysAllocString(L"a"));
    BSTR raw = two.Get();
    KdCdbPropValue record{0xB2, 1, &raw};
    EXPECT_EQ(S_OK, mgr.SetValuesRaw(id.Get(), 0, nullptr, 1, &record));
    EXPECT_EQ(L"22", *Items().Find(L"a")->FindProperty(0xB2));

    EXPECT_EQ(kHrCdbNoSuchItem, mgr.SetValue(L"zz", 0xAF, L"1"));
    EXPECT_EQ(kHrCdbNoSuchItem, mgr.DeleteItem(L"zz"));
    EXPECT_EQ(S_OK, mgr.DeleteItem(L"a"));
    EXPECT_EQ(nullptr, Items().Find(L"a"));
}

TEST_F(KdCdbMgrTest, APendingAbortTurnsReadsAndWritesIntoEAbort)
{
    Items().AddItem(L"a", 300, {{0x01F4, L"C:\\a.mpg"}});
    CTestEvent abort;
    CKdCdbMgr mgr;
    ASSERT_TRUE(mgr.SetAbortEvent(abort.Get()));
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    abort.Set();
    CScopedBstr value;
    EXPECT_EQ(E_ABORT, mgr.GetItemPath(L"a", value.Receive()));
    EXPECT_EQ(E_ABORT, mgr.GetItemValue(L"a", -1, value.Receive()));
    EXPECT_EQ(E_ABORT, mgr.SetValue(L"a", 0xAF, L"2"));
    std::vector<BSTR> values{value.Get()};
    EXPECT_EQ(E_ABORT, mgr.SetValueList(L"a", {0xB0}, &values));
    // The writes were made all the same; the answer only tells the caller to stop.
    EXPECT_EQ(L"2", *Items().Find(L"a")->FindProperty(0xAF));
    // Plain calls are not affected.
    EXPECT_EQ(S_OK, mgr.ItemExists(L"a"));
    EXPECT_EQ(S_OK, mgr.Search(L"-1 exists true", 0, nullptr, nullptr));
}

// ---- Run and abort events -------------------------------------------------------------------

TEST_F(KdCdbMgrTest, RunAndAbortChecks)
{
    CKdCdbMgr mgr;
    EXPECT_FALSE(mgr.IsAborted(0));
    EXPECT_TRUE(mgr.WaitRunnable(0));
    EXPECT_TRUE(mgr.WaitRunnable(INFINITE));  // without a run event nothing is waited for

    DWORD start = GetTickCount();
    EXPECT_FALSE(mgr.IsAborted(100));
    EXPECT_GE(GetTickCount() - start, 80u);

    CTestEvent run;
    ASSERT_TRUE(mgr.SetRunEvent(run.Get()));
    EXPECT_TRUE(mgr.WaitRunnable(0));  // paused, but a zero-time check does not wait
    start = GetTickCount();
    EXPECT_TRUE(mgr.WaitRunnable(100));  // the time ran out without a stop
    EXPECT_GE(GetTickCount() - start, 80u);
    run.Set();
    EXPECT_TRUE(mgr.WaitRunnable(INFINITE));

    // The wrapper holds duplicates: the owner may close its handles.
    CTestEvent abort;
    HANDLE given = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), abort.Get(), GetCurrentProcess(), &given, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(mgr.SetAbortEvent(given));
    CloseHandle(given);
    abort.Set();
    EXPECT_TRUE(mgr.IsAborted(0));
    EXPECT_FALSE(mgr.WaitRunnable(0));
    EXPECT_FALSE(mgr.WaitRunnable(INFINITE));  // a stop wins over a signalled run event

    ASSERT_TRUE(mgr.SetAbortEvent(nullptr));
    EXPECT_FALSE(mgr.IsAborted(0));
    // The wrapper's own abort event, the same for its whole life.
    HANDLE own = mgr.EnsureAbortEvent();
    ASSERT_NE(nullptr, own);
    EXPECT_EQ(own, mgr.EnsureAbortEvent());
    EXPECT_FALSE(mgr.IsAborted(0));
    SetEvent(own);
    EXPECT_TRUE(mgr.IsAborted(0));
    EXPECT_FALSE(mgr.WaitRunnable(INFINITE));

    EXPECT_FALSE(mgr.SetRunEvent(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0))));
}

// Stop requests from another thread race a paused walk whose owner keeps replacing its events: the
// request reaches the walk every time, and no check waits on a handle closed under it.
TEST_F(KdCdbMgrTest, StopRequestsRaceAPausedWalkWhoseEventsAreReplaced)
{
    for (int i = 0; i < 30; ++i)
        Items().AddItem(L"item" + std::to_wstring(i), 300);
    for (int round = 0; round < 20; ++round)
    {
        SCOPED_TRACE(testing::Message() << "round " << round);
        CKdCdbMgr mgr;
        ASSERT_TRUE(SUCCEEDED(mgr.Open(false, L"walker", kWaitMs)));
        CTestEvent run(true);
        ASSERT_TRUE(mgr.SetRunEvent(run.Get()));
        HRESULT result = E_FAIL;
        LONG visited = 0;
        Control().Stall(CdbMethod::MoveNext);
        CTestThread walker([&] { result = WalkVideos(mgr, &visited); });
        // Paused after its first result, the walk waits on the events it was given.
        ASSERT_TRUE(Control().WaitStalled(CdbMethod::MoveNext, 1, kWaitMs));
        run.Reset();
        Control().Release(CdbMethod::MoveNext);
        for (int step = 0; step <= round; ++step)
        {
            CTestEvent newRun;  // reset: the walk stays paused
            CTestEvent newAbort;
            mgr.SetRunEvent(newRun.Get());
            mgr.SetAbortEvent(newAbort.Get());
            if (step % 4 == 3)
                Sleep(1);  // lets the walker run between replacements; nothing waits on it
        }
        SetEvent(mgr.EnsureAbortEvent());
        ASSERT_TRUE(walker.Join(kWaitMs)) << "the stop request did not reach the walk";
        EXPECT_EQ(E_ABORT, result);
    }
}

// ---- Notifications and listeners ------------------------------------------------------------

// ---- Notifications and listeners ------------------------------------------------------------

TEST_F(KdCdbMgrTest, ListenersHearEveryChangeUntilRemoved)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    CTestListener first;
    CTestListener second;
    EXPECT_FALSE(mgr.AddListener(&first));
    EXPECT_TRUE(mgr.AddListener(&first));
    EXPECT_FALSE(mgr.AddListener(&second));
    EXPECT_TRUE(mgr.IsListener(&first));

    m_db->SetNotifyBatchSize(2);
    Items().AddItem(L"a", 300);
    Items().AddItem(L"b", 200);
    Items().RemoveItem(L"a");
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ((Strings{L"a/300/1", L"b/200/1", L"a/300/2"}), first.Changes());
    EXPECT_EQ(2, first.Calls());  // registered once, called once per batch
    EXPECT_EQ(3u, second.Changes().size());

    mgr.RemoveListener(&first);
    EXPECT_FALSE(mgr.IsListener(&first));
    Items().AddItem(L"c", 100);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ(3u, first.Changes().size());
    EXPECT_EQ(4u, second.Changes().size());

    mgr.RemoveListener(nullptr);
    EXPECT_FALSE(mgr.IsListener(&second));
}

TEST_F(KdCdbMgrTest, ARemovedListenerGetsNoCallEvenWhileAnotherIsBeingCalled)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    CTestListener blocking;
    CTestListener removed;
    volatile LONG removalReturned = 0;
    volatile LONG callsAfterRemoval = 0;
    removed.whileCalled = [&] {
        if (InterlockedCompareExchange(&removalReturned, 0, 0))
            InterlockedIncrement(&callsAfterRemoval);
    };
    mgr.AddListener(&blocking);
    mgr.AddListener(&removed);

    CTestEvent proceed;
    blocking.whileCalled = [&] { proceed.Wait(); };
    Items().AddItem(L"a", 300);
    ASSERT_TRUE(blocking.entered.Wait(kWaitMs));
    // The delivery has copied the listener list and is inside the first listener.
    CTestThread remover([&] {
        mgr.RemoveListener(&removed);
        InterlockedExchange(&removalReturned, 1);
    });
    // Removal waits for the call in progress; whether it gets in before the second listener's turn
    // or not, the second listener must not be called once it has returned.
    remover.Join(300);
    proceed.Set();
    ASSERT_TRUE(remover.Join(kWaitMs));
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    Items().AddItem(L"b", 300);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ(0, callsAfterRemoval);
    EXPECT_EQ(2, blocking.Calls());
    EXPECT_LE(removed.Calls(), 1);
}

TEST_F(KdCdbMgrTest, AListenerMayRemoveItselfDuringItsCall)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    CTestListener listener;
    listener.whileCalled = [&] { mgr.RemoveListener(&listener); };
    mgr.AddListener(&listener);
    Items().AddItem(L"a", 300);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    Items().AddItem(L"b", 300);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ(1, listener.Calls());
}

TEST_F(KdCdbMgrTest, SwitchingNotificationsOffWaitsForTheCallInProgress)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    CTestListener listener;
    mgr.AddListener(&listener);
    CTestEvent proceed;
    listener.whileCalled = [&] { proceed.Wait(); };
    Items().AddItem(L"a", 300);
    ASSERT_TRUE(listener.entered.Wait(kWaitMs));

    CTestEvent never;
    CTestThread releaser([&] {
        never.Wait(200);  // let the owner reach the sink's lock first
        proceed.Set();
    });
    EXPECT_EQ(S_OK, mgr.EnableNotifications(false));
    EXPECT_TRUE(listener.finished.Wait(0));  // the call ended before switching off did
    ASSERT_TRUE(releaser.Join(kWaitMs));

    Items().AddItem(L"b", 300);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ(1, listener.Calls());
    EXPECT_EQ(0u, m_db->SinkCount());
}

// ---- The sink on its own --------------------------------------------------------------------

TEST_F(KdCdbMgrTest, TheSinkForwardsToItsOwnerUntilDetached)
{
    const LONG locks = ModuleLockCount();
    CComObject<CKdCdbMgrEvents>* sink = nullptr;
    ASSERT_EQ(S_OK, CComObject<CKdCdbMgrEvents>::CreateInstance(&sink));
    sink->AddRef();
    EXPECT_EQ(locks + 1, ModuleLockCount());
    IUnknown* other = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IKdCdbManager, reinterpret_cast<void**>(&other)));
    EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&other)));

    CTestListener owner;
    sink->SetOwner(&owner);
    LPCWSTR ids[] = {L"a", L"b"};
    LONG classes[] = {300, 650};
    LONG kinds[] = {1, 2};
    EXPECT_EQ(S_OK, sink->OnNotify(2, ids, classes, kinds, 77));
    EXPECT_EQ((Strings{L"a/300/1", L"b/650/2"}), owner.Changes());

    // Detaching waits for a call in progress; later calls reach nobody.
    CTestEvent proceed;
    owner.whileCalled = [&] { proceed.Wait(); };
    owner.entered.Reset();
    CTestThread caller([&] { sink->OnNotify(2, ids, classes, kinds, 78); });
    ASSERT_TRUE(owner.entered.Wait(kWaitMs));
    owner.finished.Reset();
    CTestThread releaser([&] {
        CTestEvent().Wait(200);  // let the detach reach the owner lock first
        proceed.Set();
    });
    sink->SetOwner(nullptr);
    EXPECT_TRUE(owner.finished.Wait(0));
    ASSERT_TRUE(caller.Join(kWaitMs));
    EXPECT_EQ(S_OK, sink->OnNotify(2, ids, classes, kinds, 79));
    EXPECT_EQ(2, owner.Calls());

    sink->Release();
    EXPECT_EQ(locks, ModuleLockCount());
}
