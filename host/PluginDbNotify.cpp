#include "host/PluginDbNotify.h"

#include <iterator>
#include "common/ComCall.h"
#include "common/HResultException.h"
#include "common/String.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/RefusedFileChanges.h"
#include "host/resource.h"
#include "search/MetadataVersions.h"
#include "worker/ForcedEnd.h"

namespace
{
// Property ids answered from the metadata versions: outdated majors only, or minors too.
constexpr LONG kPropertyOutdatedMajor = 0x11000;
constexpr LONG kPropertyOutdatedMinor = 0x11001;
constexpr ULONG kStartModeMask = 0x00FF0000;
// What GetInterval reports; SetInterval cannot change it.
constexpr ULONG kNotifyIntervalMs = 120000;

// A getter's answer: E_POINTER when the caller gave no place for it, else `result` with the value
// written. For values that may be read whether or not they are wanted.
template <typename Out, typename Value>
HRESULT Answer(Out* out, Value value, HRESULT result = S_OK) noexcept
{
    if (!out)
        return E_POINTER;
    *out = value;
    return result;
}
}  // namespace

// The connection point keeps the address of the object root, constructed before it.
CPluginDbNotify::CPluginDbNotify() noexcept : CProxyILumMgrPluginQueueEvents(static_cast<CComObjectRootEx&>(*this))
{
}

CPluginDbNotify::~CPluginDbNotify()
{
    SysFreeString(m_startContext.exchange(nullptr));
}

HRESULT CPluginDbNotify::FinalConstruct()
{
    // The object is made even when its notification worker does not run (the worker has traced
    // why): it then fires no events, and the manager may still search through it.
    static_cast<void>(m_notifyThread.StartWorker(this));
    return S_OK;
}

void CPluginDbNotify::FinalRelease()
{
    m_searchThread.RequestStop();
    // No event may be fired into an object on its way out.
    m_notifyThread.ClearOwner();
    m_notifyThread.RequestStop();
    m_site.Release();
}

bool CPluginDbNotify::MustBeDestroyedElsewhere()
{
    return m_notifyThread.IsWorkerThread() || m_searchThread.IsWorkerThread() ||
           CPluginDbNotifyThread::IsFiringOnThisThread();
}

HRESULT CPluginDbNotify::InternalQueryInterface(REFIID iid, void** out)
{
    ILumMgrPluginDatabaseNotify2* notify = this;
    return QueryInterfaceFrom(iid, out,
                              {
                                  {&IID_ILumMgrPluginEngine, static_cast<ILumMgrPluginEngine*>(this)},
                                  {&IID_ILumMgrPluginDatabaseNotify2, notify},
                                  {&IID_ILumMgrPluginDatabaseNotify, static_cast<ILumMgrPluginDatabaseNotify*>(notify)},
                                  {&IID_IConnectionPointContainer, static_cast<IConnectionPointContainer*>(this)},
                              });
}

LONG CPluginDbNotify::SearchTypeFromStartFlags(ULONG startFlags) noexcept
{
    // By start mode (bits 16 to 23); mode 0 and modes past 6 start no search.
    static constexpr LONG kSearchTypes[] = {0,
                                            CPluginDbSearchThread::kItemFullSearch,
                                            CPluginDbSearchThread::kItemCleanUp,
                                            CPluginDbSearchThread::kItemCategoryVersionSearch,
                                            CPluginDbSearchThread::kItemCategorySearch,
                                            CPluginDbSearchThread::kItemMetadataUpdateMajor,
                                            CPluginDbSearchThread::kItemMetadataUpdateMinor};
    const ULONG mode = (startFlags & kStartModeMask) >> 16;
    return mode < std::size(kSearchTypes) ? kSearchTypes[mode] : 0;
}

// ILumMgrPluginEngine

