// The search runs on the worker's own thread, as the plug-in object queues them: the site item,
// then one request. What a manager sees is checked: the items handed to the site (in order, with
// category and flags), the state words written, the connections opened and closed, the recorded
// metadata versions and the progress word.
#include "common/Scoped.h"
#include "standins/ClassRegistration.h"
#include "standins/ManagerStatus.h"
#include "tests/search/SearchTestSupport.h"
#include "tests/support/TraceCapture.h"

using Search = CPluginDbSearchThread;

namespace
{
CMediaCatalogueBuilder::Media Item(const wchar_t* id, LONG itemClass, ULONG state0, bool hasState = true)
{
    CMediaCatalogueBuilder::Media media(id, itemClass);
    if (hasState)
        media.states[0] = CMediaCatalogueBuilder::StateText(state0);
    return media;
}
}  // namespace

class SearchRunTest : public SearchTest
{
protected:
    void SetUp() override
    {
        SearchTest::SetUp();
        CManagerStatus::Reset();
        CManagerStatus::SetQueueCounts(1, 0);  // busy unless a test says otherwise
        ASSERT_EQ(S_OK, m_status.Register<CManagerStatus>(CLSID_LumMgrStatus));
        StartWorker();
    }

    // A new worker whose thread has taken the site.
    void StartWorker()
    {
        m_worker = std::make_unique<Search>();
        m_progress.Reset(OpenEventW(SYNCHRONIZE, FALSE, m_worker->GetProgressEventName()));
        ASSERT_TRUE(m_progress.IsValid());
        ASSERT_EQ(S_OK, m_worker->QueueSite(m_site));
    }

    void TearDown() override
    {
        m_worker.reset();
        m_status.Revoke();
        SearchTest::TearDown();
    }

    // Queues a request and waits for its end; answers the final progress word.
    ULONG Run(LONG type, ULONG requestWord)
    {
        EXPECT_EQ(S_OK, m_worker->QueueSearch(type, requestWord));
        return WaitForEnd();
    }

    ULONG WaitForEnd()
    {
        const DWORD start = GetTickCount();
        ULONG progress = m_worker->GetProgress();
        while (progress != Search::kProgressDone && progress != Search::kProgressFailed &&
               GetTickCount() - start <= kTestWaitMs)
        {
            WaitForSingleObject(m_progress.Get(), 50);
            progress = m_worker->GetProgress();
        }
        return progress;
    }

    std::vector<std::wstring> SearchTexts() const
    {
        std::vector<std::wstring> texts;
        for (const CdbCall& call : m_db->Control().Calls(CdbMethod::Search))
            texts.push_back(call.text);
        return texts;
    }

    void ExpectConnectionsClosed(size_t opened)
    {
        EXPECT_EQ(opened, m_db->Control().Calls(CdbMethod::Open).size());
        EXPECT_EQ(opened, m_db->Control().Calls(CdbMethod::Close).size());
    }

    void ClearCalls()
    {
        m_site->QueueItemCalls().Clear();
        m_db->Control().Reset();
        m_db->Control().ClearCalls();
    }

    CClassRegistration m_status;
    CScopedHandle m_progress;
};

TEST(SearchRequestWordTest, CategoryMaskAndQueueFlags)
{
    const struct
    {
        ULONG request, mask, flags;
    } cases[] = {
        {0x00010008, 0x0008, 0x80000000}, {0x40040008, 0x0008, 0x40000000}, {0xC0030000, 0xFFFF, 0xC0000000},
        {0x01020000, 0xFFFF, 0x81000000}, {0x8004FFFF, 0xFFFF, 0x80000000},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(c.mask, Search::CategoryMaskFromRequest(c.request));
        EXPECT_EQ(c.flags, Search::QueueFlagsFromRequest(c.request));
    }
}

