// Removing an item's dependents, and lookups cut short or held by their owner.
#include <gtest/gtest.h>
#include <objbase.h>
#include <functional>
#include <string>
#include <vector>
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
constexpr LONG kPropMembers = 519;
constexpr LONG kFileA = 0x01F8;
constexpr LONG kFileB = 0x0213;

using Strings = std::vector<std::wstring>;

class CScratchFiles
{
public:
    CScratchFiles()
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        m_folder = std::wstring(base) + L"lumdeps-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                   std::to_wstring(GetTickCount());
        CreateDirectoryW(m_folder.c_str(), nullptr);
    }
    ~CScratchFiles()
    {
        for (const std::wstring& file : m_files)
            DeleteFileW(file.c_str());
        RemoveDirectoryW(m_folder.c_str());
    }
    std::wstring Create(const wchar_t* name)
    {
        const std::wstring path = m_folder + L"\\" + name;
        CScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        m_files.push_back(path);
        return path;
    }

private:
    std::wstring m_folder;
    Strings m_files;
};

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class LookupsDeleteTest : public ::testing::Test
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

    // The item V with what hangs on it, and things that must survive its removal.
    void AddFamily()
    {
        m_files.derived610 = m_scratch.Create(L"d610.idx");
        m_files.derived612 = m_scratch.Create(L"d612.idx");
        m_files.container = m_scratch.Create(L"box.lumf");
        m_files.collection = m_scratch.Create(L"list.lst");
        m_files.keep = m_scratch.Create(L"keep.idx");

        Items().AddItem(L"V", 300);
        Items().AddItem(L"song", 100);
        Items().AddItem(L"d610", 610, {{kPropDerivedFrom, L"V"}, {kFileA, m_files.derived610}});
        Items().AddItem(L"d612", 612, {{kPropDerivedFrom, L"V"}, {kPropLabel, L"cm"}, {kPropKey, L"K"},
                                       {kFileB, m_files.derived612}});
        Items().AddItem(L"w612", 612, {{kPropDerivedFrom, L"W"}, {kPropLabel, L"cm"}, {kPropKey, L"K"},
                                       {kFileA, m_files.keep}});
        // Left empty once d612 is gone.
        Items().AddItem(L"box", 600, {{kPropKey, L"K"}, {kFileA, m_files.container}});
        Items().SetMembers(L"box", {L"d612"});
        // Still holds another source's derived item.
        Items().AddItem(L"shared", 600, {{kPropKey, L"K"}});
        Items().SetMembers(L"shared", {L"d612", L"w612"});
        // An empty container with another key is none of V's business.
        Items().AddItem(L"otherBox", 600, {{kPropKey, L"L"}});
        Items().AddItem(L"onlyV", 650, {{kPropMembers, L"V"}, {kFileA, m_files.collection}});
        Items().AddItem(L"mixed", 700, {{kPropMembers, L"V;song"}});
    }

    bool Has(const wchar_t* id) { return Items().Find(id) != nullptr; }
    std::wstring Members(const wchar_t* id)
    {
        ContentDbItemPtr item = Items().Find(id);
        const std::wstring* list = item ? item->FindProperty(kPropMembers) : nullptr;
        return list ? *list : L"<none>";
    }
    Strings Deleted()
    {
        Strings ids;
        for (const CdbCall& call : Control().Calls(CdbMethod::DeleteItem))
            ids.push_back(call.text);
        return ids;
    }

    CContentDbCatalogue& Items() { return m_db->Catalogue(); }
    CContentDbControl& Control() { return m_db->Control(); }

    std::shared_ptr<CContentDatabase> m_db;
    CScratchFiles m_scratch;
    struct
    {
        std::wstring derived610, derived612, container, collection, keep;
    } m_files;
};
}  // namespace

// ---- DeleteItemWithDependents ----------------------------------------------------------------

TEST_F(LookupsDeleteTest, RemovesDerivedItemsEmptiedContainersAndCollectionsWithTheirFiles)
{
    AddFamily();
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, L"test", kWaitMs));
    ASSERT_EQ(S_OK, mgr.DeleteItemWithDependents(L"V", true, true));

    EXPECT_EQ((Strings{L"d610", L"d612", L"box", L"onlyV"}), Deleted());
    EXPECT_TRUE(Has(L"V"));  // the item itself is the caller's to delete
    EXPECT_TRUE(Has(L"shared") && Has(L"otherBox") && Has(L"mixed") && Has(L"w612"));
    EXPECT_EQ(L"song", Members(L"mixed"));
    EXPECT_FALSE(Exists(m_files.derived610));
    EXPECT_FALSE(Exists(m_files.derived612));
    EXPECT_FALSE(Exists(m_files.container));
    EXPECT_FALSE(Exists(m_files.collection));
    EXPECT_TRUE(Exists(m_files.keep));
}

