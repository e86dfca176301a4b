// From notification to analysis request: resolving a changed item to its file, the wait rules by
// age, folder and file state, the withdrawal of the manager's older entries, and removals.
// The rules by age are driven with creation ticks set in the past, on the test's thread.
#include "tests/notify/PluginDbNotifyThreadTestSupport.h"
#include "tests/support/TraceCapture.h"

#include <algorithm>
#include <cwctype>
#include <iterator>
#include <tuple>

using namespace notify_test;

namespace
{
constexpr char kHandedOff[] = "handed off";
constexpr char kSameTick[] = "requeued, age kept";
constexpr char kNewTick[] = "requeued, age restarted";
constexpr char kDropped[] = "dropped";

std::wstring Upper(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t ch) { return static_cast<wchar_t>(towupper(ch)); });
    return text;
}

CComPtr<CManagerQueueEntry> Entry(const wchar_t* id, const std::wstring& path, ULONG state)
{
    CComPtr<CManagerQueueEntry> entry;
    EXPECT_EQ(S_OK, CManagerQueueEntry::Create(id, path.c_str(), state, &entry));
    return entry;
}

std::vector<std::wstring> CancelledIds(CManagerSite& site)
{
    std::vector<std::wstring> ids;
    for (const CancelQueueEntryCall& call : site.CancelQueueEntryCalls().Calls())
        ids.push_back(call.entryId);
    return ids;
}

class HandOffRulesTest : public NotifyWorkerTest
{
protected:
    void SetUp() override
    {
        NotifyWorkerTest::SetUp();
        ASSERT_TRUE(CreateDirectoryTree(listed.c_str()));
        // The scratch folder itself is not listed; "C:\" would cover it but its flag says no.
        CFolderList::SetFolders({{L"D:\\Rec", 0}, {L"C:\\", 1}, {Upper(listed), 0}});
    }

    // Hands the item to the worker as its thread would and tells what became of it.
    const char* Run(std::unique_ptr<CItem> item)
    {
        ClearQueue();
        site->QueueItemCalls().Clear();
        const DWORD created = item->created;
        const std::wstring id(item->itemId.Get());
        const DWORD before = GetTickCount();
        worker->HandOffItem(item.get());
        const std::vector<CQueued> queued = QueuedItems(*worker);
        const size_t calls = site->QueueItemCalls().Count();
        if (calls != 0)
            return queued.empty() && calls == 1 ? kHandedOff : kDropped;
        if (queued.size() != 1 || queued[0].type != 6 || queued[0].itemId != id)
            return kDropped;
        if (queued[0].created == created)
            return kSameTick;
        return static_cast<DWORD>(queued[0].created - before) < kTestWaitMs ? kNewTick : kDropped;
    }

    std::wstring listed = folder + L"listed";  // a listed folder
};
}  // namespace

// ---- Wait rules -----------------------------------------------------------------------------------

