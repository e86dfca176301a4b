// The item lookups of CKdCdbMgr against the stand-in content database.
#include <gtest/gtest.h>
#include <objbase.h>
#include <string>
#include <vector>
#include "common/HResult.h"
#include "common/Scoped.h"
#include "contentdb/KdCdbMgr.h"
#include "standins/ContentDatabase.h"
#include "tests/support/TestSync.h"

namespace
{
constexpr DWORD kWaitMs = kTestWaitMs;
constexpr LONG kPropDerivedFrom = 180;
constexpr LONG kPropLabel = 0xF1;
constexpr LONG kPropKey = 245;
constexpr LONG kPropPath = 500;
constexpr LONG kPropMembers = 519;
constexpr LONG kFileA = 0x01F8;  // first associated-file property
constexpr LONG kFileB = 0x0213;  // last one
constexpr LONG kFileMid = 0x020B;

using Strings = std::vector<std::wstring>;
using Props = CContentDbCatalogue::Properties;

Strings Plain(const std::vector<CString>& list)
{
    Strings out;
    for (const CString& text : list)
        out.emplace_back(text.GetString());
    return out;
}

class LookupsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        m_db = CContentDatabase::Create();
        ASSERT_EQ(S_OK, m_db->Register());
    }

    void TearDown() override
    {
        m_db->Control().Reset();
        m_db->Revoke();
        EXPECT_TRUE(m_db->WaitNotificationsIdle(kWaitMs));
        m_db.reset();
        CoUninitialize();
    }

    void Open(CKdCdbMgr& mgr) { ASSERT_EQ(S_FALSE, mgr.Open(false, L"LumSiftDbNotifyWex", kWaitMs)); }

    CContentDbCatalogue& Items() { return m_db->Catalogue(); }
    CContentDbControl& Control() { return m_db->Control(); }
    LONG Count(CdbMethod method) { return Control().CallCount(method); }
    Strings Queries()
    {
        Strings texts;
        for (const CdbCall& call : Control().Calls(CdbMethod::Search))
            texts.push_back(call.text);
        return texts;
    }
    Strings Deleted()
    {
        Strings ids;
        for (const CdbCall& call : Control().Calls(CdbMethod::DeleteItem))
            ids.push_back(call.text);
        return ids;
    }
    // The member list as stored; "<none>" once the property is gone.
    std::wstring Members(const std::wstring& collection)
    {
        ContentDbItemPtr item = Items().Find(collection);
        if (!item)
            return L"<no item>";
        const std::wstring* list = item->FindProperty(kPropMembers);
        return list ? *list : L"<none>";
    }

    std::shared_ptr<CContentDatabase> m_db;
};

// A folder of real files for the presence and deletion checks, removed afterwards.
class CTempFolder
{
public:
    CTempFolder()
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        m_path = std::wstring(base) + L"lumlookups-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(GetTickCount());
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~CTempFolder()
    {
        for (const std::wstring& file : m_files)
            DeleteFileW(file.c_str());
        RemoveDirectoryW(m_path.c_str());
    }
    std::wstring Create(const std::wstring& name)
    {
        const std::wstring file = Path(name);
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
        {
            DWORD written = 0;
            WriteFile(handle, "x", 1, &written, nullptr);
            CloseHandle(handle);
        }
        return file;
    }
    std::wstring Path(const std::wstring& name)
    {
        const std::wstring file = m_path + L"\\" + name;
        m_files.push_back(file);
        return file;
    }

private:
    std::wstring m_path;
    Strings m_files;
};

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
}  // namespace

// ---- Arguments and connection -----------------------------------------------------------------