// The full search ignores the request's category mask; the items handed over but unfinished are
// looked for only while the manager is idle.
TEST_F(SearchRunTest, FullSearchHandsOverByStateAndAsksForIdleFirst)
{
    m_media->Add(Item(L"new", 300, 0, false));
    m_media->Add(Item(L"handed", 200, 3));
    m_media->Add(Item(L"repeat", 200, 7));
    m_media->Add(Item(L"reset", 100, 10));
    m_media->Add(Item(L"done", 200, 4));
    for (bool idle : {false, true})
    {
        SCOPED_TRACE(idle);
        trace_test::CTraceCapture trace(2, false);
        ClearCalls();
        CManagerStatus::SetQueueCounts(idle ? 0 : 2, idle ? 0 : 1);
        EXPECT_EQ(Search::kProgressDone, Run(Search::kItemFullSearch, 0x00010008));
        std::vector<std::wstring> expected = {L"new.mpg 4 80000000", L"repeat.jpg 8 80000000",
                                              L"reset.mp3 10 80000000"};
        if (idle)
            expected.insert(expected.begin(), L"handed.jpg 8 80000000");
        EXPECT_EQ(expected, HandedOver());
        EXPECT_EQ(idle ? 4u : 3u, SearchTexts().size());
        ExpectConnectionsClosed(2);
        // The run is traced from its start to its end, with what it did.
        const std::vector<std::wstring> lines = trace.LinesWith(L" search run ");
        ASSERT_EQ(2u, lines.size());
        EXPECT_NE(std::wstring::npos, lines[0].find(L"search run begun: full search, categories 0x0008, queue flags 0x00"));
        EXPECT_NE(std::wstring::npos, lines[1].find(L"search run ended: full search, done after "));
        EXPECT_NE(std::wstring::npos, lines[1].find(std::to_wstring(expected.size()) + L" handed over, 0 marked missing"));
    }
}

// A category search: every query behind the category clause, only that category handed over,
// with the request's queue flags. Items without a state are found by both of its later passes.
TEST_F(SearchRunTest, CategorySearchUsesTheClauseAndTheRequestsFlags)
{
    CManagerStatus::SetQueueCounts(0, 0);
    m_media->Add(Item(L"handed", 200, 2));
    m_media->Add(Item(L"clip", 300, 0));
    m_media->Add(Item(L"picture", 200, 0));
    m_media->Add(Item(L"fresh", 200, 0, false));
    m_media->Add(Item(L"again", 200, 10));
    EXPECT_EQ(Search::kProgressDone, Run(Search::kItemCategorySearch, 0x40040008));
    const std::vector<std::wstring> expected = {L"handed.jpg 8 40000000", L"picture.jpg 8 40000000",
                                                L"fresh.jpg 8 40000000", L"fresh.jpg 8 40000000",
                                                L"again.jpg 8 40000000"};
    EXPECT_EQ(expected, HandedOver());
    for (const std::wstring& text : SearchTexts())
        EXPECT_EQ(0u, text.find(L"( -2 = \"200\" ) and ")) << std::string(text.begin(), text.end());
}

// A failed pass ends a full search; the category search goes on and reports its last pass, and
// the failure it passed over is traced.
TEST_F(SearchRunTest, AFailedPassEndsOnlyTheFullSearch)
{
    m_media->Add(Item(L"new", 300, 0, false));
    const struct
    {
        LONG type;
        ULONG failingSearch;  // 0-based
        size_t searches;
        ULONG progress;
        size_t passedOver;
    } cases[] = {
        {Search::kItemFullSearch, 0, 1, Search::kProgressFailed, 0},
        {Search::kItemFullSearch, 2, 3, Search::kProgressFailed, 0},
        {Search::kItemCategorySearch, 0, 2, Search::kProgressDone, 1},
        {Search::kItemCategorySearch, 1, 2, Search::kProgressFailed, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.type << " fails search " << c.failingSearch);
        trace_test::CTraceCapture trace(1, false);
        ClearCalls();
        m_db->Control().FailCall(CdbMethod::Search, E_FAIL, c.failingSearch);
        EXPECT_EQ(c.progress, Run(c.type, 0x00010000));
        EXPECT_EQ(c.searches, SearchTexts().size());
        ExpectConnectionsClosed(2);
        EXPECT_EQ(c.passedOver, trace.LinesWith(L"the run goes on").size());
    }
}

