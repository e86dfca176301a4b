#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "com/ComObject.h"
#include "interfaces/ServiceInterfaces.h"
#include "standins/CallLog.h"
#include "standins/FaultControl.h"
#include "standins/FreeThreadedMarshaler.h"
#include "standins/LiveObjectCount.h"

enum class FolderListMethod
{
    Create,  // FinalConstruct: a failure makes the creation fail
    GetCount,
    GetEntry,
    Count
};

struct FolderListEntry
{
    std::wstring folder;
    LONG flag;  // 0: a folder the caller considers
};

struct FolderListCall
{
    FolderListMethod method;
    LONG index;  // GetEntry
    HRESULT answered;
    LONG sequence;  // NextStandinCallSequence() at arrival
    DWORD tick;     // GetTickCount() at arrival
};

// The folder-list service, creatable under CLSID_FolderList. Answers the folders set with
// SetFolders: GetCount their number, GetEntry(i) the i-th folder, an empty second text, 0 and i for
// the two unused numbers, and its flag; an index out of range answers E_INVALIDARG with nothing
// written. The objects are created by the plug-in through COM, so the list, the record and the
// failures are class-wide.
class CFolderList : public CComObjectRootEx, public IFolderList, public CLiveObjectCount<CFolderList>
{
public:
    static void SetFolders(std::vector<FolderListEntry> folders);
    static CFaultControl& Fault(FolderListMethod method);
    static CCallLog<FolderListCall>& Calls();
    // No folders, no failures, no calls recorded.
    static void Reset();

    HRESULT FinalConstruct();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // IFolderList
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCount(LONG* count, LONG* reserved) override;
    HRESULT STDMETHODCALLTYPE GetEntry(LONG index, BSTR* folder, BSTR* other, LONG* first, LONG* second,
                                       LONG* flag) override;

private:
    CFreeThreadedMarshaler m_marshaler;
};