TEST_F(LookupsTest, EveryLookupNeedsAConnection)
{
    Items().AddItem(L"v1", 300, {{kPropPath, L"C:\\a.vdq"}});
    CKdCdbMgr mgr;
    std::vector<CString> a{CString(L"kept")}, b, keys{CString(L"k")};
    std::vector<CKdCdbItemGroup> groups;
    const HRESULT results[] = {
        mgr.FindItemByPath(L"C:\\a.vdq", 0, nullptr, 300),
        mgr.ListContainerGroups(&groups),
        mgr.GetItemFiles(L"v1", &a),
        mgr.FindDerivedItems(L"v1", &a, &b, &b),
        mgr.ListDerivationSources(&a, &b),
        mgr.FindEmptyContainers(&a, &b),
        mgr.FindEmptyContainersByKey(&keys, &a, &b),
        mgr.FindEmptyCollections(&a, &b),
        mgr.RemoveFromCollections(L"v1", &a, &b),
        mgr.FindItemsWithMissingFile(&a, -1),
        mgr.DeleteItemWithDependents(L"v1", true, true),
    };
    for (size_t i = 0; i < sizeof(results) / sizeof(results[0]); ++i)
        EXPECT_EQ(kHrNotConnected, results[i]) << "lookup " << i;
    EXPECT_TRUE(a.empty());  // outputs are emptied whatever the outcome
}

