// From notification to analysis request: resolving a changed item to its file, the wait rules by
// age, folder and file state, the withdrawal of the manager's older entries, and removals.
// The rules by age are driven with creation ticks set in the past, on the test's thread.
#include "tests/notify/PluginDbNotifyThreadTestSupport.h"

#include <algorithm>
#include <cwctype>

using namespace notify_test;

namespace
{
constexpr ULONG kQueueFlags = 0x80000000;

enum class Expect
{
    HandedOff,
    RequeuedSameTick,
    RequeuedNewTick,
    Dropped,
};

const char* Name(Expect expect)
{
    switch (expect)
    {
    case Expect::HandedOff:
        return "handed off";
    case Expect::RequeuedSameTick:
        return "requeued, age kept";
    case Expect::RequeuedNewTick:
        return "requeued, age restarted";
    default:
        return "dropped";
    }
}

std::wstring Upper(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t ch) { return static_cast<wchar_t>(towupper(ch)); });
    return text;
}

std::wstring WithoutTrailingSlash(const std::wstring& path)
{
    return path.substr(0, path.size() - 1);
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
        listed = folder + L"listed\\";
        ASSERT_TRUE(CreateDirectoryTree(listed.c_str()));
        // The scratch folder itself is not listed; "C:\" would cover it but its flag says no.
        CFolderList::SetFolders({{L"D:\\Rec", 0}, {L"C:\\", 1}, {Upper(WithoutTrailingSlash(listed)), 0}});
    }

    void Clear()
    {
        worker->RemoveQueuedItems(nullptr, [](CPluginDbNotifyThread::CBase::CProcessItem*,
                                              CPluginDbNotifyThread::CBase::CProcessItem*) { return true; });
        site->QueueItemCalls().Clear();
    }

    // Hands the item to the worker as its thread would and tells what became of it.
    Expect Run(std::unique_ptr<CItem> item, std::string& detail)
    {
        const DWORD created = item->created;
        const std::wstring id(item->itemId.Get() ? item->itemId.Get() : L"");
        const DWORD before = GetTickCount();
        worker->HandOffItem(item.get());
        const std::vector<CQueued> queued = QueuedItems(*worker);
        const std::vector<QueueItemCall> calls = site->QueueItemCalls().Calls();
        if (!calls.empty())
        {
            detail = "category " + std::to_string(calls[0].category);
            return queued.empty() && calls.size() == 1 ? Expect::HandedOff : Expect::Dropped;
        }
        if (queued.size() != 1 || queued[0].type != 6 || queued[0].itemId != id)
            return Expect::Dropped;
        if (queued[0].created == created)
            return Expect::RequeuedSameTick;
        return static_cast<DWORD>(queued[0].created - before) < kWaitMs ? Expect::RequeuedNewTick : Expect::Dropped;
    }

    std::wstring listed;  // a listed folder, ending with "\"
};
}  // namespace

// ---- Wait rules -----------------------------------------------------------------------------------

