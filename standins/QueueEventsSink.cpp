#include "standins/QueueEventsSink.h"
#include "common/ComCall.h"

HRESULT CQueueEventsSink::Create(CQueueEventsSink** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    CComObject<CQueueEventsSink>* sink = nullptr;
    const HRESULT hr = CComObject<CQueueEventsSink>::CreateInstance(&sink);
    if (FAILED(hr))
        return hr;
    sink->AddRef();
    *out = sink;
    return S_OK;
}

HRESULT CQueueEventsSink::FinalConstruct()
{
    return m_marshaler.Create(GetControllingUnknown());
}

HRESULT CQueueEventsSink::InternalQueryInterface(REFIID iid, void** out)
{
    const HRESULT hr =
        QueryInterfaceFrom(iid, out, {{&IID_ILumMgrPluginQueueEvents, static_cast<ILumMgrPluginQueueEvents*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

void CQueueEventsSink::SetHook(Hook hook)
{
    CLockGuard guard(m_hookLock);
    m_hook = std::move(hook);
}

HRESULT STDMETHODCALLTYPE CQueueEventsSink::OnPendingCountChanged(VARIANT count)
{
    return ComCall([&] {
        PendingCountEvent event{count.vt, count.vt == VT_UI4 ? count.ulVal : 0, S_OK, GetCurrentThreadId(),
                                NextStandinCallSequence(), GetTickCount()};
        event.answered = m_fault.Enter();
        m_events.Add(event);
        Hook hook;
        {
            CLockGuard guard(m_hookLock);
            hook = m_hook;
        }
        if (hook)
            hook(count);
        return event.answered;
    });
}
