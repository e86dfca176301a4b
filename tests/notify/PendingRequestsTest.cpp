// Pending requests: what counts once, paging, cancelling, removal by pattern, and the count event
// with its pacing and the busy announcement.
#include "tests/notify/PluginDbNotifyThreadTestSupport.h"

using namespace notify_test;

namespace
{
constexpr LONG kUnresolved = CPluginDbNotifyThread::kItemChanged;
constexpr LONG kRemovedItem = CPluginDbNotifyThread::kItemRemoved;

class PendingRequestsTest : public NotifyWorkerTest
{
protected:
    ULONG Recount()
    {
        worker->ReportPendingCount(false);
        return worker->GetLastReportedCount();
    }
    HRESULT Cancel(const wchar_t* text)
    {
        CScopedBstr item(text ? SysAllocString(text) : nullptr);
        return worker->CancelPending(item.Get());
    }
};
}  // namespace

// ---- Hash and keys ------------------------------------------------------------------------------

TEST(PathHashTest, SumsLowerCasedCodeUnitPairsPlusOne)
{
    const std::pair<const wchar_t*, ULONG> cases[] = {
        {L"", 1},
        {L"ab", 0x00620062},
        {L"AB", 0x00620062},
        {L"abc", 0x00620062},  // a trailing odd unit is left out
        {L"abcd", 0x00C600C5},
        {L"\xFFFF\xFFFF" L"ba", 0x00610062},  // the sum wraps
    };
    for (const auto& [text, hash] : cases)
        EXPECT_EQ(hash, ComputePathHash(text)) << testing::PrintToString(std::wstring(text));
}

// Unresolved changes count once per id (ids are exact), waiting files once per path in any letter
// case, until the last request for it has left; removals and requests without a path are not
// pending requests.
TEST_F(PendingRequestsTest, RequestsCountOncePerIdAndOncePerFile)
{
    Queue(WaitingFile(L"i1", 300, L"C:\\A\\x.mp4", 0));
    Queue(WaitingFile(L"i2", 300, L"c:\\a\\X.MP4", 0));
    for (const wchar_t* id : {L"v1", L"v1", L"V1", static_cast<const wchar_t*>(nullptr)})
        Queue(MakeItem(kUnresolved, id));
    Queue(MakeItem(kRemovedItem, L"r1"));
    Queue(WaitingFile(L"v8", 300, L"", 0));
    EXPECT_EQ(4u, Recount());
    EXPECT_TRUE(worker->IsPathPending(L"C:\\a\\x.Mp4"));
    EXPECT_FALSE(worker->IsPathPending(L"C:\\a\\y.mp4"));
    EXPECT_FALSE(worker->IsPathPending(L""));
    EXPECT_TRUE(worker->IsIdPending(L"v1"));
    EXPECT_FALSE(worker->IsIdPending(L""));  // the empty text is never asked about
    EXPECT_FALSE(worker->IsIdPending(L"r1"));

    for (const wchar_t* id : {L"i1", L"i2"})
    {
        CScopedBstr bstr(SysAllocString(id));
        EXPECT_EQ(1, worker->DiscardPending(CPluginDbNotifyThread::kItemHandOff, bstr.Get(), L"C:\\A\\x.mp4"));
        const bool last = id[1] == L'2';
        EXPECT_EQ(last ? 3u : 4u, Recount());
        EXPECT_EQ(!last, worker->IsPathPending(L"c:\\a\\x.mp4"));
    }
    ClearQueue();
    EXPECT_EQ(0u, Recount());
    EXPECT_FALSE(worker->IsIdPending(L"v1"));
}

// ---- Paging -------------------------------------------------------------------------------------

TEST_F(PendingRequestsTest, PagesListThePathsOfQueuedRequestsInQueueOrder)
{
    CScopedVariant items;
    EXPECT_EQ(S_FALSE, worker->GetPendingItems(0, 10, items.Receive()));
    EXPECT_EQ(VT_EMPTY, items->vt);

    Queue(WaitingFile(L"a", 300, L"C:\\v\\1.mp4", 0));
    Queue(MakeItem(kUnresolved, L"b"));
    Queue(MakeItem(kRemovedItem, L"skipped"));
    Queue(WaitingFile(L"c", 300, L"C:\\v\\3.mp4", 0));
    EXPECT_EQ(S_FALSE, worker->GetPendingItems(5, 10, items.Receive()));
    EXPECT_EQ(VT_EMPTY, items->vt);

    for (int i = 4; i <= 8; ++i)
        Queue(WaitingFile(L"n", 300, L"C:\\v\\" + std::to_wstring(i) + L".mp4", 0));
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\v\\6.mp4", L"C:\\v\\7.mp4", L"C:\\v\\8.mp4"}), PendingPaths(5, 10));
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\v\\1.mp4", L"", L"C:\\v\\3.mp4"}), PendingPaths(0, 3));
    EXPECT_EQ(8u, PendingPaths().size());
    EXPECT_EQ(S_FALSE, worker->GetPendingItems(0, 0, items.Receive()));

    ASSERT_EQ(S_OK, worker->GetPendingItems(1, 2, items.Receive()));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, items->vt);
    EXPECT_EQ(1u, SafeArrayGetDim(items->parray));
    EXPECT_EQ(0, items->parray->rgsabound[0].lLbound);
    EXPECT_EQ(2u, items->parray->rgsabound[0].cElements);
}

