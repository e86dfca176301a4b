// The content database connection against the stand-in database.
#include <gtest/gtest.h>
#include <objbase.h>
#include <functional>
#include <string>
#include <vector>
#include "com/ModuleLock.h"
#include "common/HResult.h"
#include "common/Scoped.h"
#include "com/ComObject.h"
#include "contentdb/KdCdbMgr.h"
#include "contentdb/KdCdbMgrEvents.h"
#include "standins/ContentDatabase.h"
#include "standins/ContentDbConnection.h"
#include "standins/ContentDbQuery.h"
#include "tests/support/TestSync.h"

namespace
{
constexpr DWORD kWaitMs = kTestWaitMs;
const wchar_t kClient[] = L"LumSiftDbNotifyWex";

// A listener that records what it hears; optionally blocks inside the call until told to go on.
class CTestListener : public IKdCdbMgrEvents
{
public:
    struct Change
    {
        std::wstring id;
        LONG itemClass;
        LONG kind;
    };

    LONG STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                    LONG_PTR) override
    {
        {
            CLockGuard guard(m_lock);
            ++m_calls;
            if (m_afterRemoval && InterlockedCompareExchange(m_afterRemoval, 0, 0))
                ++m_callsAfterRemoval;
            for (LONG i = 0; i < count; ++i)
                m_changes.push_back({itemIds[i], itemClasses[i], changeKinds[i]});
        }
        entered.Set();
        if (m_blockOnce)
        {
            m_blockOnce = false;
            proceed.Wait(kWaitMs);
        }
        if (m_whileCalled)
            m_whileCalled();
        finished.Set();
        return 0;
    }

    void BlockNextCall() { m_blockOnce = true; }
    void WhileCalled(std::function<void()> action) { m_whileCalled = std::move(action); }
    // Calls made while *flag is non-zero count as calls after removal.
    void WatchRemoval(volatile LONG* flag) { m_afterRemoval = flag; }

    std::vector<Change> Changes()
    {
        CLockGuard guard(m_lock);
        return m_changes;
    }
    int Calls()
    {
        CLockGuard guard(m_lock);
        return m_calls;
    }
    int CallsAfterRemoval()
    {
        CLockGuard guard(m_lock);
        return m_callsAfterRemoval;
    }

    CTestEvent entered;
    CTestEvent proceed;
    CTestEvent finished;

private:
    CCriticalSection m_lock;
    std::vector<Change> m_changes;
    int m_calls = 0;
    int m_callsAfterRemoval = 0;
    volatile LONG* m_afterRemoval = nullptr;
    bool m_blockOnce = false;
    std::function<void()> m_whileCalled;
};

class KdCdbMgrTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_locksBefore = ModuleLockCount();
        m_db = CContentDatabase::Create();
        ASSERT_EQ(S_OK, m_db->Register());
    }

    void TearDown() override
    {
        m_db->Control().Reset();
        m_db->Revoke();
        EXPECT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
        EXPECT_EQ(0, m_db->LiveConnections());
        EXPECT_EQ(0u, m_db->SinkCount());
        m_db.reset();
        // Connections and notification sinks each hold a module lock while alive.
        EXPECT_EQ(m_locksBefore, ModuleLockCount());
        CoUninitialize();
    }

    CContentDbControl& Control() { return m_db->Control(); }
    LONG Count(CdbMethod method) { return Control().CallCount(method); }
    CdbCall LastCall(CdbMethod method)
    {
        const auto calls = Control().Calls(method);
        return calls.empty() ? CdbCall{} : calls.back();
    }

    LONG m_locksBefore = 0;
    std::shared_ptr<CContentDatabase> m_db;
};

std::wstring Text(BSTR text)
{
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring(L"<null>");
}