TEST_F(LookupsDeleteTest, WithoutFilesOrContainersItDoesLess)
{
    AddFamily();
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, L"test", kWaitMs));
    ASSERT_EQ(S_OK, mgr.DeleteItemWithDependents(L"V", false, true));
    EXPECT_EQ((Strings{L"d610", L"d612", L"box", L"onlyV"}), Deleted());
    EXPECT_TRUE(Exists(m_files.derived610) && Exists(m_files.derived612) && Exists(m_files.container) &&
                Exists(m_files.collection));

    // Put the derived items back: without containers only they go, files included.
    Control().ClearCalls();
    Items().AddItem(L"d610", 610, {{kPropDerivedFrom, L"V"}, {kFileA, m_files.derived610}});
    Items().AddItem(L"d612", 612, {{kPropDerivedFrom, L"V"}, {kPropLabel, L"cm"}, {kPropKey, L"K"}});
    Items().AddItem(L"box2", 600, {{kPropKey, L"K"}});
    Items().AddItem(L"list2", 650, {{kPropMembers, L"V"}});
    ASSERT_EQ(S_OK, mgr.DeleteItemWithDependents(L"V", true, false));
    EXPECT_EQ((Strings{L"d610", L"d612"}), Deleted());
    EXPECT_FALSE(Exists(m_files.derived610));
    EXPECT_TRUE(Has(L"box2") && Has(L"list2"));
    EXPECT_EQ(L"V", Members(L"list2"));
    EXPECT_EQ(0, Control().CallCount(CdbMethod::SetValues));
}

TEST_F(LookupsDeleteTest, AContainerSearchThatFailsDoesNotStopTheCollections)
{
    AddFamily();
    // A key the query language cannot carry makes the container search fail.
    Items().SetProperty(L"d612", kPropKey, L"K\"");
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, L"test", kWaitMs));
    ASSERT_EQ(S_OK, mgr.DeleteItemWithDependents(L"V", false, true));
    EXPECT_EQ((Strings{L"d610", L"d612", L"onlyV"}), Deleted());
    EXPECT_TRUE(Has(L"box"));
}

TEST_F(LookupsDeleteTest, TheCollectionsStepDecidesTheResult)
{
    AddFamily();
    CKdCdbMgr mgr;
    ASSERT_EQ(S_FALSE, mgr.Open(false, L"test", kWaitMs));
    // The containers' related searches come after the container search and before the
    // collection search: held there, the next search is the collections' one.
    Control().Stall(CdbMethod::SearchRelated);
    HRESULT result = S_OK;
    {
        CTestThread caller([&] { result = mgr.DeleteItemWithDependents(L"V", false, true); });
        ASSERT_TRUE(Control().WaitStalled(CdbMethod::SearchRelated, 1, kWaitMs));
        Control().FailNext(CdbMethod::Search, E_FAIL);
        Control().Release(CdbMethod::SearchRelated);
        ASSERT_TRUE(caller.Join(kWaitMs));
    }
    EXPECT_EQ(E_FAIL, result);
    EXPECT_EQ(L"V", Members(L"onlyV"));
    EXPECT_EQ((Strings{L"d610", L"d612", L"box"}), Deleted());
}

TEST_F(LookupsDeleteTest, AStopBetweenDeletionsEndsTheRemoval)
{
    AddFamily();
    CTestEvent abort;
    CKdCdbMgr mgr;
    ASSERT_TRUE(mgr.SetAbortEvent(abort.Get()));
    ASSERT_EQ(S_FALSE, mgr.Open(false, L"test", kWaitMs));
    Control().Stall(CdbMethod::DeleteItem);
    HRESULT result = S_OK;
    {
        CTestThread caller([&] { result = mgr.DeleteItemWithDependents(L"V", false, true); });
        ASSERT_TRUE(Control().WaitStalled(CdbMethod::DeleteItem, 1, kWaitMs));
        abort.Set();
        Control().Release(CdbMethod::DeleteItem);
        ASSERT_TRUE(caller.Join(kWaitMs));
    }
    EXPECT_EQ(E_ABORT, result);
    EXPECT_EQ((Strings{L"d610"}), Deleted());
    EXPECT_TRUE(Has(L"d612") && Has(L"box") && Has(L"onlyV"));
}

