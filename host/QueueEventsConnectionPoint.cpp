#include "host/QueueEventsConnectionPoint.h"

CProxyILumMgrPluginQueueEvents::CProxyILumMgrPluginQueueEvents(CComObjectRootEx& owner) noexcept
    : m_point(owner, IID_ILumMgrPluginQueueEvents)
{
}

HRESULT CProxyILumMgrPluginQueueEvents::Fire_OnPendingCountChanged(VARIANT count)
{
    // Every sink gets the same VARIANT by value; a VT_UI4 owns nothing that a sink could free.
    return m_point.FireEach<ILumMgrPluginQueueEvents>(
        [&](ILumMgrPluginQueueEvents* sink) { return sink->OnPendingCountChanged(count); });
}