// Walks the videos as a search run does: one result at a time, waiting between two results while
// paused. E_ABORT when a stop or abort ends it; `visited` counts the results read.
HRESULT WalkVideos(CKdCdbMgr& mgr, LONG* visited, LONG* found = nullptr)
{
    CLockGuard walk(mgr.ConnectionLock());
    LONG props[] = {-1};
    LONG count = 0;
    HRESULT result = mgr.Search(L"-2 = \"300\"", 1, props, &count);
    if (found)
        *found = count;
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
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ(CString(L"Media"), names[0]);
    EXPECT_EQ(CString(L"Other"), names[1]);
    EXPECT_EQ((std::vector<LONG>{0x11, 0}), LastCall(CdbMethod::Open).numbers);
    EXPECT_EQ((std::vector<LONG>{1}), LastCall(CdbMethod::SetClientInfo).numbers);
    EXPECT_EQ(kClient, LastCall(CdbMethod::SetClientInfo).text);
    EXPECT_EQ(0u, m_db->SinkCount());
    EXPECT_EQ(1, m_db->LiveConnections());

    LONG found = -1;
    ASSERT_EQ(S_OK, mgr.Search(L"-1 exists true", 0, nullptr, &found));
    EXPECT_EQ(L"Media", LastCall(CdbMethod::Search).database);

    EXPECT_EQ(S_OK, mgr.Close());
    EXPECT_FALSE(mgr.IsConnected());
    EXPECT_EQ(0u, mgr.GetServerVersion());
    EXPECT_TRUE(mgr.GetServerText().IsEmpty());
    EXPECT_TRUE(mgr.GetClientName().IsEmpty());
    EXPECT_TRUE(mgr.GetDatabaseNames().empty());
    EXPECT_EQ(1, Count(CdbMethod::Close));
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

    m_db->SetVersionText(L"1,2,3");
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    EXPECT_EQ(0x00010203u, mgr.GetServerVersion());
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
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_TRUE(mgr.IsConnected());
    EXPECT_GE(elapsed, 300u);
    // Tries are paced about 100 ms apart, not made in a tight loop.
    EXPECT_GE(Count(CdbMethod::Open), 2);
    EXPECT_LE(Count(CdbMethod::Open), 12);
    // The keep-awake request ends with the open.
    EXPECT_EQ(static_cast<EXECUTION_STATE>(ES_CONTINUOUS), SetThreadExecutionState(ES_CONTINUOUS));
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
    EXPECT_EQ(0, m_db->LiveConnections());
    EXPECT_EQ(0, Count(CdbMethod::Close));  // nothing was opened
    EXPECT_EQ(kHrNotConnected, mgr.MoveNext());
}

TEST_F(KdCdbMgrTest, ASignalledAbortDoesNotEndTheBusyRetries)
{
    CTestEvent abort(true);
    CKdCdbMgr mgr;
    ASSERT_TRUE(mgr.SetAbortEvent(abort.Get()));
    m_db->SetBusyFor(300);
    EXPECT_EQ(S_FALSE, mgr.Open(false, kClient, 10000));
    EXPECT_TRUE(mgr.IsConnected());
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

TEST_F(KdCdbMgrTest, OpenWithoutTheDatabaseClassFails)
{
    m_db->Revoke();
    CKdCdbMgr mgr;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, mgr.Open(true, kClient, 1000));
    EXPECT_FALSE(mgr.IsConnected());
}

TEST_F(KdCdbMgrTest, CloseAnswersWhatTheDatabaseSaid)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    Control().FailNext(CdbMethod::Close, E_FAIL);
    EXPECT_EQ(E_FAIL, mgr.Close());
    EXPECT_FALSE(mgr.IsConnected());
    EXPECT_EQ(0u, m_db->SinkCount());
    EXPECT_EQ(0, m_db->LiveConnections());
}

TEST_F(KdCdbMgrTest, DestroyingAnOpenConnectionReleasesEverything)
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
    // TearDown checks that the connection and the sink are gone.
}

// ---- Argument checks ------------------------------------------------------------------------

