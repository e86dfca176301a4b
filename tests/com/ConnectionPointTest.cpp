#include <gtest/gtest.h>
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <functional>
#include <vector>
#include "com/ComObject.h"
#include "com/ConnectionPointContainer.h"
#include "common/ComPtr.h"
#include "tests/support/TestSync.h"

namespace
{
// {0F1D5C7E-2A4B-4E61-8B0C-6E2D9A3F1B01}
const IID IID_ITestEvents = {0x0f1d5c7e, 0x2a4b, 0x4e61, {0x8b, 0x0c, 0x6e, 0x2d, 0x9a, 0x3f, 0x1b, 0x01}};
// {0F1D5C7E-2A4B-4E61-8B0C-6E2D9A3F1B02}
const IID IID_IOtherEvents = {0x0f1d5c7e, 0x2a4b, 0x4e61, {0x8b, 0x0c, 0x6e, 0x2d, 0x9a, 0x3f, 0x1b, 0x02}};

struct ITestEvents : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE OnEvent(LONG value) = 0;
};

// Live objects of the test classes, so that a case can check that every reference went back.
volatile LONG g_liveSinks = 0;
volatile LONG g_liveSources = 0;

// A sink of ITestEvents (or, with `implements` false, an object that lacks it). Records the values
// it receives; `hook` runs inside the event.
class CTestSink : public CComObjectRootEx, public ITestEvents
{
public:
    CTestSink() { InterlockedIncrement(&g_liveSinks); }
    ~CTestSink() { InterlockedDecrement(&g_liveSinks); }

    static CComPtr<CTestSink> Create(HRESULT answer = S_OK, bool implements = true)
    {
        CComObject<CTestSink>* object = nullptr;
        EXPECT_EQ(S_OK, CComObject<CTestSink>::CreateInstance(&object));
        object->m_answer = answer;
        object->m_implements = implements;
        return CComPtr<CTestSink>(object);
    }

    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        if (!m_implements && !IsEqualIID(iid, IID_IUnknown))
        {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return QueryInterfaceFrom(iid, out, {{&IID_ITestEvents, static_cast<ITestEvents*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE OnEvent(LONG value) override
    {
        values.push_back(value);
        if (hook)
            hook();
        return m_answer;
    }
    ITestEvents* Events() { return this; }

    std::vector<LONG> values;  // only the firing thread writes, and it is done before a test reads
    std::function<void()> hook;

private:
    HRESULT m_answer = S_OK;
    bool m_implements = true;
};

// An object with two connection points, ITestEvents first.
class CEventSource : public CComObjectRootEx, public CConnectionPointContainerImpl
{
public:
    CEventSource() noexcept
        : m_events(static_cast<CComObjectRootEx&>(*this), IID_ITestEvents),
          m_other(static_cast<CComObjectRootEx&>(*this), IID_IOtherEvents)
    {
        InterlockedIncrement(&g_liveSources);
    }
    ~CEventSource() { InterlockedDecrement(&g_liveSources); }

    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        return QueryInterfaceFrom(iid, out,
                                  {{&IID_IConnectionPointContainer, static_cast<IConnectionPointContainer*>(this)}});
    }

    HRESULT Fire(LONG value)
    {
        return m_events.FireEach<ITestEvents>([&](ITestEvents* sink) { return sink->OnEvent(value); });
    }

protected:
    CConnectionPoint* GetConnectionPointAt(ULONG index) noexcept override { return index == 0 ? &m_events : index == 1 ? &m_other : nullptr; }

private:
    CConnectionPoint m_events;
    CConnectionPoint m_other;
};

// Every case ends with every source and every sink gone: the object released what it held.
class ConnectionPointTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_sinksBefore = g_liveSinks;
        m_sourcesBefore = g_liveSources;
        CComObject<CEventSource>* object = nullptr;
        ASSERT_EQ(S_OK, CComObject<CEventSource>::CreateInstance(&object));
        source = object;
        ASSERT_EQ(S_OK, object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ITestEvents, &point));
    }

