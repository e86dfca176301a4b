#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "com/ComObject.h"
#include "common/ComPtr.h"
#include "interfaces/ContentDbInterfaces.h"
#include "standins/ContentDbItem.h"

class CContentDatabase;
enum class CdbMethod;
struct CdbCall;

// One connection to the stand-in content database (the object CoCreateInstance gives for
// CLSID_KdCdbManager). It holds its own result set: Search, SelectItem, SearchRelated and
// SearchRelatedByClass replace it and make the first result current (a failed one leaves none),
// MoveNext from the last result answers S_FALSE and leaves no current result, and MoveNext or
// GetValue without a current result fail with kHrCdbNoCurrentRow.
//
// Free-threaded: aggregates the free-threaded marshaler, and its state is guarded by the object
// lock, so any thread may call it.
class CContentDbConnection : public CComObjectRootEx, public IKdCdbManager
{
public:
    CContentDbConnection() noexcept;
    ~CContentDbConnection();

    HRESULT FinalConstruct();
    void FinalRelease();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // Done by the class factory before the object is handed out.
    void Attach(std::shared_ptr<CContentDatabase> database);

    // Connection objects alive in the process, attached or not.
    static LONG LiveCount() noexcept;

    // IKdCdbManager
    HRESULT STDMETHODCALLTYPE Open(ULONG flags, ULONG count, ULONG* list) override;
    HRESULT STDMETHODCALLTYPE Close() override;
    HRESULT STDMETHODCALLTYPE SetClientInfo(ULONG index, BSTR text) override;
    HRESULT STDMETHODCALLTYPE GetServerInfo(ULONG index, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE SetNotificationSink(REFIID iid, IUnknown* sink) override;
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDatabaseNames(LONG* count, BSTR** names) override;
    HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved13() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved15() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved18() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SelectItem(BSTR itemId, ULONG reserved, ULONG propCount, LONG* propIds,
                                         LONG* resultCount) override;
    HRESULT STDMETHODCALLTYPE SearchRelatedByClass(BSTR itemId, ULONG classCount, LONG* classes, ULONG reserved,
                                                   ULONG zero1, ULONG zero2, ULONG zero3, ULONG propCount,
                                                   LONG* propIds, ULONG zero4, ULONG zero5, ULONG zero6,
                                                   ULONG* ignored, LONG* resultCount) override;
    HRESULT STDMETHODCALLTYPE SearchRelated(BSTR itemId, ULONG zero1, ULONG zero2, ULONG zero3, ULONG zero4,
                                            ULONG zero5, ULONG propCount, LONG* propIds, ULONG zero6, ULONG zero7,
                                            ULONG zero8, ULONG* ignored, LONG* resultCount) override;
    HRESULT STDMETHODCALLTYPE Search(BSTR databaseName, BSTR query, ULONG zero1, ULONG zero2, ULONG zero3,
                                     ULONG propCount, LONG* propIds, ULONG option1, ULONG option2, ULONG option3,
                                     ULONG zero4, ULONG* ignored, LONG* resultCount) override;
    HRESULT STDMETHODCALLTYPE Reserved23() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved24() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved25() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveNext() override;
    HRESULT STDMETHODCALLTYPE Reserved27() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved28() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved29() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetValue(LONG propId, ULONG index, LONG* valueCount, BSTR* value) override;
    HRESULT STDMETHODCALLTYPE Reserved31() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved32() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteItem(BSTR itemId) override;
    HRESULT STDMETHODCALLTYPE SetValues(BSTR itemId, ULONG count1, KdCdbPropValue* list1, ULONG count2,
                                        KdCdbPropValue* list2) override;

private:
    // Records the call (when recording) and passes through the control: S_OK to go on, else the
    // answer (an injected one, or a failure because the connection is not usable).
    HRESULT Begin(CdbMethod method, CdbCall* call, bool needsOpen);
    // Whether to gather the call's details (to record or to match them).
    bool WantsDetails() const noexcept;
    HRESULT SelectRelated(CdbMethod method, BSTR itemId, ULONG classCount, LONG* classes, ULONG propCount,
                          LONG* propIds, ULONG* ignored, LONG* resultCount);
    // Under the object lock.
    void SetResults(std::vector<ContentDbItemPtr> rows, ULONG propCount, const LONG* propIds);
    void ClearResults();

    std::shared_ptr<CContentDatabase> m_database;
    CComPtr<IUnknown> m_marshaler;
    bool m_open = false;
    std::wstring m_clientName;
    std::vector<ContentDbItemPtr> m_rows;
    size_t m_current = 0;
    std::vector<LONG> m_fetched;
    bool m_strictFetch = true;
};
