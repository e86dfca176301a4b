#pragma once
#include <windows.h>
#include "com/ComObject.h"
#include "interfaces/ManagerInterfaces.h"
#include "standins/CallLog.h"
#include "standins/FaultControl.h"
#include "standins/FreeThreadedMarshaler.h"
#include "standins/LiveObjectCount.h"

enum class ManagerStatusMethod
{
    Create,  // FinalConstruct: a failure makes the creation fail
    GetQueueCounts,
    Count
};

struct GetQueueCountsCall
{
    HRESULT answered;
    LONG sequence;  // NextStandinCallSequence() at arrival
    DWORD tick;     // GetTickCount() at arrival
};

// The manager's status object, creatable under CLSID_LumMgrStatus. The plug-in creates its own
// objects through COM, so what they answer is set class-wide: GetQueueCounts answers the two
// counts set with SetQueueCounts (0 and 0 after Reset).
class CManagerStatus : public CComObjectRootEx, public ILumMgrStatus, public CLiveObjectCount<CManagerStatus>
{
public:
    static void SetQueueCounts(ULONG first, ULONG second);
    static CFaultControl& Fault(ManagerStatusMethod method);
    static CCallLog<GetQueueCountsCall>& GetQueueCountsCalls();
    // Counts 0 and 0, no failures, no calls recorded.
    static void Reset();

    HRESULT FinalConstruct();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // ILumMgrStatus
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetQueueCounts(ULONG* first, ULONG* second) override;

private:
    CFreeThreadedMarshaler m_marshaler;
};
