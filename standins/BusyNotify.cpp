#include "standins/BusyNotify.h"
#include "common/ComCall.h"

namespace
{
struct SharedState
{
    CFaultControl faults[static_cast<int>(BusyNotifyMethod::Count)];
    CCallLog<NotifyBusyCall> calls;
};

SharedState& Shared()
{
    static SharedState state;
    return state;
}
}  // namespace

CFaultControl& CBusyNotify::Fault(BusyNotifyMethod method)
{
    return Shared().faults[static_cast<int>(method)];
}

CCallLog<NotifyBusyCall>& CBusyNotify::NotifyBusyCalls()
{
    return Shared().calls;
}

void CBusyNotify::Reset()
{
    for (CFaultControl& fault : Shared().faults)
        fault.Reset();
    Shared().calls.Clear();
}

HRESULT CBusyNotify::FinalConstruct()
{
    const HRESULT hr = Fault(BusyNotifyMethod::Create).Enter();
    if (FAILED(hr))
        return hr;
    return m_marshaler.Create(GetControllingUnknown());
}

HRESULT CBusyNotify::InternalQueryInterface(REFIID iid, void** out)
{
    const HRESULT hr = QueryInterfaceFrom(iid, out, {{&IID_IBusyNotify, static_cast<IBusyNotify*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

HRESULT STDMETHODCALLTYPE CBusyNotify::NotifyBusy(ULONG processId, ULONG value, VARIANT context, VARIANT* result)
{
    return ComCall([&] {
        NotifyBusyCall call{processId, value, context.vt, result ? result->vt : static_cast<VARTYPE>(VT_ILLEGAL),
                            S_OK, NextStandinCallSequence(), GetTickCount()};
        call.answered = Fault(BusyNotifyMethod::NotifyBusy).Enter();
        Shared().calls.Add(call);
        return call.answered;
    });
}
