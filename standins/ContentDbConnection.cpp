#include "standins/ContentDbConnection.h"
#include <objbase.h>
#include <algorithm>
#include <optional>
#include "common/ComCall.h"
#include "standins/ContentDatabase.h"
#include "standins/ContentDbQuery.h"

namespace
{
volatile LONG g_liveConnections = 0;

std::wstring TextOf(BSTR text)
{
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

std::vector<LONG> ListOf(const LONG* values, ULONG count)
{
    return values ? std::vector<LONG>(values, values + count) : std::vector<LONG>();
}

// A BSTR copy of a text, or E_OUTOFMEMORY.
HRESULT CopyText(const std::wstring& text, BSTR* out)
{
    *out = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Checks one list of writes and adds it to `changes`: pseudo-properties cannot be written, and a
// record has at most one value.
HRESULT CollectWrites(ULONG count, const KdCdbPropValue* list, CContentDbCatalogue::Properties& changes)
{
    for (ULONG i = 0; i < count; ++i)
    {
        const KdCdbPropValue& record = list[i];
        if (record.propId < 0 || record.valueCount > 1)
            return E_INVALIDARG;
        if (record.valueCount == 1 && !record.values)
            return E_POINTER;
        changes.emplace_back(record.propId, record.valueCount ? TextOf(record.values[0]) : std::wstring());
    }
    return S_OK;
}
}  // namespace

CContentDbConnection::CContentDbConnection() noexcept
{
    InterlockedIncrement(&g_liveConnections);
}

CContentDbConnection::~CContentDbConnection()
{
    InterlockedDecrement(&g_liveConnections);
}

LONG CContentDbConnection::LiveCount() noexcept
{
    return InterlockedCompareExchange(&g_liveConnections, 0, 0);
}

HRESULT CContentDbConnection::FinalConstruct()
{
    return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), &m_marshaler);
}

void CContentDbConnection::FinalRelease()
{
    if (m_database)
    {
        m_database->Notifier().Unregister(this);
        m_database->ConnectionDestroyed();
        m_database.reset();
    }
    m_marshaler.Release();
}

HRESULT CContentDbConnection::InternalQueryInterface(REFIID iid, void** out)
{
    if (out && IsEqualIID(iid, IID_IMarshal) && m_marshaler)
        return m_marshaler->QueryInterface(iid, out);
    return QueryInterfaceFrom(iid, out, {{&IID_IKdCdbManager, static_cast<IKdCdbManager*>(this)}});
}

void CContentDbConnection::Attach(std::shared_ptr<CContentDatabase> database)
{
    if (m_database || !database)
        return;
    m_database = std::move(database);
    m_database->ConnectionCreated();
}

bool CContentDbConnection::WantsDetails() const noexcept
{
    return m_database && m_database->Control().WantsDetails();
}

HRESULT CContentDbConnection::Begin(CdbMethod method, CdbCall* call, bool needsOpen)
{
    if (!m_database)
        return E_UNEXPECTED;
    std::wstring text;
    if (call)
    {
        call->method = method;
        call->connection = this;
        text = call->text;
        m_database->Control().Record(std::move(*call));
    }
    const HRESULT injected = m_database->Control().Enter(method, text);
    if (injected != S_OK)
        return injected;
    if (needsOpen)
    {
        CObjectLockGuard<CContentDbConnection> guard(*this);
        if (!m_open)
            return kHrCdbNotOpen;
    }
    return S_OK;
}

void CContentDbConnection::SetResults(std::vector<ContentDbItemPtr> rows, ULONG propCount, const LONG* propIds)
{
    m_rows = std::move(rows);
    m_current = 0;
    m_fetched = ListOf(propIds, propCount);
    std::sort(m_fetched.begin(), m_fetched.end());
    m_strictFetch = m_database->IsStrictFetch();
}

void CContentDbConnection::ClearResults()
{
    m_rows.clear();
    m_current = 0;
    m_fetched.clear();
}

