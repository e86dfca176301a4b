// The steps of the clean-up run: items of the configured class whose file is gone, derived items
// whose source is gone, containers and collections left without members, and containers whose
// file no longer holds their source, repaired from a member.
//
// The steps remove database records and delete files that belonged only to them. A file is
// deleted as a logged-on user who may write it; the thread's identity is restored on every path.
#include "search/PluginDbSearchThread.h"

#include "common/ComCall.h"
#include "common/ConsoleUser.h"
#include "common/HResult.h"
#include "common/Path.h"
#include "common/ProductKeys.h"
#include "common/RegKey.h"
#include "common/TraceWriter.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/ContentLocations.h"
#include "contentdb/KdCdbMgr.h"
#include "search/CleanUpProgress.h"

namespace
{
using StringList = std::vector<CString>;

constexpr wchar_t kCleanUpObjectClassValue[] = L"CleanUpObjectClass";
constexpr ULONG kPhaseStart = 3;
constexpr ULONG kPhaseDerivedFiles = 10;
constexpr ULONG kPhaseDerived = 25;
constexpr ULONG kPhaseContainerFiles = 40;
constexpr ULONG kPhaseContainers = 50;
constexpr ULONG kPhaseCollectionFiles = 65;
constexpr ULONG kPhaseCollections = 75;
constexpr ULONG kPhaseRepair = 90;
constexpr ULONG kPhaseEnd = 100;

// A file nobody here may read, or an encrypted one, is still there: the repair must not take it
// for gone.
bool IsPresent(const CString& path)
{
    return IsFilePresent(path, FilePresence::Unreadable);
}

// The file a container's (or member's) associated-file value names: the path inside a container
// location, else the value itself when `keepOther`, else empty.
CString ContainerFileOf(const CString& value, bool keepOther)
{
    const CString location = LumfileUrlFromPath(value);
    if (IsLumFile(location))
        return PathFromLumfileUrl(location);
    return keepOther ? location : CString();
}

// Selects the item and reads the properties in order. False when the selection fails, finds
// nothing, or a value is empty.
bool ReadItemValues(CKdCdbMgr& connection, const CString& itemId, ULONG count, const LONG* props, CString* values)
{
    CLockGuard guard(connection.ConnectionLock());
    CScopedBstr id(itemId.AllocSysString());
    LONG found = 0;
    if (FAILED(connection.SelectItem(id.Get(), count, props, &found)) || found < 1)
        return false;
    for (ULONG i = 0; i < count; ++i)
    {
        values[i] = connection.GetValueText(props[i]);
        if (values[i].IsEmpty())
            return false;
    }
    return true;
}

// The id of the first item whose file is `path`; empty when there is none.
CString FindIdByPath(CKdCdbMgr& connection, const CString& path)
{
    const LONG props[] = {kPropItemId};
    CLockGuard guard(connection.ConnectionLock());
    LONG found = 0;
    if (FAILED(connection.FindItemByPath(path, 1, props, kAnyItemClass, &found)) || found < 1)
        return CString();
    return connection.GetValueText(kPropItemId);
}

// Deletes a file that belonged only to a removed item. A file that stays (not merely one already
// gone) is traced as refused, with the file guard's reason when the guard refused it.
void DeleteItemFile(const CString& file, const CString& itemId)
{
    FileGuardRefusal refusal = FileGuardRefusal::None;
    if (file.IsEmpty() || DeleteFileAsUser(file, &refusal))
        return;
    const HRESULT hr = HResultFromLastError();
    if (!TraceOn(TraceLevel::Decisions))
        return;
    if (refusal != FileGuardRefusal::None)
        Trace(TraceSource::CleanUp, TraceDecision::DeletionRefused, itemId, file,
              CString(L"the file guard refuses ") + DescribeFileGuardRefusal(refusal), S_OK);
    else if (FileExists(MakeLongPath(file, false, false)))
        Trace(TraceSource::CleanUp, TraceDecision::DeletionRefused, itemId, file, L"the file cannot be deleted", hr);
}

HRESULT WriteSourceId(CKdCdbMgr& connection, const CString& containerId, const CString& sourceId)
{
    CScopedBstr id(containerId.AllocSysString());
    CScopedBstr value(sourceId.AllocSysString());
    BSTR values[] = {value.Get()};
    KdCdbPropValue record{kPropDerivedFrom, 1, values};
    return connection.SetValuesRaw(id.Get(), 0, nullptr, 1, &record);
}
}  // namespace

