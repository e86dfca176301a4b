#pragma once
#include <windows.h>
#include <oaidl.h>
#include "com/ConnectionPoint.h"
#include "interfaces/PluginInterfaces.h"

// The plug-in object's connection point for the outgoing ILumMgrPluginQueueEvents, and the firing
// of its one event. A base of the plug-in object, which passes its object root: the sink array is
// guarded by that root's lock.
class CProxyILumMgrPluginQueueEvents
{
public:
    // Calls OnPendingCountChanged(count) on every subscribed sink, directly (sinks are not
    // marshalled) and with no lock held. A failing sink does not stop the others; the result is
    // the last called sink's, S_OK when there is none.
    HRESULT Fire_OnPendingCountChanged(VARIANT count);

protected:
    explicit CProxyILumMgrPluginQueueEvents(CComObjectRootEx& owner) noexcept;
    ~CProxyILumMgrPluginQueueEvents() = default;
    CProxyILumMgrPluginQueueEvents(const CProxyILumMgrPluginQueueEvents&) = delete;
    CProxyILumMgrPluginQueueEvents& operator=(const CProxyILumMgrPluginQueueEvents&) = delete;

    CConnectionPoint& QueueEventsConnectionPoint() noexcept { return m_point; }

private:
    CConnectionPoint m_point;
};