// ---- Connection -----------------------------------------------------------------------------

STDMETHODIMP CContentDbConnection::Open(ULONG flags, ULONG count, ULONG* list)
{
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
            call.numbers = {static_cast<LONG>(flags), static_cast<LONG>(count)};
        HRESULT hr = Begin(CdbMethod::Open, WantsDetails() ? &call : nullptr, false);
        if (hr != S_OK)
            return hr;
        if (count && !list)
            return E_POINTER;
        if (m_database->IsBusy())
            return kHrCdbBusy;
        CObjectLockGuard<CContentDbConnection> guard(*this);
        m_open = true;
        return S_OK;
    });
}

STDMETHODIMP CContentDbConnection::Close()
{
    return ComCall([&] {
        CdbCall call;
        HRESULT hr = Begin(CdbMethod::Close, WantsDetails() ? &call : nullptr, false);
        if (hr != S_OK)
            return hr;
        m_database->Notifier().Unregister(this);
        CObjectLockGuard<CContentDbConnection> guard(*this);
        m_open = false;
        ClearResults();
        return S_OK;
    });
}

STDMETHODIMP CContentDbConnection::SetClientInfo(ULONG index, BSTR text)
{
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
        {
            call.numbers = {static_cast<LONG>(index)};
            call.text = TextOf(text);
        }
        HRESULT hr = Begin(CdbMethod::SetClientInfo, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        if (index != kCdbInfoClientName)
            return E_INVALIDARG;
        CObjectLockGuard<CContentDbConnection> guard(*this);
        m_clientName = TextOf(text);
        return S_OK;
    });
}

STDMETHODIMP CContentDbConnection::GetServerInfo(ULONG index, BSTR* text)
{
    if (!text)
        return E_POINTER;
    *text = nullptr;
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
            call.numbers = {static_cast<LONG>(index)};
        HRESULT hr = Begin(CdbMethod::GetServerInfo, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        if (index == kCdbInfoServerText)
            return CopyText(m_database->ServerText(), text);
        if (index == kCdbInfoServerVersion)
            return CopyText(m_database->VersionText(), text);
        return E_INVALIDARG;
    });
}

STDMETHODIMP CContentDbConnection::SetNotificationSink(REFIID iid, IUnknown* sink)
{
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
            call.numbers = {sink ? 1 : 0};
        HRESULT hr = Begin(CdbMethod::SetNotificationSink, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        if (!IsEqualIID(iid, IID_IKdCdbNotification))
            return E_NOINTERFACE;
        if (!sink)
        {
            m_database->Notifier().Unregister(this);
            return S_OK;
        }
        CComPtr<IKdCdbNotification> notification;
        hr = sink->QueryInterface(IID_IKdCdbNotification, reinterpret_cast<void**>(&notification));
        if (FAILED(hr))
            return hr;
        m_database->Notifier().Register(this, notification);
        return S_OK;
    });
}