TEST_F(LookupsTest, MissingArgumentsAndBlankIdsAreRefusedWithoutCallingTheDatabase)
{
    Items().AddItem(L"v1", 300);
    Items().AddItem(L"d1", 610, {{kPropDerivedFrom, L"x"}});
    CKdCdbMgr mgr;
    Open(mgr);
    Control().ClearCalls();
    std::vector<CString> list{CString(L"untouched")};
    std::vector<CString> keys;
    const struct
    {
        const char* what;
        HRESULT result;
    } cases[] = {
        {"FindItemByPath null path", mgr.FindItemByPath(nullptr, 0, nullptr, 300)},
        {"ListContainerGroups null", mgr.ListContainerGroups(nullptr)},
        {"GetItemFiles null id", mgr.GetItemFiles(nullptr, &list)},
        {"GetItemFiles empty id", mgr.GetItemFiles(L"", &list)},
        {"GetItemFiles null list", mgr.GetItemFiles(L"v1", nullptr)},
        {"FindDerivedItems null id", mgr.FindDerivedItems(nullptr, &list)},
        {"FindDerivedItems empty id", mgr.FindDerivedItems(L"", &list)},
        {"FindDerivedItems null ids", mgr.FindDerivedItems(L"v1", nullptr, &list, &list)},
        {"ListDerivationSources null sources", mgr.ListDerivationSources(nullptr, &list)},
        {"ListDerivationSources null unsourced", mgr.ListDerivationSources(&list, nullptr)},
        {"FindEmptyContainers null", mgr.FindEmptyContainers(nullptr, &list)},
        {"FindEmptyContainersByKey null keys", mgr.FindEmptyContainersByKey(nullptr, &list, &list)},
        {"FindEmptyContainersByKey null ids", mgr.FindEmptyContainersByKey(&keys, nullptr, &list)},
        {"FindEmptyCollections null", mgr.FindEmptyCollections(nullptr, &list)},
        {"RemoveFromCollections null id", mgr.RemoveFromCollections(nullptr, &list)},
        {"RemoveFromCollections empty id", mgr.RemoveFromCollections(L"", &list)},
        {"RemoveFromCollections null ids", mgr.RemoveFromCollections(L"v1", nullptr)},
        {"FindItemsWithMissingFile null", mgr.FindItemsWithMissingFile(nullptr, -1)},
        {"DeleteItemWithDependents null", mgr.DeleteItemWithDependents(nullptr, true, true)},
        {"DeleteItemWithDependents empty", mgr.DeleteItemWithDependents(L"", true, true)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(E_POINTER, c.result) << c.what;
    ASSERT_EQ(1u, list.size());
    EXPECT_STREQ(L"untouched", list[0]);
    EXPECT_TRUE(Control().Calls().empty());
    EXPECT_EQ(2u, Items().Count());
}

TEST_F(LookupsTest, AFailedSearchIsReturned)
{
    CKdCdbMgr mgr;
    Open(mgr);
    const HRESULT failure = static_cast<HRESULT>(0x80042777);
    std::vector<CString> a, b, keys{CString(L"k")};
    std::vector<CKdCdbItemGroup> groups;
    const auto failNext = [&] { Control().FailNext(CdbMethod::Search, failure); };
    failNext();
    EXPECT_EQ(failure, mgr.FindItemByPath(L"C:\\a", 0, nullptr, 300));
    failNext();
    EXPECT_EQ(failure, mgr.ListContainerGroups(&groups));
    failNext();
    EXPECT_EQ(failure, mgr.FindDerivedItems(L"v", &a, &b, &b));
    failNext();
    EXPECT_EQ(failure, mgr.ListDerivationSources(&a, &b));
    failNext();
    EXPECT_EQ(failure, mgr.FindEmptyContainers(&a, &b));
    failNext();
    EXPECT_EQ(failure, mgr.FindEmptyContainersByKey(&keys, &a, &b));
    failNext();
    EXPECT_EQ(failure, mgr.FindEmptyCollections(&a, &b));
    failNext();
    EXPECT_EQ(failure, mgr.RemoveFromCollections(L"v", &a, &b));
    failNext();
    EXPECT_EQ(failure, mgr.FindItemsWithMissingFile(&a, -1));
    failNext();
    EXPECT_EQ(failure, mgr.DeleteItemWithDependents(L"v", true, true));
    EXPECT_EQ(0, Count(CdbMethod::DeleteItem));
    Control().FailNext(CdbMethod::SelectItem, failure);
    EXPECT_EQ(failure, mgr.GetItemFiles(L"v", &a));
}

// ---- Item by path and files -------------------------------------------------------------------

TEST_F(LookupsTest, FindItemByPathFiltersByTheClassGivenOrImpliedByTheFileName)
{
    Items().AddItem(L"v1", 300, {{kPropPath, L"C:\\Media\\clip.vdq"}});
    Items().AddItem(L"x1", 200, {{kPropPath, L"C:\\Media\\clip.vdq"}});
    Items().AddItem(L"u1", 100, {{kPropPath, L"C:\\Media\\odd.lumtestnone"}});
    CKdCdbMgr mgr;
    Open(mgr);
    const LONG props[] = {-1};
    const struct
    {
        const wchar_t* path;
        LONG itemClass;
        const wchar_t* query;
        Strings found;
    } cases[] = {
        {L"C:\\Media\\clip.vdq", 300, L"-2 = \"300\" and 500 = \"C:\\\\Media\\\\clip.vdq\"", {L"v1"}},
        {L"C:\\Media\\clip.vdq", 200, L"-2 = \"200\" and 500 = \"C:\\\\Media\\\\clip.vdq\"", {L"x1"}},
        // Class 0: the file name says video.
        {L"C:\\Media\\clip.vdq", 0, L"-2 = \"300\" and 500 = \"C:\\\\Media\\\\clip.vdq\"", {L"v1"}},
        // Class 0 and a name that implies no class: no filter at all.
        {L"C:\\Media\\odd.lumtestnone", 0, L"500 = \"C:\\\\Media\\\\odd.lumtestnone\"", {L"u1"}},
        {L"C:\\Media\\clip.vdq", -1, L"500 = \"C:\\\\Media\\\\clip.vdq\"", {L"v1", L"x1"}},
    };
    for (const auto& c : cases)
    {
        Control().ClearCalls();
        CLockGuard walk(mgr.ConnectionLock());
        LONG count = -1;
        ASSERT_EQ(S_OK, mgr.FindItemByPath(c.path, 1, props, c.itemClass, &count));
        EXPECT_EQ(Strings{c.query}, Queries());
        Strings found;
        for (LONG i = 0; i < count; ++i)
        {
            CScopedBstr id;
            mgr.GetValue(-1, id.Receive());
            found.emplace_back(id.Get());
            mgr.MoveNext();
        }
        EXPECT_EQ(c.found, found) << c.query;
    }
}

TEST_F(LookupsTest, GetItemFilesListsTheNonEmptyAssociatedPathsInPropertyOrder)
{
    // Added out of order: the property table decides the order, and the main path is not one.
    Items().AddItem(L"v1", 300, {{kFileB, L"C:\\z.srt"}, {kFileA, L"C:\\a.idx"}, {kFileMid, L"C:\\m.jpg"},
                                 {kPropPath, L"C:\\v1.vdq"}});
    Items().AddItem(L"v2", 300, {{kPropPath, L"C:\\v2.vdq"}});
    CKdCdbMgr mgr;
    Open(mgr);
    std::vector<CString> files{CString(L"stale")};
    ASSERT_EQ(S_OK, mgr.GetItemFiles(L"v1", &files));
    EXPECT_EQ((Strings{L"C:\\a.idx", L"C:\\m.jpg", L"C:\\z.srt"}), Plain(files));
    ASSERT_EQ(S_OK, mgr.GetItemFiles(L"v2", &files));
    EXPECT_TRUE(files.empty());
    ASSERT_EQ(S_OK, mgr.GetItemFiles(L"nobody", &files));
    EXPECT_TRUE(files.empty());
}

// ---- Derived items --------------------------------------------------------------------------

TEST_F(LookupsTest, FindDerivedItemsCollectsIdsFilesAndTheKeysOfMarkedItems)
{
    const std::wstring source = L"C:\\src\\V";  // a backslash, doubled in the query
    Items().AddItem(L"d1", 610, {{kPropDerivedFrom, source}, {kPropLabel, L"cm"}, {kPropKey, L"K0"}, {kFileA, L"C:\\d1.a"}});
    Items().AddItem(L"d2", 612, {{kPropDerivedFrom, source}, {kPropLabel, L"cm"}, {kPropKey, L"K1"}, {kFileB, L"C:\\d2.b"}});
    Items().AddItem(L"d3", 612, {{kPropDerivedFrom, source}, {kPropLabel, L"CM"}, {kPropKey, L"K2"}});
    Items().AddItem(L"d4", 612, {{kPropDerivedFrom, source}, {kPropLabel, L"goods"}, {kPropKey, L"K3"}});
    Items().AddItem(L"d5", 612, {{kPropDerivedFrom, source}, {kPropLabel, L"shop"}});
    Items().AddItem(L"d6", 612, {{kPropDerivedFrom, source}, {kPropKey, L"K4"}});
    Items().AddItem(L"d7", 612, {{kPropDerivedFrom, source}, {kPropLabel, L"shop "}, {kPropKey, L"K5"}});
    Items().AddItem(L"d8", 612, {{kPropDerivedFrom, source}, {kPropLabel, L"shop"}, {kPropKey, L"K6"}});
    Items().SetClassText(L"d8", L"612x");  // a class that is not a number is not 612
    Items().AddItem(L"d9", 611, {{kPropDerivedFrom, source}, {kPropLabel, L"goods"}, {kPropKey, L"K7"}});
    Items().AddItem(L"other", 612, {{kPropDerivedFrom, L"C:\\src\\W"}, {kPropLabel, L"cm"}, {kPropKey, L"K8"}});
    Items().AddItem(L"notDerived", 300, {{kPropDerivedFrom, source}});
    CKdCdbMgr mgr;
    Open(mgr);

    std::vector<CString> ids, files, keys;
    ASSERT_EQ(S_OK, mgr.FindDerivedItems(source.c_str(), &ids, &files, &keys));
    EXPECT_EQ((Strings{L"( -2 = \"610\" or -2 = \"611\" or -2 = \"612\" ) and 180 = \"C:\\\\src\\\\V\""}), Queries());
    EXPECT_EQ((Strings{L"d1", L"d2", L"d3", L"d4", L"d5", L"d6", L"d7", L"d8", L"d9"}), Plain(ids));
    EXPECT_EQ((Strings{L"C:\\d1.a", L"C:\\d2.b"}), Plain(files));
    EXPECT_EQ((Strings{L"K1", L"K3"}), Plain(keys));
    EXPECT_EQ(18u, Control().Calls(CdbMethod::Search).back().numbers.size());

    // Without the optional outputs only the ids are fetched.
    Control().ClearCalls();
    ASSERT_EQ(S_OK, mgr.FindDerivedItems(source.c_str(), &ids));
    EXPECT_EQ(9u, ids.size());
    EXPECT_EQ(std::vector<LONG>{-1}, Control().Calls(CdbMethod::Search).back().numbers);
    ASSERT_EQ(S_OK, mgr.FindDerivedItems(L"nothing derives from me", &ids, &files, &keys));
    EXPECT_TRUE(ids.empty() && files.empty() && keys.empty());
}

TEST_F(LookupsTest, ListDerivationSourcesGivesDistinctSourcesAndUnsourcedItems)
{
    Items().AddItem(L"a", 610, {{kPropDerivedFrom, L"s1"}});
    Items().AddItem(L"b", 611, {{kPropDerivedFrom, L"s1"}});
    Items().AddItem(L"c", 612, {{kPropDerivedFrom, L"S1"}});  // another source: compared exactly
    Items().AddItem(L"d", 612);
    Items().AddItem(L"e", 610, {{kPropDerivedFrom, L"s2"}});
    Items().AddItem(L"v", 300, {{kPropDerivedFrom, L"s3"}});
    CKdCdbMgr mgr;
    Open(mgr);
    std::vector<CString> sources, unsourced;
    ASSERT_EQ(S_OK, mgr.ListDerivationSources(&sources, &unsourced));
    EXPECT_EQ((Strings{L"-2 = \"610\" or -2 = \"611\" or -2 = \"612\""}), Queries());
    EXPECT_EQ((Strings{L"s1", L"S1", L"s2"}), Plain(sources));
    EXPECT_EQ((Strings{L"d"}), Plain(unsourced));
}

// ---- Containers -----------------------------------------------------------------------------

class ContainerLookupsTest : public LookupsTest
{
protected:
    void SetUp() override
    {
        LookupsTest::SetUp();
        Items().AddItem(L"m612", 612);
        Items().AddItem(L"m612b", 612);
        Items().AddItem(L"m610", 610);
        Items().AddItem(L"v", 300);
        Items().AddItem(L"garbled", 612);
        Items().SetClassText(L"garbled", L"six");
        Items().AddItem(L"full", 600, {{kPropKey, L"K\\1"}, {kFileA, L"C:\\full.a"}});
        Items().SetMembers(L"full", {L"v", L"m612", L"m612b"});
        Items().AddItem(L"others", 600, {{kPropKey, L"K\\1"}, {kFileA, L"C:\\others.a"}, {kFileB, L"C:\\others.b"}});
        Items().SetMembers(L"others", {L"m610", L"v"});
        Items().AddItem(L"bare", 600, {{kPropKey, L"K2"}});
        Items().AddItem(L"odd", 600, {{kPropKey, L"K2"}, {kFileB, L"C:\\odd.b"}});
        Items().SetMembers(L"odd", {L"garbled"});
        Items().AddItem(L"new620", 620, {{kPropKey, L"K\\1"}, {kFileA, L"C:\\620.a"}});
        Items().AddItem(L"new630", 630, {{kPropKey, L"K2"}});
        Items().SetMembers(L"new630", {L"m612"});
    }
};

TEST_F(ContainerLookupsTest, ListContainerGroupsPairsEachClass600ContainerWithItsFirst612Member)
{
    CKdCdbMgr mgr;
    Open(mgr);
    std::vector<CKdCdbItemGroup> groups(1);
    ASSERT_EQ(S_OK, mgr.ListContainerGroups(&groups));
    EXPECT_EQ((Strings{L"-2 = \"600\""}), Queries());
    ASSERT_EQ(1u, groups.size());
    EXPECT_STREQ(L"full", groups[0].containerId);
    EXPECT_EQ((Strings{L"m612"}), Plain(groups[0].memberIds));

    // A container whose related items cannot be searched stays, without member.
    Items().SetMembers(L"full", {L"v"});
    Items().SetMembers(L"bare", {L"m612b"});
    Control().FailNext(CdbMethod::SearchRelated, E_FAIL);
    ASSERT_EQ(S_OK, mgr.ListContainerGroups(&groups));
    ASSERT_EQ(2u, groups.size());
    EXPECT_STREQ(L"full", groups[0].containerId);
    EXPECT_TRUE(groups[0].memberIds.empty());
    EXPECT_STREQ(L"bare", groups[1].containerId);
    EXPECT_EQ((Strings{L"m612b"}), Plain(groups[1].memberIds));
}

TEST_F(ContainerLookupsTest, FindEmptyContainersKeepsOnlyThoseWithoutA612Member)
{
    CKdCdbMgr mgr;
    Open(mgr);
    std::vector<CString> ids, files;
    ASSERT_EQ(S_OK, mgr.FindEmptyContainers(&ids, &files));
    EXPECT_EQ((Strings{L"-2 = \"600\" or -2 = \"620\" or -2 = \"630\""}), Queries());
    EXPECT_EQ((Strings{L"others", L"bare", L"odd", L"new620"}), Plain(ids));
    EXPECT_EQ((Strings{L"C:\\others.a", L"C:\\others.b", L"C:\\odd.b", L"C:\\620.a"}), Plain(files));

    // Without membership information a container counts as empty.
    Control().FailNext(CdbMethod::SearchRelated, E_FAIL);
    ASSERT_EQ(S_OK, mgr.FindEmptyContainers(&ids));
    EXPECT_EQ((Strings{L"full", L"others", L"bare", L"odd", L"new620"}), Plain(ids));
}

TEST_F(ContainerLookupsTest, ServersBefore3KnowOnlyClass600AsContainer)
{
    m_db->SetVersionText(L"2.9.9");
    CKdCdbMgr mgr;
    Open(mgr);
    ASSERT_EQ(0x00020909u, mgr.GetServerVersion());
    std::vector<CString> ids, files;
    ASSERT_EQ(S_OK, mgr.FindEmptyContainers(&ids, &files));
    EXPECT_EQ((Strings{L"-2 = \"600\""}), Queries());
    EXPECT_EQ((Strings{L"others", L"bare", L"odd"}), Plain(ids));

    Control().ClearCalls();
    const std::vector<CString> keys{CString(L"K\\1"), CString(L"K2")};
    ASSERT_EQ(S_OK, mgr.FindEmptyContainersByKey(&keys, &ids, &files));
    EXPECT_EQ((Strings{L"-2 = \"600\" and 245 = \"K\\\\1\"", L"-2 = \"600\" and 245 = \"K2\""}), Queries());
    EXPECT_EQ((Strings{L"others", L"bare", L"odd"}), Plain(ids));
    EXPECT_EQ((Strings{L"C:\\others.a", L"C:\\others.b", L"C:\\odd.b"}), Plain(files));
}

TEST_F(ContainerLookupsTest, FindEmptyContainersByKeySearchesOncePerKey)
{
    CKdCdbMgr mgr;
    Open(mgr);
    const std::vector<CString> keys{CString(L"K\\1"), CString(L"none")};
    std::vector<CString> ids, files;
    ASSERT_EQ(S_OK, mgr.FindEmptyContainersByKey(&keys, &ids, &files));
    EXPECT_EQ((Strings{L"( -2 = \"600\" or -2 = \"620\" or -2 = \"630\" ) and 245 = \"K\\\\1\"",
                       L"( -2 = \"600\" or -2 = \"620\" or -2 = \"630\" ) and 245 = \"none\""}),
              Queries());
    EXPECT_EQ((Strings{L"others", L"new620"}), Plain(ids));
    EXPECT_EQ((Strings{L"C:\\others.a", L"C:\\others.b", L"C:\\620.a"}), Plain(files));

    const std::vector<CString> noKeys;
    Control().ClearCalls();
    ASSERT_EQ(S_OK, mgr.FindEmptyContainersByKey(&noKeys, &ids, &files));
    EXPECT_TRUE(ids.empty() && files.empty());
    EXPECT_EQ(0, Count(CdbMethod::Search));
}

// ---- Collections ----------------------------------------------------------------------------

TEST_F(LookupsTest, FindEmptyCollectionsDropsThoseWithAMember)
{
    Items().AddItem(L"song", 100);
    Items().AddItem(L"inner", 650, {{kPropMembers, L"song"}});
    Items().AddItem(L"withSong", 650, {{kPropMembers, L"gone;song"}});
    Items().AddItem(L"withCollection", 700, {{kPropMembers, L"inner"}});
    Items().AddItem(L"dangling", 700, {{kPropMembers, L"gone"}, {kFileA, L"C:\\dangling.a"}});
    Items().AddItem(L"blank", 650, {{kFileB, L"C:\\blank.b"}});
    Items().AddItem(L"separators", 650, {{kPropMembers, L";;"}});
    CKdCdbMgr mgr;
    Open(mgr);
    std::vector<CString> ids, files;
    ASSERT_EQ(S_OK, mgr.FindEmptyCollections(&ids, &files));
    EXPECT_EQ((Strings{L"-2 = \"650\" or -2 = \"700\""}), Queries());
    EXPECT_EQ((Strings{L"dangling", L"blank", L"separators"}), Plain(ids));
    EXPECT_EQ((Strings{L"C:\\dangling.a", L"C:\\blank.b"}), Plain(files));
    for (const CdbCall& call : Control().Calls(CdbMethod::SearchRelatedByClass))
        EXPECT_EQ((std::vector<LONG>{100, 650, 700}), call.classes);
}

TEST_F(LookupsTest, RemoveFromCollectionsCutsTheIdOutOfEachMemberListAsText)
{
    for (const wchar_t* id : {L"A", L"B", L"A1"})
        Items().AddItem(id, 100);
    const struct
    {
        const wchar_t* collection;
        const wchar_t* before;
        const wchar_t* after;  // "<none>": the list is now empty
        bool empty;
    } cases[] = {
        {L"middle", L"A;X;B", L"A;B", false},
        {L"first", L"X;B", L"B", false},
        {L"last", L"A;X", L"A", false},
        {L"only", L"X", L"<none>", true},
        {L"inside", L"AX1;B", L"A1;B", false},
        {L"twice", L"X;A;X;B", L"A;B", false},
        {L"doubled", L"A;;X", L"A;", false},
        {L"strays", L";X;", L";", true},
        {L"leading", L";X", L"<none>", true},
        {L"trailing", L"X;", L"<none>", true},
    };
    LONG collectionClass = 650;
    for (const auto& c : cases)
    {
        Items().AddItem(c.collection, collectionClass, {{kPropMembers, c.before}});
        collectionClass = collectionClass == 650 ? 700 : 650;
    }
    Items().AddItem(L"untouched", 650, {{kPropMembers, L"A;B"}});
    Items().AddItem(L"emptyBefore", 700);
    CKdCdbMgr mgr;
    Open(mgr);

    std::vector<CString> ids, files;
    ASSERT_EQ(S_OK, mgr.RemoveFromCollections(L"X", &ids, &files));
    EXPECT_EQ((Strings{L"(-2 = \"650\" or -2 = \"700\") and 519 contains \"X\""}), Queries());
    Strings emptied;
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.after, Members(c.collection)) << c.before;
        if (c.empty)
            emptied.push_back(c.collection);
    }
    EXPECT_EQ(L"A;B", Members(L"untouched"));
    EXPECT_EQ(emptied, Plain(ids));
    EXPECT_EQ(static_cast<LONG>(sizeof(cases) / sizeof(cases[0])), Count(CdbMethod::SetValues));
}

