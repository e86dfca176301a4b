// The clean-up run (start mode 0x02) on the search worker's thread, over a catalogue of items with
// real files: items of the configured class whose file is gone, orphaned derived items, empty
// containers and collections, and container groups of which half need a repair. Measured against a
// floor from the same run: the same searches, selections and deletions called inline on one
// connection, with the same file checks, deletions and examinations, without the worker, its
// progress or its pause points. Each measurement gets a catalogue of its own, built the same way;
// both must leave the same catalogue behind. Prints both times and their ratio (goal at most 1.2):
// the best wall-clock time of each over the rounds, which alternate which side goes first, and the
// process's processor time, which a machine shared with other work disturbs less. Most of the
// wall-clock time is file work, which Wine does in its server process and so counts only there.
//
//     cleanup [items [rounds]] [--trace LEVEL]   20000 items and 2 rounds when not given; with
//                                                --trace, each round also times the run with the
//                                                trace at that level
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>
#include "bench/BenchClock.h"
#include "bench/BenchTrace.h"
#include "common/ConsoleUser.h"
#include "common/Path.h"
#include "common/RegKey.h"
#include "common/Scoped.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/ContentLocations.h"
#include "contentdb/KdCdbMgr.h"
#include "contentdb/QueryText.h"
#include "search/PluginDbSearchThread.h"
#include "standins/ClassRegistration.h"
#include "standins/ContainerCatalogueBuilder.h"
#include "standins/ContentDatabase.h"
#include "standins/FileExaminer.h"
#include "standins/ManagerSite.h"
#include "standins/MediaCatalogueBuilder.h"

namespace
{
constexpr LONG kDefaultItems = 20000;
constexpr int kDefaultRounds = 2;
constexpr DWORD kConfiguredClass = kItemClassVideo;
constexpr LONG kDistinctMediaFiles = 1000;
constexpr DWORD kRunTimeoutMs = 30 * 60 * 1000;
constexpr wchar_t kScratchMachine[] = L"Software\\LumBench\\cleanup";
constexpr wchar_t kSettingsKey[] = L"Software\\Tessaly Corporation\\LUM Siftwell\\Setting\\LumSiftDbNotifyWex";

// The catalogue's make-up, in fortieths of the items: 4 with a missing file, 4 orphaned derived
// items, 2 empty containers, 2 empty collections, 1 container group (container and member), 4
// derived items with a living source, and media items of the configured class for the rest.
struct Layout
{
    explicit Layout(LONG items) : unit(items / 40), media(items - 18 * (items / 40)) {}
    LONG unit;
    LONG media;
    LONG Missing() const { return 4 * unit; }
    LONG Orphans() const { return 4 * unit; }
    LONG EmptyContainers() const { return 2 * unit; }
    LONG EmptyCollections() const { return 2 * unit; }
    LONG Groups() const { return unit; }
    LONG LivingDerived() const { return 4 * unit; }
};

// Wall-clock and processor time (all threads of this process), in milliseconds.
struct Times
{
    double wallMs = 0;
    double cpuMs = 0;
};

double ProcessCpuMs()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

class CStopwatch
{
public:
    CStopwatch() : m_wall(NowMs()), m_cpu(ProcessCpuMs()) {}
    Times Elapsed() const { return Times{NowMs() - m_wall, ProcessCpuMs() - m_cpu}; }

private:
    double m_wall;
    double m_cpu;
};

std::wstring Numbered(const wchar_t* prefix, LONG i)
{
    return prefix + std::to_wstring(i);
}

// What a clean-up left behind; the run and the floor must agree on it.
struct Outcome
{
    size_t items = 0;
    size_t files = 0;
    LONG repaired = 0;
    bool operator==(const Outcome& other) const
    {
        return items == other.items && files == other.files && repaired == other.repaired;
    }
};

size_t CountFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    size_t count = 0;
    do
    {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ++count;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return count;
}

// A stand-in database with the catalogue, its files, the file examiner and the site.
class CBenchCatalogue
{
public:
    explicit CBenchCatalogue(LONG items) : m_layout(items) {}
    ~CBenchCatalogue()
    {
        m_examiner.Revoke();
        if (m_db)
            m_db->Revoke();
    }