// The category search with version check sets the finished fields (6) of each category's
// engines to be repeated, and hands the items over again; an item already waiting for a repeat
// is handed over twice, by the state pass and by the pass after the reset.
TEST_F(SearchRunTest, VersionCheckResetsEachCategorysEnginesAndHandsOverAgain)
{
    AddEngine(1, 0x08, 1);  // index 2: pictures
    AddEngine(2, 0x04, 2);  // index 3: video without source
    m_media->Add(Item(L"again", 200, 10));
    m_media->Add(Item(L"picture", 200, 0x64));  // field 2 finished, overall 4
    m_media->Add(Item(L"clip", 300, 0x604));    // field 3 finished, overall 4
    m_media->Add(Item(L"other", 200, 0x604));   // field 3 is not a picture engine's
    EXPECT_EQ(Search::kProgressDone, Run(Search::kItemCategoryVersionSearch, 0x0003000C));

    // Category by category from the lowest bit: video first.
    EXPECT_EQ((std::vector<std::wstring>{L"clip 175=2570", L"picture 175=170"}), Writes());
    const std::vector<std::wstring> expected = {L"again.jpg 8 80000000", L"again.jpg 8 80000000",
                                                L"picture.jpg 8 80000000", L"clip.mpg 4 80000000"};
    EXPECT_EQ(expected, HandedOver());
    ExpectConnectionsClosed(2);
}

// A metadata-version update resets the outdated engine's fields (4 to 10), records the new
// version only then, and hands the items over in a frame of its own. With nothing outdated only
// that second frame opens connections.
TEST_F(SearchRunTest, MetadataUpdateResetsOutdatedEnginesThenRecordsTheirVersion)
{
    m_media->Add(Item(L"picture", 200, 0x43));  // field 2 outdated, overall 3
    m_media->Add(Item(L"clip", 300, 0x43));
    AddEngine(1, 0x08, 1);
    for (DWORD version : {0x00010000u, 0x00020000u})
    {
        SCOPED_TRACE(version);
        ClearCalls();
        SetDword(EngineListPath(1), L"MetadataVersion", version);
        const bool outdated = version > 0x00010000;
        EXPECT_EQ(Search::kProgressDone, Run(Search::kItemMetadataUpdateMajor, 0x00050008));
        ExpectConnectionsClosed(outdated ? 4 : 2);
        EXPECT_EQ(outdated ? std::vector<std::wstring>{L"picture 175=170"} : std::vector<std::wstring>{}, Writes());
        EXPECT_EQ(outdated ? std::vector<std::wstring>{L"picture.jpg 8 80000000"} : std::vector<std::wstring>{},
                  HandedOver());
        EXPECT_EQ(outdated ? version : 0xDEADBEEF, ReadDword(VersionPath(0x08, 1), L"MetadataVersion"));
    }
}

// A pause holds the run at its next entry; resuming lets it finish. A stop while paused ends it
// with E_ABORT, closes its connections and ends the thread.
TEST_F(SearchRunTest, PauseHoldsTheRunAndAStopWhilePausedEndsIt)
{
    for (int i = 0; i < 5; ++i)
        m_media->Add(Item((L"p" + std::to_wstring(i)).c_str(), 200, 0));
    for (bool stop : {false, true})
    {
        SCOPED_TRACE(stop);
        ClearCalls();
        m_site->SetQueueItemObserver([this](const QueueItemCall&) {
            if (m_site->QueueItemCalls().Count() == 2)
                m_worker->ResetRunEvent();
        });
        ASSERT_EQ(S_OK, m_worker->QueueSearch(Search::kItemCategorySearch, 0x00040008));
        ASSERT_TRUE(m_site->WaitForQueueItems(2, kTestWaitMs));
        EXPECT_FALSE(m_site->WaitForQueueItems(3, 300));
        EXPECT_EQ(Search::kProgressRunning, m_worker->GetProgress());
        m_site->SetQueueItemObserver(nullptr);
        if (stop)
            m_worker->RequestStop();
        else
            m_worker->SetRunEvent();
        EXPECT_EQ(stop ? Search::kProgressFailed : Search::kProgressDone, WaitForEnd());
        EXPECT_EQ(stop ? 2u : 5u, HandedOver().size());
        ExpectConnectionsClosed(2);
    }
    EXPECT_TRUE(m_worker->StopThread(kTestWaitMs));
    EXPECT_FALSE(m_worker->IsRunning());
}

