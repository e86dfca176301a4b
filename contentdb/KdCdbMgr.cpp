#include "contentdb/KdCdbMgr.h"
#include <objbase.h>
#include <algorithm>
#include <cwchar>
#include <new>
#include "com/ComObject.h"
#include "common/ComCall.h"
#include "common/HResult.h"
#include "common/HResultException.h"
#include "contentdb/KdCdbMgrEvents.h"

namespace
{
constexpr LONG kPropClass = -2;
constexpr LONG kPropPath = 0x01F4;
constexpr HRESULT kHrNotReady = HResultFromWin32(ERROR_NOT_READY);
constexpr DWORD kBusyRetryWaitMs = 100;

// Runs a database search that reports how many results it found, and hands that count to the
// caller (when asked for) once the search succeeded.
template <typename Call>
HRESULT CountResults(LONG* resultCount, Call&& call)
{
    LONG found = 0;
    const HRESULT hr = call(&found);
    if (SUCCEEDED(hr) && resultCount)
        *resultCount = found;
    return hr;
}

// A BSTR copy of a caller's text for a database call; null stays null (the empty BSTR).
BSTR AllocBstr(LPCWSTR text)
{
    if (!text)
        return nullptr;
    BSTR copy = SysAllocString(text);
    if (!copy)
        ThrowHResult(E_OUTOFMEMORY);
    return copy;
}
}  // namespace

CKdCdbMgr::CKdCdbMgr()
    : m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_abortEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_stopEvent.IsValid() || !m_abortEvent.IsValid())
        ThrowHResult(HResultFromLastError());
}

CKdCdbMgr::~CKdCdbMgr()
{
    // A walk running on another thread stops at its next check.
    SetEvent(m_stopEvent.Get());
    if (!m_abandoned)
    {
        Close();
        return;
    }
    // No connection lock here: its holder may be gone for good. A late notification finds no
    // owner; the references to the sink and the database are left behind, since the ended
    // thread may have been inside a call on them.
    if (m_sink)
        m_sink->SetOwner(nullptr);
    m_sink.Detach();
    m_database.Detach();
}

void CKdCdbMgr::Abandon() noexcept
{
    m_abandoned = true;
}

// ---- Connection -----------------------------------------------------------------------------

HRESULT CKdCdbMgr::Open(bool notifications, LPCWSTR clientName, DWORD timeoutMs)
{
    if (!clientName)
        clientName = L"";
    CLockGuard guard(m_connectionLock);
    // Allocated before anything is opened, so that running out of memory leaves no half-open
    // connection behind.
    CScopedBstr name(AllocBstr(clientName));
    if (m_database)
    {
        m_database->SetClientInfo(kCdbInfoClientName, name.Get());
        m_clientName = clientName;
    }
    else
    {
        HRESULT hr = Connect(timeoutMs);
        if (FAILED(hr))
            return hr;
        m_clientName = clientName;
        hr = m_database->SetClientInfo(kCdbInfoClientName, name.Get());
        if (SUCCEEDED(hr))
            hr = ReadServerInfo();
        if (SUCCEEDED(hr))
            hr = ReadDatabaseNames();
        if (FAILED(hr))
        {
            m_database->Close();
            ReleaseDatabase();
            Close();
            return hr;
        }
    }
    return EnableNotifications(notifications);
}

HRESULT CKdCdbMgr::Connect(DWORD timeoutMs)
{
    Close();
    IKdCdbManager* database = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_KdCdbManager, nullptr, kClassContextAll, IID_IKdCdbManager,
                                  reinterpret_cast<void**>(&database));
    if (FAILED(hr))
    {
        Close();
        return hr;
    }
    if (!database)
    {
        Close();
        return REGDB_E_CLASSNOTREG;
    }
    m_database.Attach(database);

    hr = OpenDatabase(timeoutMs);
    if (FAILED(hr))
    {
        // Nothing was opened, so the database is not asked to close.
        ReleaseDatabase();
        Close();
    }
    return hr;
}