HRESULT CPluginDbNotify::GetProperty(LONG propertyId, VARIANT* value)
{
    if (!value)
        return E_POINTER;
    VariantInit(value);
    // Deliberately beyond the documented properties, which end at the two outdated masks: a
    // forced end is rare and silent, so the soak run and support need a way to see it.
    if (propertyId == kPropertyThreadsEndedByForce)
    {
        value->vt = VT_UI4;
        value->ulVal = ThreadsEndedByForce();
        return S_OK;
    }
    // Likewise the file guard's refusals: the clean-up goes on past them as past any failed
    // deletion, so nothing else would show that a database value named a place it must not touch.
    if (propertyId == kPropertyRefusedFileChanges)
    {
        value->vt = VT_UI4;
        value->ulVal = RefusedFileChangeCount();
        return S_OK;
    }
    if (propertyId == kPropertyRecentRefusedFileChanges)
    {
        return ComCall([&] {
            const BSTR text = RecentRefusedFileChangesText().AllocSysString();
            if (!text)
                return E_OUTOFMEMORY;
            value->vt = VT_BSTR;
            value->bstrVal = text;
            return S_OK;
        });
    }
    if (propertyId != kPropertyOutdatedMajor && propertyId != kPropertyOutdatedMinor)
        return E_NOTIMPL;
    // Read afresh on the caller's thread: engines may have been installed since the last call.
    return ComCall([&] {
        std::vector<EngineEntry> outdated;
        const ULONG mask = GetOutdatedEngines(propertyId == kPropertyOutdatedMajor, outdated, kCategoryAll);
        value->vt = VT_UI4;
        value->ulVal = mask;
        return S_OK;
    });
}

HRESULT CPluginDbNotify::SetProperty(LONG, VARIANT)
{
    return E_NOTIMPL;
}

HRESULT CPluginDbNotify::GetPropertyInfo(LONG, VARIANT* info)
{
    if (!info)
        return E_POINTER;
    VariantInit(info);
    return E_NOTIMPL;
}

HRESULT CPluginDbNotify::Start(ULONG startFlags, BSTR startContext, VARIANT)
{
    return ComCall([&] {
        // The state is running from here on, whatever the outcome.
        const ULONG previous = m_searchThread.ExchangeEngineState(CPluginDbSearchThread::kEngineRunning);
        if (previous == CPluginDbSearchThread::kEnginePaused)
        {
            m_searchThread.SetRunEvent();
            return S_OK;
        }
        if (previous == CPluginDbSearchThread::kEngineRunning)
            return E_NOTIMPL;

        HRESULT hr = m_searchThread.QueueSite(m_site);
        if (FAILED(hr))
            return hr;
        const LONG type = SearchTypeFromStartFlags(startFlags);
        if (type != 0)
        {
            hr = m_searchThread.QueueSearch(type, startFlags);
        }
        else
        {
            m_searchThread.SetProgress(CPluginDbSearchThread::kProgressFailed);
            hr = S_FALSE;
        }
        // A worker paused before a Stop runs again.
        m_searchThread.SetRunEvent();
        if (SUCCEEDED(hr))
            StoreStartContext(startContext);
        return hr;
    });
}

HRESULT CPluginDbNotify::Stop(VARIANT)
{
    RequestSearchStop();
    return S_OK;
}

HRESULT CPluginDbNotify::Pause(VARIANT)
{
    m_searchThread.ExchangeEngineState(CPluginDbSearchThread::kEnginePaused);
    m_searchThread.ResetRunEvent();
    return S_OK;
}

HRESULT CPluginDbNotify::Resume(VARIANT)
{
    return E_NOTIMPL;  // a paused engine is resumed by Start
}

HRESULT CPluginDbNotify::SetOption(ULONG)
{
    return E_NOTIMPL;
}

HRESULT CPluginDbNotify::GetOptionFlag(VARIANT_BOOL* flag)
{
    return Answer(flag, VARIANT_FALSE);
}

HRESULT CPluginDbNotify::Abort(VARIANT)
{
    // The stop is requested all the same.
    RequestSearchStop();
    return E_NOTIMPL;
}

HRESULT CPluginDbNotify::GetState(ULONG* state)
{
    return Answer(state, m_searchThread.GetEngineState());
}

HRESULT CPluginDbNotify::GetProgress(ULONG* progress)
{
    return Answer(progress, m_searchThread.GetProgress());
}

HRESULT CPluginDbNotify::GetProgressEventName(BSTR* name)
{
    if (!name)
        return E_POINTER;
    return ComCall([&] {
        *name = m_searchThread.GetProgressEventName().AllocSysString();
        return S_OK;
    });
}

HRESULT CPluginDbNotify::GetModuleId(BSTR* moduleId)
{
    if (!moduleId)
        return E_POINTER;
    return ComCall([&] {
        *moduleId = CString(static_cast<UINT>(IDS_MODULE_ID)).AllocSysString();
        return S_OK;
    });
}

HRESULT CPluginDbNotify::GetCategoryMask(ULONG* mask)
{
    return Answer(mask, 0ul, E_NOTIMPL);  // this plug-in analyses no content itself
}

