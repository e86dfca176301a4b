// The clean-up steps against the stand-in database and real files: what goes from the catalogue
// and the disk, what stays, which percentages the manager sees, and how pauses, stops and
// failures end the steps.
#include "tests/search/CleanUpTestSupport.h"

using namespace cleanup_test;

namespace
{
HRESULT RemovalSteps(CCleanUpWorker& w, CKdCdbMgr& c, CCleanUpProgress& p)
{
    return w.RunRemovalSteps(c, p);
}

bool RisesStrictly(const std::vector<ULONG>& values)
{
    for (size_t i = 1; i < values.size(); ++i)
    {
        if (values[i] <= values[i - 1])
            return false;
    }
    return true;
}
}  // namespace

TEST(CleanUpProgressTest, PublishesEachPhaseFromItsLowValueAndOnlyChanges)
{
    std::vector<ULONG> published;
    CCleanUpProgress progress([&](ULONG value) { published.push_back(value); });
    EXPECT_EQ(-1, progress.Published());
    progress.BeginPhase(3, 10);
    for (size_t i = 0; i < 4; ++i)
        progress.EntryDone(i, 4);
    EXPECT_EQ((std::vector<ULONG>{3, 4, 6, 8}), published);

    // An empty phase shows only its start; 90 to 100 over three groups stays below 100.
    published.clear();
    progress.BeginPhase(10, 25);
    progress.BeginPhase(25, 40);
    progress.BeginPhase(40, 50);
    progress.BeginPhase(90, 100);
    for (size_t i = 0; i < 3; ++i)
        progress.EntryDone(i, 3);
    EXPECT_EQ((std::vector<ULONG>{10, 25, 40, 90, 93, 96}), published);
}

TEST_F(CleanUpTest, RemovalStepsTakeWhatLostItsFileSourceOrMembersAndKeepTheRest)
{
    SetCleanUpClass(300);
    const std::wstring kept = m_builder->AddMediaItem(L"kept", 300, "kept");
    const auto goneFiles = m_builder->AddItemWithMissingFile(L"gone", 300, 2);
    const auto goneDerived = m_builder->AddDerivedItem(L"goneThumb", 610, L"gone", 1);
    const auto orphan = m_builder->AddDerivedItem(L"orphan", 611, L"ghost", 2);
    const auto keptDerived = m_builder->AddDerivedItem(L"keptThumb", 610, L"kept", 1);
    // A source id no query can hold literally: its search fails, nothing else is touched.
    m_builder->AddDerivedItem(L"odd", 610, L"a\"b\\c", 0);
    m_builder->AddContainerMember(L"member", kept, "member");
    const std::wstring emptyBox = m_builder->AddContainer(L"emptyBox", L"kept", "box", {});
    const std::wstring fullBox = m_builder->AddContainer(L"fullBox", L"kept", "box", {L"member"});
    m_builder->AddMediaItem(L"song", 100, "song");
    const std::wstring emptyList = m_builder->AddCollection(L"emptyList", {});
    const std::wstring fullList = m_builder->AddCollection(L"fullList", {L"song"});

    EXPECT_EQ(S_OK, m_worker->Run(&RemovalSteps));

    for (const wchar_t* id : {L"gone", L"goneThumb", L"orphan", L"emptyBox", L"emptyList"})
        EXPECT_FALSE(Has(id)) << id;
    for (const wchar_t* id : {L"kept", L"keptThumb", L"odd", L"member", L"fullBox", L"song", L"fullList"})
        EXPECT_TRUE(Has(id)) << id;
    for (const std::wstring& path : {goneFiles[0], goneFiles[1], goneDerived[0], orphan[0], orphan[1], emptyList})
        EXPECT_FALSE(IsExistingFile(path)) << path;
    // The empty container's file is named by a container location, which the deletion takes as a
    // path: it stays on the disk.
    for (const std::wstring& path : {kept, keptDerived[0], fullBox, fullList, emptyBox})
        EXPECT_TRUE(IsExistingFile(path)) << path;

    const std::vector<ULONG> published = m_worker->Published();
    ASSERT_FALSE(published.empty());
    EXPECT_EQ(3u, published.front());
    EXPECT_TRUE(RisesStrictly(published));
    EXPECT_LT(published.back(), 90u);
    EXPECT_FALSE(m_worker->LeftImpersonating());
}