// A stop during a long search reaches the listed connection: the run ends at its first check.
// The clean-up run then still reaches its container repair, on a connection of its own, which
// answers the stop at once; it does so too after its first connection failed.
TEST_F(SearchRunTest, AStopDuringAStalledSearchEndsTheRunButNotTheContainerRepair)
{
    const struct
    {
        LONG type;
        bool stop;
        size_t searches;
        ULONG progress;
    } cases[] = {
        {Search::kItemFullSearch, true, 1, Search::kProgressFailed},
        {Search::kItemCleanUp, true, 1, Search::kProgressFailed},  // the repair looked for no container
        {Search::kItemCleanUp, false, 1, Search::kProgressDone},   // the repair's container lookup only
    };
    m_media->Add(Item(L"new", 300, 0, false));
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.type << (c.stop ? " stopped" : " first connection failed"));
        ClearCalls();
        if (c.stop)
        {
            m_db->Control().Stall(CdbMethod::Search);
            ASSERT_EQ(S_OK, m_worker->QueueSearch(c.type, 0x00020000));
            ASSERT_TRUE(m_db->Control().WaitStalled(CdbMethod::Search, 1, kTestWaitMs));
            m_worker->RequestStop();
            m_db->Control().Release(CdbMethod::Search);
        }
        else
        {
            m_db->Control().FailNext(CdbMethod::Open, E_FAIL);
            ASSERT_EQ(S_OK, m_worker->QueueSearch(c.type, 0x00020000));
        }
        EXPECT_EQ(c.progress, WaitForEnd());
        EXPECT_TRUE(HandedOver().empty());
        ASSERT_EQ(c.searches, SearchTexts().size());
        EXPECT_EQ(c.type == Search::kItemCleanUp && !c.stop, SearchTexts()[0].find(L"600") != std::wstring::npos);
        EXPECT_EQ(2u, m_db->Control().Calls(CdbMethod::Open).size());
        EXPECT_EQ(c.stop ? 2u : 1u, m_db->Control().Calls(CdbMethod::Close).size());
        if (c.stop)
        {
            EXPECT_TRUE(m_worker->StopThread(kTestWaitMs));
            StartWorker();
        }
    }
}

// A busy database is retried for minutes: a stop ends the retries of each connection a run opens
// (the search's two, the clean-up's own and then the container repair's), and the run fails.
TEST_F(SearchRunTest, AStopEndsTheBusyOpenOfEveryRunConnection)
{
    const struct
    {
        const char* connection;
        LONG type;
        ULONG busyFrom;  // the first open that finds the database busy, 0-based
    } cases[] = {
        {"search", Search::kItemFullSearch, 0},
        {"write", Search::kItemFullSearch, 1},
        {"clean-up", Search::kItemCleanUp, 0},
        {"container repair", Search::kItemCleanUp, 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.connection);
        ClearCalls();
        m_db->Control().FailCall(CdbMethod::Open, kHrCdbBusy, c.busyFrom, CContentDbControl::kAlways);
        ASSERT_EQ(S_OK, m_worker->QueueSearch(c.type, 0x00010000));
        for (const DWORD start = GetTickCount(); m_db->Control().Calls(CdbMethod::Open).size() < c.busyFrom + 3;)
        {
            ASSERT_LT(GetTickCount() - start, kTestWaitMs) << "no busy retries";
            Sleep(10);
        }
        const DWORD start = GetTickCount();
        ASSERT_TRUE(m_worker->RequestStop());
        EXPECT_EQ(Search::kProgressFailed, WaitForEnd());
        EXPECT_TRUE(m_worker->StopThread(kTestWaitMs));
        EXPECT_LT(GetTickCount() - start, 1000u);
        EXPECT_EQ(2, m_db->LiveConnections());  // the fixture's own
        StartWorker();
    }
}