    void TearDown() override
    {
        ReleaseAllButThePoint();
        point.Release();
        EXPECT_EQ(m_sourcesBefore, g_liveSources);
        EXPECT_EQ(m_sinksBefore, g_liveSinks);
    }

    DWORD Advise(CTestSink* sink)
    {
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, point->Advise(sink->Events(), &cookie));
        return cookie;
    }
    // Leaves the object to whatever else holds it.
    void ReleaseAllButThePoint()
    {
        container.Release();
        source.Release();
    }

    CComPtr<CEventSource> source;
    CComPtr<IConnectionPointContainer> container;
    CComPtr<IConnectionPoint> point;

private:
    LONG m_sinksBefore = 0;
    LONG m_sourcesBefore = 0;
};

std::vector<DWORD> CookiesOf(IEnumConnections* connections, ULONG count, HRESULT expected)
{
    std::vector<CONNECTDATA> data(count + 1);
    ULONG fetched = 0xFFFF;
    EXPECT_EQ(expected, connections->Next(count, data.data(), &fetched));
    std::vector<DWORD> cookies;
    for (ULONG i = 0; i < fetched && i < count; ++i)
    {
        cookies.push_back(data[i].dwCookie);
        if (data[i].pUnk)
            data[i].pUnk->Release();
    }
    EXPECT_EQ(cookies.size(), fetched);
    return cookies;
}
}  // namespace

// Cookies are 1-based slots; freed slots go to the next subscribers, lowest first, and the array
// grows past its first four slots. A cookie that is no (or no longer a) subscription is refused.
TEST_F(ConnectionPointTest, CookiesAreSlotsAndFreedSlotsAreReused)
{
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(1));  // no array yet
    std::vector<CComPtr<CTestSink>> sinks;
    for (int i = 0; i < 10; ++i)
        sinks.push_back(CTestSink::Create());

    for (DWORD expected = 1; expected <= 6; ++expected)
        EXPECT_EQ(expected, Advise(sinks[expected - 1]));
    EXPECT_EQ(S_OK, point->Unadvise(4));
    EXPECT_EQ(S_OK, point->Unadvise(2));
    for (DWORD bad : {0ul, 2ul, 9ul, 0xFFFFFFFFul})
        EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(bad)) << bad;
    EXPECT_EQ(2u, Advise(sinks[6]));
    EXPECT_EQ(4u, Advise(sinks[7]));
    EXPECT_EQ(7u, Advise(sinks[8]));
    EXPECT_EQ(8u, Advise(sinks[9]));
    // All eight slots taken: the array doubles again.
    EXPECT_EQ(9u, Advise(sinks[3]));

    source->Fire(5);
    for (size_t i : {0u, 2u, 4u, 5u, 6u, 7u, 8u, 9u, 3u})
        EXPECT_EQ(std::vector<LONG>{5}, sinks[i]->values) << i;
    EXPECT_TRUE(sinks[1]->values.empty());
}