TEST_F(HandOffRulesTest, RulesByAgeFolderAndFileState)
{
    const std::wstring free = CreateFileIn(L"free.mpg");
    const std::wstring inListed = listed + L"\\clip.mpg";
    ASSERT_TRUE(WriteTestFile(inListed, 0));
    const std::wstring busy = CreateFileIn(L"busy.mpg");
    CScopedHandle writer(CreateFileW(busy.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer.IsValid());
    db->Catalogue().AddItem(L"plain", 300);
    db->Catalogue().AddItem(L"notReady", 300, {{0x0068, L"0x2"}});
    db->Catalogue().AddItem(L"ready", 300, {{0x0068, L"1"}});
    // Nothing is handed off before a connect (no site) nor with the switch off.
    EXPECT_STREQ(kDropped, Run(WaitingFile(L"plain", 300, free, 130000)));
    Connect(false);
    EXPECT_STREQ(kDropped, Run(WaitingFile(L"plain", 300, free, 10000)));
    // Connected after the items exist, so that adding them notified nobody.
    Connect();

    // Each rule also writes its decision and reason to the trace, with the request's id and path.
    trace_test::CTraceCapture trace(2);
    const std::tuple<const wchar_t*, std::wstring, DWORD, const char*, const wchar_t*> cases[] = {
        // item, path, age, outcome, trace
        // Too young: not even opened (the file does not exist, an open would drop it).
        {L"plain", L"D:\\nowhere\\x.mp4", 24000, kSameTick, L"held back: too young, age 24 s, next look in 10 s"},
        // Listed folders wait longer, in any letter case.
        {L"plain", inListed, 30000, kSameTick, L"held back: in a recording folder, age 30 s, next look in 10 s"},
        {L"plain", Upper(inListed), 119000, kSameTick, L"held back: in a recording folder, age 119 s"},
        {L"plain", L"d:\\rec\\X.MP4", 30000, kSameTick, L"held back: in a recording folder"},
        {L"plain", inListed, 130000, kHandedOff, L"handed off: category 0x04, queue flags 0x80000000, age 130 s"},
        // D:\Rec does not cover D:\Records; the file is then opened, and it does not exist.
        {L"plain", L"D:\\Records\\x.mp4", 30000, kDropped, L"dropped: gone (0x80070003 path not found)"},
        {L"plain", free, 30000, kHandedOff, L"handed off: category 0x04"},
        // Still being written: the wait starts again.
        {L"plain", busy, 60000, kNewTick, L"held back: in use (0x80070020 sharing violation), age 60 s, waits 25 s again"},
        // A folder cannot be opened as a file: access denied.
        {L"plain", listed, 60000, kDropped, L"dropped: unreadable (0x80070005 access denied)"},
        // Property 0x0068 read as a C number.
        {L"notReady", free, 60000, kNewTick, L"held back: not ready in the database, age 60 s, waits 25 s again"},
        {L"ready", free, 60000, kHandedOff, L"handed off: category 0x04"},
    };
    for (const auto& [item, path, ageMs, outcome, traced] : cases)
    {
        EXPECT_STREQ(outcome, Run(WaitingFile(item, 300, path, ageMs)))
            << testing::PrintToString(path) << " at " << ageMs << " ms";
        const std::vector<std::wstring> lines = trace.Lines();
        ASSERT_FALSE(lines.empty());
        const std::wstring subject = L" notify " + std::wstring(item) + L" \"" + path + L"\" ";
        EXPECT_NE(std::wstring::npos, lines.back().find(subject + traced)) << lines.back().c_str();
    }
    // A hand-off is classified first.
    EXPECT_EQ(3u, trace.LinesWith(L"\" classified: category 0x04, item class 300").size());
    ClearQueue();
}

// Off, the same rules leave no file behind.
TEST_F(HandOffRulesTest, OffTheRulesWriteNoTraceFile)
{
    trace_test::CTraceCapture trace(0);
    const std::wstring free = CreateFileIn(L"free.mpg");
    db->Catalogue().AddItem(L"plain", 300);
    Connect();
    for (DWORD ageMs : {1000u, 60000u})
        Run(WaitingFile(L"plain", 300, free, ageMs));
    EXPECT_EQ(1u, site->QueueItemCalls().Count());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((trace.folder.Path() + L"\\Logs").c_str()));
    ClearQueue();
}

TEST_F(HandOffRulesTest, HandOffPassesPathCategoryAndQueueFlags)
{
    const std::wstring file = CreateFileIn(L"clip.mpg");
    db->Catalogue().AddItem(L"video", 300);
    db->Catalogue().AddItem(L"aerial", 300, {{0x00CB, L"Rec:Imp"}, {0x009F, L"1"}});
    db->Catalogue().AddItem(L"photo", 200, {{0x00F7, L"image/jpeg"}});
    db->Catalogue().AddItem(L"song", 100, {{0x00D1, L"x"}});
    db->Catalogue().AddItem(L"folder", 400);
    Connect();
    const std::tuple<const wchar_t*, LONG, LONG> cases[] = {  // item, class, category
        {L"video", 300, 0x04}, {L"aerial", 300, 0x01}, {L"photo", 200, 0x08}, {L"song", 100, 0x20},
        {L"folder", 400, 0},  // no category: handed off all the same
    };
    for (const auto& [item, itemClass, category] : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::wstring(item)));
        site->QueueItemCalls().Clear();
        worker->HandOffItem(WaitingFile(item, itemClass, file, 130000).get());
        const std::vector<QueueItemCall> calls = site->QueueItemCalls().Calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(file, calls[0].location);
        EXPECT_EQ(category, calls[0].category);
        EXPECT_EQ(0x80000000u, calls[0].queueFlags);
    }
    // The properties were read in one selection of the item.
    const std::vector<CdbCall> selects = db->Control().Calls(CdbMethod::SelectItem);
    ASSERT_FALSE(selects.empty());
    EXPECT_EQ((std::vector<LONG>{0x00F7, 0x00CB, 0x009F, 0x00D1, 0x0068}), selects.back().numbers);
}