LONG CPluginDbSearchThread::ReadCleanUpObjectClass()
{
    CRegKey root;
    CRegKey key;
    DWORD value = 0;
    if (root.Open(HKEY_LOCAL_MACHINE, kProductRootKey, KEY_READ) != ERROR_SUCCESS ||
        key.Open(root, kPluginSettingsKey, KEY_READ) != ERROR_SUCCESS ||
        key.QueryDWORDBytes(kCleanUpObjectClassValue, value) != ERROR_SUCCESS)
        return 0;
    return static_cast<LONG>(value);
}

void CPluginDbSearchThread::NoteRemoval(HRESULT hr, const CString& itemId, const wchar_t* reason)
{
    if (SUCCEEDED(hr))
        ++m_runCounts.removed;
    if (TraceOn(TraceLevel::Decisions))
        Trace(TraceSource::CleanUp, SUCCEEDED(hr) ? TraceDecision::Removed : TraceDecision::Failed, itemId, nullptr,
              SUCCEEDED(hr) ? reason : L"the item cannot be removed", hr);
}

HRESULT CPluginDbSearchThread::RunRemovalSteps(CKdCdbMgr& connection, CCleanUpProgress& progress)
{
    using Step = HRESULT (CPluginDbSearchThread::*)(CKdCdbMgr&, CCleanUpProgress&);
    static const Step steps[] = {&CPluginDbSearchThread::RemoveItemsWithMissingFile,
                                 &CPluginDbSearchThread::RemoveOrphanedDerivedItems,
                                 &CPluginDbSearchThread::RemoveEmptyContainers,
                                 &CPluginDbSearchThread::RemoveEmptyCollections};
    for (Step step : steps)
    {
        const HRESULT hr = (this->*step)(connection, progress);
        if (hr == E_ABORT)
            return E_ABORT;
        // A failed step ends only itself; the next one still runs.
        if (FAILED(hr) && TraceOn(TraceLevel::Failures))
            Trace(TraceSource::CleanUp, TraceDecision::Failed, nullptr, nullptr, L"a clean-up step failed", hr,
                  L"the run goes on");
    }
    return S_OK;
}

HRESULT CPluginDbSearchThread::RemoveItemsWithMissingFile(CKdCdbMgr& connection, CCleanUpProgress& progress)
{
    return CatchAsHResult([&]() -> HRESULT {
        // Stopped: the lookup still runs (and ends early), but no item is touched.
        const bool stopped = IsStopRequested(0);
        const LONG itemClass = ReadCleanUpObjectClass();
        if (itemClass == 0)
            return S_OK;
        StringList ids;
        HRESULT hr = connection.FindItemsWithMissingFile(&ids, itemClass);
        if (FAILED(hr))
            return hr;
        progress.BeginPhase(kPhaseStart, kPhaseDerivedFiles);
        if (stopped)
            return hr;
        for (size_t i = 0; i < ids.size() && hr != E_ABORT; ++i)
        {
            const CString& id = ids[i];
            if (!id.IsEmpty())
            {
                StringList files;
                hr = connection.GetItemFiles(id, &files);
                for (const CString& file : files)
                {
                    DeleteItemFile(file, id);
                    if (!WaitForRun(INFINITE))
                        return E_ABORT;
                }
                hr = connection.DeleteItemWithDependents(id, true, false);
                // The record goes only once its dependents went without a failure.
                if (!WaitForRun(INFINITE))
                    return E_ABORT;
                if (SUCCEEDED(hr))
                    hr = connection.DeleteItem(id);
                NoteRemoval(hr, id, L"its file is gone");
            }
            progress.EntryDone(i, ids.size());
        }
        return hr;
    });
}

