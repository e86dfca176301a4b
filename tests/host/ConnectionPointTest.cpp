#include <olectl.h>
#include "tests/host/PluginDbNotifyTestSupport.h"

// The plug-in object's queue-event point, as the manager finds it, is its only one.
TEST_F(PluginDbNotifyTest, ContainerHasTheQueueEventsPointOnly)
{
    CComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, engine->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)));
    CComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &point));
    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(IID_ILumMgrPluginQueueEvents, iid));
    IConnectionPoint* none = nullptr;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IPropertyNotifySink, &none));

    CComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
    IConnectionPoint* found[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, found, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(point.Get(), found[0]);
    found[0]->Release();
}

// The worker's firing reaches every subscribed sink directly (not marshalled) with the VT_UI4
// count, and answers what the last sink answers. TearDown checks that the object's release let
// every sink go.
TEST_F(PluginDbNotifyTest, FiringReachesEverySinkAndAnswersTheLastResult)
{
    auto fire = [&](ULONG count) {
        VARIANT value;
        V_VT(&value) = VT_UI4;
        V_UI4(&value) = count;
        return CPluginDbNotifyTestAccess::AsOwner(Object())->FirePendingCountChanged(value);
    };
    EXPECT_EQ(S_OK, fire(3));  // nobody subscribed
    CComPtr<CQueueEventsSink> sinks[] = {Subscribe(), Subscribe()};
    sinks[1]->Fault().FailWith(E_UNEXPECTED);
    EXPECT_EQ(E_UNEXPECTED, fire(4));
    for (CQueueEventsSink* sink : {sinks[0].Get(), sinks[1].Get()})
    {
        const std::vector<PendingCountEvent> events = sink->Events().Calls();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(VT_UI4, events[0].type);
        EXPECT_EQ(4u, events[0].value);
        EXPECT_EQ(GetCurrentThreadId(), events[0].threadId);
    }
}