// ---- Withdrawing the manager's entries ------------------------------------------------------------

TEST_F(HandOffRulesTest, OlderEntriesAreWithdrawnReplaceableFirstThenInTheManagersOrder)
{
    const std::wstring file = CreateFileIn(L"clip.mpg");
    db->Catalogue().AddItem(L"video", 300);
    Connect();
    const CComPtr<CManagerQueueEntry> entries[] = {
        Entry(L"e1", file, QueueEntry::kStateWithdrawable),
        Entry(L"e2", Upper(file), QueueEntry::kStateReplaceable),
        Entry(L"e3", file, 0),
        Entry(nullptr, file, QueueEntry::kStateWithdrawable),
        Entry(L"e5", folder + L"other.mpg", QueueEntry::kStateWithdrawable),
        Entry(L"e6", file, QueueEntry::kStateReplaceable),
        Entry(L"e7", file, QueueEntry::kStateWithdrawable | QueueEntry::kStateReplaceable),
    };
    for (const CComPtr<CManagerQueueEntry>& entry : entries)
        site->AddQueueEntry(entry);
    VARIANT number;
    number.vt = VT_I4;
    number.lVal = 5;
    site->AddQueueElement(number);

    SYSTEMTIME now;
    GetSystemTime(&now);
    DATE today = 0;
    SystemTimeToVariantTime(&now, &today);
    trace_test::CTraceCapture trace(2);
    worker->HandOffItem(WaitingFile(L"video", 300, file, 130000).get());

    EXPECT_EQ((std::vector<std::wstring>{L"e6", L"e2", L"e1", L"e7"}), CancelledIds(*site));
    std::vector<std::wstring> traced;
    for (const std::wstring& line : trace.LinesWith(L" withdrawn: manager queue entry "))
        traced.push_back(line.substr(line.rfind(L' ') + 1));
    EXPECT_EQ(CancelledIds(*site), traced);
    const std::vector<CancelQueueEntryCall> cancels = site->CancelQueueEntryCalls().Calls();
    const std::vector<QueueItemCall> handed = site->QueueItemCalls().Calls();
    ASSERT_EQ(1u, handed.size());
    EXPECT_GT(handed[0].sequence, cancels.back().sequence) << "the new request comes after the withdrawals";

    // Each withdrawn entry is stamped, given its status and state, then cancelled.
    for (const CComPtr<CManagerQueueEntry>& entry : entries)
    {
        const std::wstring id = entry->Id();
        SCOPED_TRACE(testing::PrintToString(id));
        const std::vector<QueueEntryCall> calls = entry->Calls().Calls();
        std::vector<QueueEntryCall> writes;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(writes), [](const QueueEntryCall& call) {
            return call.method == QueueEntryMethod::SetValue || call.method == QueueEntryMethod::SetStatus ||
                   call.method == QueueEntryMethod::SetState;
        });
        const auto cancel = std::find_if(cancels.begin(), cancels.end(),
                                         [&](const CancelQueueEntryCall& call) { return call.entryId == id; });
        ASSERT_EQ(cancel == cancels.end() ? 0u : 3u, writes.size());
        if (writes.empty())
            continue;
        EXPECT_EQ(QueueEntryMethod::SetValue, writes[0].method);
        EXPECT_EQ(8, writes[0].valueId);
        EXPECT_EQ(VT_DATE, writes[0].type);
        EXPECT_NEAR(today, writes[0].date, 1.0 / 24 / 60) << "UTC, within a minute";
        EXPECT_EQ(QueueEntryMethod::SetStatus, writes[1].method);
        EXPECT_EQ(1u, writes[1].number);
        EXPECT_EQ(QueueEntryMethod::SetState, writes[2].method);
        EXPECT_EQ(0x4000u, writes[2].number);
        EXPECT_GT(cancel->sequence, writes[2].sequence);
    }

    // A manager queue that cannot be read (the call fails, or answers no array) still gets the
    // request, and nothing is withdrawn.
    site->Fault(ManagerSiteMethod::GetQueueEntries).FailWith(E_FAIL, 1);
    worker->HandOffItem(WaitingFile(L"video", 300, file, 130000).get());
    VARIANT notAnArray;
    notAnArray.vt = VT_I4;
    site->AnswerQueueEntriesWith(notAnArray);
    worker->HandOffItem(WaitingFile(L"video", 300, file, 130000).get());
    EXPECT_EQ(3u, site->QueueItemCalls().Count());
    EXPECT_EQ(4u, site->CancelQueueEntryCalls().Count());
}

