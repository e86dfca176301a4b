#include "standins/ManagerStatus.h"
#include "common/ComCall.h"
#include "common/Scoped.h"

namespace
{
struct SharedState
{
    CCriticalSection lock{LockRank::Outside};
    ULONG first = 0;   // guarded by lock
    ULONG second = 0;  // guarded by lock
    CFaultControl faults[static_cast<int>(ManagerStatusMethod::Count)];
    CCallLog<GetQueueCountsCall> calls;
};

SharedState& Shared()
{
    static SharedState state;
    return state;
}
}  // namespace

void CManagerStatus::SetQueueCounts(ULONG first, ULONG second)
{
    SharedState& state = Shared();
    CLockGuard guard(state.lock);
    state.first = first;
    state.second = second;
}

CFaultControl& CManagerStatus::Fault(ManagerStatusMethod method)
{
    return Shared().faults[static_cast<int>(method)];
}

CCallLog<GetQueueCountsCall>& CManagerStatus::GetQueueCountsCalls()
{
    return Shared().calls;
}

void CManagerStatus::Reset()
{
    SetQueueCounts(0, 0);
    for (CFaultControl& fault : Shared().faults)
        fault.Reset();
    Shared().calls.Clear();
}

HRESULT CManagerStatus::FinalConstruct()
{
    const HRESULT hr = Fault(ManagerStatusMethod::Create).Enter();
    if (FAILED(hr))
        return hr;
    return m_marshaler.Create(GetControllingUnknown());
}

HRESULT CManagerStatus::InternalQueryInterface(REFIID iid, void** out)
{
    const HRESULT hr = QueryInterfaceFrom(iid, out, {{&IID_ILumMgrStatus, static_cast<ILumMgrStatus*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

HRESULT STDMETHODCALLTYPE CManagerStatus::GetQueueCounts(ULONG* first, ULONG* second)
{
    if (!first || !second)
        return E_POINTER;
    return ComCall([&] {
        GetQueueCountsCall call{S_OK, NextStandinCallSequence(), GetTickCount()};
        call.answered = Fault(ManagerStatusMethod::GetQueueCounts).Enter();
        if (SUCCEEDED(call.answered))
        {
            SharedState& state = Shared();
            CLockGuard guard(state.lock);
            *first = state.first;
            *second = state.second;
        }
        Shared().calls.Add(call);
        return call.answered;
    });
}
