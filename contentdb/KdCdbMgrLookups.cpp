// The item lookups of CKdCdbMgr: by path, files of an item, derived items, containers and
// collections, items whose file is gone, and the removal of an item's dependents.
//
// A result set belongs to the connection, so every search and the walk over its results run under
// the connection lock; a lookup that needs a second search per result collects the ids first and
// searches afterwards.
#include "contentdb/KdCdbMgr.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include "common/ComCall.h"
#include "common/ConsoleUser.h"
#include "common/GuardedFile.h"
#include "common/HResult.h"
#include "common/Path.h"
#include "contentdb/ContentClassification.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/QueryText.h"
#include "contentdb/RefusedFileChanges.h"

namespace
{
using StringList = std::vector<CString>;

// -1 followed by the associated-file properties, for selecting an item's files.
struct CFileSelection
{
    LONG props[1 + kAssociatedFilePropCount];
    CFileSelection() noexcept
    {
        props[0] = kPropItemId;
        std::copy(std::begin(kAssociatedFileProps), std::end(kAssociatedFileProps), props + 1);
    }
};

// Fetched by FindDerivedItems when files or keys are wanted, read in this order.
struct CDerivedSelection
{
    LONG props[4 + kAssociatedFilePropCount];
    CDerivedSelection() noexcept
    {
        props[0] = kPropItemId;
        props[1] = kPropItemClass;
        props[2] = kPropDerivedLabel;
        props[3] = kPropContainerKey;
        std::copy(std::begin(kAssociatedFileProps), std::end(kAssociatedFileProps), props + 4);
    }
};

const LONG kIdOnly[] = {kPropItemId};
const LONG kIdAndClass[] = {kPropItemId, kPropItemClass};
// A collection with a related item of one of these classes is not empty.
const LONG kCollectionMemberClasses[] = {kItemClassAudio, kItemClassCollection650, kItemClassCollection700};

// The item class of the current result; 0 when the value is missing or not a decimal number, so
// that a garbled class never passes for a real one.
LONG ReadClass(CKdCdbMgr& mgr)
{
    const CString text = mgr.GetValueText(kPropItemClass);
    const wchar_t* p = text.GetString();
    const bool negative = *p == L'-';
    if (negative)
        ++p;
    if (!*p)
        return 0;
    long long value = 0;
    for (; *p; ++p)
    {
        if (*p < L'0' || *p > L'9')
            return 0;
        value = value * 10 + (*p - L'0');
        if (value > 0x7FFFFFFFll)
            return 0;
    }
    return static_cast<LONG>(negative ? -value : value);
}

// Appends text unless it was appended before (compared exactly); `seen` keeps the texts so that a
// long list is not searched once per result.
void AppendOnce(StringList& list, std::unordered_set<std::wstring>& seen, const CString& text)
{
    if (seen.insert(text.GetString()).second)
        list.push_back(text);
}

void AppendIfNotEmpty(StringList* list, const CString& text)
{
    if (list && !text.IsEmpty())
        list->push_back(text);
}

// Runs `query` fetching `props` and walks the results. A failed search is returned as it is.
template <typename Visit>
HRESULT SearchAndWalk(CKdCdbMgr& mgr, const CString& query, ULONG propCount, const LONG* props, Visit&& visit)
{
    LONG count = 0;
    const HRESULT hr = mgr.Search(query, propCount, props, &count);
    if (FAILED(hr))
        return hr;
    return mgr.WalkResults(count, visit);
}

// The ids of the items `query` finds, appended to `ids`.
HRESULT CollectIds(CKdCdbMgr& mgr, const CString& query, StringList& ids)
{
    return SearchAndWalk(mgr, query, 1, kIdOnly, [&] {
        AppendIfNotEmpty(&ids, mgr.GetValueText(kPropItemId));
        return true;
    });
}

// The containers, or with a key those of that key. Older servers know class 600 only.
CString ContainerQuery(DWORD serverVersion, const CString* key)
{
    const bool classic = serverVersion < 0x00030000;
    if (!key)
        return classic ? QueryNumberEquals(kPropItemClass, kItemClassContainer)
                       : QueryAnyClass(kItemClassContainer, kItemClassContainer620, kItemClassContainer630);
    return classic ? QueryClassAndValue(kItemClassContainer, kPropContainerKey, *key)
                   : QueryAnyClassAndValue(kItemClassContainer, kItemClassContainer620, kItemClassContainer630,
                                           kPropContainerKey, *key);
}

// Appends the non-empty associated-file paths of the item; an item that cannot be selected adds
// nothing.
void AppendItemFiles(CKdCdbMgr& mgr, const CString& itemId, StringList& files)
{
    static const CFileSelection selection;
    CScopedBstr id(itemId.AllocSysString());
    LONG found = 0;
    if (FAILED(mgr.SelectItem(id.Get(), 1 + kAssociatedFilePropCount, selection.props, &found)) || found < 1)
        return;
    for (LONG prop : kAssociatedFileProps)
        AppendIfNotEmpty(&files, mgr.GetValueText(prop));
}

// The walk's survivors become the answer; their files are appended when asked for.
HRESULT KeepWithFiles(CKdCdbMgr& mgr, StringList& ids, StringList& kept, StringList* files)
{
    ids.swap(kept);
    if (files)
    {
        for (const CString& id : ids)
            AppendItemFiles(mgr, id, *files);
    }
    return S_OK;
}

// Keeps in `ids` the containers without a related item of class 612 and appends their files.
HRESULT KeepEmptyContainers(CKdCdbMgr& mgr, StringList& ids, StringList* files)
{
    StringList empty;
    for (const CString& id : ids)
    {
        CScopedBstr bstrId(id.AllocSysString());
        LONG count = 0;
        bool hasMember = false;
        // A container whose related items cannot be searched stays on the list.
        if (SUCCEEDED(mgr.SearchRelated(bstrId.Get(), 2, kIdAndClass, &count)))
        {
            const HRESULT hr = mgr.WalkResults(count, [&] {
                hasMember = ReadClass(mgr) == kItemClassDerived612;
                return !hasMember;
            });
            if (FAILED(hr))
                return hr;
        }
        if (!hasMember)
            empty.push_back(id);
        if (!mgr.WaitRunnable(INFINITE))
            return E_ABORT;
    }
    return KeepWithFiles(mgr, ids, empty, files);
}

// Keeps in `ids` the collections without a related item of a member class and appends their files.
HRESULT KeepEmptyCollections(CKdCdbMgr& mgr, StringList& ids, StringList* files)
{
    StringList empty;
    for (const CString& id : ids)
    {
        CScopedBstr bstrId(id.AllocSysString());
        LONG count = 0;
        const HRESULT hr = mgr.SearchRelatedByClass(bstrId.Get(), 3, kCollectionMemberClasses, 1, kIdOnly, &count);
        // As for containers, a failed search does not prove membership.
        if (FAILED(hr) || count < 1)
            empty.push_back(id);
        if (!mgr.WaitRunnable(INFINITE))
            return E_ABORT;
    }
    return KeepWithFiles(mgr, ids, empty, files);
}

// Removes `itemId` from a member list as text: every "id;" if there is one, else every ";id",
// else every bare occurrence. Works on text, not on whole entries, so an id inside a longer id is
// cut out too. True when something was removed.
bool RemoveMember(CString& list, const CString& itemId)
{
    if (list.Replace(itemId + L";", L"") > 0)
        return true;
    if (list.Replace(CString(L";") + itemId, L"") > 0)
        return true;
    return list.Replace(itemId, L"") > 0;
}

bool IsEmptyId(LPCWSTR id)
{
    return !id || !*id;
}
}  // namespace

