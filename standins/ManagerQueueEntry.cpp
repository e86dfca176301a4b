#include "standins/ManagerQueueEntry.h"
#include "common/ComCall.h"
#include "common/Scoped.h"

HRESULT CManagerQueueEntry::Create(const wchar_t* id, const wchar_t* path, ULONG state, CManagerQueueEntry** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return ComCall([&] {
        CComObject<CManagerQueueEntry>* entry = nullptr;
        const HRESULT hr = CComObject<CManagerQueueEntry>::CreateInstance(&entry);
        if (FAILED(hr))
            return hr;
        entry->AddRef();
        if (id)
            entry->m_id = id;
        if (path)
            entry->m_path = path;
        entry->m_state = state;
        *out = entry;
        return S_OK;
    });
}

HRESULT CManagerQueueEntry::FinalConstruct()
{
    return m_marshaler.Create(GetControllingUnknown());
}

HRESULT CManagerQueueEntry::InternalQueryInterface(REFIID iid, void** out)
{
    const HRESULT hr = QueryInterfaceFrom(iid, out, {{&IID_IQueueEntry, static_cast<IQueueEntry*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

std::wstring CManagerQueueEntry::Id() const
{
    return m_id.value_or(std::wstring());
}

ULONG CManagerQueueEntry::StateWord() const
{
    CObjectLockGuard<CManagerQueueEntry> guard(const_cast<CManagerQueueEntry&>(*this));
    return m_state;
}

void CManagerQueueEntry::SetStateWord(ULONG state)
{
    CObjectLockGuard<CManagerQueueEntry> guard(*this);
    m_state = state;
}

QueueEntryCall CManagerQueueEntry::NewCall(QueueEntryMethod method)
{
    QueueEntryCall call{};
    call.method = method;
    call.tick = GetTickCount();
    call.sequence = NextStandinCallSequence();
    return call;
}

HRESULT STDMETHODCALLTYPE CManagerQueueEntry::SetStatus(LONG status)
{
    return ComCall([&] {
        QueueEntryCall call = NewCall(QueueEntryMethod::SetStatus);
        call.number = static_cast<ULONG>(status);
        call.answered = Fault(QueueEntryMethod::SetStatus).Enter();
        m_calls.Add(call);
        return call.answered;
    });
}

HRESULT STDMETHODCALLTYPE CManagerQueueEntry::GetState(ULONG* state)
{
    if (!state)
        return E_POINTER;
    return ComCall([&] {
        QueueEntryCall call = NewCall(QueueEntryMethod::GetState);
        call.answered = Fault(QueueEntryMethod::GetState).Enter();
        if (SUCCEEDED(call.answered))
            *state = StateWord();
        m_calls.Add(call);
        return call.answered;
    });
}

HRESULT STDMETHODCALLTYPE CManagerQueueEntry::SetState(ULONG state)
{
    return ComCall([&] {
        QueueEntryCall call = NewCall(QueueEntryMethod::SetState);
        call.number = state;
        call.answered = Fault(QueueEntryMethod::SetState).Enter();
        if (SUCCEEDED(call.answered))
            SetStateWord(state);
        m_calls.Add(call);
        return call.answered;
    });
}

HRESULT STDMETHODCALLTYPE CManagerQueueEntry::GetValue(LONG valueId, VARIANT* value)
{
    if (!value)
        return E_POINTER;
    return ComCall([&] {
        VariantInit(value);
        QueueEntryCall call = NewCall(QueueEntryMethod::GetValue);
        call.valueId = valueId;
        call.answered = Fault(QueueEntryMethod::GetValue).Enter();
        if (SUCCEEDED(call.answered))
        {
            const std::optional<std::wstring>* text = valueId == QueueEntry::kValueId     ? &m_id
                                                      : valueId == QueueEntry::kValuePath ? &m_path
                                                                                          : nullptr;
            if (!text)
            {
                call.answered = E_INVALIDARG;
            }
            else if (text->has_value())
            {
                const std::wstring& s = **text;
                BSTR bstr = SysAllocStringLen(s.c_str(), static_cast<UINT>(s.size()));
                if (!bstr)
                {
                    call.answered = E_OUTOFMEMORY;
                }
                else
                {
                    value->vt = VT_BSTR;
                    value->bstrVal = bstr;
                }
            }
        }
        m_calls.Add(call);
        return call.answered;
    });
}

HRESULT STDMETHODCALLTYPE CManagerQueueEntry::SetValue(LONG valueId, VARIANT value)
{
    return ComCall([&] {
        QueueEntryCall call = NewCall(QueueEntryMethod::SetValue);
        call.valueId = valueId;
        call.type = value.vt;
        if (value.vt == VT_DATE)
            call.date = value.date;
        call.answered = Fault(QueueEntryMethod::SetValue).Enter();
        m_calls.Add(call);
        return call.answered;
    });
}