HRESULT CKdCdbMgr::OpenDatabase(DWORD timeoutMs)
{
    // A busy database can keep us waiting for minutes; the system must not sleep meanwhile.
    const EXECUTION_STATE previous = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    const DWORD start = GetTickCount();
    HRESULT hr;
    for (;;)
    {
        hr = m_database->Open(kCdbOpenFlags, 0, nullptr);
        if (hr != kHrCdbBusy)
            break;
        if (GetTickCount() - start >= timeoutMs)
            break;
        // Deliberately unlike the documented open, whose retries only pace on a stop: a stop or
        // abort ends them at once. Retrying on for minutes would keep the owner's thread from
        // ending, and a service stop would end it by force and lose what it holds.
        if (IsAborted(kBusyRetryWaitMs))
        {
            hr = E_ABORT;
            break;
        }
    }
    SetThreadExecutionState(previous ? previous : ES_CONTINUOUS);
    return hr;
}

HRESULT CKdCdbMgr::ReadServerInfo()
{
    HRESULT hr = m_database->GetServerInfo(kCdbInfoServerText, m_serverText.Receive());
    if (FAILED(hr))
        return hr;
    CScopedBstr version;
    hr = m_database->GetServerInfo(kCdbInfoServerVersion, version.Receive());
    if (FAILED(hr))
        return hr;
    m_serverVersion = ParseServerVersion(version.Get());
    return hr;
}

HRESULT CKdCdbMgr::ReadDatabaseNames()
{
    m_databaseNames.clear();
    LONG count = 0;
    BSTR* names = nullptr;
    const HRESULT hr = m_database->GetDatabaseNames(&count, &names);
    if (!names)
        return kHrCdbNoDatabaseNames;

    // Every element is freed, whatever happens to the copies.
    HRESULT copyResult = S_OK;
    for (LONG i = 0; i < count; ++i)
    {
        if (names[i] && SUCCEEDED(copyResult))
        {
            BSTR copy = SysAllocStringLen(names[i], SysStringLen(names[i]));
            if (!copy)
                copyResult = E_OUTOFMEMORY;
            else
            {
                try
                {
                    m_databaseNames.emplace_back(copy);
                }
                catch (const std::bad_alloc&)
                {
                    SysFreeString(copy);
                    copyResult = E_OUTOFMEMORY;
                }
            }
        }
        SysFreeString(names[i]);
    }
    CoTaskMemFree(names);
    if (FAILED(copyResult))
        return copyResult;
    return m_databaseNames.empty() ? kHrCdbNoDatabaseNames : hr;
}

void CKdCdbMgr::ReleaseDatabase() noexcept
{
    m_database.Release();
}

HRESULT CKdCdbMgr::Close()
{
    CLockGuard guard(m_connectionLock);
    EnableNotifications(false);
    HRESULT hr = S_OK;
    if (m_database)
        hr = m_database->Close();
    ReleaseDatabase();
    m_serverText.Reset();
    m_clientName.Empty();
    m_serverVersion = 0;
    m_databaseNames.clear();
    return hr;
}

bool CKdCdbMgr::IsConnected()
{
    CLockGuard guard(m_connectionLock);
    return m_database != nullptr;
}

CString CKdCdbMgr::GetServerText()
{
    CLockGuard guard(m_connectionLock);
    return CString(m_serverText.Get() ? m_serverText.Get() : L"", static_cast<int>(m_serverText.Length()));
}

CString CKdCdbMgr::GetClientName()
{
    CLockGuard guard(m_connectionLock);
    return m_clientName;
}

std::vector<CString> CKdCdbMgr::GetDatabaseNames()
{
    CLockGuard guard(m_connectionLock);
    std::vector<CString> names;
    for (const CScopedBstr& name : m_databaseNames)
        names.emplace_back(name.Get(), static_cast<int>(name.Length()));
    return names;
}

DWORD CKdCdbMgr::ParseServerVersion(const wchar_t* text) noexcept
{
    DWORD version = 0;
    const wchar_t* p = text ? text : L"";
    for (int round = 0; round < 3; ++round)
    {
        version <<= 8;
        while (*p == L'.' || *p == L',')
            ++p;
        const wchar_t* token = p;
        while (*p && *p != L'.' && *p != L',')
            ++p;
        // wcstol stops at the separator at the latest, so it reads the token alone.
        if (p != token)
            version |= static_cast<DWORD>(wcstol(token, nullptr, 0)) & 0xFF;
    }
    return version;
}

// ---- Notifications --------------------------------------------------------------------------

