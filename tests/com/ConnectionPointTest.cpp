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
#include "common/Scoped.h"
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

constexpr DWORD kWaitMs = 10000;

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
        {
            CObjectLockGuard<CTestSink> guard(*this);
            m_values.push_back(value);
        }
        if (hook)
            hook();
        return m_answer;
    }

    std::vector<LONG> Values()
    {
        CObjectLockGuard<CTestSink> guard(*this);
        return m_values;
    }
    ITestEvents* Events() { return this; }

    std::function<void()> hook;

private:
    HRESULT m_answer = S_OK;
    bool m_implements = true;
    std::vector<LONG> m_values;
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
    CConnectionPoint* GetConnectionPointAt(ULONG index) noexcept override
    {
        switch (index)
        {
        case 0:
            return &m_events;
        case 1:
            return &m_other;
        default:
            return nullptr;
        }
    }

private:
    CConnectionPoint m_events;
    CConnectionPoint m_other;
};

// Runs `body` on another thread; false when it did not finish within kWaitMs (the calling thread
// would then be holding something the body needs).
bool RunOnOtherThread(std::function<void()> body)
{
    CTestThread thread(std::move(body));
    return thread.IsValid() && thread.Join(kWaitMs);
}

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
        point.Release();
        container.Release();
        source.Release();
        EXPECT_EQ(m_sourcesBefore, g_liveSources);
        EXPECT_EQ(m_sinksBefore, g_liveSinks);
    }

    DWORD Advise(CTestSink* sink)
    {
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, point->Advise(sink->Events(), &cookie));
        return cookie;
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
// grows past its first four slots.
TEST_F(ConnectionPointTest, CookiesAreSlotsAndFreedSlotsAreReused)
{
    std::vector<CComPtr<CTestSink>> sinks;
    for (int i = 0; i < 10; ++i)
        sinks.push_back(CTestSink::Create());

    for (DWORD expected = 1; expected <= 6; ++expected)
        EXPECT_EQ(expected, Advise(sinks[expected - 1]));
    EXPECT_EQ(S_OK, point->Unadvise(4));
    EXPECT_EQ(S_OK, point->Unadvise(2));
    EXPECT_EQ(2u, Advise(sinks[6]));
    EXPECT_EQ(4u, Advise(sinks[7]));
    EXPECT_EQ(7u, Advise(sinks[8]));
    EXPECT_EQ(8u, Advise(sinks[9]));
    // All eight slots taken: the array doubles again.
    EXPECT_EQ(9u, Advise(sinks[3]));

    source->Fire(5);
    for (size_t i : {0u, 2u, 4u, 5u, 6u, 7u, 8u, 9u, 3u})
        EXPECT_EQ(std::vector<LONG>{5}, sinks[i]->Values()) << i;
    EXPECT_TRUE(sinks[1]->Values().empty());
}

TEST_F(ConnectionPointTest, UnadviseOfAnUnknownCookieIsNoConnection)
{
    CComPtr<CTestSink> sink = CTestSink::Create();
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(1));  // no array yet
    const DWORD cookie = Advise(sink);
    for (DWORD bad : {0ul, 2ul, 4ul, 5ul, 0xFFFFFFFFul})
        EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(bad)) << bad;
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
    source->Fire(1);
    EXPECT_TRUE(sink->Values().empty());
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
    // No reference was kept.
    EXPECT_EQ(refsBefore, lacking->AddRef() - 1);
    lacking->Release();

    // Neither failure took a slot.
    EXPECT_EQ(1u, Advise(sink));
}

TEST_F(ConnectionPointTest, ContainerFindsItsPointsByInterface)
{
    CComPtr<IConnectionPoint> other;
    EXPECT_EQ(S_OK, container->FindConnectionPoint(IID_IOtherEvents, &other));
    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_ITestEvents, iid));
    EXPECT_EQ(S_OK, other->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_IOtherEvents, iid));

    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IUnknown, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, container->FindConnectionPoint(IID_ITestEvents, nullptr));
    EXPECT_EQ(E_POINTER, point->GetConnectionInterface(nullptr));
    EXPECT_EQ(E_POINTER, point->GetConnectionPointContainer(nullptr));

    // The point's container is the object.
    CComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(S_OK, point->GetConnectionPointContainer(&back));
    CComPtr<IUnknown> objectIdentity;
    CComPtr<IUnknown> backIdentity;
    ASSERT_EQ(S_OK, container->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&objectIdentity)));
    ASSERT_EQ(S_OK, back->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&backIdentity)));
    EXPECT_EQ(objectIdentity.Get(), backIdentity.Get());
}

// The point answers for itself, not for the object, and keeps the object alive.
TEST_F(ConnectionPointTest, PointHasItsOwnIdentityAndTheObjectsLifetime)
{
    CComPtr<IConnectionPoint> again;
    ASSERT_EQ(S_OK, point->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(&again)));
    EXPECT_EQ(point.Get(), again.Get());
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, point->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(point.Get()), identity.Get());
    CComPtr<IConnectionPointContainer> notThePoint;
    EXPECT_EQ(E_NOINTERFACE, point->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&notThePoint)));

    const LONG sources = g_liveSources;
    again.Release();
    identity.Release();
    container.Release();
    source.Release();
    EXPECT_EQ(sources, g_liveSources);  // held by the point alone
    point.Release();
    EXPECT_EQ(sources - 1, g_liveSources);
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
    EXPECT_EQ(static_cast<IUnknown*>(sinks[0]->Events()), first.pUnk);
    ASSERT_NE(nullptr, first.pUnk);
    first.pUnk->Release();

    EXPECT_EQ(std::vector<DWORD>({3}), CookiesOf(connections, 1, S_OK));
    CComPtr<IEnumConnections> clone;
    ASSERT_EQ(S_OK, connections->Clone(&clone));
    EXPECT_EQ(std::vector<DWORD>({4, 5}), CookiesOf(connections, 3, S_FALSE));
    EXPECT_EQ(std::vector<DWORD>(), CookiesOf(connections, 1, S_FALSE));
    // The clone started where the original was and moves on its own.
    EXPECT_EQ(S_OK, clone->Skip(1));
    EXPECT_EQ(std::vector<DWORD>({5}), CookiesOf(clone, 1, S_OK));
    EXPECT_EQ(S_FALSE, clone->Skip(1));
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