    bool Build()
    {
        m_db = CContentDatabase::Create();
        if (FAILED(m_db->Register()) || FAILED(m_examiner.Register<CFileExaminer>(CLSID_FileExaminer)))
            return false;
        m_db->Control().SetRecording(false);
        CFileExaminer::Reset();
        // Groups whose container is marked to be kept pass the examination; the others are repaired.
        CFileExaminer::SetRule([](const std::wstring&, const std::wstring& container) {
            return container.find(L"keep") != std::wstring::npos;
        });
        CContentDbCatalogue& catalogue = m_db->Catalogue();
        m_media = std::make_unique<CMediaCatalogueBuilder>(catalogue);
        CContainerCatalogueBuilder builder(catalogue, m_files);

        std::vector<std::wstring> mediaPaths;
        for (LONG i = 0; i < m_layout.media; ++i)
        {
            CMediaCatalogueBuilder::Media item(Numbered(L"m", i), kConfiguredClass);
            item.fileName = Numbered(L"f", i % kDistinctMediaFiles) + L".mpg";
            const std::wstring path = m_media->Add(item);
            if (i < kDistinctMediaFiles)
                mediaPaths.push_back(path);
        }
        for (LONG i = 0; i < m_layout.Missing(); ++i)
            builder.AddItemWithMissingFile(Numbered(L"gone", i), kConfiguredClass, 1);
        for (LONG i = 0; i < m_layout.Orphans(); ++i)
            builder.AddDerivedItem(Numbered(L"orphan", i), i % 2 ? kItemClassDerived611 : kItemClassDerived610,
                                   Numbered(L"lost", i), 1);
        for (LONG i = 0; i < m_layout.LivingDerived(); ++i)
            builder.AddDerivedItem(Numbered(L"derived", i), kItemClassDerived610, Numbered(L"m", i % m_layout.media), 0);
        for (LONG i = 0; i < m_layout.EmptyContainers(); ++i)
            builder.AddContainer(Numbered(L"hollow", i), L"", "empty container", {});
        for (LONG i = 0; i < m_layout.EmptyCollections(); ++i)
            builder.AddCollection(Numbered(L"bare", i), {});
        for (LONG i = 0; i < m_layout.Groups(); ++i)
        {
            // The member stands for another media file than the container's source.
            const LONG source = i % m_layout.media;
            const std::wstring memberPath = mediaPaths[(source + 1) % mediaPaths.size()];
            const std::wstring member = Numbered(L"member", i);
            const std::wstring container = Numbered(i % 2 ? L"fix" : L"keep", i);
            builder.AddContainerMember(member, memberPath, "member content");
            builder.AddContainer(container, Numbered(L"m", source), "container content", {member});
            m_groups.push_back({container, Numbered(L"m", source)});
        }
        return SetConfiguredClass();
    }

    Outcome Result()
    {
        Outcome outcome;
        outcome.items = m_db->Catalogue().Count();
        outcome.files = CountFiles(m_files.Folder());
        for (const auto& group : m_groups)
        {
            std::wstring source;
            ContentDbItemPtr item = m_db->Catalogue().Find(group.first);
            if (item && item->GetText(kPropDerivedFrom, source) && source != group.second)
                ++outcome.repaired;
        }
        return outcome;
    }

    const Layout& Shape() const { return m_layout; }

private:
    static bool SetConfiguredClass()
    {
        CRegKey key;
        if (key.Create(HKEY_LOCAL_MACHINE, kSettingsKey) != ERROR_SUCCESS)
            return false;
        const DWORD value = kConfiguredClass;
        return RegSetValueExW(key, L"CleanUpObjectClass", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                              sizeof(value)) == ERROR_SUCCESS;
    }