TEST_F(LookupsTest, RemoveFromCollectionsGoesOnAfterAFailedWriteAndSendsTheIdUnescaped)
{
    Items().AddItem(L"first", 650, {{kPropMembers, L"C:\\x"}});
    Items().AddItem(L"second", 700, {{kPropMembers, L"C:\\x;C:\\y"}, {kFileA, L"C:\\second.a"}});
    CKdCdbMgr mgr;
    Open(mgr);
    Control().FailNext(CdbMethod::SetValues, E_FAIL);
    std::vector<CString> ids, files;
    ASSERT_EQ(S_OK, mgr.RemoveFromCollections(L"C:\\x", &ids, &files));
    EXPECT_EQ((Strings{L"(-2 = \"650\" or -2 = \"700\") and 519 contains \"C:\\x\""}), Queries());
    EXPECT_EQ(L"C:\\x", Members(L"first"));
    EXPECT_EQ(L"C:\\y", Members(L"second"));
    // "first" still lists a member that does not exist, so it counts as empty; "second" has a
    // dangling member only, too.
    EXPECT_EQ((Strings{L"first", L"second"}), Plain(ids));
    EXPECT_EQ((Strings{L"C:\\second.a"}), Plain(files));
}

// ---- Files ----------------------------------------------------------------------------------