TEST_F(ConnectionPointTest, AdviseChecksItsArgumentsAndTheSinksInterface)
{
    CComPtr<CTestSink> sink = CTestSink::Create();
    DWORD cookie = 0xBAD;
    EXPECT_EQ(E_POINTER, point->Advise(nullptr, &cookie));
    EXPECT_EQ(0xBADu, cookie);
    EXPECT_EQ(E_POINTER, point->Advise(sink->Events(), nullptr));

    CComPtr<CTestSink> lacking = CTestSink::Create(S_OK, false);
    const ULONG refsBefore = lacking->AddRef() - 1;
    lacking->Release();
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(lacking->Events(), &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(refsBefore, lacking->AddRef() - 1) << "a reference was kept";
    lacking->Release();

    // Neither failure took a slot.
    EXPECT_EQ(1u, Advise(sink));
}

// The container finds and enumerates its points in order; a point answers QueryInterface for
// itself, not for the object, and names the object as its container. Points and enumerators keep
// the object alive.
TEST_F(ConnectionPointTest, ContainerAndPointsKnowEachOther)
{
    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IUnknown, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, container->FindConnectionPoint(IID_ITestEvents, nullptr));
    EXPECT_EQ(E_POINTER, container->EnumConnectionPoints(nullptr));
    EXPECT_EQ(E_POINTER, point->GetConnectionInterface(nullptr));
    EXPECT_EQ(E_POINTER, point->GetConnectionPointContainer(nullptr));

    CComPtr<IConnectionPoint> other;
    EXPECT_EQ(S_OK, container->FindConnectionPoint(IID_IOtherEvents, &other));
    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, other->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_IOtherEvents, iid));
    CComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
    IConnectionPoint* found[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(3, found, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(point.Get(), found[0]);
    EXPECT_EQ(other.Get(), found[1]);
    found[0]->Release();
    found[1]->Release();

    CComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(S_OK, point->GetConnectionPointContainer(&back));
    EXPECT_EQ(container.Get(), back.Get());
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, point->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(point.Get()), identity.Get());
    void* notThePoint = nullptr;
    EXPECT_EQ(E_NOINTERFACE, point->QueryInterface(IID_IConnectionPointContainer, &notThePoint));

    const LONG sources = g_liveSources;
    back.Release();
    identity.Release();
    ReleaseAllButThePoint();
    EXPECT_EQ(sources, g_liveSources) << "held by the points and the enumerator";
    point.Release();
    other.Release();
    EXPECT_EQ(sources, g_liveSources) << "held by the enumerator";
}

TEST_F(ConnectionPointTest, EnumConnectionsPagesASnapshot)
{
    std::vector<CComPtr<CTestSink>> sinks;
    for (int i = 0; i < 5; ++i)
    {
        sinks.push_back(CTestSink::Create());
        Advise(sinks.back());
    }
    EXPECT_EQ(S_OK, point->Unadvise(2));
    EXPECT_EQ(E_POINTER, point->EnumConnections(nullptr));

    CComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(&connections));
    // Later changes do not reach the snapshot.
    EXPECT_EQ(2u, Advise(CTestSink::Create()));
    EXPECT_EQ(S_OK, point->Unadvise(5));

    // Each element is the sink's event interface, with a reference for the caller.
    CONNECTDATA first = {};
    ASSERT_EQ(S_OK, connections->Next(1, &first, nullptr));
    EXPECT_EQ(1u, first.dwCookie);
    ASSERT_EQ(static_cast<IUnknown*>(sinks[0]->Events()), first.pUnk);
    first.pUnk->Release();

    EXPECT_EQ(std::vector<DWORD>({3}), CookiesOf(connections, 1, S_OK));
    CComPtr<IEnumConnections> clone;
    ASSERT_EQ(S_OK, connections->Clone(&clone));
    EXPECT_EQ(std::vector<DWORD>({4, 5}), CookiesOf(connections, 3, S_FALSE));
    // The clone started where the original was and moves on its own; skipping past the end stops there.
    EXPECT_EQ(S_OK, clone->Skip(1));
    EXPECT_EQ(std::vector<DWORD>({5}), CookiesOf(clone, 1, S_OK));
    EXPECT_EQ(S_OK, clone->Reset());
    EXPECT_EQ(S_FALSE, clone->Skip(7));
    EXPECT_EQ(std::vector<DWORD>(), CookiesOf(clone, 2, S_FALSE));
    EXPECT_EQ(S_OK, connections->Reset());
    EXPECT_EQ(std::vector<DWORD>({1, 3, 4, 5}), CookiesOf(connections, 10, S_FALSE));

    CONNECTDATA many[2] = {};
    EXPECT_EQ(E_POINTER, connections->Next(2, many, nullptr));
    EXPECT_EQ(E_POINTER, connections->Next(1, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, connections->Clone(nullptr));
}