HRESULT CPluginDbNotify::GetClassId(VARIANT* classId)
{
    if (!classId)
        return E_POINTER;
    VariantInit(classId);
    wchar_t text[128] = {0};
    if (StringFromGUID2(CLSID_PluginDbNotify, text, 128) == 0)
        return E_FAIL;
    BSTR copy = SysAllocString(text);
    if (!copy)
        return E_OUTOFMEMORY;
    V_VT(classId) = VT_BSTR;
    V_BSTR(classId) = copy;
    return S_OK;
}

HRESULT CPluginDbNotify::GetOptionFlag2(VARIANT_BOOL* flag)
{
    return Answer(flag, VARIANT_FALSE, E_NOTIMPL);
}

HRESULT CPluginDbNotify::GetProcessId(ULONG* processId, VARIANT* reserved)
{
    if (!processId)
        return E_POINTER;
    if (reserved)
        VariantInit(reserved);
    *processId = GetCurrentProcessId();
    return S_OK;
}

HRESULT CPluginDbNotify::TakeStartContext(BSTR* context)
{
    if (!context)
        return E_POINTER;
    *context = m_startContext.exchange(nullptr);
    return S_OK;
}

void CPluginDbNotify::RequestSearchStop()
{
    m_searchThread.ExchangeEngineState(CPluginDbSearchThread::kEngineStopped);
    m_searchThread.EnsureEvents();
    // Not waited for: the thread ends by itself and a later Start starts a new one.
    m_searchThread.RequestStop();
}

void CPluginDbNotify::StoreStartContext(BSTR context)
{
    BSTR copy = nullptr;
    if (context)
    {
        copy = SysAllocStringLen(context, SysStringLen(context));
        if (!copy)
            ThrowHResult(E_OUTOFMEMORY);
    }
    SysFreeString(m_startContext.exchange(copy));
}

// ILumMgrPluginDatabaseNotify2: these keep the site and hand over to the notification worker;
// none of them does database work on the calling thread.

HRESULT CPluginDbNotify::Connect(IUnknown* site, VARIANT options)
{
    if (!site)
        return E_POINTER;
    // Only a VT_UI4 can switch the change notifications off; anything else leaves them on.
    bool connectSwitch = true;
    if (V_VT(&options) == VT_UI4)
        connectSwitch = (V_UI4(&options) & 1) != 0;
    // Not locked: Connect is not called concurrently with itself. The same pointer again is the
    // site already kept, so it is not asked again.
    if (static_cast<IUnknown*>(m_site.Get()) != site)
    {
        ILumMgrPluginSite* asked = nullptr;
        if (FAILED(site->QueryInterface(IID_ILumMgrPluginSite, reinterpret_cast<void**>(&asked))))
            asked = nullptr;  // a site without the interface drops the one kept before
        m_site.Attach(asked);
    }
    if (!m_site)
        return E_INVALIDARG;
    return m_notifyThread.QueueConnect(m_site, connectSwitch);
}

HRESULT CPluginDbNotify::Disconnect(VARIANT)
{
    // The kept site stays: only the worker lets its own copy go.
    return m_notifyThread.QueueDisconnect();
}

HRESULT CPluginDbNotify::GetNotifyFlag(VARIANT_BOOL* flag)
{
    return Answer(flag, VARIANT_FALSE);
}

HRESULT CPluginDbNotify::GetInterval(ULONG* milliseconds)
{
    return Answer(milliseconds, kNotifyIntervalMs);
}

HRESULT CPluginDbNotify::SetInterval(ULONG)
{
    return E_NOTIMPL;  // the interval is fixed
}

HRESULT CPluginDbNotify::GetPendingCount(ULONG* count)
{
    // The count as last reported, not a recount: it matches the events the manager has seen.
    return Answer(count, m_notifyThread.GetLastReportedCount());
}

HRESULT CPluginDbNotify::GetPendingItems(ULONG skip, ULONG maxCount, VARIANT* items)
{
    if (!items)
        return E_POINTER;
    return ComCall([&] { return m_notifyThread.GetPendingItems(skip, maxCount, items); });
}

HRESULT CPluginDbNotify::CancelPending(BSTR item)
{
    // May fire OnPendingCountChanged on this thread; no lock of ours is held here.
    return ComCall([&] { return m_notifyThread.CancelPending(item); });
}

HRESULT CPluginDbNotify::FirePendingCountChanged(const VARIANT& count)
{
    return Fire_OnPendingCountChanged(count);
}

CConnectionPoint* CPluginDbNotify::GetConnectionPointAt(ULONG index) noexcept
{
    return index == 0 ? &QueueEventsConnectionPoint() : nullptr;
}