HRESULT CKdCdbMgr::EnableNotifications(bool on)
{
    CLockGuard guard(m_connectionLock);
    if (on)
    {
        if (m_sink)
            return S_FALSE;
        if (!m_database)
            return kHrNotReady;
        CComObject<CKdCdbMgrEvents>* sink = nullptr;
        const HRESULT hr = CComObject<CKdCdbMgrEvents>::CreateInstance(&sink);
        if (FAILED(hr))
            return hr;
        m_sink = sink;
        sink->SetOwner(this);
        // Whether the database took the sink does not change the answer.
        m_database->SetNotificationSink(IID_IKdCdbNotification, static_cast<IKdCdbNotification*>(sink));
        return S_OK;
    }

    if (!m_sink)
        return S_FALSE;
    const HRESULT hr = m_database ? m_database->SetNotificationSink(IID_IKdCdbNotification, nullptr) : kHrNotReady;
    // Waits for a call in progress inside the sink; later calls find no owner.
    m_sink->SetOwner(nullptr);
    m_sink.Release();
    RemoveListener(nullptr);
    return hr;
}

bool CKdCdbMgr::AddListener(IKdCdbMgrEvents* listener)
{
    CLockGuard guard(m_listenerLock);
    if (std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end())
        return true;
    m_listeners.push_back(listener);
    return false;
}

void CKdCdbMgr::RemoveListener(IKdCdbMgrEvents* listener)
{
    CLockGuard guard(m_listenerLock);
    if (!listener)
        m_listeners.clear();
    else
        m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener), m_listeners.end());
}

bool CKdCdbMgr::IsListener(IKdCdbMgrEvents* listener)
{
    CLockGuard guard(m_listenerLock);
    return std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end();
}

LONG STDMETHODCALLTYPE CKdCdbMgr::OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                           LONG_PTR context)
{
    try
    {
        std::vector<IKdCdbMgrEvents*> listeners;
        {
            CLockGuard guard(m_listenerLock);
            listeners = m_listeners;
        }
        // The listener lock is held through each call and the registration checked inside it, so
        // that RemoveListener on another thread either waits for the call or prevents it.
        for (IKdCdbMgrEvents* listener : listeners)
        {
            CLockGuard guard(m_listenerLock);
            if (listener && std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end())
                listener->OnNotify(count, itemIds, itemClasses, changeKinds, context);
        }
    }
    catch (...)
    {
        // Runs on the database's thread: nothing may escape to it.
    }
    return 0;
}

// ---- Run and abort events -------------------------------------------------------------------

bool CKdCdbMgr::ReplaceDuplicate(CSharedHandle& held, HANDLE source)
{
    CSharedHandle copy;
    bool ok = true;
    HANDLE duplicate = nullptr;
    if (source)
    {
        ok = DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &duplicate, 0, FALSE,
                             DUPLICATE_SAME_ACCESS) != FALSE;
        try
        {
            if (ok)
                copy.reset(duplicate, &CloseHandle);
        }
        catch (const std::bad_alloc&)
        {
            ok = false;  // reset() has closed the duplicate
        }
    }
    // The old handle closes when the last check that holds it has ended.
    CLockGuard guard(m_eventLock);
    held.swap(copy);
    return ok;
}

CKdCdbMgr::CRunState CKdCdbMgr::TakeRunState()
{
    CLockGuard guard(m_eventLock);
    return CRunState{m_runEvent, m_ownerAbortEvent};
}

bool CKdCdbMgr::SetRunEvent(HANDLE runEvent)
{
    return ReplaceDuplicate(m_runEvent, runEvent);
}

bool CKdCdbMgr::SetAbortEvent(HANDLE abortEvent)
{
    return ReplaceDuplicate(m_ownerAbortEvent, abortEvent);
}

bool CKdCdbMgr::IsAborted(DWORD timeoutMs)
{
    const CRunState state = TakeRunState();
    HANDLE handles[3] = {m_stopEvent.Get(), m_abortEvent.Get(), state.abort.get()};
    const DWORD count = state.abort ? 3 : 2;
    DWORD index = 0;
    // Dispatches COM calls while waiting, for an owner in a single-threaded apartment.
    const HRESULT hr = CoWaitForMultipleHandles(0, timeoutMs, count, handles, &index);
    if (hr == S_OK)
        return true;
    if (hr == kHrCallPending || hr == E_HANDLE)
        return WaitForSingleObject(m_stopEvent.Get(), 0) != WAIT_TIMEOUT;
    return FAILED(hr);
}

