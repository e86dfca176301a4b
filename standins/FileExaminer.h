#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "com/ComObject.h"
#include "interfaces/ServiceInterfaces.h"
#include "standins/CallLog.h"
#include "standins/FaultControl.h"
#include "standins/FreeThreadedMarshaler.h"
#include "standins/LiveObjectCount.h"

enum class FileExaminerMethod
{
    Create,  // FinalConstruct: a failure makes the creation fail
    OpenSource,
    OpenContainer,
    GetPartCount,
    GetPart,
    ComparePart,
    Release,  // recorded when an object goes; never fails
    Count
};

struct FileExaminerCall
{
    FileExaminerMethod method;
    std::wstring path;    // OpenSource, OpenContainer
    ULONG reserved;       // the reserved argument, which callers pass as 0
    ULONG mode;           // ComparePart
    ULONG index;          // GetPart, ComparePart
    VARTYPE optionsType;  // ComparePart
    HRESULT answered;
    LONG sequence;   // NextStandinCallSequence() at arrival
    DWORD threadId;  // the calling thread
};

// The file examiner, creatable under CLSID_FileExaminer. The source has the parts set with
// SetParts (one video part at first); ComparePart on a video or audio part answers the match flag
// when the rule set with SetRule accepts the pair (source, container) named last. Opening a path
// that names no file fails with 0x80070002, as a real examiner cannot read it. The objects are
// created by the plug-in through COM, so the rule, the parts, the record and the failures are
// class-wide; what an object was told to open is its own.
class CFileExaminer : public CComObjectRootEx, public IFileExaminer, public CLiveObjectCount<CFileExaminer>
{
public:
    using Rule = std::function<bool(const std::wstring& source, const std::wstring& container)>;

    // Accepts every pair.
    static bool AcceptAll(const std::wstring& source, const std::wstring& container);
    // Accepts a pair whose two files hold the same bytes: a container still made from its source.
    static bool SameBytes(const std::wstring& source, const std::wstring& container);

    static void SetRule(Rule rule);
    static void SetParts(std::vector<USHORT> types);
    static CFaultControl& Fault(FileExaminerMethod method);
    static CCallLog<FileExaminerCall>& Calls();
    // AcceptAll, one video part, no failures, no calls recorded.
    static void Reset();

    HRESULT FinalConstruct();
    void FinalRelease();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // IFileExaminer
    HRESULT STDMETHODCALLTYPE OpenSource(ULONG reserved, BSTR path) override;
    HRESULT STDMETHODCALLTYPE OpenContainer(ULONG reserved, BSTR path) override;
    HRESULT STDMETHODCALLTYPE GetPartCount(ULONG reserved, ULONG* count) override;
    HRESULT STDMETHODCALLTYPE GetPart(ULONG reserved, ULONG index, ULONG* id, USHORT* type, ULONG* start,
                                      ULONG* length) override;
    HRESULT STDMETHODCALLTYPE ComparePart(ULONG mode, ULONG reserved, ULONG index, VARIANT options,
                                          ULONG* flags) override;

private:
    HRESULT Open(FileExaminerMethod method, ULONG reserved, BSTR path, std::wstring& opened);

    CCriticalSection m_lock{LockRank::Outside};
    std::wstring m_source;     // guarded by m_lock
    std::wstring m_container;  // guarded by m_lock
    CFreeThreadedMarshaler m_marshaler;
};
