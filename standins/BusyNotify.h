#pragma once
#include <windows.h>
#include "com/ComObject.h"
#include "interfaces/ServiceInterfaces.h"
#include "standins/CallLog.h"
#include "standins/FaultControl.h"
#include "standins/FreeThreadedMarshaler.h"
#include "standins/LiveObjectCount.h"

enum class BusyNotifyMethod
{
    Create,  // FinalConstruct: a failure makes the creation fail
    NotifyBusy,
    Count
};

struct NotifyBusyCall
{
    ULONG processId;
    ULONG value;
    VARTYPE contextType;
    VARTYPE resultType;  // of *result on arrival; VT_ILLEGAL for a null pointer
    HRESULT answered;
    LONG sequence;  // NextStandinCallSequence() at arrival
    DWORD tick;     // GetTickCount() at arrival
};

// The busy-notify service, creatable under CLSID_BusyNotify. Records NotifyBusy and answers S_OK
// unless told to fail. The objects are created by the plug-in through COM, so the record and the
// failures are class-wide.
class CBusyNotify : public CComObjectRootEx, public IBusyNotify, public CLiveObjectCount<CBusyNotify>
{
public:
    static CFaultControl& Fault(BusyNotifyMethod method);
    static CCallLog<NotifyBusyCall>& NotifyBusyCalls();
    // No failures, no calls recorded.
    static void Reset();

    HRESULT FinalConstruct();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // IBusyNotify
    HRESULT STDMETHODCALLTYPE NotifyBusy(ULONG processId, ULONG value, VARIANT context, VARIANT* result) override;

private:
    CFreeThreadedMarshaler m_marshaler;
};