bool CKdCdbMgr::WaitRunnable(DWORD timeoutMs)
{
    const CRunState state = TakeRunState();
    HANDLE handles[4];
    DWORD count = 0;
    handles[count++] = m_stopEvent.Get();
    handles[count++] = m_abortEvent.Get();
    if (state.abort)
        handles[count++] = state.abort.get();
    const DWORD runIndex = count;
    if (state.run)
        handles[count++] = state.run.get();

    if (!state.run || timeoutMs == 0)
    {
        // The lowest signalled handle answers, so a stop or abort wins over the run event.
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, 0);
        return !(result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + runIndex);
    }

    DWORD index = 0;
    const HRESULT hr = CoWaitForMultipleHandles(0, timeoutMs, count, handles, &index);
    if (hr == S_OK)
        return index == runIndex;
    if (hr == kHrCallPending || hr == E_HANDLE)
        return WaitForSingleObject(m_stopEvent.Get(), 0) == WAIT_TIMEOUT;
    return SUCCEEDED(hr);
}

HRESULT CKdCdbMgr::EndWithAbortCheck(HRESULT hr)
{
    return IsAborted(0) ? E_ABORT : hr;
}

// ---- Searches and result sets ---------------------------------------------------------------

HRESULT CKdCdbMgr::Search(LPCWSTR query, ULONG propCount, const LONG* propIds, LONG* resultCount, LONG itemClass,
                          ULONG option1, ULONG option2, ULONG option3)
{
    return OnConnection([&] {
        if (resultCount)
            *resultCount = 0;
        if (!query)
            query = L"";
        CScopedBstr text;
        if (itemClass != -1)
        {
            // The caller's text is not parenthesised: callers that join alternatives bracket them.
            CString filtered;
            filtered.Format(L"%d = \"%d\" and %s", kPropClass, itemClass, query);
            text.Reset(filtered.AllocSysString());
        }
        else
        {
            text.Reset(AllocBstr(query));
        }
        return CountResults(resultCount, [&](LONG* found) {
            ULONG ignored = 0;
            return m_database->Search(m_databaseNames.front().Get(), text.Get(), 0, 0, 0, propCount,
                                      const_cast<LONG*>(propIds), option1, option2, option3, 0, &ignored, found);
        });
    });
}

HRESULT CKdCdbMgr::SelectItem(BSTR itemId, ULONG propCount, const LONG* propIds, LONG* resultCount)
{
    return OnConnection([&] {
        return CountResults(resultCount, [&](LONG* found) {
            return m_database->SelectItem(itemId, 0, propCount, const_cast<LONG*>(propIds), found);
        });
    });
}

HRESULT CKdCdbMgr::SearchRelatedByClass(BSTR itemId, ULONG classCount, const LONG* classes, ULONG propCount,
                                        const LONG* propIds, LONG* resultCount)
{
    return OnConnection([&] {
        return CountResults(resultCount, [&](LONG* found) {
            ULONG ignored = 0;
            return m_database->SearchRelatedByClass(itemId, classCount, const_cast<LONG*>(classes), 0, 0, 0, 0,
                                                    propCount, const_cast<LONG*>(propIds), 0, 0, 0, &ignored, found);
        });
    });
}

HRESULT CKdCdbMgr::SearchRelated(BSTR itemId, ULONG propCount, const LONG* propIds, LONG* resultCount)
{
    return OnConnection([&] {
        return CountResults(resultCount, [&](LONG* found) {
            ULONG ignored = 0;
            return m_database->SearchRelated(itemId, 0, 0, 0, 0, 0, propCount, const_cast<LONG*>(propIds), 0, 0, 0,
                                             &ignored, found);
        });
    });
}

HRESULT CKdCdbMgr::ItemExists(LPCWSTR itemId)
{
    if (!itemId || !*itemId)
        return E_POINTER;
    return OnConnection([&] {
        CScopedBstr id(AllocBstr(itemId));
        LONG found = 0;
        const HRESULT hr = m_database->SelectItem(id.Get(), 0, 0, nullptr, &found);
        if (hr == kHrCdbNoSuchItem)
            return S_FALSE;
        if (FAILED(hr))
            return hr;
        return found >= 1 ? S_OK : S_FALSE;
    });
}

HRESULT CKdCdbMgr::DeleteItem(LPCWSTR itemId)
{
    if (!itemId || !*itemId)
        return E_POINTER;
    return OnConnection([&] {
        CScopedBstr id(AllocBstr(itemId));
        return m_database->DeleteItem(id.Get());
    });
}

