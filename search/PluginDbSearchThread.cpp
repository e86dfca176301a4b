#include "search/PluginDbSearchThread.h"

#include <new>
#include "common/HResult.h"
#include "contentdb/ContentConstants.h"

CPluginDbSearchThread::CProcessItem::~CProcessItem()
{
    if (stream)
    {
        CoReleaseMarshalData(stream);
        stream->Release();
        stream = nullptr;
    }
}

CPluginDbSearchThread::CPluginDbSearchThread()
{
    // Unique per worker: process, construction tick and address. A failed creation leaves the
    // event null; the progress word still works.
    CString name;
    name.Format(L"%s-%08x-%08x-%p", L"LumSiftDbNotifyWex_ProcessProgress", GetCurrentProcessId(), GetTickCount(),
                static_cast<void*>(this));
    m_progressEvent.Create(false, name, false, nullptr);
}

CPluginDbSearchThread::~CPluginDbSearchThread()
{
    RequestStop();
    Shutdown();
    m_site.Release();
    m_progressEvent.Close();
}

bool CPluginDbSearchThread::RequestStop()
{
    // Once the runs open database connections, their abort events are signalled here too.
    return CBase::RequestStop();
}

bool CPluginDbSearchThread::Shutdown()
{
    return StopThread(kStopTimeoutMs);
}

HRESULT CPluginDbSearchThread::QueueSite(ILumMgrPluginSite* site)
{
    if (!StartThread(kStopTimeoutMs))
        return S_FALSE;
    CProcessItem* item = new (std::nothrow) CProcessItem(kItemSite, 0);
    if (!item)
        return E_OUTOFMEMORY;
    if (site)
    {
        // Marshalled from the site's identity, so that any object of the manager's can be passed.
        CComPtr<IUnknown> unknown;
        if (SUCCEEDED(site->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))))
        {
            IStream* stream = nullptr;
            if (SUCCEEDED(CoMarshalInterThreadInterfaceInStream(IID_ILumMgrPluginSite, unknown, &stream)))
                item->stream = stream;
        }
    }
    const HRESULT hr = QueueItem(item, false, false);
    if (FAILED(hr))
        delete item;
    return hr;
}

HRESULT CPluginDbSearchThread::QueueSearch(LONG type, ULONG requestWord)
{
    if (!IsRunning())
    {
        StartThread(kStopTimeoutMs);
        if (!IsRunning())
            return E_FAIL;
    }
    CProcessItem* item = new (std::nothrow) CProcessItem(type, requestWord);
    if (!item)
        return E_OUTOFMEMORY;
    m_progress = kProgressQueued;
    const HRESULT hr = QueueItem(item, false, false);
    if (FAILED(hr))
    {
        delete item;
        SetProgress(kProgressFailed);
    }
    return hr;
}

void CPluginDbSearchThread::SetProgress(ULONG progress) noexcept
{
    m_progress = progress;
    if (m_progressEvent.GetHandle())
        m_progressEvent.Set();
}

bool CPluginDbSearchThread::SetRunEvent()
{
    EnsureEvents();
    return GetRunEvent() && SetEvent(GetRunEvent());
}

bool CPluginDbSearchThread::ResetRunEvent()
{
    EnsureEvents();
    return GetRunEvent() && ResetEvent(GetRunEvent());
}

void CPluginDbSearchThread::SetRequestObserver(RequestObserver observer, void* context) noexcept
{
    m_observer = observer;
    m_observerContext = context;
}

bool CPluginDbSearchThread::ProcessItem(CBase::CProcessItem* baseItem)
{
    CProcessItem* item = dynamic_cast<CProcessItem*>(baseItem);
    if (!item)
        return false;
    switch (item->type)
    {
    case kItemThreadEnding:
        m_site.Release();
        break;
    case kItemThreadStarted:
        break;
    case kItemSite:
        TakeSite(*item);
        if (m_observer)
            m_observer(m_observerContext, item->type, item->value, m_site);
        break;
    case kItemCleanUp:
    case kItemFullSearch:
    case kItemCategoryVersionSearch:
    case kItemCategorySearch:
    case kItemMetadataUpdateMajor:
    case kItemMetadataUpdateMinor:
        if (m_observer)
            m_observer(m_observerContext, item->type, item->value, m_site);
        RunRequest(item->type, item->value);
        break;
    default:
        return false;
    }
    delete item;
    return true;
}

void CPluginDbSearchThread::TakeSite(CProcessItem& item)
{
    // Without a stream the site held stays.
    if (!item.stream)
        return;
    m_site.Release();
    IStream* stream = item.stream;
    item.stream = nullptr;
    ILumMgrPluginSite* site = nullptr;
    if (SUCCEEDED(CoGetInterfaceAndReleaseStream(stream, IID_ILumMgrPluginSite, reinterpret_cast<void**>(&site))))
        m_site.Attach(site);
}

void CPluginDbSearchThread::RunRequest(LONG type, ULONG requestWord)
{
    SetProgress(kProgressRunning);
    HRESULT hr = E_UNEXPECTED;
    switch (type)
    {
    case kItemCleanUp:
        hr = RunCleanUp(requestWord);
        break;
    case kItemFullSearch:
        hr = RunFullSearch(requestWord);
        break;
    case kItemCategoryVersionSearch:
        hr = RunCategoryVersionSearch(requestWord);
        break;
    case kItemCategorySearch:
        hr = RunCategorySearch(requestWord);
        break;
    case kItemMetadataUpdateMajor:
        hr = RunMetadataVersionUpdate(requestWord, true);
        break;
    case kItemMetadataUpdateMinor:
        hr = RunMetadataVersionUpdate(requestWord, false);
        break;
    default:
        break;
    }
    SetProgress(FAILED(hr) ? kProgressFailed : kProgressDone);
}

HRESULT CPluginDbSearchThread::RunCleanUp(ULONG)
{
    return E_NOTIMPL;
}

HRESULT CPluginDbSearchThread::RunFullSearch(ULONG)
{
    return E_NOTIMPL;
}

HRESULT CPluginDbSearchThread::RunCategoryVersionSearch(ULONG)
{
    return E_NOTIMPL;
}

HRESULT CPluginDbSearchThread::RunCategorySearch(ULONG)
{
    return E_NOTIMPL;
}

HRESULT CPluginDbSearchThread::RunMetadataVersionUpdate(ULONG, bool)
{
    return E_NOTIMPL;
}

HRESULT CPluginDbSearchThread::WalkSearchResults(CKdCdbMgr& connection, LPCWSTR query, ULONG columnCount,
                                                 const LONG* columns, bool& stopped,
                                                 const std::function<void()>& readRow)
{
    // The search and the walk over its results are one unit on the connection.
    CLockGuard walk(connection.ConnectionLock());
    LONG count = 0;
    const HRESULT hr = connection.Search(query, columnCount, columns, &count, kAnyItemClass, 0, 0, 0);
    if (FAILED(hr))
        return hr;
    for (LONG i = 0; i < count && !stopped; ++i)
    {
        readRow();
        const HRESULT moved = connection.MoveNext();
        if (!WaitForRun(INFINITE))
            stopped = true;
        if (FAILED(moved))
            break;
    }
    return hr;
}
