#include "standins/ManagerSite.h"
#include "common/ComCall.h"
#include "common/HResultException.h"
#include "standins/ManagerQueueEntry.h"

namespace
{
std::wstring TextOf(BSTR text)
{
    return std::wstring(text ? text : L"", SysStringLen(text));
}
}  // namespace

HRESULT CManagerSite::Create(CManagerSite** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    CComObject<CManagerSite>* site = nullptr;
    const HRESULT hr = CComObject<CManagerSite>::CreateInstance(&site);
    if (FAILED(hr))
        return hr;
    site->AddRef();
    *out = site;
    return S_OK;
}

HRESULT CManagerSite::FinalConstruct()
{
    return m_marshaler.Create(GetControllingUnknown());
}

HRESULT CManagerSite::InternalQueryInterface(REFIID iid, void** out)
{
    const HRESULT hr = QueryInterfaceFrom(iid, out, {{&IID_ILumMgrPluginSite, static_cast<ILumMgrPluginSite*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

void CManagerSite::AddElement(const VARIANT& value, std::wstring id)
{
    auto element = std::make_unique<Element>();
    // VariantCopy leaves its source alone; the platform header just does not say const.
    const HRESULT hr = VariantCopy(element->value.Get(), const_cast<VARIANT*>(&value));
    if (FAILED(hr))
        ThrowHResult(hr);
    element->id = std::move(id);
    CObjectLockGuard<CManagerSite> guard(*this);
    m_queue.push_back(std::move(element));
}

bool CManagerSite::RemoveQueueEntry(const std::wstring& id)
{
    std::unique_ptr<Element> removed;  // released after the lock is left
    CObjectLockGuard<CManagerSite> guard(*this);
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it)
    {
        if (!id.empty() && (*it)->id == id)
        {
            removed = std::move(*it);
            m_queue.erase(it);
            return true;
        }
    }
    return false;
}

void CManagerSite::AddQueueEntry(CManagerQueueEntry* entry)
{
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UNKNOWN;
    value.punkVal = static_cast<IQueueEntry*>(entry);
    AddElement(value, entry ? entry->Id() : std::wstring());
}

void CManagerSite::AddQueueElement(const VARIANT& element)
{
    AddElement(element, std::wstring());
}

size_t CManagerSite::QueueEntryCount() const
{
    CObjectLockGuard<CManagerSite> guard(const_cast<CManagerSite&>(*this));
    return m_queue.size();
}

void CManagerSite::AnswerQueueEntriesWith(const VARIANT& answer)
{
    auto copy = std::make_unique<CScopedVariant>();
    const HRESULT hr = VariantCopy(copy->Get(), const_cast<VARIANT*>(&answer));
    if (FAILED(hr))
        ThrowHResult(hr);
    CObjectLockGuard<CManagerSite> guard(*this);
    m_entriesAnswer = std::move(copy);
}

void CManagerSite::SetQueueItemObserver(QueueItemObserver observer)
{
    CLockGuard guard(m_observerLock);
    m_queueItemObserver = std::move(observer);
}

void CManagerSite::SetCancelQueueEntryObserver(CancelQueueEntryObserver observer)
{
    CLockGuard guard(m_observerLock);
    m_cancelObserver = std::move(observer);
}

HRESULT STDMETHODCALLTYPE CManagerSite::CancelQueueEntry(BSTR entryId)
{
    return ComCall([&] {
        CancelQueueEntryCall call{TextOf(entryId), S_OK, NextStandinCallSequence(), GetTickCount()};
        call.answered = Fault(ManagerSiteMethod::CancelQueueEntry).Enter();
        std::unique_ptr<Element> withdrawn;  // released after the lock is left
        if (SUCCEEDED(call.answered))
        {
            call.answered = E_INVALIDARG;
            CObjectLockGuard<CManagerSite> guard(*this);
            for (auto it = m_queue.begin(); it != m_queue.end(); ++it)
            {
                if (!call.entryId.empty() && (*it)->id == call.entryId)
                {
                    withdrawn = std::move(*it);
                    m_queue.erase(it);
                    call.answered = S_OK;
                    break;
                }
            }
        }
        m_cancelCalls.Add(call);
        CancelQueueEntryObserver observer;
        {
            CLockGuard guard(m_observerLock);
            observer = m_cancelObserver;
        }
        if (observer)
            observer(call);
        return call.answered;
    });
}

HRESULT CManagerSite::CopyQueue(VARIANT* entries)
{
    CObjectLockGuard<CManagerSite> guard(*this);
    if (m_entriesAnswer)
        return VariantCopy(entries, m_entriesAnswer->Get());

    CScopedSafeArray array(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(m_queue.size())));
    if (!array.Get())
        return E_OUTOFMEMORY;
    VARIANT* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array.Get(), reinterpret_cast<void**>(&data));
    if (FAILED(hr))
        return hr;
    for (size_t i = 0; i < m_queue.size() && SUCCEEDED(hr); ++i)
        hr = VariantCopy(&data[i], m_queue[i]->value.Get());
    SafeArrayUnaccessData(array.Get());
    if (FAILED(hr))
        return hr;
    entries->vt = VT_ARRAY | VT_VARIANT;
    entries->parray = array.Release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CManagerSite::GetQueueEntries(VARIANT* entries)
{
    if (!entries)
        return E_POINTER;
    return ComCall([&] {
        VariantInit(entries);
        GetQueueEntriesCall call{S_OK, NextStandinCallSequence(), GetTickCount()};
        call.answered = Fault(ManagerSiteMethod::GetQueueEntries).Enter();
        if (SUCCEEDED(call.answered))
            call.answered = CopyQueue(entries);
        m_getEntriesCalls.Add(call);
        return call.answered;
    });
}

// The result VARIANT is not used by the caller and left as it came.
HRESULT STDMETHODCALLTYPE CManagerSite::QueueItem(BSTR location, LONG category, ULONG queueFlags, VARIANT* /*result*/)
{
    return ComCall([&] {
        QueueItemCall call{TextOf(location), category, queueFlags, S_OK, NextStandinCallSequence(), GetTickCount()};
        call.answered = Fault(ManagerSiteMethod::QueueItem).Enter();
        m_queueItemCalls.Add(call);
        QueueItemObserver observer;
        {
            CLockGuard guard(m_observerLock);
            observer = m_queueItemObserver;
        }
        if (observer)
            observer(call);
        return call.answered;
    });
}