TEST_F(LookupsTest, IsFilePresentAndDeleteFileAsUser)
{
    CTempFolder folder;
    const std::wstring file = folder.Create(L"present.vdq");
    const std::wstring missing = folder.Path(L"missing.vdq");
    EXPECT_TRUE(IsFilePresent(file.c_str()));
    EXPECT_FALSE(IsFilePresent(missing.c_str()));
    EXPECT_FALSE(IsFilePresent(L""));
    EXPECT_FALSE(IsFilePresent(nullptr));

    {
        // Held open for writing by someone else: the open fails, but the file is there.
        CScopedHandle writer(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer.IsValid());
        EXPECT_TRUE(IsFilePresent(file.c_str()));
        EXPECT_FALSE(DeleteFileAsUser(file.c_str()));
        EXPECT_TRUE(Exists(file));
    }

    EXPECT_TRUE(DeleteFileAsUser(file.c_str()));
    EXPECT_FALSE(Exists(file));
    EXPECT_FALSE(IsFilePresent(file.c_str()));
    EXPECT_FALSE(DeleteFileAsUser(file.c_str()));
    EXPECT_FALSE(DeleteFileAsUser(nullptr));
}

TEST_F(LookupsTest, FindItemsWithMissingFileReportsItemsWhoseFileIsGoneOrUnnamed)
{
    CTempFolder folder;
    const std::wstring there = folder.Create(L"there.vdq");
    const std::wstring gone = folder.Create(L"gone.vdq");
    ASSERT_TRUE(DeleteFileW(gone.c_str()));
    Items().AddItem(L"v-there", 300, {{kPropPath, there}});
    Items().AddItem(L"v-gone", 300, {{kPropPath, gone}});
    Items().AddItem(L"v-nopath", 300);
    Items().AddItem(L"i-gone", 200, {{kPropPath, gone}});
    Items().AddItem(L"a-there", 100, {{kPropPath, there}});
    Items().AddItem(L"a-gone", 100, {{kPropPath, folder.Path(L"never.mp3")}});
    Items().AddItem(L"c-gone", 600, {{kPropPath, gone}});
    CKdCdbMgr mgr;
    Open(mgr);

    std::vector<CString> ids{CString(L"stale")};
    ASSERT_EQ(S_OK, mgr.FindItemsWithMissingFile(&ids, -1));
    EXPECT_EQ((Strings{L"-2 = \"300\" or -2 = \"200\" or -2 = \"100\""}), Queries());
    EXPECT_EQ((Strings{L"v-gone", L"v-nopath", L"i-gone", L"a-gone"}), Plain(ids));

    Control().ClearCalls();
    ASSERT_EQ(S_OK, mgr.FindItemsWithMissingFile(&ids, 600));
    EXPECT_EQ((Strings{L"-2 = \"600\""}), Queries());
    EXPECT_EQ((Strings{L"c-gone"}), Plain(ids));

    // The file comes back: the item drops off the list.
    folder.Create(L"gone.vdq");
    ASSERT_EQ(S_OK, mgr.FindItemsWithMissingFile(&ids, 300));
    EXPECT_EQ((Strings{L"v-nopath"}), Plain(ids));
}