// ---- Resolving a changed item and removals ------------------------------------------------------

TEST_F(HandOffRulesTest, AChangedItemBecomesAWaitingFileThatReplacesOlderRequestsForIt)
{
    db->Catalogue().AddItem(L"clip", 300, {{kPropPathOfItem, L"C:\\Rec\\Clip.mpg"}});
    db->Catalogue().AddItem(L"nopath", 300);
    // With the switch off changed items are not resolved.
    Connect(false);
    EXPECT_EQ(E_NOTIMPL, worker->ResolveNotification(MakeItem(CPluginDbNotifyThread::kItemChanged, L"clip").get()));
    EXPECT_TRUE(QueuedItems(*worker).empty());

    Connect();
    Queue(WaitingFile(L"clip-old", 300, L"c:\\rec\\CLIP.MPG", 50000));
    Queue(WaitingFile(L"other", 300, L"C:\\Rec\\other.mpg", 50000));
    std::unique_ptr<CItem> changed = MakeItem(CPluginDbNotifyThread::kItemChanged, L"clip", 300, L"", 3000);
    EXPECT_EQ(S_OK, worker->ResolveNotification(changed.get()));
    EXPECT_EQ(nullptr, changed->itemId.Get()) << "the id moves to the new request";

    const std::vector<CQueued> queued = QueuedItems(*worker);
    ASSERT_EQ(2u, queued.size());
    EXPECT_EQ(L"other", queued[0].itemId);
    EXPECT_EQ(6, queued[1].type);
    EXPECT_EQ(L"clip", queued[1].itemId);
    EXPECT_EQ(300, queued[1].itemClass);
    EXPECT_EQ(L"C:\\Rec\\Clip.mpg", queued[1].path);
    EXPECT_EQ(ComputePathHash(L"C:\\Rec\\Clip.mpg"), queued[1].pathHash);
    EXPECT_EQ(changed->created, queued[1].created) << "the request is as old as its notification";
    EXPECT_EQ(2u, worker->GetLastReportedCount());

    // No path, an unknown item or no id: nothing comes of it.
    for (const wchar_t* id : {L"nopath", L"unknown", static_cast<const wchar_t*>(nullptr)})
    {
        worker->ResolveNotification(MakeItem(CPluginDbNotifyThread::kItemChanged, id).get());
        EXPECT_EQ(2u, QueuedItems(*worker).size()) << (id ? "id" : "null");
    }
    // A removal without an id does nothing either.
    EXPECT_EQ(E_NOTIMPL, worker->CleanUpRemovedItem(MakeItem(CPluginDbNotifyThread::kItemRemoved, nullptr).get()));
}

// ---- Through the worker's thread ---------------------------------------------------------------

