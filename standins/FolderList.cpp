#include "standins/FolderList.h"
#include "common/ComCall.h"
#include "common/Scoped.h"

namespace
{
struct SharedState
{
    CCriticalSection lock{LockRank::Outside};
    std::vector<FolderListEntry> folders;  // guarded by lock
    CFaultControl faults[static_cast<int>(FolderListMethod::Count)];
    CCallLog<FolderListCall> calls;
};

SharedState& Shared()
{
    static SharedState state;
    return state;
}
}  // namespace

void CFolderList::SetFolders(std::vector<FolderListEntry> folders)
{
    SharedState& state = Shared();
    CLockGuard guard(state.lock);
    state.folders = std::move(folders);
}

CFaultControl& CFolderList::Fault(FolderListMethod method)
{
    return Shared().faults[static_cast<int>(method)];
}

CCallLog<FolderListCall>& CFolderList::Calls()
{
    return Shared().calls;
}

void CFolderList::Reset()
{
    SetFolders({});
    for (CFaultControl& fault : Shared().faults)
        fault.Reset();
    Shared().calls.Clear();
}

HRESULT CFolderList::FinalConstruct()
{
    const HRESULT hr = Fault(FolderListMethod::Create).Enter();
    if (FAILED(hr))
        return hr;
    return m_marshaler.Create(GetControllingUnknown());
}

HRESULT CFolderList::InternalQueryInterface(REFIID iid, void** out)
{
    const HRESULT hr = QueryInterfaceFrom(iid, out, {{&IID_IFolderList, static_cast<IFolderList*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

HRESULT STDMETHODCALLTYPE CFolderList::GetCount(LONG* count, LONG* reserved)
{
    if (!count || !reserved)
        return E_POINTER;
    return ComCall([&] {
        FolderListCall call{FolderListMethod::GetCount, 0, S_OK, NextStandinCallSequence(), GetTickCount()};
        call.answered = Fault(FolderListMethod::GetCount).Enter();
        if (SUCCEEDED(call.answered))
        {
            SharedState& state = Shared();
            CLockGuard guard(state.lock);
            *count = static_cast<LONG>(state.folders.size());
            *reserved = 0;
        }
        Shared().calls.Add(call);
        return call.answered;
    });
}

HRESULT STDMETHODCALLTYPE CFolderList::GetEntry(LONG index, BSTR* folder, BSTR* other, LONG* first, LONG* second,
                                                LONG* flag)
{
    if (!folder || !other || !first || !second || !flag)
        return E_POINTER;
    return ComCall([&] {
        FolderListCall call{FolderListMethod::GetEntry, index, S_OK, NextStandinCallSequence(), GetTickCount()};
        call.answered = Fault(FolderListMethod::GetEntry).Enter();
        if (SUCCEEDED(call.answered))
        {
            FolderListEntry entry{};
            {
                SharedState& state = Shared();
                CLockGuard guard(state.lock);
                if (index < 0 || static_cast<size_t>(index) >= state.folders.size())
                    call.answered = E_INVALIDARG;
                else
                    entry = state.folders[static_cast<size_t>(index)];
            }
            if (SUCCEEDED(call.answered))
            {
                CScopedBstr folderText(SysAllocStringLen(entry.folder.c_str(), static_cast<UINT>(entry.folder.size())));
                CScopedBstr otherText(SysAllocString(L""));
                if (!folderText.Get() || !otherText.Get())
                {
                    call.answered = E_OUTOFMEMORY;
                }
                else
                {
                    *folder = folderText.Release();
                    *other = otherText.Release();
                    *first = 0;
                    *second = index;
                    *flag = entry.flag;
                }
            }
        }
        Shared().calls.Add(call);
        return call.answered;
    });
}