// ---- Free functions -------------------------------------------------------------------------

bool ShowsFilePresent(HRESULT checkResult, FilePresence presence) noexcept
{
    if (SUCCEEDED(checkResult))
        return true;
    // Someone holding the file open or locked still proves that it is there.
    if (IsFileInUse(checkResult))
        return true;
    // Only a file that exists can deny access or be encrypted.
    return presence == FilePresence::Unreadable && (checkResult == HResultFromWin32(ERROR_ACCESS_DENIED) ||
                                                    checkResult == HResultFromWin32(ERROR_FILE_ENCRYPTED));
}

bool IsFilePresent(LPCWSTR path, FilePresence presence)
{
    const CString longPath = MakeLongPath(CString(path), false, false);
    CScopedHandle token;
    return ShowsFilePresent(FindUserTokenForFile(longPath, &token, false), presence);
}

bool DeleteFileAsUser(LPCWSTR path, FileGuardRefusal* refusal)
{
    if (refusal)
        *refusal = FileGuardRefusal::None;
    const CString longPath = MakeLongPath(CString(path), false, false);
    CScopedHandle user;
    if (FAILED(FindUserTokenForFile(longPath, &user, true)))
        return false;
    // Without a token (the service can open the file) nobody is impersonated and the file is
    // deleted as the service, which is why the guard decides before anything is deleted.
    const CImpersonation asUser(user.Get());
    CScopedHandle file;
    const FileGuardRefusal refused = OpenGuardedFile(longPath, GuardedAccess::Delete, file);
    if (refused == FileGuardRefusal::OpenFailed)
        return false;
    if (refused != FileGuardRefusal::None)
    {
        RecordRefusedFileChange(FileChange::Deletion, path, refused);
        if (refusal)
            *refusal = refused;
        return false;
    }
    return DeleteGuardedFile(file.Get());
}