HRESULT CPluginDbSearchThread::RemoveOrphanedDerivedItems(CKdCdbMgr& connection, CCleanUpProgress& progress)
{
    return CatchAsHResult([&]() -> HRESULT {
        if (IsStopRequested(0))
            return E_ABORT;
        StringList sources;
        StringList unsourced;
        HRESULT hr = connection.ListDerivationSources(&sources, &unsourced);
        if (FAILED(hr))
            return hr;
        progress.BeginPhase(kPhaseDerivedFiles, kPhaseDerived);
        progress.BeginPhase(kPhaseDerived, kPhaseContainerFiles);
        for (size_t i = 0; i < sources.size() && hr != E_ABORT; ++i)
        {
            const CString& source = sources[i];
            if (!source.IsEmpty() && connection.ItemExists(source) == S_FALSE)
            {
                hr = connection.DeleteItemWithDependents(source, true, false);
                NoteRemoval(hr, source, L"items derived from a source that is gone");
            }
            progress.EntryDone(i, sources.size());
            if (!WaitForRun(INFINITE))
                return E_ABORT;
        }
        return hr;
    });
}

HRESULT CPluginDbSearchThread::RemoveEmptyContainers(CKdCdbMgr& connection, CCleanUpProgress& progress)
{
    return RemoveEmptyGroups(connection, progress, &CKdCdbMgr::FindEmptyContainers, kPhaseContainerFiles,
                             kPhaseContainers, kPhaseCollectionFiles);
}

HRESULT CPluginDbSearchThread::RemoveEmptyCollections(CKdCdbMgr& connection, CCleanUpProgress& progress)
{
    return RemoveEmptyGroups(connection, progress, &CKdCdbMgr::FindEmptyCollections, kPhaseCollectionFiles,
                             kPhaseCollections, kPhaseRepair);
}

HRESULT CPluginDbSearchThread::RemoveEmptyGroups(CKdCdbMgr& connection, CCleanUpProgress& progress,
                                                 EmptyGroupLookup lookup, ULONG low, ULONG middle, ULONG high)
{
    return CatchAsHResult([&]() -> HRESULT {
        if (IsStopRequested(0))
            return E_ABORT;
        progress.BeginPhase(low, middle);
        StringList ids;
        StringList files;
        HRESULT hr = (connection.*lookup)(&ids, &files);
        if (FAILED(hr))
            return hr;
        for (size_t i = 0; i < files.size(); ++i)
        {
            DeleteItemFile(files[i], CString());
            progress.EntryDone(i, files.size());
            if (!WaitForRun(INFINITE))
                return E_ABORT;
        }
        progress.BeginPhase(middle, high);
        for (size_t i = 0; i < ids.size() && hr != E_ABORT; ++i)
        {
            if (!ids[i].IsEmpty())
            {
                hr = connection.DeleteItem(ids[i]);
                NoteRemoval(hr, ids[i], L"empty");
            }
            progress.EntryDone(i, ids.size());
            if (!WaitForRun(INFINITE))
                return E_ABORT;
        }
        return hr;
    });
}

HRESULT CPluginDbSearchThread::RepairContainers(CKdCdbMgr& connection, CCleanUpProgress& progress)
{
    return CatchAsHResult([&]() -> HRESULT {
        if (IsStopRequested(0))
            return E_ABORT;
        progress.BeginPhase(kPhaseRepair, kPhaseEnd);
        std::vector<CKdCdbItemGroup> groups;
        const HRESULT hr = connection.ListContainerGroups(&groups);
        if (FAILED(hr))
            return hr;
        for (size_t i = 0; i < groups.size(); ++i)
        {
            if (!groups[i].containerId.IsEmpty())
                RepairContainer(connection, groups[i]);
            progress.EntryDone(i, groups.size());
            if (!WaitForRun(INFINITE))
                return E_ABORT;
        }
        return hr;
    });
}

bool CPluginDbSearchThread::RepairContainer(CKdCdbMgr& connection, const CKdCdbItemGroup& group)
{
    const LONG containerProps[] = {kPropDerivedFrom, kAssociatedFileProps[0]};
    CString container[2];
    if (!ReadItemValues(connection, group.containerId, 2, containerProps, container))
        return false;
    // A container that is not one of ours is left alone.
    const CString containerFile = ContainerFileOf(container[1], false);
    if (containerFile.IsEmpty())
        return false;
    const LONG sourceProps[] = {kPropPath};
    CString sourcePath;
    if (!ReadItemValues(connection, container[0], 1, sourceProps, &sourcePath))
        return false;

    // The examination's own result does not matter: a failed examination repairs as a rejection does.
    bool accepted = false;
    ExamineContainerPair(sourcePath, containerFile, &accepted);
    if (accepted && IsPresent(sourcePath))
        return false;
    for (const CString& memberId : group.memberIds)
    {
        if (CopyMemberIntoContainer(connection, group.containerId, containerFile, sourcePath, memberId))
            return true;
    }
    return false;
}