// The class is read from 4 bytes of the value whatever its type; a value that does not fit, or 0,
// or none, leaves the items alone and step A silent.
TEST_F(CleanUpTest, ConfiguredClassIsReadFromTheValuesFirstFourBytes)
{
    const BYTE shortBinary[] = {0x2C, 0x01};  // 300
    const wchar_t longText[] = L"300";
    const DWORD zero = 0;
    struct Case
    {
        const char* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        bool removed;
    } cases[] = {
        {"absent", REG_NONE, nullptr, 0, false},
        {"zero", REG_DWORD, &zero, 4, false},
        {"binary", REG_BINARY, shortBinary, 2, true},
        {"text", REG_SZ, longText, sizeof(longText), false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetCleanUpClass(c.type, c.data, c.bytes);
        m_builder->AddItemWithMissingFile(L"gone", 300, 0);
        CCleanUpWorker worker;
        EXPECT_EQ(S_OK, worker.Run([](CCleanUpWorker& w, CKdCdbMgr& conn, CCleanUpProgress& p) {
            const HRESULT hr = w.RemoveItemsWithMissingFile(conn, p);
            return SUCCEEDED(hr) ? w.RemoveOrphanedDerivedItems(conn, p) : hr;
        }));
        EXPECT_EQ(!c.removed, Has(L"gone"));
        const std::vector<ULONG> published = worker.Published();
        ASSERT_FALSE(published.empty());
        EXPECT_EQ(c.removed ? 3u : 10u, published.front());
    }
}

TEST_F(CleanUpTest, PauseHoldsThePercentageAndAStopInContainersSkipsTheRest)
{
    SetCleanUpClass(300);
    for (const wchar_t* id : {L"g1", L"g2", L"g3", L"g4"})
        m_builder->AddItemWithMissingFile(id, 300, 1);
    m_builder->AddContainer(L"emptyBox", L"", "box", {});
    m_builder->AddCollection(L"emptyList", {});

    // Paused once the first item went: the run waits at 3 before the next one.
    m_db->Control().Stall(CdbMethod::DeleteItem);
    m_db->Control().Stall(CdbMethod::SearchRelated);
    m_worker->Start(&RemovalSteps);
    ASSERT_TRUE(m_db->Control().WaitStalled(CdbMethod::DeleteItem, 1, kWaitMs));
    ASSERT_TRUE(m_worker->ResetRunEvent());
    m_db->Control().Release(CdbMethod::DeleteItem);
    EXPECT_FALSE(m_worker->WaitDone(500));
    EXPECT_EQ((std::vector<ULONG>{3}), m_worker->Published());
    EXPECT_EQ(3u, m_worker->GetProgress());
    EXPECT_FALSE(Has(L"g1"));
    EXPECT_TRUE(Has(L"g2"));

    // Running again, the items go at 3, 4, 6, 8 and step C stalls in its membership lookup.
    ASSERT_TRUE(m_worker->SetRunEvent());
    ASSERT_TRUE(m_db->Control().WaitStalled(CdbMethod::SearchRelated, 1, kWaitMs));
    EXPECT_FALSE(Has(L"g4"));
    m_worker->RequestStop();
    m_db->Control().Release(CdbMethod::SearchRelated);
    ASSERT_TRUE(m_worker->WaitDone());
    EXPECT_EQ(E_ABORT, m_worker->Result());
    EXPECT_EQ((std::vector<ULONG>{3, 4, 6, 8, 10, 25, 40}), m_worker->Published());
    // Step D never ran: its collection and the container are still there.
    EXPECT_TRUE(Has(L"emptyBox"));
    EXPECT_TRUE(Has(L"emptyList"));
    for (const CdbCall& call : m_db->Control().Calls(CdbMethod::Search))
        EXPECT_EQ(std::wstring::npos, call.text.find(L"650")) << call.text;
}

TEST_F(CleanUpTest, AFailedLookupEndsOnlyItsOwnStep)
{
    m_builder->AddDerivedItem(L"orphan", 610, L"ghost", 0);
    m_builder->AddContainer(L"emptyBox", L"", "box", {});
    // Step A is off; the first search is step B's.
    m_db->Control().FailNext(CdbMethod::Search, E_FAIL, 1);
    EXPECT_EQ(S_OK, m_worker->Run(&RemovalSteps));
    EXPECT_TRUE(Has(L"orphan"));
    EXPECT_FALSE(Has(L"emptyBox"));
    EXPECT_EQ((std::vector<ULONG>{40, 50, 65, 75}), m_worker->Published());
}