class HandOffThreadTest : public FastNotifyWorkerTest
{
protected:
    // Hands a settled file with two withdrawable manager entries to the worker's thread and asks
    // for a stop while the call that pick(site, first entry) chooses holds the thread. Answers the
    // ids withdrawn and the calls the second entry saw; the request itself is still made.
    template <typename Pick>
    std::pair<std::vector<std::wstring>, size_t> WithdrawnAfterAStopIn(Pick pick)
    {
        const std::wstring file = CreateFileIn(L"clip.mpg");
        db->Catalogue().AddItem(L"video", 300);
        Connect();
        const CComPtr<CManagerQueueEntry> first = Entry(L"e1", file, QueueEntry::kStateWithdrawable);
        const CComPtr<CManagerQueueEntry> second = Entry(L"e2", file, QueueEntry::kStateWithdrawable);
        site->AddQueueEntry(first);
        site->AddQueueEntry(second);
        CFaultControl& held = pick(*site, *first);
        held.Stall();

        Queue(WaitingFile(L"video", 300, file, 130000));
        EXPECT_TRUE(held.WaitUntilStalled(1, kTestWaitMs));
        worker->RequestStop();
        held.Release();
        EXPECT_TRUE(site->WaitForQueueItems(1, kTestWaitMs));
        EXPECT_TRUE(worker->StopThread(kTestWaitMs));
        return {CancelledIds(*site), second->Calls().Count()};
    }
};

TEST_F(HandOffThreadTest, AStopDuringTheScanEndsItAtTheNextEntry)
{
    const auto result = WithdrawnAfterAStopIn([](CManagerSite&, CManagerQueueEntry& entry) -> CFaultControl& {
        return entry.Fault(QueueEntryMethod::GetValue);
    });
    EXPECT_TRUE(result.first.empty());
    EXPECT_EQ(0u, result.second) << "the entry after the stop is not read";
}

TEST_F(HandOffThreadTest, AStopDuringTheWithdrawalEndsItBetweenTwoEntries)
{
    EXPECT_EQ((std::vector<std::wstring>{L"e1"}),
              WithdrawnAfterAStopIn([](CManagerSite& manager, CManagerQueueEntry&) -> CFaultControl& {
                  return manager.Fault(ManagerSiteMethod::CancelQueueEntry);
              }).first);
}

// A disconnect asked for while a batch hands off is not kept waiting behind the batch: the rest of
// it waits, and after the disconnect nothing more reaches the manager.
TEST_F(HandOffThreadTest, ADisconnectGoesBeforeTheRestOfTheBatch)
{
    Connect();
    CFaultControl& handOff = site->Fault(ManagerSiteMethod::QueueItem);
    handOff.Stall();
    for (const wchar_t* name : {L"a.mpg", L"b.mpg"})
        Queue(WaitingFile(name, 300, CreateFileIn(name), 130000));
    ASSERT_TRUE(handOff.WaitUntilStalled(1, kTestWaitMs));
    ASSERT_EQ(S_OK, worker->QueueDisconnect());
    handOff.Release();
    Flush();
    EXPECT_EQ(1u, site->QueueItemCalls().Count());
}

TEST_F(HandOffThreadTest, ARemovedItemTakesItsDerivedItemsWithIt)
{
    db->Catalogue().AddItem(L"V", 300);
    db->Catalogue().AddItem(L"d610", 610, {{0x00B4, L"V"}});
    db->Catalogue().AddItem(L"elsewhere", 610, {{0x00B4, L"W"}});
    Connect();
    Notify(L"V", 300, kRemoved);
    Flush();
    // Deleting d610 notified its removal, which the intake leaves out (class 610).
    ASSERT_TRUE(db->WaitNotificationsIdle(kTestWaitMs));
    EXPECT_EQ(nullptr, db->Catalogue().Find(L"d610"));
    EXPECT_NE(nullptr, db->Catalogue().Find(L"V"));
    EXPECT_NE(nullptr, db->Catalogue().Find(L"elsewhere"));
    EXPECT_TRUE(QueuedItems(*worker).empty());
}