bool OverwriteFileGuarded(LPCWSTR source, LPCWSTR target)
{
    CScopedHandle from;
    CScopedHandle to;
    const struct
    {
        LPCWSTR path;
        GuardedAccess access;
        CScopedHandle& file;
    } opens[] = {{source, GuardedAccess::Read, from}, {target, GuardedAccess::Overwrite, to}};
    for (const auto& open : opens)
    {
        const FileGuardRefusal refusal = OpenGuardedFile(open.path, open.access, open.file);
        if (refusal == FileGuardRefusal::OpenFailed)
            return false;
        if (refusal != FileGuardRefusal::None)
        {
            RecordRefusedFileChange(FileChange::Overwrite, open.path, refusal);
            return false;
        }
    }
    return OverwriteGuardedFile(to.Get(), from.Get());
}

// ---- Lookups --------------------------------------------------------------------------------

template <typename Body>
HRESULT CKdCdbMgr::RunLookup(bool argumentsGiven, std::initializer_list<StringList*> outLists, Body&& body)
{
    if (!argumentsGiven)
        return E_POINTER;
    for (StringList* list : outLists)
    {
        if (list)
            list->clear();
    }
    return CatchAsHResult([&] { return OnConnection(body); });
}

HRESULT CKdCdbMgr::FindItemByPath(LPCWSTR path, ULONG propCount, const LONG* propIds, LONG itemClass,
                                  LONG* resultCount)
{
    return RunLookup(true, {}, [&]() -> HRESULT {
        if (!path)
            return E_POINTER;
        if (itemClass == kItemClassUnknown)
        {
            itemClass = GetItemClassFromPath(path);
            if (itemClass == kItemClassUnknown)
                itemClass = kAnyItemClass;
        }
        return Search(QueryValueEquals(kPropPath, path), propCount, propIds, resultCount, itemClass);
    });
}

HRESULT CKdCdbMgr::ListContainerGroups(std::vector<CKdCdbItemGroup>* groups)
{
    if (groups)
        groups->clear();
    return RunLookup(groups != nullptr, {}, [&]() -> HRESULT {
        if (IsAborted(0))
            return E_ABORT;
        StringList containers;
        HRESULT hr = CollectIds(*this, QueryNumberEquals(kPropItemClass, kItemClassContainer), containers);
        for (const CString& id : containers)
            groups->push_back(CKdCdbItemGroup{id, {}});
        if (FAILED(hr))
            return hr;

        std::vector<CKdCdbItemGroup> kept;
        for (CKdCdbItemGroup& group : *groups)
        {
            CScopedBstr id(group.containerId.AllocSysString());
            LONG count = 0;
            if (FAILED(SearchRelated(id.Get(), 2, kIdAndClass, &count)))
            {
                // Unknown membership: the group stays, without member.
                kept.push_back(std::move(group));
            }
            else
            {
                CString member;
                hr = WalkResults(count, [&] {
                    if (ReadClass(*this) == kItemClassDerived612)
                        member = GetValueText(kPropItemId);
                    return member.IsEmpty();
                });
                if (FAILED(hr))
                {
                    groups->swap(kept);
                    return hr;
                }
                if (!member.IsEmpty())
                {
                    group.memberIds.push_back(member);
                    kept.push_back(std::move(group));
                }
            }
            if (!WaitRunnable(INFINITE))
            {
                groups->swap(kept);
                return E_ABORT;
            }
        }
        groups->swap(kept);
        return S_OK;
    });
}

