// The stand-in content database through its COM interface: registration, result sets, relations,
// writes, notifications, fault injection and stalls.
#include <gtest/gtest.h>
#include <objbase.h>
#include <string>
#include <vector>
#include "com/ComObject.h"
#include "com/ModuleLock.h"
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "standins/ContentDatabase.h"
#include "standins/ContentDbConnection.h"
#include "standins/ContentDbQuery.h"
#include "tests/support/TestSync.h"

namespace
{
constexpr DWORD kWaitMs = kTestWaitMs;

// Records the notifications it receives.
class CRecordingSink : public CComObjectRootEx, public IKdCdbNotification
{
public:
    struct Change
    {
        std::wstring id;
        LONG itemClass;
        LONG kind;
    };

    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        return QueryInterfaceFrom(iid, out, {{&IID_IKdCdbNotification, static_cast<IKdCdbNotification*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                       LONG_PTR) override
    {
        CLockGuard guard(m_lock);
        m_batchSizes.push_back(count);
        m_threads.push_back(GetCurrentThreadId());
        for (LONG i = 0; i < count; ++i)
            m_changes.push_back({itemIds[i], itemClasses[i], changeKinds[i]});
        return S_OK;
    }

    std::vector<Change> Changes()
    {
        CLockGuard guard(m_lock);
        return m_changes;
    }
    std::vector<LONG> BatchSizes()
    {
        CLockGuard guard(m_lock);
        return m_batchSizes;
    }
    std::vector<DWORD> Threads()
    {
        CLockGuard guard(m_lock);
        return m_threads;
    }

private:
    CCriticalSection m_lock;
    std::vector<Change> m_changes;
    std::vector<LONG> m_batchSizes;
    std::vector<DWORD> m_threads;
};

class ContentDbStandinTest : public ::testing::Test
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
        m_connection.Release();
        m_db->Control().Reset();
        m_db->Revoke();
        EXPECT_EQ(0, m_db->LiveConnections());
        EXPECT_EQ(0, CContentDbConnection::LiveCount());
        m_db.reset();
        EXPECT_EQ(m_locksBefore, ModuleLockCount());
        CoUninitialize();
    }

    // A new open connection in m_connection, made the way the plug-in makes it.
    void Connect()
    {
        EXPECT_EQ(S_OK, CoCreateInstance(CLSID_KdCdbManager, nullptr, 0x17, IID_IKdCdbManager,
                                         reinterpret_cast<void**>(&m_connection)));
        if (m_connection)
        {
            EXPECT_EQ(S_OK, m_connection->Open(kCdbOpenFlags, 0, nullptr));
        }
    }

    HRESULT Search(const wchar_t* query, std::vector<LONG> props, LONG* count)
    {
        CScopedBstr name(SysAllocString(L"Main"));
        CScopedBstr text(SysAllocString(query));
        ULONG ignored = 0;
        return m_connection->Search(name.Get(), text.Get(), 0, 0, 0, static_cast<ULONG>(props.size()), props.data(), 0,
                                    0, 0, 0, &ignored, count);
    }

    // The current result's value; L"<none>" for no value, L"<failed>" for a failure.
    std::wstring Value(LONG propId)
    {
        LONG count = -1;
        CScopedBstr value;
        const HRESULT hr = m_connection->GetValue(propId, 0, &count, value.Receive());
        if (FAILED(hr))
            return L"<failed>";
        if (count == 0)
        {
            EXPECT_EQ(nullptr, value.Get());
            return L"<none>";
        }
        return std::wstring(value.Get(), value.Length());
    }

    // The ids of the current result set, walked to its end.
    std::vector<std::wstring> WalkIds(LONG count)
    {
        std::vector<std::wstring> ids;
        for (LONG i = 0; i < count; ++i)
        {
            ids.push_back(Value(-1));
            const HRESULT hr = m_connection->MoveNext();
            EXPECT_EQ(i + 1 < count ? S_OK : S_FALSE, hr);
        }
        return ids;
    }

