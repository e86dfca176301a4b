// Many threads at once on one notification worker: the database's notifications and direct intake
// calls, paging, cancelling and count reads, with connect and disconnect churn. It must end in
// bounded time, with the pending count matching the queue and every stand-in object released.
#include "tests/notify/PluginDbNotifyThreadTestSupport.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>

using namespace notify_test;

namespace
{
constexpr DWORD kLoadMs = 2000;
constexpr int kCatalogueItems = 200;

std::wstring Lower(std::wstring text)
{
    for (wchar_t& ch : text)
        ch = static_cast<wchar_t>(towlower(ch));
    return text;
}

using NotifyStressTest = NotifyWorkerFixture<50>;
}  // namespace

TEST_F(NotifyStressTest, ConcurrentIntakePagingCancellingAndChurnStayConsistent)
{
    auto cataloguePath = [&](int k) { return folder + L"c" + std::to_wstring(k) + L".mpg"; };
    for (int k = 0; k < kCatalogueItems; ++k)
        db->Catalogue().AddItem(L"c" + std::to_wstring(k), 300, {{kPropPathOfItem, cataloguePath(k)}});
    Connect();

    std::atomic<LONG> badAnswers{0};
    std::atomic<LONG> intakeCalls{0};
    const DWORD start = GetTickCount();
    auto running = [&] { return GetTickCount() - start < kLoadMs; };
    std::vector<std::unique_ptr<CTestThread>> threads;
    auto spawn = [&](std::function<void()> body) { threads.emplace_back(new CTestThread(std::move(body))); };

    // The database's own notifications, from its delivery thread. The load is bounded so that the
    // worker can take the whole backlog within the test's time.
    spawn([&] {
        for (int i = 0; i < 3000 && running(); ++i)
        {
            db->Catalogue().SetProperty(L"c" + std::to_wstring(i % kCatalogueItems), 0x00F7,
                                        i % 2 ? L"video/mpeg" : L"video/mp4");
            if (i % 50 == 0)
                db->Catalogue().RemoveItem(L"gone" + std::to_wstring(i));
        }
    });
    // Direct intake calls, as a second delivery thread would make them, 10 changes each.
    for (int t = 0; t < 2; ++t)
        spawn([&, t] {
            for (int i = 0; i < 300 && running(); ++i)
            {
                std::wstring ids[10];
                LPCWSTR idPointers[10];
                LONG classes[10];
                LONG kinds[10];
                for (int j = 0; j < 10; ++j)
                {
                    ids[j] = j % 3 == 0 ? L"c" + std::to_wstring((i * 10 + j) % kCatalogueItems)
                                        : L"d" + std::to_wstring(t * 1000 + i % 100) + L"-" + std::to_wstring(j);
                    idPointers[j] = ids[j].c_str();
                    classes[j] = j == 9 ? 400 : (j % 2 ? 200 : 300);
                    kinds[j] = j == 7 ? kRemoved : kChanged;
                }
                worker->OnNotify(10, idPointers, classes, kinds, 0);
                ++intakeCalls;
            }
        });
    // The manager paging and cancelling (by path in either case, null and empty text), and
    // connecting and disconnecting.
    spawn([&] {
        for (int i = 0; running(); ++i)
        {
            CScopedVariant items;
            HRESULT hr = worker->GetPendingItems(i % 40, 25, items.Receive());
            if (!(hr == S_OK && items->vt == (VT_ARRAY | VT_BSTR)) && !(hr == S_FALSE && items->vt == VT_EMPTY))
                ++badAnswers;
            const std::wstring exact = cataloguePath(i * 7 % kCatalogueItems);
            const std::wstring path = i % 2 ? Lower(exact) : exact;
            CScopedBstr text(i % 25 == 0 ? nullptr : SysAllocString(i % 25 == 1 ? L"" : path.c_str()));
            hr = worker->CancelPending(text.Get());
            if (hr != S_OK && hr != S_FALSE)
                ++badAnswers;
        }
    });
    spawn([&] {
        for (int i = 0; running(); ++i)
        {
            if ((i % 2 ? worker->QueueDisconnect() : worker->QueueConnect(site, i % 6 != 4)) != S_OK)
                ++badAnswers;
            Sleep(3);  // paces the churn; nothing waits on it
        }
    });

    for (const auto& thread : threads)
    {
        // A dead-lock: the threads cannot be given back, so end here rather than hang.
        if (!thread->Join(30000))
        {
            std::fprintf(stderr, "a stress thread still runs after 30 s\n");
            std::abort();
        }
    }
    threads.clear();
    EXPECT_LT(GetTickCount() - start, kLoadMs + 10000) << "the load ended in bounded time";
    EXPECT_EQ(0, badAnswers.load());
    EXPECT_GT(intakeCalls.load(), 0);

    // Settle: connected again, the database quiet, and the worker held inside a lookup so that
    // the queue stays still while it is compared with the count.
    Connect();
    Flush();  // the churn's last items are behind us
    ASSERT_TRUE(db->WaitNotificationsIdle(kTestWaitMs));
    db->Control().Stall(CdbMethod::SelectItem);
    Notify(L"c1", 300, kChanged);
    ASSERT_TRUE(db->Control().WaitStalled(CdbMethod::SelectItem, 1, kTestWaitMs));

    std::set<std::wstring> ids;
    std::set<std::wstring> paths;
    size_t requests = 0;
    for (const CQueued& item : QueuedItems(*worker))
    {
        if (item.type == CPluginDbNotifyThread::kItemChanged)
            ids.insert(item.itemId);
        if (item.type == CPluginDbNotifyThread::kItemHandOff && !item.path.empty())
            paths.insert(Lower(item.path));
        if (item.type == CPluginDbNotifyThread::kItemChanged || item.type == CPluginDbNotifyThread::kItemHandOff)
            ++requests;
    }
    worker->ReportPendingCount(false);
    EXPECT_EQ(ids.size() + paths.size(), worker->GetLastReportedCount());
    EXPECT_EQ(requests, PendingPaths(0, 1000000).size());
    db->Control().Release(CdbMethod::SelectItem);

    // With the switch off every request is dropped at its next turn and none comes back: two
    // flushes take what was queued before the connect and what the held lookup queued.
    ASSERT_EQ(S_OK, worker->QueueConnect(site, false));
    Flush();
    Flush();
    EXPECT_EQ(0u, worker->GetLastReportedCount());
    EXPECT_TRUE(PendingPaths().empty());
    EXPECT_EQ(0u, owner.Counts().back());
}