HRESULT CKdCdbMgr::GetItemFiles(LPCWSTR itemId, std::vector<CString>* files)
{
    return RunLookup(files && !IsEmptyId(itemId), {files}, [&]() -> HRESULT {
        CScopedBstr id(CString(itemId).AllocSysString());
        LONG found = 0;
        const HRESULT hr = SelectItem(id.Get(), kAssociatedFilePropCount, kAssociatedFileProps, &found);
        if (FAILED(hr) || found < 1)
            return hr;
        for (LONG prop : kAssociatedFileProps)
            AppendIfNotEmpty(files, GetValueText(prop));
        return hr;
    });
}

HRESULT CKdCdbMgr::FindDerivedItems(LPCWSTR sourceId, std::vector<CString>* ids, std::vector<CString>* files,
                                    std::vector<CString>* keys)
{
    return RunLookup(ids && !IsEmptyId(sourceId), {ids, files, keys}, [&] {
        static const CDerivedSelection selection;
        const bool idOnly = !files && !keys;
        const ULONG propCount = idOnly ? 1 : static_cast<ULONG>(std::size(selection.props));
        const CString query = QueryAnyClassAndValue(kItemClassDerived610, kItemClassDerived611, kItemClassDerived612,
                                                    kPropDerivedFrom, sourceId);
        return SearchAndWalk(*this, query, propCount, idOnly ? kIdOnly : selection.props, [&] {
            AppendIfNotEmpty(ids, GetValueText(kPropItemId));
            if (idOnly)
                return true;
            const LONG itemClass = ReadClass(*this);
            const CString label = GetValueText(kPropDerivedLabel);
            // The labels are exact: "CM" is not a mark.
            const bool marked = label == L"cm" || label == L"goods" || label == L"shop";
            const CString key = GetValueText(kPropContainerKey);
            if (keys && marked && itemClass == kItemClassDerived612)
                AppendIfNotEmpty(keys, key);
            for (LONG prop : kAssociatedFileProps)
            {
                const CString path = GetValueText(prop);
                AppendIfNotEmpty(files, path);
            }
            return true;
        });
    });
}

HRESULT CKdCdbMgr::ListDerivationSources(std::vector<CString>* sources, std::vector<CString>* unsourced)
{
    return RunLookup(sources && unsourced, {sources, unsourced}, [&] {
        const LONG props[] = {kPropItemId, kPropDerivedFrom};
        const CString query = QueryAnyClass(kItemClassDerived610, kItemClassDerived611, kItemClassDerived612);
        std::unordered_set<std::wstring> seenSources;
        std::unordered_set<std::wstring> seenUnsourced;
        return SearchAndWalk(*this, query, 2, props, [&] {
            const CString source = GetValueText(kPropDerivedFrom);
            if (!source.IsEmpty())
            {
                AppendOnce(*sources, seenSources, source);
                return true;
            }
            const CString id = GetValueText(kPropItemId);
            if (!id.IsEmpty())
                AppendOnce(*unsourced, seenUnsourced, id);
            return true;
        });
    });
}

HRESULT CKdCdbMgr::FindEmptyContainers(std::vector<CString>* ids, std::vector<CString>* files)
{
    return RunLookup(ids != nullptr, {ids, files}, [&] {
        const HRESULT hr = CollectIds(*this, ContainerQuery(m_serverVersion, nullptr), *ids);
        return FAILED(hr) ? hr : KeepEmptyContainers(*this, *ids, files);
    });
}

HRESULT CKdCdbMgr::FindEmptyContainersByKey(const std::vector<CString>* keys, std::vector<CString>* ids,
                                            std::vector<CString>* files)
{
    return RunLookup(keys && ids, {ids, files}, [&] {
        for (const CString& key : *keys)
        {
            const HRESULT hr = CollectIds(*this, ContainerQuery(m_serverVersion, &key), *ids);
            if (FAILED(hr))
                return hr;
        }
        return KeepEmptyContainers(*this, *ids, files);
    });
}

