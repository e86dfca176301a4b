// The stand-in content database through its COM interface: registration, result sets, relations,
// writes, notifications, fault injection and stalls.
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>
#include "com/ComObject.h"
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "standins/ContentDbConnection.h"
#include "standins/ContentDbQuery.h"
#include "tests/support/ContentDbFixture.h"

namespace
{
using Strings = std::vector<std::wstring>;

// Records the notifications it receives as "id/class/kind", and the threads they came on.
class CRecordingSink : public CComObjectRootEx, public IKdCdbNotification
{
public:
    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        return QueryInterfaceFrom(iid, out, {{&IID_IKdCdbNotification, static_cast<IKdCdbNotification*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                       LONG_PTR) override
    {
        CLockGuard guard(m_lock);
        largestBatch = std::max(largestBatch, count);
        if (GetCurrentThreadId() == m_testThread)
            ++callsOnTestThread;
        for (LONG i = 0; i < count; ++i)
            changes.push_back(std::wstring(itemIds[i]) + L"/" + std::to_wstring(itemClasses[i]) + L"/" +
                              std::to_wstring(changeKinds[i]));
        return S_OK;
    }

    // Read once the database's notifications are idle.
    Strings changes;
    LONG largestBatch = 0;
    int callsOnTestThread = 0;

private:
    CCriticalSection m_lock{LockRank::Outside};
    const DWORD m_testThread = GetCurrentThreadId();
};

class ContentDbStandinTest : public ContentDbTest
{
protected:
    void TearDown() override
    {
        m_connection.Release();
        ContentDbTest::TearDown();
        EXPECT_EQ(0, CContentDbConnection::LiveCount());
    }

    // A new open connection in m_connection, made the way the plug-in makes it.
    void Connect()
    {
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KdCdbManager, nullptr, 0x17, IID_IKdCdbManager,
                                         reinterpret_cast<void**>(&m_connection)));
        ASSERT_EQ(S_OK, m_connection->Open(kCdbOpenFlags, 0, nullptr));
    }

    HRESULT Search(const wchar_t* query, std::vector<LONG> props, LONG* count, const wchar_t* database = L"Main")
    {
        CScopedBstr name(SysAllocString(database));
        CScopedBstr text(SysAllocString(query));
        ULONG ignored = 0;
        return m_connection->Search(name.Get(), text.Get(), 0, 0, 0, static_cast<ULONG>(props.size()),
                                    props.empty() ? nullptr : props.data(), 0, 0, 0, 0, &ignored, count);
    }

    // The current result's value; L"<none>" for no value, L"<failed>" for a failure.
    std::wstring Value(LONG propId)
    {
        LONG count = -1;
        CScopedBstr value;
        if (FAILED(m_connection->GetValue(propId, 0, &count, value.Receive())))
            return L"<failed>";
        if (count == 0)
            return value.Get() ? L"<stray value>" : L"<none>";
        return std::wstring(value.Get(), value.Length());
    }

    // The ids of the current result set, walked to its end.
    Strings WalkIds(LONG count)
    {
        Strings ids;
        for (LONG i = 0; i < count; ++i)
        {
            ids.push_back(Value(-1));
            EXPECT_EQ(i + 1 < count ? S_OK : S_FALSE, m_connection->MoveNext());
        }
        return ids;
    }

    CComPtr<IKdCdbManager> m_connection;
};
}  // namespace

TEST_F(ContentDbStandinTest, RegisteredClassGivesFreeThreadedConnectionsThatMustBeOpened)
{
    Connect();
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
            hr = CoGetInterfaceAndReleaseStream(stream, IID_IKdCdbManager, reinterpret_cast<void**>(&seen));
            if (seen)
                seen->Release();
        },
        COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(other.Join(kTestWaitMs));
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(m_connection.Get(), seen);

    // Closed, or not yet opened, it refuses to work.
    EXPECT_EQ(S_OK, m_connection->Close());
    LONG count = -1;
    EXPECT_EQ(kHrCdbNotOpen, Search(L"-2 = \"300\"", {}, &count));
    EXPECT_EQ(0, count);
    m_connection.Release();
    EXPECT_EQ(0, m_db->LiveConnections());
    ASSERT_EQ(S_OK, m_db->CreateConnection(&m_connection));
    EXPECT_EQ(kHrCdbNotOpen, m_connection->MoveNext());
    EXPECT_EQ(S_OK, m_connection->Open(kCdbOpenFlags, 0, nullptr));
    EXPECT_EQ(S_OK, Search(L"-2 = \"300\"", {}, &count));
}