    Layout m_layout;
    std::shared_ptr<CContentDatabase> m_db;
    CClassRegistration m_examiner;
    CScratchFolder m_files{L"lumbenchclean"};
    std::unique_ptr<CMediaCatalogueBuilder> m_media;
    std::vector<std::pair<std::wstring, std::wstring>> m_groups;  // container, original source
};

// ---- The floor: the run's database calls and file work, written inline --------------------------

using StringList = std::vector<CString>;

// -1 and the associated-file properties.
struct FileSelection
{
    LONG props[1 + kAssociatedFilePropCount];
    FileSelection()
    {
        props[0] = kPropItemId;
        for (ULONG i = 0; i < kAssociatedFilePropCount; ++i)
            props[1 + i] = kAssociatedFileProps[i];
    }
};
const FileSelection kFiles;

LONG ClassOf(CKdCdbMgr& c)
{
    return _wtol(c.GetValueText(kPropItemClass));
}

// The ids found by `query`, fetching the id only.
StringList SearchIds(CKdCdbMgr& c, const CString& query)
{
    StringList ids;
    CLockGuard guard(c.ConnectionLock());
    LONG count = 0;
    const LONG props[] = {kPropItemId};
    if (FAILED(c.Search(query, 1, props, &count)))
        return ids;
    for (LONG i = 0; i < count; ++i, c.MoveNext())
    {
        const CString id = c.GetValueText(kPropItemId);
        if (!id.IsEmpty())
            ids.push_back(id);
    }
    return ids;
}

void AppendFilesOf(CKdCdbMgr& c, const CString& id, StringList& files)
{
    CLockGuard guard(c.ConnectionLock());
    CScopedBstr bstrId(id.AllocSysString());
    LONG found = 0;
    if (FAILED(c.SelectItem(bstrId.Get(), 1 + kAssociatedFilePropCount, kFiles.props, &found)) || found < 1)
        return;
    for (LONG prop : kAssociatedFileProps)
    {
        const CString file = c.GetValueText(prop);
        if (!file.IsEmpty())
            files.push_back(file);
    }
}

// The plain deletion: as the user who may write the file, with DeleteFileW, without the file
// guard the plug-in's deletions go through, so that the guard's cost shows in the ratio.
void DeleteFiles(const StringList& files)
{
    for (const CString& file : files)
    {
        const CString longPath = MakeLongPath(file, false, false);
        CScopedHandle user;
        if (FAILED(FindUserTokenForFile(longPath, &user, true)))
            continue;
        const CImpersonation asUser(user.Get());
        DeleteFileW(longPath);
    }
}

void DeleteItems(CKdCdbMgr& c, const StringList& ids)
{
    for (const CString& id : ids)
        c.DeleteItem(id);
}

// The derived items of `source` and their files go.
void DeleteDerived(CKdCdbMgr& c, const CString& source)
{
    StringList ids;
    StringList files;
    {
        CLockGuard guard(c.ConnectionLock());
        LONG count = 0;
        const CString query = QueryAnyClassAndValue(kItemClassDerived610, kItemClassDerived611, kItemClassDerived612,
                                                    kPropDerivedFrom, source);
        if (FAILED(c.Search(query, 1 + kAssociatedFilePropCount, kFiles.props, &count)))
            return;
        for (LONG i = 0; i < count; ++i, c.MoveNext())
        {
            ids.push_back(c.GetValueText(kPropItemId));
            for (LONG prop : kAssociatedFileProps)
            {
                const CString file = c.GetValueText(prop);
                if (!file.IsEmpty())
                    files.push_back(file);
            }
        }
    }
    DeleteFiles(files);
    DeleteItems(c, ids);
}

void FloorMissingFiles(CKdCdbMgr& c)
{
    StringList missing;
    {
        CLockGuard guard(c.ConnectionLock());
        LONG count = 0;
        const LONG props[] = {kPropItemId, kPropPath};
        if (FAILED(c.Search(QueryNumberEquals(kPropItemClass, kConfiguredClass), 2, props, &count)))
            return;
        for (LONG i = 0; i < count; ++i, c.MoveNext())
        {
            const CString path = c.GetValueText(kPropPath);
            if (path.IsEmpty() || !IsFilePresent(path))
                missing.push_back(c.GetValueText(kPropItemId));
        }
    }
    for (const CString& id : missing)
    {
        StringList files;
        AppendFilesOf(c, id, files);
        DeleteFiles(files);
        DeleteDerived(c, id);
        c.DeleteItem(id);
    }
}

void FloorOrphans(CKdCdbMgr& c)
{
    StringList sources;
    {
        std::unordered_set<std::wstring> seen;
        CLockGuard guard(c.ConnectionLock());
        LONG count = 0;
        const LONG props[] = {kPropItemId, kPropDerivedFrom};
        if (FAILED(c.Search(QueryAnyClass(kItemClassDerived610, kItemClassDerived611, kItemClassDerived612), 2, props,
                            &count)))
            return;
        for (LONG i = 0; i < count; ++i, c.MoveNext())
        {
            const CString source = c.GetValueText(kPropDerivedFrom);
            if (!source.IsEmpty() && seen.insert(source.GetString()).second)
                sources.push_back(source);
        }
    }
    for (const CString& source : sources)
    {
        if (c.ItemExists(source) == S_FALSE)
            DeleteDerived(c, source);
    }
}

// The groups (containers of `containerQuery`) whose related items include none of class 612, or
// with `memberClasses`, none of those classes.
StringList FloorEmptyGroups(CKdCdbMgr& c, const CString& query, const std::vector<LONG>& memberClasses)
{
    StringList empty;
    for (const CString& id : SearchIds(c, query))
    {
        CLockGuard guard(c.ConnectionLock());
        CScopedBstr bstrId(id.AllocSysString());
        LONG count = 0;
        if (!memberClasses.empty())
        {
            const LONG props[] = {kPropItemId};
            if (FAILED(c.SearchRelatedByClass(bstrId.Get(), static_cast<ULONG>(memberClasses.size()),
                                              memberClasses.data(), 1, props, &count)) ||
                count < 1)
                empty.push_back(id);
            continue;
        }
        const LONG props[] = {kPropItemId, kPropItemClass};
        bool hasMember = false;
        if (SUCCEEDED(c.SearchRelated(bstrId.Get(), 2, props, &count)))
        {
            for (LONG i = 0; i < count && !hasMember; ++i, c.MoveNext())
                hasMember = ClassOf(c) == kItemClassDerived612;
        }
        if (!hasMember)
            empty.push_back(id);
    }
    return empty;
}

void FloorRemoveGroups(CKdCdbMgr& c, const StringList& ids)
{
    StringList files;
    for (const CString& id : ids)
        AppendFilesOf(c, id, files);
    DeleteFiles(files);
    DeleteItems(c, ids);
}

CString ContainerFileOf(const CString& value, bool keepOther)
{
    const CString location = LumfileUrlFromPath(value);
    if (IsLumFile(location))
        return PathFromLumfileUrl(location);
    return keepOther ? location : CString();
}

bool SelectValues(CKdCdbMgr& c, const CString& id, std::initializer_list<LONG> props, CString* values)
{
    CLockGuard guard(c.ConnectionLock());
    CScopedBstr bstrId(id.AllocSysString());
    LONG found = 0;
    if (FAILED(c.SelectItem(bstrId.Get(), static_cast<ULONG>(props.size()), props.begin(), &found)) || found < 1)
        return false;
    for (LONG prop : props)
    {
        *values = c.GetValueText(prop);
        if ((values++)->IsEmpty())
            return false;
    }
    return true;
}

bool Accepted(IFileExaminer* examiner, const CString& sourcePath, const CString& containerFile)
{
    if (!IsFilePresent(containerFile, FilePresence::Unreadable) || !IsFilePresent(sourcePath, FilePresence::Unreadable))
        return false;
    CScopedBstr source(sourcePath.AllocSysString());
    CScopedBstr target(containerFile.AllocSysString());
    ULONG count = 0;
    if (FAILED(examiner->OpenSource(0, source.Get())) || FAILED(examiner->OpenContainer(0, target.Get())) ||
        FAILED(examiner->GetPartCount(0, &count)))
        return false;
    for (ULONG index = 0; index < count; ++index)
    {
        ULONG id = 0, start = 0, length = 0;
        USHORT type = 0;
        if (FAILED(examiner->GetPart(0, index, &id, &type, &start, &length)))
            return false;
        if (type != kExaminerPartVideo && type != kExaminerPartAudio)
            continue;
        VARIANT options;
        VariantInit(&options);
        ULONG flags = 0;
        return SUCCEEDED(examiner->ComparePart(1, 0, index, options, &flags)) && (flags & kExaminerPartMatches);
    }
    return false;
}

bool CopyMember(CKdCdbMgr& c, const CString& containerId, const CString& containerFile, const CString& sourcePath,
                const CString& memberId)
{
    CString member[2];
    if (!SelectValues(c, memberId, {kPropPath, kAssociatedFileProps[0]}, member) ||
        !IsFilePresent(member[0], FilePresence::Unreadable))
        return false;
    const CString longContainer = MakeLongPath(containerFile, false, false);
    const CString longMember = MakeLongPath(ContainerFileOf(member[1], true), false, false);
    CScopedHandle token;
    if (FAILED(FindUserTokenForFile(longContainer, &token, true)))
        return false;
    if (FAILED(TryOpenFile(token.Get(), longMember, false)))
        return false;
    {
        const CImpersonation asUser(token.Get());
        if (!CopyFileW(longMember, longContainer, FALSE))
            return false;
    }
    if (member[0].CompareNoCase(sourcePath) == 0)
        return false;
    CString newSource;
    {
        CLockGuard guard(c.ConnectionLock());
        const LONG props[] = {kPropItemId};
        LONG found = 0;
        if (FAILED(c.FindItemByPath(member[0], 1, props, kAnyItemClass, &found)) || found < 1)
            return false;
        newSource = c.GetValueText(kPropItemId);
    }
    CScopedBstr id(containerId.AllocSysString());
    CScopedBstr value(newSource.AllocSysString());
    BSTR values[] = {value.Get()};
    KdCdbPropValue record{kPropDerivedFrom, 1, values};
    return SUCCEEDED(c.SetValuesRaw(id.Get(), 0, nullptr, 1, &record));
}

void FloorRepair(CKdCdbMgr& c, IFileExaminer* examiner)
{
    std::vector<std::pair<CString, CString>> groups;  // container, first member
    for (const CString& id : SearchIds(c, QueryNumberEquals(kPropItemClass, kItemClassContainer)))
    {
        CLockGuard guard(c.ConnectionLock());
        CScopedBstr bstrId(id.AllocSysString());
        const LONG props[] = {kPropItemId, kPropItemClass};
        LONG count = 0;
        if (FAILED(c.SearchRelated(bstrId.Get(), 2, props, &count)))
            continue;
        for (LONG i = 0; i < count; ++i, c.MoveNext())
        {
            if (ClassOf(c) == kItemClassDerived612)
            {
                groups.emplace_back(id, c.GetValueText(kPropItemId));
                break;
            }
        }
    }
    for (const auto& group : groups)
    {
        CString container[2];
        CString sourcePath;
        if (!SelectValues(c, group.first, {kPropDerivedFrom, kAssociatedFileProps[0]}, container))
            continue;
        const CString containerFile = ContainerFileOf(container[1], false);
        if (containerFile.IsEmpty() || !SelectValues(c, container[0], {kPropPath}, &sourcePath))
            continue;
        if (Accepted(examiner, sourcePath, containerFile) && IsFilePresent(sourcePath, FilePresence::Unreadable))
            continue;
        CopyMember(c, group.first, containerFile, sourcePath, group.second);
    }
}

bool RunFloor(Times& times)
{
    // Stop and run events as the worker gives its connections: never stopped, always running.
    CScopedHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CScopedHandle running(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    CKdCdbMgr c;
    IFileExaminer* examiner = nullptr;
    const CStopwatch watch;
    if (FAILED(c.Open(false, L"LumSiftDbNotifyWex", 10000)))
        return false;
    c.SetAbortEvent(stop.Get());
    c.SetRunEvent(running.Get());
    FloorMissingFiles(c);
    FloorOrphans(c);
    const CString containers =
        c.GetServerVersion() < 0x00030000
            ? QueryNumberEquals(kPropItemClass, kItemClassContainer)
            : QueryAnyClass(kItemClassContainer, kItemClassContainer620, kItemClassContainer630);
    FloorRemoveGroups(c, FloorEmptyGroups(c, containers, {}));
    FloorRemoveGroups(c, FloorEmptyGroups(c, QueryAnyClass(kItemClassCollection650, kItemClassCollection700),
                                          {kItemClassAudio, kItemClassCollection650, kItemClassCollection700}));
    if (FAILED(CoCreateInstance(CLSID_FileExaminer, nullptr, CLSCTX_ALL, IID_IFileExaminer,
                                reinterpret_cast<void**>(&examiner))))
        return false;
    FloorRepair(c, examiner);
    examiner->Release();
    c.Close();
    times = watch.Elapsed();
    return true;
}

// ---- The run: queued on the worker as the plug-in object queues it ------------------------------

bool RunCleanUp(Times& times)
{
    CManagerSite* site = nullptr;
    if (FAILED(CManagerSite::Create(&site)))
        return false;
    bool ok = false;
    {
        CPluginDbSearchThread worker;
        CScopedHandle progress(OpenEventW(SYNCHRONIZE, FALSE, worker.GetProgressEventName()));
        if (progress.IsValid() && worker.QueueSite(site) == S_OK)
        {
            const CStopwatch watch;
            if (worker.QueueSearch(CPluginDbSearchThread::kItemCleanUp, 0x00020000) == S_OK)
            {
                ULONG word = worker.GetProgress();
                while (word != CPluginDbSearchThread::kProgressDone && word != CPluginDbSearchThread::kProgressFailed &&
                       watch.Elapsed().wallMs < kRunTimeoutMs)
                {
                    WaitForSingleObject(progress.Get(), 100);
                    word = worker.GetProgress();
                }
                times = watch.Elapsed();
                ok = word == CPluginDbSearchThread::kProgressDone;
            }
        }
        worker.RequestStop();
        worker.Shutdown();
    }
    site->Release();
    return ok;
}

// ---- Driver ------------------------------------------------------------------------------------

// HKEY_LOCAL_MACHINE redirected to a scratch key of the current user for the benchmark's life.
class CScratchMachineKey
{
public:
    CScratchMachineKey()
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratchMachine);
        m_ok = m_key.Create(HKEY_CURRENT_USER, kScratchMachine) == ERROR_SUCCESS &&
               RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key) == ERROR_SUCCESS;
    }
    ~CScratchMachineKey()
    {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        m_key.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, kScratchMachine);
    }
    bool IsValid() const { return m_ok; }