HRESULT CKdCdbMgr::FindEmptyCollections(std::vector<CString>* ids, std::vector<CString>* files)
{
    return RunLookup(ids != nullptr, {ids, files}, [&] {
        const HRESULT hr = CollectIds(*this, QueryAnyClass(kItemClassCollection650, kItemClassCollection700), *ids);
        return FAILED(hr) ? hr : KeepEmptyCollections(*this, *ids, files);
    });
}

HRESULT CKdCdbMgr::RemoveFromCollections(LPCWSTR itemId, std::vector<CString>* ids, std::vector<CString>* files)
{
    return RunLookup(ids && !IsEmptyId(itemId), {ids, files}, [&]() -> HRESULT {
        if (IsAborted(0))
            return E_ABORT;
        const CString id(itemId);
        const LONG props[] = {kPropItemId, kPropMemberList};
        const CString query =
            QueryAnyClassAndContains(kItemClassCollection650, kItemClassCollection700, kPropMemberList, itemId);
        const HRESULT hr = SearchAndWalk(*this, query, 2, props, [&] {
            const CString collection = GetValueText(kPropItemId);
            if (collection.IsEmpty())
                return true;
            ids->push_back(collection);
            CString members = GetValueText(kPropMemberList);
            // A failed write leaves that collection as it was; the others still get theirs.
            if (RemoveMember(members, id))
                SetValue(collection, kPropMemberList, members);
            return true;
        });
        return FAILED(hr) ? hr : KeepEmptyCollections(*this, *ids, files);
    });
}

HRESULT CKdCdbMgr::FindItemsWithMissingFile(std::vector<CString>* ids, LONG itemClass)
{
    return RunLookup(ids != nullptr, {ids}, [&] {
        const LONG props[] = {kPropItemId, kPropPath};
        const CString query = itemClass == kAnyItemClass
                                  ? QueryAnyClass(kItemClassVideo, kItemClassImage, kItemClassAudio)
                                  : QueryNumberEquals(kPropItemClass, itemClass);
        return SearchAndWalk(*this, query, 2, props, [&] {
            const CString path = GetValueText(kPropPath);
            // An item without a readable path has no file either.
            if (!path.IsEmpty() && IsFilePresent(path))
                return true;
            AppendIfNotEmpty(ids, GetValueText(kPropItemId));
            return true;
        });
    });
}

HRESULT CKdCdbMgr::DeleteItemWithDependents(LPCWSTR itemId, bool deleteFiles, bool withContainers)
{
    // A blank id would match every derived item that names no source.
    if (IsEmptyId(itemId))
        return E_POINTER;
    return CatchAsHResult([&]() -> HRESULT {
        // Each deletion first checks that the owner still lets us run; a stop ends them all.
        bool stopped = false;
        auto eachWhileRunnable = [&](const StringList& list, auto act) {
            for (const CString& entry : list)
            {
                if (!stopped && !WaitRunnable(INFINITE))
                    stopped = true;
                if (stopped)
                    return;
                act(entry);
            }
        };
        // The files first (their lists are empty unless deleteFiles), then the items. False after a stop.
        auto deleteAll = [&](const StringList& files, const StringList& ids) {
            eachWhileRunnable(files, [](const CString& file) { DeleteFileAsUser(file); });
            eachWhileRunnable(ids, [this](const CString& id) { DeleteItem(id); });
            return !stopped;
        };

        StringList derived;
        StringList files;
        StringList keys;
        const HRESULT found =
            FindDerivedItems(itemId, &derived, deleteFiles ? &files : nullptr, withContainers ? &keys : nullptr);
        if (FAILED(found))
            return found;
        if (!deleteAll(files, derived))
            return E_ABORT;
        if (!withContainers)
            return found;

        StringList containers;
        StringList containerFiles;
        // Containers that cannot be listed are left for a later clean-up; collections still go.
        if (SUCCEEDED(FindEmptyContainersByKey(&keys, &containers, deleteFiles ? &containerFiles : nullptr)) &&
            !deleteAll(containerFiles, containers))
            return E_ABORT;

        StringList collections;
        StringList collectionFiles;
        const HRESULT removed = RemoveFromCollections(itemId, &collections, deleteFiles ? &collectionFiles : nullptr);
        if (SUCCEEDED(removed) && !deleteAll(collectionFiles, collections))
            return E_ABORT;
        return removed;
    });
}