TEST_F(KdCdbMgrTest, EveryDatabaseCallFailsWhileNotConnected)
{
    CKdCdbMgr mgr;
    CScopedBstr id(SysAllocString(L"a"));
    BSTR value = nullptr;
    LONG classes[] = {100};
    std::vector<BSTR> values{id.Get()};
    KdCdbPropValue record{0xAF, 1, &value};
    const std::function<HRESULT()> calls[] = {
        [&] { return mgr.Search(L"-1 exists true", 0, nullptr, nullptr); },
        [&] { return mgr.SelectItem(id.Get(), 0, nullptr, nullptr); },
        [&] { return mgr.SearchRelated(id.Get(), 0, nullptr, nullptr); },
        [&] { return mgr.SearchRelatedByClass(id.Get(), 1, classes, 0, nullptr, nullptr); },
        [&] { return mgr.ItemExists(L"a"); },
        [&] { return mgr.DeleteItem(L"a"); },
        [&] { return mgr.MoveNext(); },
        [&] { return mgr.GetValue(-1, &value); },
        [&] { return mgr.GetItemValue(L"a", -1, &value); },
        [&] { return mgr.GetItemPath(L"a", &value); },
        [&] { return mgr.SetValue(L"a", 0xAF, L"1"); },
        [&] { return mgr.SetValueList(L"a", {0xAF}, &values); },
        [&] { return mgr.SetValuesRaw(id.Get(), 0, nullptr, 1, &record); },
    };
    for (size_t i = 0; i < sizeof(calls) / sizeof(calls[0]); ++i)
        EXPECT_EQ(kHrNotConnected, calls[i]()) << "call " << i;
    EXPECT_EQ(HResultFromWin32(ERROR_NOT_READY), mgr.EnableNotifications(true));
    EXPECT_EQ(S_FALSE, mgr.EnableNotifications(false));
    EXPECT_EQ(S_OK, mgr.Close());
    EXPECT_EQ(0, m_db->LiveConnections());
}

TEST_F(KdCdbMgrTest, MissingArgumentsAreRefusedWithoutCallingTheDatabase)
{
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
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
        EXPECT_EQ(cases[i].expected, cases[i].call()) << "case " << i;
    EXPECT_TRUE(Control().Calls().empty());
}

// ---- Searches and walks ---------------------------------------------------------------------

TEST_F(KdCdbMgrTest, SearchAddsTheClassFilterInFrontOfTheQuery)
{
    CContentDbCatalogue& catalogue = m_db->Catalogue();
    catalogue.AddItem(L"v", 300, {{500, L"C:\\v.mpg"}});
    catalogue.AddItem(L"i", 200, {{500, L"C:\\i.jpg"}});
    catalogue.AddItem(L"a", 100);
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    const struct
    {
        LONG itemClass;
        const wchar_t* sent;
        LONG found;
    } cases[] = {
        {-1, L"500 exists true", 2},
        {300, L"-2 = \"300\" and 500 exists true", 1},
        {200, L"-2 = \"200\" and 500 exists true", 1},
        {100, L"-2 = \"100\" and 500 exists true", 0},
        {0, L"-2 = \"0\" and 500 exists true", 0},
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

    // A failing search leaves the count at 0.
    LONG found = -1;
    EXPECT_EQ(kHrCdbQuerySyntax, mgr.Search(L"500 exists", 0, nullptr, &found));
    EXPECT_EQ(0, found);
}

TEST_F(KdCdbMgrTest, WalkReadsEveryResult)
{
    CContentDbCatalogue& catalogue = m_db->Catalogue();
    catalogue.AddItem(L"a", 300, {{500, L"C:\\a.mpg"}, {0xAF, L"3"}});
    catalogue.AddItem(L"b", 300, {{500, L"C:\\b.mpg"}});
    catalogue.AddItem(L"c", 200, {{500, L"C:\\c.jpg"}});
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));

    CLockGuard walk(mgr.ConnectionLock());
    LONG props[] = {-1, 500, 0xAF};
    LONG found = 0;
    ASSERT_EQ(S_OK, mgr.Search(L"-2 = \"300\"", 3, props, &found));
    ASSERT_EQ(2, found);
    std::vector<std::wstring> rows;
    for (LONG i = 0; i < found; ++i)
    {
        CScopedBstr id;
        CScopedBstr path;
        CScopedBstr state;
        ASSERT_EQ(S_OK, mgr.GetValue(-1, id.Receive()));
        ASSERT_EQ(S_OK, mgr.GetValue(500, path.Receive()));
        ASSERT_EQ(S_OK, mgr.GetValue(0xAF, state.Receive()));
        rows.push_back(Text(id.Get()) + L"|" + Text(path.Get()) + L"|" + Text(state.Get()));
        EXPECT_TRUE(SUCCEEDED(mgr.MoveNext()));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"a|C:\\a.mpg|3", L"b|C:\\b.mpg|<null>"}), rows);
    // Past the end the database's failure comes through.
    EXPECT_TRUE(FAILED(mgr.MoveNext()));
    BSTR value = reinterpret_cast<BSTR>(1);
    EXPECT_TRUE(FAILED(mgr.GetValue(-1, &value)));
    EXPECT_EQ(nullptr, value);
}