private:
    CRegKey m_key;
    bool m_ok = false;
};

// One side measured over a catalogue of its own; the best times are kept.
struct Side
{
    Side(const char* sideName, bool onWorker) : name(sideName), throughRun(onWorker) {}
    const char* name;
    bool throughRun;
    Times best{1e30, 1e30};
    Outcome outcome;
};

bool Measure(LONG items, Side& side)
{
    CBenchCatalogue catalogue(items);
    if (!catalogue.Build())
        return false;
    Times times;
    if (!(side.throughRun ? RunCleanUp(times) : RunFloor(times)))
        return false;
    std::printf("  %-5s %9.1f ms, processor %9.1f ms\n", side.name, times.wallMs, times.cpuMs);
    side.best.wallMs = std::min(side.best.wallMs, times.wallMs);
    side.best.cpuMs = std::min(side.best.cpuMs, times.cpuMs);
    side.outcome = catalogue.Result();
    return true;
}

int Run(LONG items, int rounds, const std::vector<DWORD>& traceLevels)
{
    CScratchMachineKey machine;
    if (!machine.IsValid())
    {
        std::fprintf(stderr, "cannot redirect HKEY_LOCAL_MACHINE\n");
        return 1;
    }
    const Layout layout(items);
    std::printf("cleanup: %ld items: %ld with a missing file, %ld orphaned derived items, %ld empty containers, "
                "%ld empty collections, %ld container groups; %d rounds\n",
                static_cast<long>(items), static_cast<long>(layout.Missing()), static_cast<long>(layout.Orphans()),
                static_cast<long>(layout.EmptyContainers()), static_cast<long>(layout.EmptyCollections()),
                static_cast<long>(layout.Groups()), rounds);
    Side run("run", true);
    Side floor("floor", false);
    Side traced("trace", true);
    for (int round = 0; round < rounds; ++round)
    {
        Side& first = round % 2 ? floor : run;
        Side& second = round % 2 ? run : floor;
        if (!Measure(items, first) || !Measure(items, second))
        {
            std::fprintf(stderr, "a measurement failed\n");
            return 1;
        }
        if (traceLevels.size() > 1)
        {
            const bench::CBenchTrace trace(traceLevels[1], false);
            if (!Measure(items, traced))
                return 1;
        }
        if (!(run.outcome == floor.outcome))
        {
            std::fprintf(stderr, "the run left %zu items, %zu files, %ld containers repaired; the floor %zu, %zu, %ld\n",
                         run.outcome.items, run.outcome.files, static_cast<long>(run.outcome.repaired),
                         floor.outcome.items, floor.outcome.files, static_cast<long>(floor.outcome.repaired));
            return 1;
        }
    }
    std::printf("  both left %zu items, %zu scratch files, %ld containers repaired\n", run.outcome.items,
                run.outcome.files, static_cast<long>(run.outcome.repaired));
    std::printf("  floor, the same calls inline on one connection: %9.1f ms (processor %9.1f ms)\n", floor.best.wallMs,
                floor.best.cpuMs);
    std::printf("  clean-up run on the search worker:              %9.1f ms (processor %9.1f ms)\n", run.best.wallMs,
                run.best.cpuMs);
    std::printf("  run / floor time:                               %9.3f (processor %.3f; goal <= 1.200)\n",
                run.best.wallMs / floor.best.wallMs, run.best.cpuMs / floor.best.cpuMs);
    if (traceLevels.size() > 1)
        std::printf("  run / floor time at %s:                  %9.3f (processor %.3f) beside %.3f with the trace off\n",
                    bench::CBenchTrace::Label(traceLevels[1]), traced.best.wallMs / floor.best.wallMs,
                    traced.best.cpuMs / floor.best.cpuMs, run.best.wallMs / floor.best.wallMs);
    return 0;
}
}  // namespace

int main(int argc, char** argv)
{
    const std::vector<DWORD> traceLevels = bench::TraceLevelsToMeasure(argc, argv);
    const LONG items = argc > 1 ? std::atol(argv[1]) : kDefaultItems;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : kDefaultRounds;
    if (items < 40 || rounds < 1)
    {
        std::fprintf(stderr, "usage: cleanup [items, at least 40 [rounds, at least 1]]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    const int result = Run(items, rounds, traceLevels);
    CoUninitialize();
    return result;
}