STDMETHODIMP CContentDbConnection::GetDatabaseNames(LONG* count, BSTR** names)
{
    if (!count || !names)
        return E_POINTER;
    *count = 0;
    *names = nullptr;
    return ComCall([&] {
        CdbCall call;
        HRESULT hr = Begin(CdbMethod::GetDatabaseNames, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        const std::vector<std::optional<std::wstring>> known = m_database->DatabaseNames();
        if (known.empty())
            return S_OK;
        BSTR* array = static_cast<BSTR*>(CoTaskMemAlloc(sizeof(BSTR) * known.size()));
        if (!array)
            return E_OUTOFMEMORY;
        for (size_t i = 0; i < known.size(); ++i)
        {
            array[i] = nullptr;
            if (known[i] && FAILED(CopyText(*known[i], &array[i])))
            {
                for (size_t j = 0; j < i; ++j)
                    SysFreeString(array[j]);
                CoTaskMemFree(array);
                return E_OUTOFMEMORY;
            }
        }
        *names = array;
        *count = static_cast<LONG>(known.size());
        return S_OK;
    });
}

// ---- Result sets ----------------------------------------------------------------------------

STDMETHODIMP CContentDbConnection::SelectItem(BSTR itemId, ULONG /*reserved*/, ULONG propCount, LONG* propIds,
                                              LONG* resultCount)
{
    if (resultCount)
        *resultCount = 0;
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
        {
            call.text = TextOf(itemId);
            call.numbers = ListOf(propIds, propCount);
        }
        HRESULT hr = Begin(CdbMethod::SelectItem, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        if (!resultCount || (propCount && !propIds))
            return E_POINTER;
        std::vector<ContentDbItemPtr> rows;
        if (ContentDbItemPtr item = m_database->Catalogue().Find(TextOf(itemId)))
            rows.push_back(std::move(item));
        CObjectLockGuard<CContentDbConnection> guard(*this);
        *resultCount = static_cast<LONG>(rows.size());
        SetResults(std::move(rows), propCount, propIds);
        return S_OK;
    });
}

HRESULT CContentDbConnection::SelectRelated(CdbMethod method, BSTR itemId, ULONG classCount, LONG* classes,
                                            ULONG propCount, LONG* propIds, ULONG* ignored, LONG* resultCount)
{
    if (resultCount)
        *resultCount = 0;
    if (ignored)
        *ignored = 0;
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
        {
            call.text = TextOf(itemId);
            call.numbers = ListOf(propIds, propCount);
            call.classes = ListOf(classes, classCount);
        }
        HRESULT hr = Begin(method, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        if (!resultCount || (propCount && !propIds) || (classCount && !classes))
            return E_POINTER;
        {
            CObjectLockGuard<CContentDbConnection> guard(*this);
            ClearResults();
        }
        const std::vector<LONG> classFilter = ListOf(classes, classCount);
        std::vector<ContentDbItemPtr> rows;
        if (!m_database->Catalogue().Related(TextOf(itemId), method == CdbMethod::SearchRelatedByClass ? &classFilter : nullptr, rows))
            return kHrCdbNoSuchItem;
        CObjectLockGuard<CContentDbConnection> guard(*this);
        *resultCount = static_cast<LONG>(rows.size());
        SetResults(std::move(rows), propCount, propIds);
        return S_OK;
    });
}

STDMETHODIMP CContentDbConnection::SearchRelatedByClass(BSTR itemId, ULONG classCount, LONG* classes, ULONG, ULONG,
                                                        ULONG, ULONG, ULONG propCount, LONG* propIds, ULONG, ULONG,
                                                        ULONG, ULONG* ignored, LONG* resultCount)
{
    return SelectRelated(CdbMethod::SearchRelatedByClass, itemId, classCount, classes, propCount, propIds, ignored,
                         resultCount);
}

STDMETHODIMP CContentDbConnection::SearchRelated(BSTR itemId, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG propCount,
                                                 LONG* propIds, ULONG, ULONG, ULONG, ULONG* ignored, LONG* resultCount)
{
    return SelectRelated(CdbMethod::SearchRelated, itemId, 0, nullptr, propCount, propIds, ignored, resultCount);
}

STDMETHODIMP CContentDbConnection::Search(BSTR databaseName, BSTR query, ULONG, ULONG, ULONG, ULONG propCount,
                                          LONG* propIds, ULONG option1, ULONG option2, ULONG option3, ULONG,
                                          ULONG* ignored, LONG* resultCount)
{
    if (resultCount)
        *resultCount = 0;
    if (ignored)
        *ignored = 0;
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
        {
            call.text = TextOf(query);
            call.database = TextOf(databaseName);
            call.numbers = ListOf(propIds, propCount);
            call.options = {option1, option2, option3};
        }
        HRESULT hr = Begin(CdbMethod::Search, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        if (!resultCount || (propCount && !propIds))
            return E_POINTER;
        {
            CObjectLockGuard<CContentDbConnection> guard(*this);
            ClearResults();
        }
        if (!m_database->IsKnownDatabase(databaseName))
            return kHrCdbUnknownDatabase;
        CContentDbQuery parsed;
        hr = parsed.Parse(query);
        if (FAILED(hr))
            return hr;
        std::vector<ContentDbItemPtr> rows = m_database->Catalogue().Select(parsed);
        CObjectLockGuard<CContentDbConnection> guard(*this);
        *resultCount = static_cast<LONG>(rows.size());
        SetResults(std::move(rows), propCount, propIds);
        return S_OK;
    });
}