// ---- Cancelling and removal by pattern ------------------------------------------------------------

TEST_F(PendingRequestsTest, CancelPendingByPathNullAndEmptyText)
{
    Queue(WaitingFile(L"a", 300, L"C:\\v\\a.mp4", 0));
    Queue(MakeItem(kUnresolved, L"b"));
    Queue(MakeItem(kRemovedItem, L"c"));
    Queue(WaitingFile(L"d", 300, L"C:\\v\\A.MP4", 0));
    Queue(WaitingFile(L"e", 300, L"C:\\v\\e.mp4", 0));
    EXPECT_EQ(3u, Recount());
    const size_t fires = owner.Fires().size();

    // A path that is not queued changes nothing and fires nothing.
    EXPECT_EQ(S_FALSE, Cancel(L"C:\\v\\zzz.mp4"));
    EXPECT_EQ(fires, owner.Fires().size());
    // An empty text removes nothing either.
    EXPECT_EQ(S_FALSE, Cancel(L""));
    EXPECT_EQ(5u, QueuedItems(*worker).size());

    EXPECT_EQ(S_OK, Cancel(L"c:\\V\\a.mp4"));
    EXPECT_EQ((std::vector<std::wstring>{L"b", L"c", L"e"}), Each(QueuedItems(*worker), &CQueued::itemId));
    EXPECT_EQ(2u, worker->GetLastReportedCount());

    // A null text is the empty path: everything queued without one goes.
    EXPECT_EQ(S_OK, Cancel(nullptr));
    EXPECT_EQ((std::vector<std::wstring>{L"e"}), Each(QueuedItems(*worker), &CQueued::itemId));
    EXPECT_EQ(1u, worker->GetLastReportedCount());
}

TEST_F(PendingRequestsTest, DiscardPendingMatchesTypeIdAndPath)
{
    const struct
    {
        LONG type;
        const wchar_t* itemId;
        const wchar_t* path;
        std::vector<std::wstring> left;
    } cases[] = {
        {6, nullptr, L"c:\\v\\a.mp4", {L"i1", L"i3"}},
        {6, L"i2", L"c:\\v\\a.mp4", {L"i1", L"i1", L"i3"}},
        {6, L"I2", L"c:\\v\\a.mp4", {L"i1", L"i2", L"i1", L"i3"}},  // ids compare exactly
        {6, L"", L"C:\\V\\A.MP4", {L"i1", L"i3"}},                   // an empty id is no condition
        {6, nullptr, L"c:\\v\\b.mp4", {L"i1", L"i2", L"i1", L"i3"}},
        {3, L"i1", L"", {L"i1", L"i2", L"i3"}},
        {3, L"zz", L"", {L"i1", L"i2", L"i1", L"i3"}},
        {0, L"i3", L"", {L"i1", L"i2", L"i1"}},
        {0, nullptr, L"C:\\v\\a.mp4", {L"i1", L"i3"}},
        {5, nullptr, L"c:\\v\\a.mp4", {L"i1", L"i2", L"i1", L"i3"}},
    };
    for (const auto& row : cases)
    {
        ClearQueue();
        Queue(WaitingFile(L"i1", 300, L"C:\\v\\a.mp4", 0));
        Queue(WaitingFile(L"i2", 300, L"C:\\V\\A.MP4", 0));
        Queue(MakeItem(kUnresolved, L"i1"));
        Queue(MakeItem(kRemovedItem, L"i3"));
        CScopedBstr id(row.itemId ? SysAllocString(row.itemId) : nullptr);
        const LONG removed = worker->DiscardPending(row.type, id.Get(), row.path);
        const std::vector<std::wstring> left = Each(QueuedItems(*worker), &CQueued::itemId);
        EXPECT_EQ(row.left, left) << row.type << " " << (row.itemId ? "id" : "null") << " " << row.path;
        EXPECT_EQ(static_cast<LONG>(4 - left.size()), removed);
    }
    ClearQueue();
}