TEST_F(KdCdbMgrTest, SelectAndRelatedSearchesStoreTheirCounts)
{
    CContentDbCatalogue& catalogue = m_db->Catalogue();
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
    m_db->Catalogue().AddItem(L"a", 300);
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
    m_db->Catalogue().AddItem(L"a", 300, {{0x01F4, L"C:\\Media\\a.mpg"}});
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
    m_db->Catalogue().AddItem(L"a", 300, {{0xAF, L"1"}});
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, kClient, 1000));
    EXPECT_EQ(S_OK, mgr.SetValue(L"a", 0xAF, L"-5"));
    CdbCall call = LastCall(CdbMethod::SetValues);
    EXPECT_EQ(L"a", call.text);
    EXPECT_EQ((std::vector<LONG>{0xAF}), call.numbers);
    EXPECT_EQ((std::vector<std::wstring>{L"-5"}), call.values);
    EXPECT_EQ(L"-5", *m_db->Catalogue().Find(L"a")->FindProperty(0xAF));

    CScopedBstr one(SysAllocString(L"11"));
    CScopedBstr two(SysAllocString(L"22"));
    std::vector<BSTR> values{one.Get(), two.Get()};
    EXPECT_EQ(S_OK, mgr.SetValueList(L"a", {0xB0, 0xB1}, &values));
    call = LastCall(CdbMethod::SetValues);
    EXPECT_EQ((std::vector<LONG>{0xB0, 0xB1}), call.numbers);
    EXPECT_EQ((std::vector<std::wstring>{L"11", L"22"}), call.values);
    EXPECT_EQ(one.Get(), values[0]);  // the caller's BSTRs are left alone
    EXPECT_STREQ(L"11", one.Get());
    EXPECT_EQ(L"22", *m_db->Catalogue().Find(L"a")->FindProperty(0xB1));

    CScopedBstr id(SysAllocString(L"a"));
    BSTR raw = two.Get();
    KdCdbPropValue record{0xB2, 1, &raw};
    EXPECT_EQ(S_OK, mgr.SetValuesRaw(id.Get(), 0, nullptr, 1, &record));
    EXPECT_EQ(L"22", *m_db->Catalogue().Find(L"a")->FindProperty(0xB2));

    EXPECT_EQ(kHrCdbNoSuchItem, mgr.SetValue(L"zz", 0xAF, L"1"));
    EXPECT_EQ(kHrCdbNoSuchItem, mgr.DeleteItem(L"zz"));
    EXPECT_EQ(S_OK, mgr.DeleteItem(L"a"));
    EXPECT_EQ(nullptr, m_db->Catalogue().Find(L"a"));
}

TEST_F(KdCdbMgrTest, APendingAbortTurnsReadsAndWritesIntoEAbort)
{
    m_db->Catalogue().AddItem(L"a", 300, {{0x01F4, L"C:\\a.mpg"}});
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
    EXPECT_EQ(L"2", *m_db->Catalogue().Find(L"a")->FindProperty(0xAF));
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

    EXPECT_FALSE(mgr.SetRunEvent(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0))));
}

