#pragma once
#include <windows.h>
#include <oaidl.h>
#include <optional>
#include <string>
#include "com/ComObject.h"
#include "interfaces/ManagerInterfaces.h"
#include "standins/CallLog.h"
#include "standins/FaultControl.h"
#include "standins/FreeThreadedMarshaler.h"
#include "standins/LiveObjectCount.h"

enum class QueueEntryMethod
{
    SetStatus,
    GetState,
    SetState,
    GetValue,
    SetValue,
    Count
};

// One call an entry received. Fields a method has no use for stay 0.
struct QueueEntryCall
{
    QueueEntryMethod method;
    LONG valueId;      // GetValue, SetValue
    ULONG number;      // SetStatus: the status; SetState: the state
    VARTYPE type;      // SetValue: the value's type
    double date;       // SetValue: the value when it is VT_DATE
    HRESULT answered;
    LONG sequence;     // NextStandinCallSequence() at arrival
    DWORD tick;        // GetTickCount() at arrival
};

// An entry of the manager's analysis queue, as the manager's site hands it out. GetValue answers
// value 2 with the id and value 3 with the path (VT_BSTR, or VT_EMPTY when created without one);
// GetState answers the state word, which SetState replaces.
class CManagerQueueEntry : public CComObjectRootEx, public IQueueEntry, public CLiveObjectCount<CManagerQueueEntry>
{
public:
    // A new entry with one reference for the caller.
    static HRESULT Create(const wchar_t* id, const wchar_t* path, ULONG state, CManagerQueueEntry** out);

    HRESULT FinalConstruct();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // Empty when the entry has no id.
    std::wstring Id() const;
    ULONG StateWord() const;
    void SetStateWord(ULONG state);
    CCallLog<QueueEntryCall>& Calls() noexcept { return m_calls; }
    CFaultControl& Fault(QueueEntryMethod method) noexcept { return m_faults[static_cast<int>(method)]; }

    // IQueueEntry
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStatus(LONG status) override;
    HRESULT STDMETHODCALLTYPE GetState(ULONG* state) override;
    HRESULT STDMETHODCALLTYPE SetState(ULONG state) override;
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved13() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetValue(LONG valueId, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE SetValue(LONG valueId, VARIANT value) override;

private:
    static QueueEntryCall NewCall(QueueEntryMethod method);

    CFreeThreadedMarshaler m_marshaler;
    std::optional<std::wstring> m_id;
    std::optional<std::wstring> m_path;
    ULONG m_state = 0;  // guarded by the object lock
    CCallLog<QueueEntryCall> m_calls;
    CFaultControl m_faults[static_cast<int>(QueueEntryMethod::Count)];
};
