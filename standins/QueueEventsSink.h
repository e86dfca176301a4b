#pragma once
#include <windows.h>
#include <oaidl.h>
#include <functional>
#include "com/ComObject.h"
#include "common/Scoped.h"
#include "interfaces/PluginInterfaces.h"
#include "standins/CallLog.h"
#include "standins/FaultControl.h"
#include "standins/FreeThreadedMarshaler.h"
#include "standins/LiveObjectCount.h"

struct PendingCountEvent
{
    VARTYPE type;
    ULONG value;  // the count when type is VT_UI4, else 0
    HRESULT answered;
    DWORD threadId;  // the thread that fired
    LONG sequence;   // NextStandinCallSequence() at arrival
    DWORD tick;      // GetTickCount() at arrival
};

// The manager's sink for the pending-count event. Records every OnPendingCountChanged and answers
// S_OK unless told to fail (Fault()). A hook, when set, runs inside each call after it has been
// recorded, with no lock of the sink held, so that a test can call back into the plug-in from the
// firing thread (for example to unsubscribe).
class CQueueEventsSink : public CComObjectRootEx,
                         public ILumMgrPluginQueueEvents,
                         public CLiveObjectCount<CQueueEventsSink>
{
public:
    using Hook = std::function<void(const VARIANT& count)>;

    // A new sink with one reference for the caller.
    static HRESULT Create(CQueueEventsSink** out);

    HRESULT FinalConstruct();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    CCallLog<PendingCountEvent>& Events() noexcept { return m_events; }
    // True once `count` events have arrived; false after `timeoutMs`.
    bool WaitForEvents(size_t count, DWORD timeoutMs) const { return m_events.WaitForCount(count, timeoutMs); }
    CFaultControl& Fault() noexcept { return m_fault; }
    void SetHook(Hook hook);

    // ILumMgrPluginQueueEvents
    HRESULT STDMETHODCALLTYPE OnPendingCountChanged(VARIANT count) override;

private:
    CFreeThreadedMarshaler m_marshaler;
    CCriticalSection m_hookLock{LockRank::Outside};
    Hook m_hook;  // guarded by m_hookLock
    CCallLog<PendingCountEvent> m_events;
    CFaultControl m_fault;
};