TEST_F(ConnectionPointTest, EnumConnectionPointsYieldsEveryPointInOrder)
{
    EXPECT_EQ(E_POINTER, container->EnumConnectionPoints(nullptr));
    CComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));

    IConnectionPoint* found[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(3, found, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(point.Get(), found[0]);
    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, found[1]->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_IOtherEvents, iid));
    found[0]->Release();
    found[1]->Release();

    EXPECT_EQ(S_OK, points->Reset());
    EXPECT_EQ(S_OK, points->Skip(1));
    CComPtr<IEnumConnectionPoints> clone;
    ASSERT_EQ(S_OK, points->Clone(&clone));
    IConnectionPoint* one = nullptr;
    EXPECT_EQ(S_OK, clone->Next(1, &one, nullptr));
    ASSERT_NE(nullptr, one);
    EXPECT_EQ(S_OK, one->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_IOtherEvents, iid));
    one->Release();
    EXPECT_EQ(S_FALSE, clone->Next(1, &one, nullptr));

    // Enumerated points keep the object alive, like any other reference to a point.
    const LONG sources = g_liveSources;
    point.Release();
    container.Release();
    source.Release();
    EXPECT_EQ(sources, g_liveSources);
    points.Release();
    clone.Release();
    EXPECT_EQ(sources - 1, g_liveSources);
}

// The result is the last called sink's; a failing sink does not stop the ones after it.
TEST_F(ConnectionPointTest, FiringCallsEverySinkAndAnswersTheLastResult)
{
    EXPECT_EQ(S_OK, source->Fire(1));  // nobody subscribed

    const struct
    {
        HRESULT first;
        HRESULT second;
        HRESULT fired;
    } cases[] = {
        {E_FAIL, S_OK, S_OK},
        {S_OK, E_UNEXPECTED, E_UNEXPECTED},
        {E_FAIL, S_FALSE, S_FALSE},
    };
    for (const auto& c : cases)
    {
        CComPtr<CTestSink> first = CTestSink::Create(c.first);
        CComPtr<CTestSink> second = CTestSink::Create(c.second);
        const DWORD firstCookie = Advise(first);
        const DWORD secondCookie = Advise(second);
        EXPECT_EQ(c.fired, source->Fire(7));
        EXPECT_EQ(std::vector<LONG>{7}, first->Values());
        EXPECT_EQ(std::vector<LONG>{7}, second->Values());
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
        otherThreadFinished = RunOnOtherThread([&] {
            EXPECT_EQ(S_OK, raw->Unadvise(secondCookie));
            EXPECT_EQ(S_OK, raw->Advise(late->Events(), &lateCookie));
        });
        EXPECT_EQ(S_OK, raw->Unadvise(firstCookie));
    };

    EXPECT_EQ(S_OK, source->Fire(3));
    EXPECT_TRUE(otherThreadFinished);
    EXPECT_EQ(std::vector<LONG>{3}, first->Values());
    // Unsubscribed before its turn came.
    EXPECT_TRUE(second->Values().empty());
    // Subscribed into the freed second slot, which the event had not passed yet.
    EXPECT_EQ(secondCookie, lateCookie);
    EXPECT_EQ(std::vector<LONG>{3}, late->Values());

    first->hook = nullptr;
    EXPECT_EQ(S_OK, source->Fire(4));
    EXPECT_EQ(std::vector<LONG>{3}, first->Values());
    EXPECT_EQ(std::vector<LONG>({3, 4}), late->Values());
}

TEST_F(ConnectionPointTest, DestroyingTheObjectReleasesItsSinks)
{
    const LONG sinks = g_liveSinks;
    {
        CComPtr<CTestSink> a = CTestSink::Create();
        CComPtr<CTestSink> b = CTestSink::Create();
        Advise(a);
        Advise(b);
    }
    EXPECT_EQ(sinks + 2, g_liveSinks);  // held by the point
    point.Release();
    container.Release();
    source.Release();
    EXPECT_EQ(sinks, g_liveSinks);
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
        while (!stop.load())
        {
            raw->Fire(static_cast<LONG>(fired.load()));
            ++fired;
        }
    });
    ASSERT_TRUE(thread.IsValid());
    // Both sides must have done a fair share of work while the other ran.
    const DWORD start = GetTickCount();
    int rounds = 0;
    while ((rounds < 300 || fired.load() < 1000) && GetTickCount() - start < kWaitMs)
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
        ++rounds;
    }
    stop = true;
    ASSERT_TRUE(thread.Join(kWaitMs));
    EXPECT_LE(300, rounds);
    EXPECT_LE(1000u, fired.load());
    EXPECT_EQ(fired.load(), stable->Values().size());
}