TEST_F(KdCdbMgrTest, AWalkIsPausedAndAbortedFromAnotherThread)
{
    for (int i = 0; i < 20; ++i)
        m_db->Catalogue().AddItem(L"item" + std::to_wstring(i), 300);
    CTestEvent run(true);
    CTestEvent abort;
    HRESULT result = E_FAIL;
    LONG visited = 0;
    Control().Stall(CdbMethod::MoveNext);

    CTestThread walker([&] {
        CKdCdbMgr mgr;
        mgr.SetRunEvent(run.Get());
        mgr.SetAbortEvent(abort.Get());
        result = mgr.Open(false, L"walker", kWaitMs);
        if (SUCCEEDED(result))
            result = WalkVideos(mgr, &visited);
    });

    // Pause while the walker is inside its first MoveNext: it must then wait between results.
    ASSERT_TRUE(Control().WaitStalled(CdbMethod::MoveNext, 1, kWaitMs));
    run.Reset();
    Control().Release(CdbMethod::MoveNext);
    EXPECT_FALSE(walker.Join(300));
    EXPECT_EQ(1, Count(CdbMethod::GetValue));

    // Resume; abort while it is inside the next MoveNext.
    Control().Stall(CdbMethod::MoveNext);
    run.Set();
    ASSERT_TRUE(Control().WaitStalled(CdbMethod::MoveNext, 1, kWaitMs));
    abort.Set();
    Control().Release(CdbMethod::MoveNext);
    ASSERT_TRUE(walker.Join(kWaitMs));
    EXPECT_EQ(E_ABORT, result);
    EXPECT_EQ(2, visited);
    EXPECT_EQ(2, Count(CdbMethod::GetValue));
}

TEST_F(KdCdbMgrTest, AnAbortDuringAStalledSearchEndsTheWalkAtTheFirstCheck)
{
    for (int i = 0; i < 5; ++i)
        m_db->Catalogue().AddItem(L"item" + std::to_wstring(i), 300);
    HRESULT result = E_FAIL;
    LONG visited = 0;
    LONG found = 0;
    CTestEvent ready;
    CKdCdbMgr* walking = nullptr;
    Control().Stall(CdbMethod::Search);

    CTestThread walker([&] {
        CKdCdbMgr mgr;
        // Like the search worker: an abort event of the wrapper's own, signalled from outside.
        mgr.EnsureAbortEvent();
        walking = &mgr;
        result = mgr.Open(false, L"walker", kWaitMs);
        ready.Set();
        if (SUCCEEDED(result))
            result = WalkVideos(mgr, &visited, &found);
    });

    ASSERT_TRUE(ready.Wait(kWaitMs));
    ASSERT_TRUE(Control().WaitStalled(CdbMethod::Search, 1, kWaitMs));
    SetEvent(walking->EnsureAbortEvent());
    Control().Release(CdbMethod::Search);
    ASSERT_TRUE(walker.Join(kWaitMs));
    EXPECT_EQ(5, found);
    EXPECT_EQ(E_ABORT, result);
    EXPECT_EQ(1, visited);
}