// The result is the last called sink's; a failing sink does not stop the ones after it.
TEST_F(ConnectionPointTest, FiringCallsEverySinkAndAnswersTheLastResult)
{
    EXPECT_EQ(S_OK, source->Fire(1));  // nobody subscribed
    const struct { HRESULT first; HRESULT second; HRESULT fired; } cases[] = {{E_FAIL, S_OK, S_OK}, {S_OK, E_UNEXPECTED, E_UNEXPECTED}};
    for (const auto& c : cases)
    {
        CComPtr<CTestSink> first = CTestSink::Create(c.first);
        CComPtr<CTestSink> second = CTestSink::Create(c.second);
        const DWORD firstCookie = Advise(first);
        const DWORD secondCookie = Advise(second);
        EXPECT_EQ(c.fired, source->Fire(7));
        EXPECT_EQ(std::vector<LONG>{7}, first->values);
        EXPECT_EQ(std::vector<LONG>{7}, second->values);
        EXPECT_EQ(S_OK, point->Unadvise(firstCookie));
        EXPECT_EQ(S_OK, point->Unadvise(secondCookie));
    }
}

// Sinks are called with no lock held: another thread can unsubscribe (and subscribe) while a sink
// is inside the event, and the sink can unsubscribe itself.
TEST_F(ConnectionPointTest, SinksMayChangeSubscriptionsFromInsideTheEvent)
{
    CComPtr<CTestSink> first = CTestSink::Create();
    CComPtr<CTestSink> second = CTestSink::Create();
    CComPtr<CTestSink> late = CTestSink::Create();
    const DWORD firstCookie = Advise(first);
    const DWORD secondCookie = Advise(second);
    IConnectionPoint* raw = point.Get();
    bool otherThreadFinished = false;
    DWORD lateCookie = 0;
    first->hook = [&] {
        // Not finished within the time-out: this thread holds something the other one needs.
        CTestThread other([&] {
            EXPECT_EQ(S_OK, raw->Unadvise(secondCookie));
            EXPECT_EQ(S_OK, raw->Advise(late->Events(), &lateCookie));
        });
        otherThreadFinished = other.Join();
        EXPECT_EQ(S_OK, raw->Unadvise(firstCookie));
    };

    EXPECT_EQ(S_OK, source->Fire(3));
    EXPECT_TRUE(otherThreadFinished);
    EXPECT_EQ(std::vector<LONG>{3}, first->values);
    EXPECT_TRUE(second->values.empty()) << "unsubscribed before its turn came";
    // Subscribed into the freed second slot, which the event had not passed yet.
    EXPECT_EQ(secondCookie, lateCookie);
    EXPECT_EQ(std::vector<LONG>{3}, late->values);

    first->hook = nullptr;
    EXPECT_EQ(S_OK, source->Fire(4));
    EXPECT_EQ(std::vector<LONG>{3}, first->values);
    EXPECT_EQ(std::vector<LONG>({3, 4}), late->values);
}

// Subscriptions change on one thread while another fires: the sink subscribed throughout sees every
// event, and every other sink is released in the end (checked by TearDown).
TEST_F(ConnectionPointTest, FiringWhileSubscriptionsChangeLosesNoReference)
{
    CComPtr<CTestSink> stable = CTestSink::Create();
    Advise(stable);
    CEventSource* raw = source.Get();
    std::atomic<bool> stop{false};
    std::atomic<size_t> fired{0};
    CTestThread thread([&] {
        for (; !stop.load(); ++fired)
            raw->Fire(static_cast<LONG>(fired.load()));
    });
    // Both sides must have done a fair share of work while the other ran.
    const DWORD start = GetTickCount();
    int rounds = 0;
    for (; (rounds < 300 || fired.load() < 1000) && GetTickCount() - start < kTestWaitMs; ++rounds)
    {
        std::vector<CComPtr<CTestSink>> batch;
        std::vector<DWORD> cookies;
        for (int i = 0; i < 9; ++i)
        {
            batch.push_back(CTestSink::Create());
            cookies.push_back(Advise(batch.back()));
        }
        for (DWORD cookie : cookies)
            EXPECT_EQ(S_OK, point->Unadvise(cookie));
    }
    stop = true;
    ASSERT_TRUE(thread.Join());
    EXPECT_LE(300, rounds);
    EXPECT_LE(1000u, fired.load());
    EXPECT_EQ(fired.load(), stable->values.size());
}