TEST_F(PendingRequestsTest, ItemsOfAnotherClassNeverMatch)
{
    // Laid out like a notification item up to its path, which reads as empty: a match that took
    // it for one would find the null text's empty path.
    class CForeignItem : public CBaseItem
    {
    public:
        CForeignItem() : CBaseItem(kRemovedItem) {}
        CString text;
        BYTE zeros[256] = {};
    };
    std::unique_ptr<CForeignItem> foreign(new CForeignItem);
    ASSERT_EQ(S_OK, worker->QueueItem(std::move(foreign), true, true));
    Queue(MakeItem(kRemovedItem, L"r1"));

    EXPECT_EQ(S_OK, Cancel(nullptr));
    EXPECT_EQ(1u, worker->VisitQueuedItems(nullptr, [](CBaseItem* item, void*) { return item->type == kRemovedItem; }))
        << "the foreign item stays queued";
    ClearQueue();
}

// ---- Count event ----------------------------------------------------------------------------------

TEST_F(PendingRequestsTest, NoEventIsFiredIntoAnOwnerThatRefusesTheHold)
{
    Connect();
    owner.gone = true;
    Notify(L"v0", 300, kChanged);
    EXPECT_EQ(1u, worker->GetLastReportedCount());
    EXPECT_TRUE(owner.Fires().empty());
    EXPECT_EQ(1, owner.References());
}

TEST_F(PendingRequestsTest, EventFiresAtOnceAtTheEdgesAndPacesABurst)
{
    Connect();
    Notify(L"v0", 300, kChanged);
    // Fired on the calling thread before the notification call returned.
    ASSERT_EQ((std::vector<ULONG>{1}), owner.Counts());
    const DWORD first = owner.Fires()[0].tick;

    for (int i = 1; i < 10; ++i)
        Notify((L"v" + std::to_wstring(i)).c_str(), 300, kChanged);
    // Inside the pacing window the count is already known, though not fired.
    EXPECT_EQ(10u, worker->GetLastReportedCount());
    if (GetTickCount() - first < 250)
    {
        EXPECT_EQ(1u, owner.Fires().size());
    }

    ASSERT_TRUE(owner.WaitForFires(2, kTestWaitMs));
    const std::vector<CTestOwner::CFire> fires = owner.Fires();
    EXPECT_EQ(10u, fires[1].count);
    const DWORD later = fires[1].tick - first;
    EXPECT_GT(later, 250u);
    EXPECT_LT(later, 1000u);

    // Back to 0: at once again, whatever the pacing.
    EXPECT_EQ(S_OK, Cancel(nullptr));
    ASSERT_EQ(3u, owner.Fires().size());
    EXPECT_EQ(0u, owner.Fires()[2].count);
    EXPECT_EQ(0u, worker->GetLastReportedCount());
}

TEST_F(PendingRequestsTest, AReportThatFiresLeavesNoTimerArmed)
{
    Queue(MakeItem(kUnresolved, L"a"));
    EXPECT_EQ(1u, Recount());  // from 0: fired at once
    Queue(MakeItem(kUnresolved, L"b"));
    EXPECT_EQ(2u, Recount());  // inside the pacing window: the timer is armed
    // The timer's own report, made while the count went back to 0, fires at once; the armed timer
    // must go with it, or its expiry fires the 0 a second time.
    ClearQueue();
    worker->ReportPendingCount(true);
    EXPECT_FALSE(owner.WaitForFires(3, 1000));
    EXPECT_EQ((std::vector<ULONG>{1, 0}), owner.Counts());

    // Without an owner the count is kept but not fired.
    worker->ClearOwner();
    Queue(MakeItem(kUnresolved, L"c"));
    EXPECT_EQ(1u, Recount());
    EXPECT_EQ(2u, owner.Fires().size());
}

TEST_F(PendingRequestsTest, BusyIsAnnouncedOncePerBusyPeriodAndRetriedAfterAFailure)
{
    CBusyNotify::Fault(BusyNotifyMethod::NotifyBusy).FailWith(E_FAIL, 1);
    Queue(MakeItem(kUnresolved, L"a"));
    EXPECT_EQ(1u, Recount());
    // An unchanged count does nothing at all, not even the retry.
    EXPECT_EQ(1u, Recount());
    EXPECT_EQ(1u, CBusyNotify::NotifyBusyCalls().Count());

    Queue(MakeItem(kUnresolved, L"b"));
    EXPECT_EQ(2u, Recount());
    Queue(MakeItem(kUnresolved, L"c"));
    EXPECT_EQ(3u, Recount());
    const std::vector<NotifyBusyCall> calls = CBusyNotify::NotifyBusyCalls().Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(GetCurrentProcessId(), calls[1].processId);
    EXPECT_EQ(0x10001u, calls[1].value);
    EXPECT_EQ(VT_EMPTY, calls[1].contextType);
    EXPECT_EQ(VT_EMPTY, calls[1].resultType);

    // A new busy period is announced again.
    ClearQueue();
    EXPECT_EQ(0u, Recount());
    Queue(MakeItem(kUnresolved, L"d"));
    EXPECT_EQ(1u, Recount());
    EXPECT_EQ(3u, CBusyNotify::NotifyBusyCalls().Count());
}