// ---- Walks held and cut short by the owner ------------------------------------------------------

class LookupWalkTest : public LookupsDeleteTest
{
protected:
    void SetUp() override
    {
        LookupsDeleteTest::SetUp();
        for (int i = 0; i < 6; ++i)
        {
            const std::wstring id = L"c" + std::to_wstring(i);
            Items().AddItem(id, 650);
        }
    }
};

TEST_F(LookupWalkTest, APauseHoldsTheWalkBetweenResultsUntilResumed)
{
    CTestEvent run(true);
    CKdCdbMgr mgr;
    ASSERT_TRUE(mgr.SetRunEvent(run.Get()));
    ASSERT_EQ(S_FALSE, mgr.Open(false, L"test", kWaitMs));
    Control().Stall(CdbMethod::MoveNext);
    std::vector<CString> ids;
    HRESULT result = E_FAIL;
    CTestThread caller([&] { result = mgr.FindEmptyCollections(&ids, nullptr); });

    ASSERT_TRUE(Control().WaitStalled(CdbMethod::MoveNext, 1, kWaitMs));
    run.Reset();
    Control().Release(CdbMethod::MoveNext);
    // Paused after the first result: nothing more is read.
    EXPECT_FALSE(caller.Join(300));
    EXPECT_EQ(1, Control().CallCount(CdbMethod::GetValue));
    run.Set();
    ASSERT_TRUE(caller.Join(kWaitMs));
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ(6u, ids.size());
}

TEST_F(LookupWalkTest, AStopDuringAWalkGivesEAbort)
{
    CTestEvent abort;
    CKdCdbMgr mgr;
    ASSERT_TRUE(mgr.SetAbortEvent(abort.Get()));
    ASSERT_EQ(S_FALSE, mgr.Open(false, L"test", kWaitMs));
    Items().AddItem(L"X", 100);
    for (int i = 0; i < 6; ++i)
        Items().SetProperty(L"c" + std::to_wstring(i), kPropMembers, L"A;X");

    const struct
    {
        const char* name;
        CdbMethod stalled;
        std::function<HRESULT()> lookup;
    } cases[] = {
        {"FindEmptyCollections", CdbMethod::MoveNext, [&] {
             std::vector<CString> ids;
             return mgr.FindEmptyCollections(&ids, nullptr);
         }},
        {"FindEmptyCollections related searches", CdbMethod::SearchRelatedByClass, [&] {
             std::vector<CString> ids;
             return mgr.FindEmptyCollections(&ids, nullptr);
         }},
        {"RemoveFromCollections", CdbMethod::SetValues, [&] {
             std::vector<CString> ids;
             return mgr.RemoveFromCollections(L"X", &ids);
         }},
        {"FindItemsWithMissingFile", CdbMethod::MoveNext, [&] {
             std::vector<CString> ids;
             return mgr.FindItemsWithMissingFile(&ids, 650);
         }},
        {"ListDerivationSources", CdbMethod::MoveNext, [&] {
             std::vector<CString> a, b;
             Items().AddItem(L"d", 610);
             Items().AddItem(L"e", 611);
             return mgr.ListDerivationSources(&a, &b);
         }},
    };
    for (const auto& c : cases)
    {
        abort.Reset();
        Control().ClearCalls();
        Control().Stall(c.stalled);
        HRESULT result = S_OK;
        {
            CTestThread caller([&] { result = c.lookup(); });
            ASSERT_TRUE(Control().WaitStalled(c.stalled, 1, kWaitMs)) << c.name;
            abort.Set();
            Control().Release(c.stalled);
            ASSERT_TRUE(caller.Join(kWaitMs)) << c.name;
        }
        EXPECT_EQ(E_ABORT, result) << c.name;
        EXPECT_EQ(1, Control().CallCount(c.stalled)) << c.name;
    }

    // A stop already pending is seen before the search by the lookups that check first.
    abort.Set();
    Control().ClearCalls();
    std::vector<CString> ids;
    std::vector<CKdCdbItemGroup> groups;
    EXPECT_EQ(E_ABORT, mgr.RemoveFromCollections(L"X", &ids));
    EXPECT_EQ(E_ABORT, mgr.ListContainerGroups(&groups));
    EXPECT_EQ(0, Control().CallCount(CdbMethod::Search));
}