    LONG m_locksBefore = 0;
    std::shared_ptr<CContentDatabase> m_db;
    CComPtr<IKdCdbManager> m_connection;
};
}  // namespace

TEST_F(ContentDbStandinTest, RegisteredClassGivesFreeThreadedConnections)
{
    Connect();
    ASSERT_TRUE(m_connection);
    EXPECT_EQ(1, m_db->LiveConnections());
    CComPtr<IUnknown> marshal;
    EXPECT_EQ(S_OK, m_connection->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)));
    marshal.Release();

    // Marshalled to another thread of the process, it stays the same object.
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IKdCdbManager, m_connection, &stream));
    HRESULT hr = E_FAIL;
    IKdCdbManager* seen = nullptr;
    CTestThread other(
        [&] {
            IKdCdbManager* unmarshalled = nullptr;
            hr = CoGetInterfaceAndReleaseStream(stream, IID_IKdCdbManager, reinterpret_cast<void**>(&unmarshalled));
            seen = unmarshalled;
            if (unmarshalled)
                unmarshalled->Release();
        },
        COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(other.Join(kWaitMs));
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(m_connection.Get(), seen);

    m_connection.Release();
    EXPECT_EQ(0, m_db->LiveConnections());
}

TEST_F(ContentDbStandinTest, CallsBeforeOpenFail)
{
    ASSERT_EQ(S_OK, m_db->CreateConnection(&m_connection));
    LONG count = -1;
    EXPECT_EQ(kHrCdbNotOpen, Search(L"-2 = \"300\"", {}, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(kHrCdbNotOpen, m_connection->MoveNext());
    EXPECT_EQ(S_OK, m_connection->Open(kCdbOpenFlags, 0, nullptr));
    EXPECT_EQ(S_OK, Search(L"-2 = \"300\"", {}, &count));
    EXPECT_EQ(S_OK, m_connection->Close());
    EXPECT_EQ(kHrCdbNotOpen, Search(L"-2 = \"300\"", {}, &count));
}

TEST_F(ContentDbStandinTest, SearchWalksItsResultSet)
{
    m_db->Catalogue().AddItem(L"a", 300, {{500, L"C:\\a.mpg"}});
    m_db->Catalogue().AddItem(L"b", 200, {{500, L"C:\\b.jpg"}});
    m_db->Catalogue().AddItem(L"c", 300);
    Connect();

    LONG count = -1;
    ASSERT_EQ(S_OK, Search(L"-2 = \"300\"", {-1, -2, 500}, &count));
    ASSERT_EQ(2, count);
    EXPECT_EQ(L"a", Value(-1));
    EXPECT_EQ(L"300", Value(-2));
    EXPECT_EQ(L"C:\\a.mpg", Value(500));
    EXPECT_EQ(S_OK, m_connection->MoveNext());
    EXPECT_EQ(L"c", Value(-1));
    EXPECT_EQ(L"<none>", Value(500));
    EXPECT_EQ(L"<failed>", Value(0x68));  // not asked for
    EXPECT_EQ(S_FALSE, m_connection->MoveNext());
    EXPECT_EQ(kHrCdbNoCurrentRow, m_connection->MoveNext());
    EXPECT_EQ(L"<failed>", Value(-1));

    // A search that finds nothing leaves no current result.
    ASSERT_EQ(S_OK, Search(L"-2 = \"100\"", {-1}, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(kHrCdbNoCurrentRow, m_connection->MoveNext());

    // Reading what the search did not list is allowed once strictness is off.
    m_db->SetStrictFetch(false);
    ASSERT_EQ(S_OK, Search(L"-1 = \"b\"", {-1}, &count));
    EXPECT_EQ(L"C:\\b.jpg", Value(500));
}

TEST_F(ContentDbStandinTest, SearchFailuresLeaveNoResultSet)
{
    m_db->Catalogue().AddItem(L"a", 300);
    Connect();
    LONG count = -1;
    ASSERT_EQ(S_OK, Search(L"-2 = \"300\"", {-1}, &count));
    EXPECT_EQ(kHrCdbQuerySyntax, Search(L"-2 = \"300\" and", {-1}, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(L"<failed>", Value(-1));

    CScopedBstr other(SysAllocString(L"Other"));
    CScopedBstr text(SysAllocString(L"-2 = \"300\""));
    ULONG ignored = 0;
    LONG props[] = {-1};
    EXPECT_EQ(kHrCdbUnknownDatabase,
              m_connection->Search(other.Get(), text.Get(), 0, 0, 0, 1, props, 0, 0, 0, 0, &ignored, &count));
    EXPECT_EQ(E_POINTER, m_connection->Search(other.Get(), text.Get(), 0, 0, 0, 1, props, 0, 0, 0, 0, &ignored, nullptr));
    EXPECT_EQ(E_POINTER, m_connection->Search(other.Get(), text.Get(), 0, 0, 0, 1, nullptr, 0, 0, 0, 0, &ignored, &count));
}

TEST_F(ContentDbStandinTest, SelectItemSelectsOneOrNone)
{
    m_db->Catalogue().AddItem(L"a", 300, {{500, L"C:\\a.mpg"}});
    Connect();
    CScopedBstr id(SysAllocString(L"a"));
    LONG props[] = {500};
    LONG count = -1;
    ASSERT_EQ(S_OK, m_connection->SelectItem(id.Get(), 0, 1, props, &count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(L"C:\\a.mpg", Value(500));
    CScopedBstr missing(SysAllocString(L"zz"));
    ASSERT_EQ(S_OK, m_connection->SelectItem(missing.Get(), 0, 1, props, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(L"<failed>", Value(500));
    EXPECT_EQ(S_OK, m_connection->SelectItem(nullptr, 0, 0, nullptr, &count));
    EXPECT_EQ(0, count);
}

TEST_F(ContentDbStandinTest, RelationsOfContainersAndCollections)
{
    CContentDbCatalogue& catalogue = m_db->Catalogue();
    catalogue.AddItem(L"box", 600);
    catalogue.AddItem(L"m1", 612);
    catalogue.AddItem(L"m2", 300);
    catalogue.AddItem(L"col", 650, {{0x0207, L"m2;;gone;box"}});
    catalogue.AddItem(L"lonely", 700);
    catalogue.SetMembers(L"box", {L"m1", L"m2", L"gone"});
    Connect();

    auto related = [&](const wchar_t* id, std::vector<LONG> classes, LONG* count) {
        CScopedBstr text(SysAllocString(id));
        LONG props[] = {-1, -2};
        ULONG ignored = 0;
        if (classes.empty())
            return m_connection->SearchRelated(text.Get(), 0, 0, 0, 0, 0, 2, props, 0, 0, 0, &ignored, count);
        return m_connection->SearchRelatedByClass(text.Get(), static_cast<ULONG>(classes.size()), classes.data(), 0, 0,
                                                  0, 0, 2, props, 0, 0, 0, &ignored, count);
    };

    LONG count = -1;
    ASSERT_EQ(S_OK, related(L"box", {}, &count));
    EXPECT_EQ((std::vector<std::wstring>{L"m1", L"m2"}), WalkIds(count));
    ASSERT_EQ(S_OK, related(L"box", {612}, &count));
    EXPECT_EQ((std::vector<std::wstring>{L"m1"}), WalkIds(count));
    ASSERT_EQ(S_OK, related(L"col", {}, &count));
    EXPECT_EQ((std::vector<std::wstring>{L"m2", L"box"}), WalkIds(count));
    ASSERT_EQ(S_OK, related(L"col", {100, 650, 700}, &count));
    EXPECT_EQ(0, count);
    ASSERT_EQ(S_OK, related(L"lonely", {}, &count));
    EXPECT_EQ(0, count);
    ASSERT_EQ(S_OK, related(L"m2", {}, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(kHrCdbNoSuchItem, related(L"nothing", {}, &count));

    // Members follow the catalogue.
    catalogue.RemoveItem(L"m1");
    catalogue.SetProperty(L"col", 0x0207, L"box");
    ASSERT_EQ(S_OK, related(L"box", {612}, &count));
    EXPECT_EQ(0, count);
    ASSERT_EQ(S_OK, related(L"col", {}, &count));
    EXPECT_EQ((std::vector<std::wstring>{L"box"}), WalkIds(count));
}

TEST_F(ContentDbStandinTest, WritesAndDeletesChangeTheCatalogue)
{
    m_db->Catalogue().AddItem(L"a", 300, {{0xAF, L"1"}, {0xB0, L"7"}});
    Connect();
    CScopedBstr id(SysAllocString(L"a"));
    BSTR values[] = {SysAllocString(L"-5"), SysAllocString(L"")};
    KdCdbPropValue records[] = {{0xAF, 1, &values[0]}, {0xB0, 1, &values[1]}};
    EXPECT_EQ(S_OK, m_connection->SetValues(id.Get(), 0, nullptr, 2, records));
    ContentDbItemPtr item = m_db->Catalogue().Find(L"a");
    ASSERT_TRUE(item);
    EXPECT_EQ(L"-5", *item->FindProperty(0xAF));
    EXPECT_EQ(nullptr, item->FindProperty(0xB0));  // an empty text removes the value

    KdCdbPropValue pseudo[] = {{-2, 1, values}};
    EXPECT_EQ(E_INVALIDARG, m_connection->SetValues(id.Get(), 0, nullptr, 1, pseudo));
    EXPECT_EQ(E_POINTER, m_connection->SetValues(id.Get(), 0, nullptr, 1, nullptr));
    KdCdbPropValue noValues[] = {{0xAF, 1, nullptr}};
    EXPECT_EQ(E_POINTER, m_connection->SetValues(id.Get(), 0, nullptr, 1, noValues));
    CScopedBstr missing(SysAllocString(L"zz"));
    EXPECT_EQ(kHrCdbNoSuchItem, m_connection->SetValues(missing.Get(), 0, nullptr, 0, nullptr));

    EXPECT_EQ(kHrCdbNoSuchItem, m_connection->DeleteItem(missing.Get()));
    EXPECT_EQ(S_OK, m_connection->DeleteItem(id.Get()));
    EXPECT_EQ(nullptr, m_db->Catalogue().Find(L"a"));
    EXPECT_EQ(0u, m_db->Catalogue().Count());
    for (BSTR value : values)
        SysFreeString(value);
}

TEST_F(ContentDbStandinTest, ServerInfoAndDatabaseNamesAreConfigurable)
{
    m_db->SetServerText(L"Server X");
    m_db->SetVersionText(L"2.5.1");
    m_db->SetDatabaseNames({L"One", nullptr, L"Two"});
    Connect();
    CScopedBstr text;
    EXPECT_EQ(S_OK, m_connection->GetServerInfo(1, text.Receive()));
    EXPECT_STREQ(L"Server X", text.Get());
    EXPECT_EQ(S_OK, m_connection->GetServerInfo(2, text.Receive()));
    EXPECT_STREQ(L"2.5.1", text.Get());
    EXPECT_EQ(E_INVALIDARG, m_connection->GetServerInfo(3, text.Receive()));
    EXPECT_EQ(E_POINTER, m_connection->GetServerInfo(1, nullptr));

    LONG count = 0;
    BSTR* names = nullptr;
    ASSERT_EQ(S_OK, m_connection->GetDatabaseNames(&count, &names));
    ASSERT_EQ(3, count);
    ASSERT_NE(nullptr, names);
    EXPECT_STREQ(L"One", names[0]);
    EXPECT_EQ(nullptr, names[1]);
    EXPECT_STREQ(L"Two", names[2]);
    for (LONG i = 0; i < count; ++i)
        SysFreeString(names[i]);
    CoTaskMemFree(names);

    m_db->SetDatabaseNames({});
    names = reinterpret_cast<BSTR*>(1);
    ASSERT_EQ(S_OK, m_connection->GetDatabaseNames(&count, &names));
    EXPECT_EQ(0, count);
    EXPECT_EQ(nullptr, names);
}

TEST_F(ContentDbStandinTest, OpenAnswersBusyForTheGivenTime)
{
    ASSERT_EQ(S_OK, m_db->CreateConnection(&m_connection));
    m_db->SetBusyFor(300);
    const DWORD start = GetTickCount();
    HRESULT hr = kHrCdbBusy;
    int tries = 0;
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (hr == kHrCdbBusy && GetTickCount() - start < kWaitMs)
    {
        hr = m_connection->Open(kCdbOpenFlags, 0, nullptr);
        ++tries;
        if (hr == kHrCdbBusy)
            WaitForSingleObject(never, 20);
    }
    CloseHandle(never);
    EXPECT_EQ(S_OK, hr);
    EXPECT_GT(tries, 1);
    EXPECT_GE(GetTickCount() - start, 250u);
}

TEST_F(ContentDbStandinTest, NotificationsComeFromTheDatabaseThreadInBatches)
{
    Connect();
    CComObject<CRecordingSink>* sink = nullptr;
    ASSERT_EQ(S_OK, CComObject<CRecordingSink>::CreateInstance(&sink));
    CComPtr<IKdCdbNotification> sinkRef(sink);
    m_db->SetNotifyBatchSize(2);

    m_db->Catalogue().AddItem(L"before", 300);  // no sink yet: not kept
    EXPECT_EQ(E_NOINTERFACE, m_connection->SetNotificationSink(IID_IUnknown, sinkRef));
    ASSERT_EQ(S_OK, m_connection->SetNotificationSink(IID_IKdCdbNotification, sinkRef));
    EXPECT_EQ(1u, m_db->SinkCount());

    CContentDbCatalogue& catalogue = m_db->Catalogue();
    catalogue.AddItem(L"a", 300);
    catalogue.AddItem(L"b", 200);
    catalogue.SetProperty(L"a", 500, L"C:\\a.mpg");
    catalogue.RemoveItem(L"b");
    CScopedBstr id(SysAllocString(L"a"));
    ASSERT_EQ(S_OK, m_connection->DeleteItem(id.Get()));
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));

    const auto changes = sink->Changes();
    ASSERT_EQ(5u, changes.size());
    const struct
    {
        const wchar_t* id;
        LONG itemClass;
        LONG kind;
    } expected[] = {{L"a", 300, 1}, {L"b", 200, 1}, {L"a", 300, 1}, {L"b", 200, 2}, {L"a", 300, 2}};
    for (size_t i = 0; i < changes.size(); ++i)
    {
        EXPECT_EQ(expected[i].id, changes[i].id) << i;
        EXPECT_EQ(expected[i].itemClass, changes[i].itemClass) << i;
        EXPECT_EQ(expected[i].kind, changes[i].kind) << i;
    }
    for (LONG size : sink->BatchSizes())
        EXPECT_LE(size, 2);
    for (DWORD thread : sink->Threads())
        EXPECT_NE(GetCurrentThreadId(), thread);

    // Unregistered, the sink hears nothing more and is released.
    ASSERT_EQ(S_OK, m_connection->SetNotificationSink(IID_IKdCdbNotification, nullptr));
    EXPECT_EQ(0u, m_db->SinkCount());
    catalogue.AddItem(L"c", 100);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ(5u, sink->Changes().size());
}

TEST_F(ContentDbStandinTest, ReleasingAConnectionUnregistersItsSink)
{
    Connect();
    CComObject<CRecordingSink>* sink = nullptr;
    ASSERT_EQ(S_OK, CComObject<CRecordingSink>::CreateInstance(&sink));
    CComPtr<IKdCdbNotification> sinkRef(sink);
    ASSERT_EQ(S_OK, m_connection->SetNotificationSink(IID_IKdCdbNotification, sinkRef));
    m_connection.Release();
    EXPECT_EQ(0u, m_db->SinkCount());
}

TEST_F(ContentDbStandinTest, InjectedFailuresLastForTheGivenCalls)
{
    m_db->Catalogue().AddItem(L"a", 300);
    Connect();
    m_db->Control().FailNext(CdbMethod::Search, E_ACCESSDENIED, 2);
    LONG count = -1;
    EXPECT_EQ(E_ACCESSDENIED, Search(L"-2 = \"300\"", {-1}, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(E_ACCESSDENIED, Search(L"-2 = \"300\"", {-1}, &count));
    EXPECT_EQ(S_OK, Search(L"-2 = \"300\"", {-1}, &count));
    EXPECT_EQ(1, count);

    m_db->Control().FailNext(CdbMethod::GetValue, E_UNEXPECTED, CContentDbControl::kAlways);
    EXPECT_EQ(L"<failed>", Value(-1));
    EXPECT_EQ(L"<failed>", Value(-1));
    m_db->Control().FailNext(CdbMethod::GetValue, S_OK);
    EXPECT_EQ(L"a", Value(-1));
    EXPECT_EQ(3, m_db->Control().CallCount(CdbMethod::GetValue));
}

TEST_F(ContentDbStandinTest, StalledSearchWaitsForRelease)
{
    m_db->Catalogue().AddItem(L"a", 300);
    Connect();
    m_db->Control().Stall(CdbMethod::Search);

    HRESULT hr = E_FAIL;
    LONG count = -1;
    CTestThread searcher([&] {
        CScopedBstr name(SysAllocString(L"Main"));
        CScopedBstr text(SysAllocString(L"-2 = \"300\""));
        ULONG ignored = 0;
        hr = m_connection->Search(name.Get(), text.Get(), 0, 0, 0, 0, nullptr, 0, 0, 0, 0, &ignored, &count);
    });
    ASSERT_TRUE(m_db->Control().WaitStalled(CdbMethod::Search, 1, kWaitMs));
    EXPECT_FALSE(searcher.Join(100));
    // Stalling again right after the release holds later calls only: the one already let go
    // must not be caught by the new stall.
    m_db->Control().Release(CdbMethod::Search);
    m_db->Control().Stall(CdbMethod::Search);
    ASSERT_TRUE(searcher.Join(kWaitMs));
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1, count);
    m_db->Control().Release(CdbMethod::Search);
}

TEST_F(ContentDbStandinTest, RecordsCallsWithTheirArguments)
{
    Connect();
    m_db->Control().ClearCalls();
    LONG count = 0;
    ASSERT_EQ(S_OK, Search(L"-1 exists true", {-1, 500}, &count));
    CScopedBstr id(SysAllocString(L"a"));
    m_connection->DeleteItem(id.Get());
    const auto calls = m_db->Control().Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(CdbMethod::Search, calls[0].method);
    EXPECT_EQ(L"-1 exists true", calls[0].text);
    EXPECT_EQ(L"Main", calls[0].database);
    EXPECT_EQ((std::vector<LONG>{-1, 500}), calls[0].numbers);
    EXPECT_EQ(CdbMethod::DeleteItem, calls[1].method);
    EXPECT_EQ(L"a", calls[1].text);
    EXPECT_EQ(1, m_db->Control().CallCount(CdbMethod::DeleteItem));

    m_db->Control().SetRecording(false);
    m_connection->DeleteItem(id.Get());
    EXPECT_EQ(2u, m_db->Control().Calls().size());
    EXPECT_EQ(2, m_db->Control().CallCount(CdbMethod::DeleteItem));
}
