// The item lookups and removals of CKdCdbMgr against the stand-in content database.
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "common/HResult.h"
#include "common/Scoped.h"
#include "contentdb/KdCdbMgr.h"
#include "tests/support/ContentDbFixture.h"
#include "tests/support/TempFolder.h"

namespace
{
constexpr LONG kPropDerivedFrom = 180;
constexpr LONG kPropLabel = 0xF1;
constexpr LONG kPropKey = 245;
constexpr LONG kPropPath = 500;
constexpr LONG kPropMembers = 519;
constexpr LONG kFileA = 0x01F8;  // first associated-file property
constexpr LONG kFileB = 0x0213;  // last one
constexpr LONG kFileMid = 0x020B;

using Strings = std::vector<std::wstring>;

Strings Plain(const std::vector<CString>& list)
{
    return Strings(list.begin(), list.end());
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class LookupsTest : public ContentDbTest
{
protected:
    void Open(CKdCdbMgr& mgr) { ASSERT_EQ(S_FALSE, mgr.Open(false, L"LumSiftDbNotifyWex", kTestWaitMs)); }
    Strings Queries() { return Texts(CdbMethod::Search); }

    // The member list as stored; "<none>" once the property is gone.
    std::wstring Members(const std::wstring& collection)
    {
        ContentDbItemPtr item = Items().Find(collection);
        const std::wstring* list = item ? item->FindProperty(kPropMembers) : nullptr;
        return list ? *list : L"<none>";
    }

    // A real one-byte file in the test's folder.
    std::wstring File(const wchar_t* name)
    {
        const std::wstring path = m_folder / name;
        EXPECT_TRUE(WriteTestFile(path, 1));
        return path;
    }

    // Containers with and without a 612 member, under two keys and three container classes.
    void AddContainers()
    {
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

    // The item V with what hangs on it, and things that must survive its removal.
    void AddFamily()
    {
        Items().AddItem(L"V", 300);
        Items().AddItem(L"song", 100);
        Items().AddItem(L"d610", 610, {{kPropDerivedFrom, L"V"}, {kFileA, File(L"d610.idx")}});
        Items().AddItem(L"d612", 612, {{kPropDerivedFrom, L"V"}, {kPropLabel, L"cm"}, {kPropKey, L"K"},
                                       {kFileB, File(L"d612.idx")}});
        Items().AddItem(L"w612", 612, {{kPropDerivedFrom, L"W"}, {kPropLabel, L"cm"}, {kPropKey, L"K"},
                                       {kFileA, File(L"keep.idx")}});
        // Left empty once d612 is gone.
        Items().AddItem(L"box", 600, {{kPropKey, L"K"}, {kFileA, File(L"box.lumf")}});
        Items().SetMembers(L"box", {L"d612"});
        // Still holds another source's derived item.
        Items().AddItem(L"shared", 600, {{kPropKey, L"K"}});
        Items().SetMembers(L"shared", {L"d612", L"w612"});
        // An empty container with another key is none of V's business.
        Items().AddItem(L"otherBox", 600, {{kPropKey, L"L"}});
        Items().AddItem(L"onlyV", 650, {{kPropMembers, L"V"}, {kFileA, File(L"list.lst")}});
        Items().AddItem(L"mixed", 700, {{kPropMembers, L"V;song"}});
    }
    bool Has(const wchar_t* id) { return Items().Find(id) != nullptr; }

    CTempFolder m_folder{L"lumlookups"};
};
}  // namespace

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
        LONG found;
    } cases[] = {
        {L"C:\\Media\\clip.vdq", 200, L"-2 = \"200\" and 500 = \"C:\\\\Media\\\\clip.vdq\"", 1},
        // Class 0: the file name says video.
        {L"C:\\Media\\clip.vdq", 0, L"-2 = \"300\" and 500 = \"C:\\\\Media\\\\clip.vdq\"", 1},
        // Class 0 and a name that implies no class: no filter at all.
        {L"C:\\Media\\odd.lumtestnone", 0, L"500 = \"C:\\\\Media\\\\odd.lumtestnone\"", 1},
        {L"C:\\Media\\clip.vdq", -1, L"500 = \"C:\\\\Media\\\\clip.vdq\"", 2},
    };
    for (const auto& c : cases)
    {
        Control().ClearCalls();
        LONG count = -1;
        ASSERT_EQ(S_OK, mgr.FindItemByPath(c.path, 1, props, c.itemClass, &count));
        EXPECT_EQ(Strings{c.query}, Queries());
        EXPECT_EQ(c.found, count) << c.query;
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
    EXPECT_EQ(18u, LastCall(CdbMethod::Search).numbers.size());

    // Without the optional outputs only the ids are fetched.
    ASSERT_EQ(S_OK, mgr.FindDerivedItems(source.c_str(), &ids));
    EXPECT_EQ(9u, ids.size());
    EXPECT_EQ(std::vector<LONG>{-1}, LastCall(CdbMethod::Search).numbers);
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

TEST_F(LookupsTest, ListContainerGroupsPairsEachClass600ContainerWithItsFirst612Member)
{
    AddContainers();
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

TEST_F(LookupsTest, EmptyContainersHaveNo612MemberAndServersBefore3KnowOnlyClass600)
{
    AddContainers();
    const std::vector<CString> keys{CString(L"K\\1"), CString(L"K2")};
    const struct
    {
        const wchar_t* version;
        Strings queries;  // all containers, then by each key
        Strings empty;
        Strings files;
        Strings byKey;
        Strings byKeyFiles;
    } cases[] = {
        {L"3.0",
         {L"-2 = \"600\" or -2 = \"620\" or -2 = \"630\"",
          L"( -2 = \"600\" or -2 = \"620\" or -2 = \"630\" ) and 245 = \"K\\\\1\"",
          L"( -2 = \"600\" or -2 = \"620\" or -2 = \"630\" ) and 245 = \"K2\""},
         {L"others", L"bare", L"odd", L"new620"},
         {L"C:\\others.a", L"C:\\others.b", L"C:\\odd.b", L"C:\\620.a"},
         {L"others", L"new620", L"bare", L"odd"},
         {L"C:\\others.a", L"C:\\others.b", L"C:\\620.a", L"C:\\odd.b"}},
        {L"2.9.9",
         {L"-2 = \"600\"", L"-2 = \"600\" and 245 = \"K\\\\1\"", L"-2 = \"600\" and 245 = \"K2\""},
         {L"others", L"bare", L"odd"},
         {L"C:\\others.a", L"C:\\others.b", L"C:\\odd.b"},
         {L"others", L"bare", L"odd"},
         {L"C:\\others.a", L"C:\\others.b", L"C:\\odd.b"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.version)));
        m_db->SetVersionText(c.version);
        CKdCdbMgr mgr;
        Open(mgr);
        Control().ClearCalls();
        std::vector<CString> ids, files;
        ASSERT_EQ(S_OK, mgr.FindEmptyContainers(&ids, &files));
        EXPECT_EQ(c.empty, Plain(ids));
        EXPECT_EQ(c.files, Plain(files));
        ASSERT_EQ(S_OK, mgr.FindEmptyContainersByKey(&keys, &ids, &files));
        EXPECT_EQ(c.byKey, Plain(ids));
        EXPECT_EQ(c.byKeyFiles, Plain(files));
        EXPECT_EQ(c.queries, Queries());
    }

    // Without membership information a container counts as empty; no key, no search.
    CKdCdbMgr mgr;
    Open(mgr);
    std::vector<CString> ids;
    Control().FailNext(CdbMethod::SearchRelated, E_FAIL);
    ASSERT_EQ(S_OK, mgr.FindEmptyContainers(&ids));
    EXPECT_EQ((Strings{L"full", L"others", L"bare", L"odd"}), Plain(ids));
    const std::vector<CString> noKeys;
    Control().ClearCalls();
    ASSERT_EQ(S_OK, mgr.FindEmptyContainersByKey(&noKeys, &ids));
    EXPECT_TRUE(ids.empty());
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
    EXPECT_EQ(static_cast<LONG>(std::size(cases)), Count(CdbMethod::SetValues));
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

// Which failed access checks still prove a file is there. Wine gives neither an encrypted file nor
// another user's file, so those answers are checked through the rule; a folder, which no one may
// open as a file, gives a real access denial.
TEST_F(LookupsTest, IsFilePresentCountsInUseAlwaysAndUnreadableOnlyWhenAsked)
{
    const struct
    {
        HRESULT check;
        bool inUse;
        bool unreadable;
    } cases[] = {
        {S_OK, true, true},
        {S_FALSE, true, true},
        {HResultFromWin32(ERROR_SHARING_VIOLATION), true, true},
        {HResultFromWin32(ERROR_LOCK_VIOLATION), true, true},
        {HResultFromWin32(ERROR_ACCESS_DENIED), false, true},
        {HResultFromWin32(ERROR_FILE_ENCRYPTED), false, true},
        {HResultFromWin32(ERROR_FILE_NOT_FOUND), false, false},
        {HResultFromWin32(ERROR_PATH_NOT_FOUND), false, false},
        {E_INVALIDARG, false, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << std::hex << c.check);
        EXPECT_EQ(c.inUse, ShowsFilePresent(c.check, FilePresence::InUse));
        EXPECT_EQ(c.unreadable, ShowsFilePresent(c.check, FilePresence::Unreadable));
    }
    EXPECT_FALSE(IsFilePresent(m_folder.Path().c_str(), FilePresence::InUse));
    EXPECT_TRUE(IsFilePresent(m_folder.Path().c_str(), FilePresence::Unreadable));
    EXPECT_FALSE(IsFilePresent((m_folder / L"missing.vdq").c_str(), FilePresence::Unreadable));
    EXPECT_FALSE(IsFilePresent(L""));
    EXPECT_FALSE(IsFilePresent(nullptr));

    // Held open for writing by someone else: the open fails, but the file is there and stays.
    const std::wstring file = File(L"present.vdq");
    EXPECT_TRUE(IsFilePresent(file.c_str()));
    {
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
    const std::wstring there = File(L"there.vdq");
    const std::wstring gone = m_folder / L"gone.vdq";
    Items().AddItem(L"v-there", 300, {{kPropPath, there}});
    Items().AddItem(L"v-gone", 300, {{kPropPath, gone}});
    Items().AddItem(L"v-nopath", 300);
    Items().AddItem(L"i-gone", 200, {{kPropPath, gone}});
    Items().AddItem(L"a-there", 100, {{kPropPath, there}});
    Items().AddItem(L"a-gone", 100, {{kPropPath, m_folder / L"never.mp3"}});
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
    File(L"gone.vdq");
    ASSERT_EQ(S_OK, mgr.FindItemsWithMissingFile(&ids, 300));
    EXPECT_EQ((Strings{L"v-nopath"}), Plain(ids));
}

// ---- Removing an item's dependents ----------------------------------------------------------------

TEST_F(LookupsTest, DeleteItemWithDependentsRemovesDerivedItemsAndWhatTheyLeaveEmpty)
{
    CKdCdbMgr mgr;
    Open(mgr);
    for (const bool deleteFiles : {false, true})
    {
        SCOPED_TRACE(deleteFiles ? "with files" : "without files");
        AddFamily();
        Control().ClearCalls();
        ASSERT_EQ(S_OK, mgr.DeleteItemWithDependents(L"V", deleteFiles, true));
        EXPECT_EQ((Strings{L"d610", L"d612", L"box", L"onlyV"}), Texts(CdbMethod::DeleteItem));
        EXPECT_TRUE(Has(L"V"));  // the item itself is the caller's to delete
        EXPECT_TRUE(Has(L"shared") && Has(L"otherBox") && Has(L"mixed") && Has(L"w612"));
        EXPECT_EQ(L"song", Members(L"mixed"));
        for (const wchar_t* name : {L"d610.idx", L"d612.idx", L"box.lumf", L"list.lst"})
            EXPECT_EQ(!deleteFiles, Exists(m_folder / name)) << name;
        EXPECT_TRUE(Exists(m_folder / L"keep.idx"));
    }

    // Without containers only the derived items go, files included.
    AddFamily();
    Control().ClearCalls();
    ASSERT_EQ(S_OK, mgr.DeleteItemWithDependents(L"V", true, false));
    EXPECT_EQ((Strings{L"d610", L"d612"}), Texts(CdbMethod::DeleteItem));
    EXPECT_FALSE(Exists(m_folder / L"d610.idx"));
    EXPECT_TRUE(Has(L"box"));
    EXPECT_EQ(L"V", Members(L"onlyV"));
    EXPECT_EQ(0, Count(CdbMethod::SetValues));
}

TEST_F(LookupsTest, DeleteItemWithDependentsGoesOnToCollectionsWhoseStepDecidesTheResult)
{
    AddFamily();
    // A key the query language cannot carry makes the container search fail.
    Items().SetProperty(L"d612", kPropKey, L"K\"");
    CKdCdbMgr mgr;
    Open(mgr);
    ASSERT_EQ(S_OK, mgr.DeleteItemWithDependents(L"V", false, true));
    EXPECT_EQ((Strings{L"d610", L"d612", L"onlyV"}), Texts(CdbMethod::DeleteItem));
    EXPECT_TRUE(Has(L"box"));

    // The containers' related searches come after the container search and before the
    // collection search: held there, the next search is the collections' one.
    Control().ClearCalls();
    AddFamily();
    Control().Stall(CdbMethod::SearchRelated);
    HRESULT result = S_OK;
    {
        CTestThread caller([&] { result = mgr.DeleteItemWithDependents(L"V", false, true); });
        ASSERT_TRUE(Control().WaitStalled(CdbMethod::SearchRelated, 1, kTestWaitMs));
        Control().FailNext(CdbMethod::Search, E_FAIL);
        Control().Release(CdbMethod::SearchRelated);
        ASSERT_TRUE(caller.Join(kTestWaitMs));
    }
    EXPECT_EQ(E_FAIL, result);
    EXPECT_EQ(L"V", Members(L"onlyV"));
    EXPECT_EQ((Strings{L"d610", L"d612", L"box"}), Texts(CdbMethod::DeleteItem));
}

// ---- Lookups held and cut short by their owner ----------------------------------------------------

TEST_F(LookupsTest, APauseHoldsTheWalkBetweenResultsUntilResumed)
{
    for (int i = 0; i < 6; ++i)
        Items().AddItem(L"c" + std::to_wstring(i), 650);
    CTestEvent run(true);
    CKdCdbMgr mgr;
    ASSERT_TRUE(mgr.SetRunEvent(run.Get()));
    Open(mgr);
    Control().Stall(CdbMethod::MoveNext);
    std::vector<CString> ids;
    HRESULT result = E_FAIL;
    CTestThread caller([&] { result = mgr.FindEmptyCollections(&ids, nullptr); });

    ASSERT_TRUE(Control().WaitStalled(CdbMethod::MoveNext, 1, kTestWaitMs));
    run.Reset();
    Control().Release(CdbMethod::MoveNext);
    // Paused after the first result: nothing more is read.
    EXPECT_FALSE(caller.Join(300));
    EXPECT_EQ(1, Count(CdbMethod::GetValue));
    run.Set();
    ASSERT_TRUE(caller.Join(kTestWaitMs));
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ(6u, ids.size());
}

TEST_F(LookupsTest, AStopDuringALookupGivesEAbort)
{
    Items().AddItem(L"X", 100);
    for (int i = 0; i < 6; ++i)
        Items().AddItem(L"c" + std::to_wstring(i), 650, {{kPropMembers, L"A;X"}});
    AddFamily();
    CTestEvent abort;
    CKdCdbMgr mgr;
    ASSERT_TRUE(mgr.SetAbortEvent(abort.Get()));
    Open(mgr);
    std::vector<CString> a, b;
    const struct
    {
        const char* name;
        CdbMethod stalled;
        std::function<HRESULT()> lookup;
    } cases[] = {
        {"FindEmptyCollections", CdbMethod::MoveNext, [&] { return mgr.FindEmptyCollections(&a, nullptr); }},
        {"FindEmptyCollections related searches", CdbMethod::SearchRelatedByClass,
         [&] { return mgr.FindEmptyCollections(&a, nullptr); }},
        {"RemoveFromCollections", CdbMethod::SetValues, [&] { return mgr.RemoveFromCollections(L"X", &a); }},
        {"FindItemsWithMissingFile", CdbMethod::MoveNext, [&] { return mgr.FindItemsWithMissingFile(&a, 650); }},
        {"ListDerivationSources", CdbMethod::MoveNext, [&] { return mgr.ListDerivationSources(&a, &b); }},
        // Between two deletions of the dependents.
        {"DeleteItemWithDependents", CdbMethod::DeleteItem,
         [&] { return mgr.DeleteItemWithDependents(L"V", false, true); }},
    };
    for (const auto& c : cases)
    {
        abort.Reset();
        Control().ClearCalls();
        Control().Stall(c.stalled);
        HRESULT result = S_OK;
        {
            CTestThread caller([&] { result = c.lookup(); });
            ASSERT_TRUE(Control().WaitStalled(c.stalled, 1, kTestWaitMs)) << c.name;
            abort.Set();
            Control().Release(c.stalled);
            ASSERT_TRUE(caller.Join(kTestWaitMs)) << c.name;
        }
        EXPECT_EQ(E_ABORT, result) << c.name;
        EXPECT_EQ(1, Count(c.stalled)) << c.name;
    }
    EXPECT_TRUE(Has(L"d612") && Has(L"box") && Has(L"onlyV"));

    // A stop already pending is seen before the search by the lookups that check first.
    abort.Set();
    Control().ClearCalls();
    std::vector<CKdCdbItemGroup> groups;
    EXPECT_EQ(E_ABORT, mgr.RemoveFromCollections(L"X", &a));
    EXPECT_EQ(E_ABORT, mgr.ListContainerGroups(&groups));
    EXPECT_EQ(0, Count(CdbMethod::Search));
}