// Stop requests from another thread race a paused walk whose owner keeps replacing its events: the
// request reaches the walk every time, and no check waits on a handle closed under it.
TEST_F(KdCdbMgrTest, StopRequestsRaceAPausedWalkWhoseEventsAreReplaced)
{
    for (int i = 0; i < 30; ++i)
        m_db->Catalogue().AddItem(L"item" + std::to_wstring(i), 300);
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
    m_db->Catalogue().AddItem(L"a", 300);
    m_db->Catalogue().AddItem(L"b", 200);
    m_db->Catalogue().RemoveItem(L"a");
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    const auto changes = first.Changes();
    ASSERT_EQ(3u, changes.size());
    EXPECT_EQ(L"a", changes[0].id);
    EXPECT_EQ(300, changes[0].itemClass);
    EXPECT_EQ(1, changes[0].kind);
    EXPECT_EQ(L"b", changes[1].id);
    EXPECT_EQ(200, changes[1].itemClass);
    EXPECT_EQ(L"a", changes[2].id);
    EXPECT_EQ(2, changes[2].kind);
    EXPECT_EQ(2, first.Calls());  // registered once, called once per batch
    EXPECT_EQ(3u, second.Changes().size());

    mgr.RemoveListener(&first);
    EXPECT_FALSE(mgr.IsListener(&first));
    m_db->Catalogue().AddItem(L"c", 100);
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
    removed.WatchRemoval(&removalReturned);
    mgr.AddListener(&blocking);
    mgr.AddListener(&removed);

    blocking.BlockNextCall();
    m_db->Catalogue().AddItem(L"a", 300);
    ASSERT_TRUE(blocking.entered.Wait(kWaitMs));
    // The delivery has copied the listener list and is inside the first listener.
    CTestThread remover([&] {
        mgr.RemoveListener(&removed);
        InterlockedExchange(&removalReturned, 1);
    });
    // Removal waits for the call in progress; whether it gets in before the second listener's turn
    // or not, the second listener must not be called once it has returned.
    remover.Join(300);
    blocking.proceed.Set();
    ASSERT_TRUE(remover.Join(kWaitMs));
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    m_db->Catalogue().AddItem(L"b", 300);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ(0, removed.CallsAfterRemoval());
    EXPECT_EQ(2, blocking.Calls());
    EXPECT_LE(removed.Calls(), 1);
}

TEST_F(KdCdbMgrTest, AListenerMayRemoveItselfDuringItsCall)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    CTestListener listener;
    listener.WhileCalled([&] { mgr.RemoveListener(&listener); });
    mgr.AddListener(&listener);
    m_db->Catalogue().AddItem(L"a", 300);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    m_db->Catalogue().AddItem(L"b", 300);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ(1, listener.Calls());
}

TEST_F(KdCdbMgrTest, SwitchingNotificationsOffWaitsForTheCallInProgress)
{
    CKdCdbMgr mgr;
    ASSERT_EQ(S_OK, mgr.Open(true, kClient, 1000));
    CTestListener listener;
    mgr.AddListener(&listener);
    listener.BlockNextCall();
    m_db->Catalogue().AddItem(L"a", 300);
    ASSERT_TRUE(listener.entered.Wait(kWaitMs));

    CTestEvent never;
    CTestThread releaser([&] {
        never.Wait(200);  // let the owner reach the sink's lock first
        listener.proceed.Set();
    });
    EXPECT_EQ(S_OK, mgr.EnableNotifications(false));
    EXPECT_TRUE(listener.finished.Wait(0));  // the call ended before switching off did
    ASSERT_TRUE(releaser.Join(kWaitMs));

    m_db->Catalogue().AddItem(L"b", 300);
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
    const auto changes = owner.Changes();
    ASSERT_EQ(2u, changes.size());
    EXPECT_EQ(L"b", changes[1].id);
    EXPECT_EQ(650, changes[1].itemClass);
    EXPECT_EQ(2, changes[1].kind);

    // Detaching waits for a call in progress; later calls reach nobody.
    owner.BlockNextCall();
    owner.entered.Reset();
    owner.finished.Reset();
    CTestThread caller([&] { sink->OnNotify(2, ids, classes, kinds, 78); });
    ASSERT_TRUE(owner.entered.Wait(kWaitMs));
    CTestEvent never;
    CTestThread releaser([&] {
        never.Wait(200);
        owner.proceed.Set();
    });
    sink->SetOwner(nullptr);
    EXPECT_TRUE(owner.finished.Wait(0));
    ASSERT_TRUE(caller.Join(kWaitMs));
    EXPECT_EQ(S_OK, sink->OnNotify(2, ids, classes, kinds, 79));
    EXPECT_EQ(2, owner.Calls());

    sink->Release();
    EXPECT_EQ(locks, ModuleLockCount());
}