HRESULT CKdCdbMgr::MoveNext()
{
    return OnConnection([&] { return m_database->MoveNext(); });
}

HRESULT CKdCdbMgr::GetValue(LONG propId, BSTR* value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    return OnConnection([&] {
        LONG valueCount = 0;
        BSTR text = nullptr;
        const HRESULT hr = m_database->GetValue(propId, 0, &valueCount, &text);
        if (SUCCEEDED(hr) && valueCount >= 1)
            *value = text;
        else
            SysFreeString(text);
        return hr;
    });
}

CString CKdCdbMgr::GetValueText(LONG propId)
{
    CScopedBstr value;
    if (FAILED(GetValue(propId, value.Receive())) || !value.Get())
        return CString();
    return CString(value.Get(), static_cast<int>(value.Length()));
}

HRESULT CKdCdbMgr::GetItemValue(LPCWSTR itemId, LONG propId, BSTR* value)
{
    if (!value)
        return E_POINTER;
    *value = nullptr;
    if (!itemId)
        return E_POINTER;
    return OnConnectionThenAbortCheck([&] {
        CScopedBstr id(AllocBstr(itemId));
        LONG found = 0;
        const HRESULT hr = m_database->SelectItem(id.Get(), 0, 1, &propId, &found);
        // A failed selection leaves the previous result current: reading it would give another
        // item's value.
        return FAILED(hr) ? hr : GetValue(propId, value);
    });
}

HRESULT CKdCdbMgr::GetItemPath(LPCWSTR itemId, BSTR* path)
{
    return GetItemValue(itemId, kPropPath, path);
}

// ---- Writes ---------------------------------------------------------------------------------

HRESULT CKdCdbMgr::WriteValues(LPCWSTR itemId, ULONG count, const LONG* propIds, const BSTR* values)
{
    // The records and the value pointers come from the task allocator, as the database expects;
    // the BSTRs stay the caller's.
    KdCdbPropValue* records = static_cast<KdCdbPropValue*>(CoTaskMemAlloc(sizeof(KdCdbPropValue) * count));
    BSTR* valueSlots = static_cast<BSTR*>(CoTaskMemAlloc(sizeof(BSTR) * count));
    HRESULT hr = E_OUTOFMEMORY;
    if (records && valueSlots)
    {
        for (ULONG i = 0; i < count; ++i)
        {
            valueSlots[i] = values[i];
            records[i].propId = propIds[i];
            records[i].valueCount = 1;
            records[i].values = &valueSlots[i];
        }
        BSTR id = SysAllocString(itemId);
        hr = id ? m_database->SetValues(id, 0, nullptr, count, records) : E_OUTOFMEMORY;
        SysFreeString(id);
    }
    CoTaskMemFree(valueSlots);
    CoTaskMemFree(records);
    return hr;
}

HRESULT CKdCdbMgr::SetValue(LPCWSTR itemId, LONG propId, LPCWSTR value)
{
    if (!itemId)
        return E_POINTER;
    HRESULT hr;
    {
        CLockGuard guard(m_connectionLock);
        if (!m_database)
            return kHrNotConnected;
        BSTR text = SysAllocString(value ? value : L"");
        if (!text)
            return E_OUTOFMEMORY;
        hr = WriteValues(itemId, 1, &propId, &text);
        SysFreeString(text);
    }
    return EndWithAbortCheck(hr);
}

HRESULT CKdCdbMgr::SetValueList(LPCWSTR itemId, const std::vector<LONG>& propIds, const std::vector<BSTR>* values)
{
    if (!itemId)
        return E_POINTER;
    if (propIds.empty() || !values)
        return E_OUTOFMEMORY;
    if (propIds.size() != values->size())
        return E_INVALIDARG;
    return OnConnectionThenAbortCheck(
        [&] { return WriteValues(itemId, static_cast<ULONG>(propIds.size()), propIds.data(), values->data()); });
}

HRESULT CKdCdbMgr::SetValuesRaw(BSTR itemId, ULONG count1, KdCdbPropValue* list1, ULONG count2,
                                KdCdbPropValue* list2)
{
    if (!itemId || (count1 && !list1) || (count2 && !list2))
        return E_POINTER;
    return OnConnection([&] { return m_database->SetValues(itemId, count1, list1, count2, list2); });
}
