// Many threads at once on one notification worker: the database's notifications and direct intake
// calls, paging, cancelling and count reads, with connect and disconnect churn. It must end in
// bounded time, with the pending count matching the queue and every stand-in object released.
#include "tests/notify/PluginDbNotifyThreadTestSupport.h"

#include <process.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>

using namespace notify_test;

namespace
{
constexpr DWORD kLoadMs = 2000;
constexpr DWORD kJoinMs = 30000;
constexpr int kCatalogueItems = 200;
// The load is bounded so that the worker can take the whole backlog within the test's time.
constexpr int kIntakeCalls = 300;  // per intake thread, 10 changes each
constexpr int kCatalogueChanges = 3000;

// A thread in the multi-threaded apartment running `body` until told to stop.
class CLoadThread
{
public:
    CLoadThread(std::function<void()> body) : m_body(std::move(body))
    {
        m_handle.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Main, this, 0, nullptr)));
    }
    CLoadThread(const CLoadThread&) = delete;
    CLoadThread& operator=(const CLoadThread&) = delete;
    HANDLE Handle() const { return m_handle.Get(); }

private:
    static unsigned __stdcall Main(void* self)
    {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        static_cast<CLoadThread*>(self)->m_body();
        if (SUCCEEDED(init))
            CoUninitialize();
        return 0;
    }

    std::function<void()> m_body;
    CScopedHandle m_handle;
};

std::wstring CataloguePath(const std::wstring& folder, int k)
{
    return folder + L"c" + std::to_wstring(k) + L".mpg";
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t& ch : text)
        ch = static_cast<wchar_t>(towlower(ch));
    return text;
}

class NotifyStressTest : public NotifyWorkerTest
{
protected:
    ULONG BatchDelayMs() const override { return 50; }
};
}  // namespace

TEST_F(NotifyStressTest, ConcurrentIntakePagingCancellingAndChurnStayConsistent)
{
    for (int k = 0; k < kCatalogueItems; ++k)
        db->Catalogue().AddItem(L"c" + std::to_wstring(k), 300, {{kPropPathOfItem, CataloguePath(folder, k)}});
    Connect();

    std::atomic<bool> stop{false};
    std::atomic<LONG> badAnswers{0};
    std::atomic<LONG> intakeCalls{0};
    const DWORD start = GetTickCount();
    auto running = [&] { return !stop.load() && GetTickCount() - start < kLoadMs; };
    std::vector<std::unique_ptr<CLoadThread>> threads;

    // The database's own notifications, from its delivery thread.
    threads.emplace_back(new CLoadThread([&] {
        for (int i = 0; i < kCatalogueChanges && running(); ++i)
        {
            const int k = i % kCatalogueItems;
            db->Catalogue().SetProperty(L"c" + std::to_wstring(k), 0x00F7, i % 2 ? L"video/mpeg" : L"video/mp4");
            if (i % 50 == 0)
                db->Catalogue().RemoveItem(L"gone" + std::to_wstring(i));
        }
    }));
    // Direct intake calls, as a second delivery thread would make them.
    for (int t = 0; t < 2; ++t)
    {
        threads.emplace_back(new CLoadThread([&, t] {
            for (int i = 0; i < kIntakeCalls && running(); ++i)
            {
                std::wstring ids[10];
                LPCWSTR idPointers[10];
                LONG classes[10];
                LONG kinds[10];
                for (int j = 0; j < 10; ++j)
                {
                    ids[j] = j % 3 == 0 ? L"c" + std::to_wstring((i * 10 + j) % kCatalogueItems)
                                        : L"d" + std::to_wstring(t) + L"-" + std::to_wstring(i % 100) + L"-" + std::to_wstring(j);
                    idPointers[j] = ids[j].c_str();
                    classes[j] = j == 9 ? 400 : (j % 2 ? 200 : 300);
                    kinds[j] = j == 7 ? CPluginDbNotifyThread::kChangeRemoved : CPluginDbNotifyThread::kChangeAddedOrChanged;
                }
                worker->OnNotify(10, idPointers, classes, kinds, 0);
                ++intakeCalls;
            }
        }));
    }
    // The manager paging, cancelling and reading the count.
    threads.emplace_back(new CLoadThread([&] {
        for (ULONG i = 0; running(); ++i)
        {
            CScopedVariant items;
            const HRESULT hr = worker->GetPendingItems(i % 40, 25, items.Receive());
            const bool good = (hr == S_OK && items->vt == (VT_ARRAY | VT_BSTR)) || (hr == S_FALSE && items->vt == VT_EMPTY);
            if (!good)
                ++badAnswers;
        }
    }));
    threads.emplace_back(new CLoadThread([&] {
        for (int i = 0; running(); ++i)
        {
            std::wstring path = CataloguePath(folder, (i * 7) % kCatalogueItems);
            if (i % 2)
                path = Lower(path);
            CScopedBstr text(i % 25 == 0 ? nullptr : SysAllocString(i % 25 == 1 ? L"" : path.c_str()));
            const HRESULT hr = worker->CancelPending(text.Get());
            if (hr != S_OK && hr != S_FALSE)
                ++badAnswers;
        }
    }));
    threads.emplace_back(new CLoadThread([&] {
        volatile ULONG sink = 0;
        while (running())
            sink = sink + worker->GetLastReportedCount();
    }));
    // Connect and disconnect churn from the manager's side.
    threads.emplace_back(new CLoadThread([&] {
        for (int i = 0; running(); ++i)
        {
            const HRESULT hr = i % 2 ? worker->QueueDisconnect() : worker->QueueConnect(site, i % 6 != 4);
            if (hr != S_OK)
                ++badAnswers;
            Sleep(3);  // paces the churn; nothing waits on it
        }
    }));

    std::vector<HANDLE> handles;
    for (const auto& thread : threads)
        handles.push_back(thread->Handle());
    const DWORD joined = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, kJoinMs);
    if (joined == WAIT_TIMEOUT)
    {
        // A dead-lock: the threads cannot be given back, so end here rather than hang.
        std::fprintf(stderr, "stress threads still running after %lu ms\n", static_cast<unsigned long>(kJoinMs));
        std::abort();
    }
    threads.clear();
    EXPECT_LT(GetTickCount() - start, kLoadMs + 10000) << "the load ended in bounded time";
    EXPECT_EQ(0, badAnswers.load());
    EXPECT_GT(intakeCalls.load(), 0);

    // Settle: connected again, the database quiet, and the worker held inside a lookup so that
    // the queue stays still while it is compared with the count.
    Connect();
    Flush();  // the churn's last items are behind us
    ASSERT_TRUE(db->WaitNotificationsIdle(kWaitMs));
    db->Control().Stall(CdbMethod::SelectItem);
    Notify(L"c1", 300, CPluginDbNotifyThread::kChangeAddedOrChanged);
    ASSERT_TRUE(db->Control().WaitStalled(CdbMethod::SelectItem, 1, kWaitMs));

    const std::vector<CQueued> queued = QueuedItems(*worker);
    std::set<std::wstring> ids;
    std::set<std::wstring> paths;
    size_t requests = 0;
    for (const CQueued& item : queued)
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