bool CPluginDbSearchThread::CopyMemberIntoContainer(CKdCdbMgr& connection, const CString& containerId,
                                                    const CString& containerFile, const CString& sourcePath,
                                                    const CString& memberId)
{
    if (memberId.IsEmpty())
        return false;
    const LONG memberProps[] = {kPropPath, kAssociatedFileProps[0]};
    CString member[2];
    if (!ReadItemValues(connection, memberId, 2, memberProps, member) || !IsPresent(member[0]))
        return false;
    const CString memberFile = ContainerFileOf(member[1], true);

    // The container file is written as someone who may write it, reading the member file as the
    // same user.
    const CString longContainer = MakeLongPath(containerFile, false, false);
    const CString longMember = MakeLongPath(memberFile, false, false);
    CScopedHandle token;
    if (FAILED(FindUserTokenForFile(longContainer, &token, true)))
        return false;
    if (FAILED(TryOpenFile(token.Get(), longMember, false)))
        return false;
    {
        const CImpersonation asUser(token.Get());
        // Written through the guard: the container's path is the database's to name.
        if (!OverwriteFileGuarded(longMember, longContainer))
            return false;
    }
    // The container now holds the member's content; its source becomes the member's item, unless
    // that is the source that was found wanting.
    if (member[0].CompareNoCase(sourcePath) == 0)
        return false;
    const CString newSourceId = FindIdByPath(connection, member[0]);
    return !newSourceId.IsEmpty() && SUCCEEDED(WriteSourceId(connection, containerId, newSourceId));
}

HRESULT CPluginDbSearchThread::ExamineContainerPair(const CString& sourcePath, const CString& containerFile,
                                                    bool* accepted)
{
    if (!accepted)
        return E_POINTER;
    *accepted = false;
    return CatchAsHResult([&]() -> HRESULT {
        const CString container = ContainerFileOf(containerFile, true);
        if (container.IsEmpty() || sourcePath.IsEmpty() || !IsPresent(container) || !IsPresent(sourcePath))
            return HResultFromWin32(ERROR_FILE_NOT_FOUND);
        HRESULT hr = EnsureFileExaminer();
        if (FAILED(hr))
            return hr;
        CScopedBstr source(sourcePath.AllocSysString());
        CScopedBstr target(container.AllocSysString());
        ULONG count = 0;
        if (FAILED(hr = m_fileExaminer->OpenSource(0, source.Get())) ||
            FAILED(hr = m_fileExaminer->OpenContainer(0, target.Get())) ||
            FAILED(hr = m_fileExaminer->GetPartCount(0, &count)))
            return hr;
        // The first video or audio part of the source decides.
        ULONG index = 0;
        for (;; ++index)
        {
            if (index >= count)
                return S_FALSE;
            ULONG id = 0, start = 0, length = 0;
            USHORT type = 0;
            if (FAILED(hr = m_fileExaminer->GetPart(0, index, &id, &type, &start, &length)))
                return hr;
            if (type == kExaminerPartVideo || type == kExaminerPartAudio)
                break;
        }
        VARIANT options;
        VariantInit(&options);
        ULONG flags = 0;
        if (FAILED(hr = m_fileExaminer->ComparePart(1, 0, index, options, &flags)))
            return hr;
        *accepted = (flags & kExaminerPartMatches) != 0;
        return hr;
    });
}

HRESULT CPluginDbSearchThread::EnsureFileExaminer()
{
    if (m_fileExaminer)
        return S_OK;
    return CoCreateInstance(CLSID_FileExaminer, nullptr, kClassContextAll, IID_IFileExaminer,
                            reinterpret_cast<void**>(&m_fileExaminer));
}