TEST_F(HandOffRulesTest, RulesByAgeFolderAndFileState)
{
    const std::wstring free = CreateFileIn(L"free.mpg");
    const std::wstring inListed = listed + L"clip.mpg";
    CScopedHandle(CreateFileW(inListed.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::wstring busy = CreateFileIn(L"busy.mpg");
    CScopedHandle writer(CreateFileW(busy.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer.IsValid());
    db->Catalogue().AddItem(L"plain", 300);
    db->Catalogue().AddItem(L"notReady", 300, {{0x0068, L"0x2"}});
    db->Catalogue().AddItem(L"ready", 300, {{0x0068, L"1"}});
    // Connected after the items exist, so that adding them notified nobody.
    Connect();

    const struct
    {
        const wchar_t* item;
        std::wstring path;
        DWORD ageMs;
        Expect expect;
    } cases[] = {
        // Too young: not even opened (the file does not exist, an open would drop it).
        {L"plain", L"D:\\nowhere\\x.mp4", 10000, Expect::RequeuedSameTick},
        {L"plain", L"D:\\nowhere\\x.mp4", 24000, Expect::RequeuedSameTick},
        // Listed folders wait longer, in any letter case.
        {L"plain", inListed, 30000, Expect::RequeuedSameTick},
        {L"plain", Upper(inListed), 119000, Expect::RequeuedSameTick},
        {L"plain", L"d:\\rec\\X.MP4", 30000, Expect::RequeuedSameTick},
        {L"plain", inListed, 130000, Expect::HandedOff},
        // D:\Rec does not cover D:\Records; the file is then opened, and it does not exist.
        {L"plain", L"D:\\Records\\x.mp4", 30000, Expect::Dropped},
        {L"plain", free, 30000, Expect::HandedOff},
        // Still being written: the wait starts again.
        {L"plain", busy, 60000, Expect::RequeuedNewTick},
        // A folder cannot be opened as a file: access denied.
        {L"plain", WithoutTrailingSlash(listed), 60000, Expect::Dropped},
        // Property 0x0068 read as a C number.
        {L"notReady", free, 60000, Expect::RequeuedNewTick},
        {L"ready", free, 60000, Expect::HandedOff},
    };
    for (const auto& row : cases)
    {
        Clear();
        std::string detail;
        const Expect outcome = Run(WaitingFile(row.item, 300, row.path, row.ageMs), detail);
        EXPECT_STREQ(Name(row.expect), Name(outcome))
            << testing::PrintToString(row.path) << " at " << row.ageMs << " ms " << detail;
    }
    Clear();
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
    const struct
    {
        const wchar_t* item;
        LONG itemClass;
        LONG category;
    } cases[] = {
        {L"video", 300, 0x04}, {L"aerial", 300, 0x01}, {L"photo", 200, 0x08}, {L"song", 100, 0x20},
        {L"folder", 400, 0},  // no category: handed off all the same
    };
    for (const auto& row : cases)
    {
        Clear();
        worker->HandOffItem(WaitingFile(row.item, row.itemClass, file, 130000).get());
        const std::vector<QueueItemCall> calls = site->QueueItemCalls().Calls();
        ASSERT_EQ(1u, calls.size()) << testing::PrintToString(std::wstring(row.item));
        EXPECT_EQ(file, calls[0].location);
        EXPECT_EQ(row.category, calls[0].category) << testing::PrintToString(std::wstring(row.item));
        EXPECT_EQ(kQueueFlags, calls[0].queueFlags);
    }
    // The properties were read in one selection of the item.
    const std::vector<CdbCall> selects = db->Control().Calls(CdbMethod::SelectItem);
    ASSERT_FALSE(selects.empty());
    EXPECT_EQ((std::vector<LONG>{0x00F7, 0x00CB, 0x009F, 0x00D1, 0x0068}), selects.back().numbers);
}

TEST_F(HandOffRulesTest, NothingIsHandedOffWithTheSwitchOffOrWithoutASite)
{
    const std::wstring file = CreateFileIn(L"clip.mpg");
    db->Catalogue().AddItem(L"video", 300);
    std::string detail;
    // Never connected: no site.
    EXPECT_STREQ(Name(Expect::Dropped), Name(Run(WaitingFile(L"video", 300, file, 130000), detail)));
    Connect(false);
    EXPECT_STREQ(Name(Expect::Dropped), Name(Run(WaitingFile(L"video", 300, file, 10000), detail)));
    Connect(true);
    EXPECT_STREQ(Name(Expect::HandedOff), Name(Run(WaitingFile(L"video", 300, file, 130000), detail)));
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
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 5;
    site->AddQueueElement(number);

    SYSTEMTIME now;
    GetSystemTime(&now);
    DATE today = 0;
    SystemTimeToVariantTime(&now, &today);
    worker->HandOffItem(WaitingFile(L"video", 300, file, 130000).get());

    EXPECT_EQ((std::vector<std::wstring>{L"e6", L"e2", L"e1", L"e7"}), CancelledIds(*site));
    const std::vector<CancelQueueEntryCall> cancels = site->CancelQueueEntryCalls().Calls();
    const std::vector<QueueItemCall> handed = site->QueueItemCalls().Calls();
    ASSERT_EQ(1u, handed.size());
    EXPECT_GT(handed[0].sequence, cancels.back().sequence) << "the new request comes after the withdrawals";

    // Each withdrawn entry is stamped, given its status and state, then cancelled.
    for (const CComPtr<CManagerQueueEntry>& entry : entries)
    {
        std::vector<QueueEntryCall> writes;
        for (const QueueEntryCall& call : entry->Calls().Calls())
        {
            if (call.method == QueueEntryMethod::SetValue || call.method == QueueEntryMethod::SetStatus ||
                call.method == QueueEntryMethod::SetState)
                writes.push_back(call);
        }
        const std::wstring id = entry->Id();
        const bool withdrawn = id == L"e1" || id == L"e2" || id == L"e6" || id == L"e7";
        if (!withdrawn)
        {
            EXPECT_TRUE(writes.empty()) << testing::PrintToString(id);
            continue;
        }
        ASSERT_EQ(3u, writes.size()) << testing::PrintToString(id);
        EXPECT_EQ(QueueEntryMethod::SetValue, writes[0].method);
        EXPECT_EQ(8, writes[0].valueId);
        EXPECT_EQ(VT_DATE, writes[0].type);
        EXPECT_NEAR(today, writes[0].date, 1.0 / 24 / 60) << "UTC, within a minute";
        EXPECT_EQ(QueueEntryMethod::SetStatus, writes[1].method);
        EXPECT_EQ(1u, writes[1].number);
        EXPECT_EQ(QueueEntryMethod::SetState, writes[2].method);
        EXPECT_EQ(0x4000u, writes[2].number);
        const auto cancel = std::find_if(cancels.begin(), cancels.end(),
                                         [&](const CancelQueueEntryCall& call) { return call.entryId == id; });
        ASSERT_NE(cancels.end(), cancel);
        EXPECT_GT(cancel->sequence, writes[2].sequence);
    }
}

TEST_F(HandOffRulesTest, AManagerQueueThatCannotBeReadStillGetsTheRequest)
{
    const std::wstring file = CreateFileIn(L"clip.mpg");
    db->Catalogue().AddItem(L"video", 300);
    Connect();
    site->AddQueueEntry(Entry(L"e1", file, QueueEntry::kStateWithdrawable));

    site->Fault(ManagerSiteMethod::GetQueueEntries).FailWith(E_FAIL, 1);
    worker->HandOffItem(WaitingFile(L"video", 300, file, 130000).get());
    VARIANT notAnArray;
    VariantInit(&notAnArray);
    notAnArray.vt = VT_I4;
    site->AnswerQueueEntriesWith(notAnArray);
    worker->HandOffItem(WaitingFile(L"video", 300, file, 130000).get());

    EXPECT_EQ(2u, site->QueueItemCalls().Count());
    EXPECT_TRUE(CancelledIds(*site).empty());
}

// ---- Resolving a changed item -------------------------------------------------------------------

TEST_F(HandOffRulesTest, AChangedItemBecomesAWaitingFileThatReplacesOlderRequestsForIt)
{
    db->Catalogue().AddItem(L"clip", 300, {{kPropPathOfItem, L"C:\\Rec\\Clip.mpg"}});
    db->Catalogue().AddItem(L"nopath", 300);
    Connect();
    std::unique_ptr<CItem> older = WaitingFile(L"clip-old", 300, L"c:\\rec\\CLIP.MPG", 50000);
    ASSERT_EQ(S_OK, worker->QueueItem(older.get(), true, true));
    older.release();
    std::unique_ptr<CItem> other = WaitingFile(L"other", 300, L"C:\\Rec\\other.mpg", 50000);
    ASSERT_EQ(S_OK, worker->QueueItem(other.get(), true, true));
    other.release();

    std::unique_ptr<CItem> changed(new CItem(CPluginDbNotifyThread::kItemChanged));
    changed->itemId.Reset(SysAllocString(L"clip"));
    changed->itemClass = 300;
    changed->created = GetTickCount() - 3000;
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
        std::unique_ptr<CItem> unresolved(new CItem(CPluginDbNotifyThread::kItemChanged));
        unresolved->itemId.Reset(id ? SysAllocString(id) : nullptr);
        worker->ResolveNotification(unresolved.get());
        EXPECT_EQ(2u, QueuedItems(*worker).size()) << (id ? "id" : "null");
    }
}

TEST_F(HandOffRulesTest, WithTheSwitchOffChangedItemsAreNotResolved)
{
    db->Catalogue().AddItem(L"clip", 300, {{kPropPathOfItem, L"C:\\Rec\\Clip.mpg"}});
    Connect(false);
    std::unique_ptr<CItem> changed(new CItem(CPluginDbNotifyThread::kItemChanged));
    changed->itemId.Reset(SysAllocString(L"clip"));
    EXPECT_EQ(E_NOTIMPL, worker->ResolveNotification(changed.get()));
    EXPECT_TRUE(QueuedItems(*worker).empty());
}

// ---- Through the worker's thread ---------------------------------------------------------------

class HandOffThreadTest : public FastNotifyWorkerTest
{
protected:
    // Hands a settled file with two withdrawable manager entries to the worker's thread and asks
    // for a stop while the call that pick(site, first entry) chooses holds the thread. Answers the
    // ids withdrawn; the request itself is still made.
    template <typename Pick>
    std::vector<std::wstring> WithdrawnAfterAStopIn(Pick pick)
    {
        const std::wstring file = CreateFileIn(L"clip.mpg");
        db->Catalogue().AddItem(L"video", 300);
        Connect();
        site->AddQueueEntry(first = Entry(L"e1", file, QueueEntry::kStateWithdrawable));
        site->AddQueueEntry(second = Entry(L"e2", file, QueueEntry::kStateWithdrawable));
        CFaultControl& held = pick(*site, *first);
        held.Stall();

        std::unique_ptr<CItem> item = WaitingFile(L"video", 300, file, 130000);
        EXPECT_EQ(S_OK, worker->QueueItem(item.get(), true, true));
        item.release();
        EXPECT_TRUE(held.WaitUntilStalled(1, kWaitMs));
        worker->RequestStop();
        held.Release();
        EXPECT_TRUE(site->WaitForQueueItems(1, kWaitMs));
        EXPECT_TRUE(worker->StopThread(kWaitMs));
        return CancelledIds(*site);
    }

    void TearDown() override
    {
        first.Release();
        second.Release();
        FastNotifyWorkerTest::TearDown();
    }

    CComPtr<CManagerQueueEntry> first;
    CComPtr<CManagerQueueEntry> second;
};

TEST_F(HandOffThreadTest, AStopDuringTheScanEndsItAtTheNextEntry)
{
    EXPECT_TRUE(WithdrawnAfterAStopIn([](CManagerSite&, CManagerQueueEntry& entry) -> CFaultControl& {
                    return entry.Fault(QueueEntryMethod::GetValue);
                }).empty());
    EXPECT_EQ(0u, second->Calls().Count()) << "the entry after the stop is not read";
}

TEST_F(HandOffThreadTest, AStopDuringTheWithdrawalEndsItBetweenTwoEntries)
{
    EXPECT_EQ((std::vector<std::wstring>{L"e1"}),
              WithdrawnAfterAStopIn([](CManagerSite& manager, CManagerQueueEntry&) -> CFaultControl& {
                  return manager.Fault(ManagerSiteMethod::CancelQueueEntry);
              }));
}

// A disconnect asked for while a batch hands off is not kept waiting behind the batch: the rest of
// it waits, and after the disconnect nothing more reaches the manager.
TEST_F(HandOffThreadTest, ADisconnectGoesBeforeTheRestOfTheBatch)
{
    Connect();
    CFaultControl& handOff = site->Fault(ManagerSiteMethod::QueueItem);
    handOff.Stall();
    for (const wchar_t* name : {L"a.mpg", L"b.mpg"})
    {
        std::unique_ptr<CItem> item = WaitingFile(name, 300, CreateFileIn(name), 130000);
        ASSERT_EQ(S_OK, worker->QueueItem(item.get(), true, true));
        item.release();
    }
    ASSERT_TRUE(handOff.WaitUntilStalled(1, kWaitMs));
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
    Notify(L"V", 300, CPluginDbNotifyThread::kChangeRemoved);
    Flush();
    // Deleting d610 notified its removal, which the intake leaves out (class 610).
    ASSERT_TRUE(db->WaitNotificationsIdle(kWaitMs));
    EXPECT_EQ(nullptr, db->Catalogue().Find(L"d610"));
    EXPECT_NE(nullptr, db->Catalogue().Find(L"V"));
    EXPECT_NE(nullptr, db->Catalogue().Find(L"elsewhere"));
    EXPECT_TRUE(QueuedItems(*worker).empty());
}

TEST_F(HandOffRulesTest, ARemovalWithoutAnIdDoesNothing)
{
    std::unique_ptr<CItem> removed(new CItem(CPluginDbNotifyThread::kItemRemoved));
    EXPECT_EQ(E_NOTIMPL, worker->CleanUpRemovedItem(removed.get()));
}
