#include <ocidl.h>
#include <olectl.h>
#include "standins/QueueEventsSink.h"
#include "tests/host/PluginDbNotifyTestSupport.h"

namespace
{
CComPtr<CQueueEventsSink> NewSink()
{
    CQueueEventsSink* sink = nullptr;
    EXPECT_EQ(S_OK, CQueueEventsSink::Create(&sink));
    CComPtr<CQueueEventsSink> owned;
    owned.Attach(sink);
    return owned;
}

VARIANT CountOf(ULONG count)
{
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_UI4;
    V_UI4(&value) = count;
    return value;
}

// The plug-in object's queue-event point, as the manager finds it.
class QueueEventsPointTest : public PluginDbNotifyTest
{
protected:
    void SetUp() override
    {
        PluginDbNotifyTest::SetUp();
        m_sinks = CQueueEventsSink::LiveCount();
        ASSERT_EQ(S_OK, engine->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point));
    }

    void TearDown() override
    {
        point.Release();
        container.Release();
        PluginDbNotifyTest::TearDown();
        // The object's release let every subscribed sink go.
        EXPECT_EQ(m_sinks, CQueueEventsSink::LiveCount());
    }

    DWORD Advise(CQueueEventsSink* sink)
    {
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, point->Advise(static_cast<ILumMgrPluginQueueEvents*>(sink), &cookie));
        return cookie;
    }

    // What the notification worker calls to fire.
    HRESULT Fire(ULONG count) { return CPluginDbNotifyTestAccess::AsOwner(Object())->FirePendingCountChanged(CountOf(count)); }

    CComPtr<IConnectionPointContainer> container;
    CComPtr<IConnectionPoint> point;

private:
    LONG m_sinks = 0;
};
}  // namespace

TEST_F(QueueEventsPointTest, ContainerHasTheQueueEventsPointOnly)
{
    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_ILumMgrPluginQueueEvents, iid));

    for (const IID* other : {&IID_ILumMgrPluginEngine, &IID_ILumMgrPluginDatabaseNotify2, &IID_IPropertyNotifySink})
    {
        IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
        EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(*other, &none));
        EXPECT_EQ(nullptr, none);
    }

    CComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
    IConnectionPoint* found[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, found, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(point.Get(), found[0]);
    found[0]->Release();

    // The point's container is the plug-in object, and the container answers its other interfaces.
    CComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(S_OK, point->GetConnectionPointContainer(&back));
    CComPtr<IUnknown> identity;
    CComPtr<IUnknown> backIdentity;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    ASSERT_EQ(S_OK, back->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&backIdentity)));
    EXPECT_EQ(identity.Get(), backIdentity.Get());
    CComPtr<ILumMgrPluginDatabaseNotify2> notify;
    EXPECT_EQ(S_OK, container->QueryInterface(IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&notify)));
}

// The worker's firing reaches every sink with the VT_UI4 count, whatever an earlier sink answers.
TEST_F(QueueEventsPointTest, FiringReachesEverySinkPastAFailingOne)
{
    EXPECT_EQ(S_OK, Fire(3));  // nobody subscribed

    CComPtr<CQueueEventsSink> failing = NewSink();
    CComPtr<CQueueEventsSink> healthy = NewSink();
    failing->Fault().FailWith(E_FAIL);
    EXPECT_EQ(1u, Advise(failing));
    EXPECT_EQ(2u, Advise(healthy));

    EXPECT_EQ(S_OK, Fire(4));
    for (CQueueEventsSink* sink : {failing.Get(), healthy.Get()})
    {
        const std::vector<PendingCountEvent> events = sink->Events().Calls();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(VT_UI4, events[0].type);
        EXPECT_EQ(4u, events[0].value);
        EXPECT_EQ(GetCurrentThreadId(), events[0].threadId);  // called directly, not marshalled
    }
    EXPECT_EQ(E_FAIL, failing->Events().Calls()[0].answered);

    // The last sink's answer is the result.
    healthy->Fault().FailWith(E_UNEXPECTED);
    EXPECT_EQ(E_UNEXPECTED, Fire(5));

    // An object that is not a queue-event sink cannot subscribe.
    CManagerSite* site = nullptr;
    ASSERT_EQ(S_OK, CManagerSite::Create(&site));
    DWORD cookie = 0;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(static_cast<ILumMgrPluginSite*>(site), &cookie));
    site->Release();
}

// Sinks still subscribed when the manager lets the object go are released with it; the
// connection point keeps the object alive while the manager holds it.
TEST_F(QueueEventsPointTest, ReleaseOfTheObjectLetsItsSinksGo)
{
    const LONG before = CQueueEventsSink::LiveCount();
    {
        CComPtr<CQueueEventsSink> a = NewSink();
        CComPtr<CQueueEventsSink> b = NewSink();
        Advise(a);
        Advise(b);
    }
    EXPECT_EQ(before + 2, CQueueEventsSink::LiveCount());
    const LONG locks = ModuleLockCount();
    container.Release();
    engine.Release();
    EXPECT_EQ(locks, ModuleLockCount());  // the point still holds the object
    EXPECT_EQ(before + 2, CQueueEventsSink::LiveCount());
    point.Release();
    // The object and both sinks (each a module object too) are gone.
    EXPECT_EQ(locks - 3, ModuleLockCount());
    EXPECT_EQ(before, CQueueEventsSink::LiveCount());
}

// Aggregated, the container and its point belong to the outer object.
TEST_F(PluginDbNotifyTest, AggregatedObjectsPointBelongsToTheOuterObject)
{
    struct COuter : IUnknown
    {
        LONG refs = 1;
        CComPtr<IUnknown> inner;
        STDMETHOD(QueryInterface)(REFIID iid, void** out) override
        {
            if (IsEqualIID(iid, IID_IUnknown))
            {
                *out = this;
                AddRef();
                return S_OK;
            }
            return inner->QueryInterface(iid, out);
        }
        STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
        STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
    } outer;
    ASSERT_EQ(S_OK, CreateComInstance<CPluginDbNotify>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    {
        CComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, outer.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
        CComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point));
        EXPECT_EQ(3, outer.refs);  // the container and the point count on the outer object
        CComPtr<IConnectionPointContainer> back;
        ASSERT_EQ(S_OK, point->GetConnectionPointContainer(&back));
        CComPtr<IUnknown> identity;
        ASSERT_EQ(S_OK, back->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
        EXPECT_EQ(static_cast<IUnknown*>(&outer), identity.Get());
    }
    EXPECT_EQ(1, outer.refs);
    outer.inner.Release();
}