TEST_F(ContentDbStandinTest, SearchesAndSelectionsMakeAResultSetToWalk)
{
    Items().AddItem(L"a", 300, {{500, L"C:\\a.mpg"}});
    Items().AddItem(L"b", 200, {{500, L"C:\\b.jpg"}});
    Items().AddItem(L"c", 300);
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

    // A search that finds nothing, or fails, leaves no current result.
    ASSERT_EQ(S_OK, Search(L"-2 = \"100\"", {-1}, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(kHrCdbNoCurrentRow, m_connection->MoveNext());
    ASSERT_EQ(S_OK, Search(L"-2 = \"300\"", {-1}, &count));
    EXPECT_EQ(kHrCdbQuerySyntax, Search(L"-2 = \"300\" and", {-1}, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(L"<failed>", Value(-1));
    EXPECT_EQ(kHrCdbUnknownDatabase, Search(L"-2 = \"300\"", {-1}, &count, L"Other"));

    // A selection is a result set of one or none.
    CScopedBstr id(SysAllocString(L"a"));
    CScopedBstr missing(SysAllocString(L"zz"));
    LONG props[] = {500};
    ASSERT_EQ(S_OK, m_connection->SelectItem(id.Get(), 0, 1, props, &count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(L"C:\\a.mpg", Value(500));
    ASSERT_EQ(S_OK, m_connection->SelectItem(missing.Get(), 0, 1, props, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(L"<failed>", Value(500));
    EXPECT_EQ(S_OK, m_connection->SelectItem(nullptr, 0, 0, nullptr, &count));
    EXPECT_EQ(0, count);

    // Reading what the search did not list is allowed once strictness is off.
    m_db->SetStrictFetch(false);
    ASSERT_EQ(S_OK, Search(L"-1 = \"b\"", {-1}, &count));
    EXPECT_EQ(L"C:\\b.jpg", Value(500));
}

TEST_F(ContentDbStandinTest, MissingArgumentsAreRefused)
{
    Items().AddItem(L"a", 300);
    Connect();
    CScopedBstr main(SysAllocString(L"Main"));
    CScopedBstr text(SysAllocString(L"-2 = \"300\""));
    CScopedBstr id(SysAllocString(L"a"));
    CScopedBstr info;
    ULONG ignored = 0;
    LONG count = 0;
    LONG props[] = {-1};
    KdCdbPropValue noValues[] = {{0xAF, 1, nullptr}};
    const std::function<HRESULT()> calls[] = {
        [&] { return m_connection->Search(main.Get(), text.Get(), 0, 0, 0, 1, props, 0, 0, 0, 0, &ignored, nullptr); },
        [&] { return m_connection->Search(main.Get(), text.Get(), 0, 0, 0, 1, nullptr, 0, 0, 0, 0, &ignored, &count); },
        [&] { return m_connection->SetValues(id.Get(), 0, nullptr, 1, nullptr); },
        [&] { return m_connection->SetValues(id.Get(), 0, nullptr, 1, noValues); },
        [&] { return m_connection->GetServerInfo(1, nullptr); },
    };
    for (size_t i = 0; i < std::size(calls); ++i)
        EXPECT_EQ(E_POINTER, calls[i]()) << "call " << i;
    EXPECT_EQ(E_INVALIDARG, m_connection->GetServerInfo(3, info.Receive()));
}

TEST_F(ContentDbStandinTest, RelationsOfContainersAndCollections)
{
    Items().AddItem(L"box", 600);
    Items().AddItem(L"m1", 612);
    Items().AddItem(L"m2", 300);
    Items().AddItem(L"col", 650, {{0x0207, L"m2;;gone;box"}});
    Items().AddItem(L"lonely", 700);
    Items().SetMembers(L"box", {L"m1", L"m2", L"gone"});
    Connect();

    LONG count = -1;
    const auto related = [&](const wchar_t* id, std::vector<LONG> classes) {
        CScopedBstr text(SysAllocString(id));
        LONG props[] = {-1, -2};
        ULONG ignored = 0;
        count = -1;
        if (classes.empty())
            return m_connection->SearchRelated(text.Get(), 0, 0, 0, 0, 0, 2, props, 0, 0, 0, &ignored, &count);
        return m_connection->SearchRelatedByClass(text.Get(), static_cast<ULONG>(classes.size()), classes.data(), 0, 0,
                                                  0, 0, 2, props, 0, 0, 0, &ignored, &count);
    };
    const struct
    {
        const wchar_t* id;
        std::vector<LONG> classes;
        Strings members;
    } cases[] = {
        {L"box", {}, {L"m1", L"m2"}},        {L"box", {612}, {L"m1"}},   {L"col", {}, {L"m2", L"box"}},
        {L"col", {100, 650, 700}, {}},        {L"lonely", {}, {}},        {L"m2", {}, {}},
    };
    for (const auto& c : cases)
    {
        ASSERT_EQ(S_OK, related(c.id, c.classes));
        EXPECT_EQ(c.members, WalkIds(count)) << c.id;
    }
    EXPECT_EQ(kHrCdbNoSuchItem, related(L"nothing", {}));

    // Members follow the catalogue.
    Items().RemoveItem(L"m1");
    Items().SetProperty(L"col", 0x0207, L"box");
    ASSERT_EQ(S_OK, related(L"box", {612}));
    EXPECT_EQ(0, count);
    ASSERT_EQ(S_OK, related(L"col", {}));
    EXPECT_EQ(Strings{L"box"}, WalkIds(count));
}

TEST_F(ContentDbStandinTest, WritesAndDeletesChangeTheCatalogue)
{
    Items().AddItem(L"a", 300, {{0xAF, L"1"}, {0xB0, L"7"}});
    Connect();
    CScopedBstr id(SysAllocString(L"a"));
    CScopedBstr minusFive(SysAllocString(L"-5"));
    CScopedBstr empty(SysAllocString(L""));
    BSTR values[] = {minusFive.Get(), empty.Get()};
    KdCdbPropValue records[] = {{0xAF, 1, &values[0]}, {0xB0, 1, &values[1]}};
    EXPECT_EQ(S_OK, m_connection->SetValues(id.Get(), 0, nullptr, 2, records));
    ContentDbItemPtr item = Items().Find(L"a");
    ASSERT_TRUE(item);
    EXPECT_EQ(L"-5", *item->FindProperty(0xAF));
    EXPECT_EQ(nullptr, item->FindProperty(0xB0));  // an empty text removes the value

    KdCdbPropValue pseudo[] = {{-2, 1, values}};
    EXPECT_EQ(E_INVALIDARG, m_connection->SetValues(id.Get(), 0, nullptr, 1, pseudo));
    CScopedBstr missing(SysAllocString(L"zz"));
    EXPECT_EQ(kHrCdbNoSuchItem, m_connection->SetValues(missing.Get(), 0, nullptr, 0, nullptr));
    EXPECT_EQ(kHrCdbNoSuchItem, m_connection->DeleteItem(missing.Get()));
    EXPECT_EQ(S_OK, m_connection->DeleteItem(id.Get()));
    EXPECT_EQ(0u, Items().Count());
}

TEST_F(ContentDbStandinTest, NotificationsComeFromTheDatabaseThreadInBatchesUntilTheSinkGoes)
{
    Connect();
    CComObject<CRecordingSink>* sink = nullptr;
    ASSERT_EQ(S_OK, CComObject<CRecordingSink>::CreateInstance(&sink));
    CComPtr<IKdCdbNotification> sinkRef(sink);
    m_db->SetNotifyBatchSize(2);

    Items().AddItem(L"before", 300);  // no sink yet: not kept
    EXPECT_EQ(E_NOINTERFACE, m_connection->SetNotificationSink(IID_IUnknown, sinkRef));
    ASSERT_EQ(S_OK, m_connection->SetNotificationSink(IID_IKdCdbNotification, sinkRef));
    EXPECT_EQ(1u, m_db->SinkCount());

    Items().AddItem(L"a", 300);
    Items().AddItem(L"b", 200);
    Items().SetProperty(L"a", 500, L"C:\\a.mpg");
    Items().RemoveItem(L"b");
    CScopedBstr id(SysAllocString(L"a"));
    ASSERT_EQ(S_OK, m_connection->DeleteItem(id.Get()));
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kTestWaitMs));
    EXPECT_EQ((Strings{L"a/300/1", L"b/200/1", L"a/300/1", L"b/200/2", L"a/300/2"}), sink->changes);
    EXPECT_EQ(2, sink->largestBatch);
    EXPECT_EQ(0, sink->callsOnTestThread);

    // Unregistered, the sink hears nothing more and is released.
    ASSERT_EQ(S_OK, m_connection->SetNotificationSink(IID_IKdCdbNotification, nullptr));
    EXPECT_EQ(0u, m_db->SinkCount());
    Items().AddItem(L"c", 100);
    ASSERT_TRUE(m_db->WaitNotificationsIdle(kTestWaitMs));
    EXPECT_EQ(5u, sink->changes.size());

    // Releasing the connection unregisters its sink too.
    ASSERT_EQ(S_OK, m_connection->SetNotificationSink(IID_IKdCdbNotification, sinkRef));
    m_connection.Release();
    EXPECT_EQ(0u, m_db->SinkCount());
}

TEST_F(ContentDbStandinTest, InjectedFailuresLastForTheGivenCallsAndCallsAreRecorded)
{
    Items().AddItem(L"a", 300);
    Connect();
    Control().FailNext(CdbMethod::Search, E_ACCESSDENIED, 2);
    LONG count = -1;
    EXPECT_EQ(E_ACCESSDENIED, Search(L"-2 = \"300\"", {-1}, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(E_ACCESSDENIED, Search(L"-2 = \"300\"", {-1}, &count));
    EXPECT_EQ(S_OK, Search(L"-2 = \"300\"", {-1}, &count));
    EXPECT_EQ(1, count);

    Control().FailNext(CdbMethod::GetValue, E_UNEXPECTED, CContentDbControl::kAlways);
    EXPECT_EQ(L"<failed>", Value(-1));
    EXPECT_EQ(L"<failed>", Value(-1));
    Control().FailNext(CdbMethod::GetValue, S_OK);
    EXPECT_EQ(L"a", Value(-1));
    EXPECT_EQ(3, Count(CdbMethod::GetValue));
    EXPECT_EQ(L"Main", LastCall(CdbMethod::Search).database);
    EXPECT_EQ(std::vector<LONG>{-1}, LastCall(CdbMethod::Search).numbers);

    // Not recording, calls are counted but not kept.
    const size_t recorded = Control().Calls().size();
    Control().SetRecording(false);
    m_connection->MoveNext();
    EXPECT_EQ(recorded, Control().Calls().size());
    EXPECT_EQ(1, Count(CdbMethod::MoveNext));
}

TEST_F(ContentDbStandinTest, StalledSearchWaitsForRelease)
{
    Items().AddItem(L"a", 300);
    Connect();
    Control().Stall(CdbMethod::Search);
    HRESULT hr = E_FAIL;
    LONG count = -1;
    CTestThread searcher([&] { hr = Search(L"-2 = \"300\"", {}, &count); });
    ASSERT_TRUE(Control().WaitStalled(CdbMethod::Search, 1, kTestWaitMs));
    EXPECT_FALSE(searcher.Join(100));
    // Stalling again right after the release holds later calls only: the one already let go
    // must not be caught by the new stall.
    Control().Release(CdbMethod::Search);
    Control().Stall(CdbMethod::Search);
    ASSERT_TRUE(searcher.Join(kTestWaitMs));
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1, count);
    Control().Release(CdbMethod::Search);
}