STDMETHODIMP CContentDbConnection::MoveNext()
{
    return ComCall([&] {
        CdbCall call;
        const HRESULT hr = Begin(CdbMethod::MoveNext, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        CObjectLockGuard<CContentDbConnection> guard(*this);
        if (m_current >= m_rows.size())
            return kHrCdbNoCurrentRow;
        ++m_current;
        return m_current < m_rows.size() ? S_OK : S_FALSE;
    });
}

STDMETHODIMP CContentDbConnection::GetValue(LONG propId, ULONG index, LONG* valueCount, BSTR* value)
{
    if (!valueCount || !value)
        return E_POINTER;
    *valueCount = 0;
    *value = nullptr;
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
            call.numbers = {propId, static_cast<LONG>(index)};
        HRESULT hr = Begin(CdbMethod::GetValue, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        ContentDbItemPtr row;
        {
            CObjectLockGuard<CContentDbConnection> guard(*this);
            if (m_current >= m_rows.size())
                return kHrCdbNoCurrentRow;
            if (m_strictFetch && !std::binary_search(m_fetched.begin(), m_fetched.end(), propId))
                return kHrCdbNotFetched;
            row = m_rows[m_current];
        }
        // Only single values exist here.
        std::wstring text;
        bool found = false;
        if (index == 0 && propId == CContentDbItem::kPropClass && !row->classText.empty())
        {
            text = row->classText;
            found = true;
        }
        else if (index == 0)
            found = row->GetText(propId, text);
        if (found)
        {
            hr = CopyText(text, value);
            if (FAILED(hr))
                return hr;
            *valueCount = 1;
        }
        m_database->Control().ShapeValue(propId, *valueCount, *value);
        return S_OK;
    });
}

// ---- Writes ---------------------------------------------------------------------------------

STDMETHODIMP CContentDbConnection::DeleteItem(BSTR itemId)
{
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
            call.text = TextOf(itemId);
        HRESULT hr = Begin(CdbMethod::DeleteItem, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        return m_database->Catalogue().RemoveItem(TextOf(itemId)) ? S_OK : kHrCdbNoSuchItem;
    });
}

STDMETHODIMP CContentDbConnection::SetValues(BSTR itemId, ULONG count1, KdCdbPropValue* list1, ULONG count2,
                                             KdCdbPropValue* list2)
{
    return ComCall([&] {
        CdbCall call;
        if (WantsDetails())
        {
            call.text = TextOf(itemId);
            for (ULONG i = 0; list2 && i < count2; ++i)
            {
                call.numbers.push_back(list2[i].propId);
                call.values.push_back(list2[i].valueCount && list2[i].values ? TextOf(list2[i].values[0]) : std::wstring());
            }
        }
        HRESULT hr = Begin(CdbMethod::SetValues, WantsDetails() ? &call : nullptr, true);
        if (hr != S_OK)
            return hr;
        if ((count1 && !list1) || (count2 && !list2))
            return E_POINTER;
        CContentDbCatalogue::Properties changes;
        hr = CollectWrites(count1, list1, changes);
        if (SUCCEEDED(hr))
            hr = CollectWrites(count2, list2, changes);
        if (FAILED(hr))
            return hr;
        return m_database->Catalogue().SetProperties(TextOf(itemId), changes) ? S_OK : kHrCdbNoSuchItem;
    });
}
