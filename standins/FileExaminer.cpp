#include "standins/FileExaminer.h"
#include "common/ComCall.h"
#include "common/HResult.h"
#include "standins/ScratchFolder.h"

namespace
{
struct SharedState
{
    CCriticalSection lock{LockRank::Outside};
    CFileExaminer::Rule rule = &CFileExaminer::AcceptAll;  // guarded by lock
    std::vector<USHORT> parts{kExaminerPartVideo};         // guarded by lock
    CFaultControl faults[static_cast<int>(FileExaminerMethod::Count)];
    CCallLog<FileExaminerCall> calls;
};

SharedState& Shared()
{
    static SharedState state;
    return state;
}

FileExaminerCall NewCall(FileExaminerMethod method, ULONG reserved, ULONG index = 0, ULONG mode = 0)
{
    return FileExaminerCall{method, std::wstring(), reserved, mode, index, VT_EMPTY, S_OK, NextStandinCallSequence(),
                            GetCurrentThreadId()};
}

// Runs the fault control of the call's method, then `body` unless that failed; records the call.
template <typename Body>
HRESULT Answer(FileExaminerCall& call, Body&& body)
{
    return ComCall([&] {
        call.answered = CFileExaminer::Fault(call.method).Enter();
        if (SUCCEEDED(call.answered))
            call.answered = body();
        Shared().calls.Add(call);
        return call.answered;
    });
}

}  // namespace

bool CFileExaminer::AcceptAll(const std::wstring&, const std::wstring&)
{
    return true;
}

bool CFileExaminer::SameBytes(const std::wstring& source, const std::wstring& container)
{
    std::string a, b;
    return ReadFileBytes(source, a) && ReadFileBytes(container, b) && a == b;
}

void CFileExaminer::SetRule(Rule rule)
{
    CLockGuard guard(Shared().lock);
    Shared().rule = rule ? std::move(rule) : Rule(&AcceptAll);
}

void CFileExaminer::SetParts(std::vector<USHORT> types)
{
    CLockGuard guard(Shared().lock);
    Shared().parts = std::move(types);
}

CFaultControl& CFileExaminer::Fault(FileExaminerMethod method)
{
    return Shared().faults[static_cast<int>(method)];
}

CCallLog<FileExaminerCall>& CFileExaminer::Calls()
{
    return Shared().calls;
}

void CFileExaminer::Reset()
{
    SetRule(nullptr);
    SetParts({kExaminerPartVideo});
    for (CFaultControl& fault : Shared().faults)
        fault.Reset();
    Shared().calls.Clear();
}

HRESULT CFileExaminer::FinalConstruct()
{
    FileExaminerCall call = NewCall(FileExaminerMethod::Create, 0);
    const HRESULT hr = Answer(call, [] { return S_OK; });
    if (FAILED(hr))
        return hr;
    return m_marshaler.Create(GetControllingUnknown());
}

void CFileExaminer::FinalRelease()
{
    // Lets a test see on which thread the last reference went.
    FileExaminerCall call = NewCall(FileExaminerMethod::Release, 0);
    Shared().calls.Add(call);
}

HRESULT CFileExaminer::InternalQueryInterface(REFIID iid, void** out)
{
    const HRESULT hr = QueryInterfaceFrom(iid, out, {{&IID_IFileExaminer, static_cast<IFileExaminer*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

HRESULT CFileExaminer::Open(FileExaminerMethod method, ULONG reserved, BSTR path, std::wstring& opened)
{
    FileExaminerCall call = NewCall(method, reserved);
    if (path)
        call.path.assign(path, SysStringLen(path));
    return Answer(call, [&]() -> HRESULT {
        if (call.path.empty())
            return E_INVALIDARG;
        if (!IsExistingFile(call.path))
            return HResultFromWin32(ERROR_FILE_NOT_FOUND);
        CLockGuard guard(m_lock);
        opened = call.path;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CFileExaminer::OpenSource(ULONG reserved, BSTR path)
{
    return Open(FileExaminerMethod::OpenSource, reserved, path, m_source);
}

HRESULT STDMETHODCALLTYPE CFileExaminer::OpenContainer(ULONG reserved, BSTR path)
{
    return Open(FileExaminerMethod::OpenContainer, reserved, path, m_container);
}

HRESULT STDMETHODCALLTYPE CFileExaminer::GetPartCount(ULONG reserved, ULONG* count)
{
    if (!count)
        return E_POINTER;
    FileExaminerCall call = NewCall(FileExaminerMethod::GetPartCount, reserved);
    return Answer(call, [&] {
        CLockGuard guard(Shared().lock);
        *count = static_cast<ULONG>(Shared().parts.size());
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CFileExaminer::GetPart(ULONG reserved, ULONG index, ULONG* id, USHORT* type, ULONG* start,
                                                 ULONG* length)
{
    if (!id || !type || !start || !length)
        return E_POINTER;
    FileExaminerCall call = NewCall(FileExaminerMethod::GetPart, reserved, index);
    return Answer(call, [&] {
        CLockGuard guard(Shared().lock);
        if (index >= Shared().parts.size())
            return E_INVALIDARG;
        *id = index + 1;
        *type = Shared().parts[index];
        *start = 0;
        *length = 0;
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CFileExaminer::ComparePart(ULONG mode, ULONG reserved, ULONG index, VARIANT options,
                                                     ULONG* flags)
{
    if (!flags)
        return E_POINTER;
    FileExaminerCall call = NewCall(FileExaminerMethod::ComparePart, reserved, index, mode);
    call.optionsType = options.vt;
    return Answer(call, [&]() -> HRESULT {
        Rule rule;
        {
            CLockGuard guard(Shared().lock);
            if (index >= Shared().parts.size())
                return E_INVALIDARG;
            const USHORT type = Shared().parts[index];
            if (type != kExaminerPartVideo && type != kExaminerPartAudio)
                return E_INVALIDARG;
            rule = Shared().rule;
        }
        std::wstring source, container;
        {
            CLockGuard guard(m_lock);
            source = m_source;
            container = m_container;
        }
        if (source.empty() || container.empty())
            return E_UNEXPECTED;
        // The rule runs outside every lock: it may read the files.
        *flags = rule(source, container) ? kExaminerPartMatches : 0;
        return S_OK;
    });
}
