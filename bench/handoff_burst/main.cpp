// Times a burst of hand-offs while the manager's queue is long, against a floor measured in the
// same run:
//   burst: 5,000 settled requests (existing files, past every wait rule) handed off by the
//          notification worker's thread while the manager's queue holds 10,000 entries, none for
//          those files. The manager keeps an entry for every request it is handed, so its queue
//          ends at 15,000. Floor: for each of the same files, the calls every hand-off makes to
//          the manager, written inline with no stop check: GetQueueEntries, per element
//          QueryInterface, GetValue of the path and a case-insensitive comparison, then QueueItem.
//          Both are timed from the first request to the last. Goal: ratio at most 1.3.
//   rate:  hand-offs per second over the first and the last 500. Goal: the end rate at least
//          half the start rate (the floor's own falls by the queue's growth).
//   disconnect: the same burst again; once 1,000 hand-offs are made a disconnect is queued, with
//          an item behind it. The time until the worker has taken that item. Goal: under 1 s.
// Each figure comes from one run: a burst is long enough that one slow moment does not decide it.
// `handoff_burst <requests> <manager entries>` runs a smaller burst for a quick look; `--trace LEVEL`
// measures the burst again with the trace at that level and prints both ratios.
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>
#include "bench/BenchSupport.h"
#include "bench/BenchTrace.h"
#include "common/Path.h"
#include "common/Scoped.h"
#include "notify/PluginDbNotifyThread.h"
#include "standins/BusyNotify.h"
#include "standins/ClassRegistration.h"
#include "standins/ManagerQueueEntry.h"
#include "standins/ManagerSite.h"

using bench::CSentinelItem;
using bench::NowMs;
using bench::RemoveFolder;

namespace
{
// The sizes of the burst (the command line may make it smaller); the windows follow the size.
int g_requests = 5000;
int g_managerEntries = 10000;
int g_rateWindow = 500;
int g_disconnectAfter = 1000;
constexpr ULONG kBatchDelayMs = 500;
constexpr DWORD kBurstTimeoutMs = 600000;
constexpr ULONG kQueueFlags = 0x80000000;

using CItem = CPluginDbNotifyThread::CProcessItem;

const wchar_t* TextOf(const VARIANT& value) noexcept
{
    return value.vt == VT_BSTR && value.bstrVal ? value.bstrVal : L"";
}

// A manager that keeps an entry for every request it is handed, as a real one does while its
// analysis lags behind, and notes when each request arrived.
class CKeepingManager
{
public:
    explicit CKeepingManager(const CString& folder) : m_reached(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_times.resize(g_requests + 1);
        CManagerSite::Create(&m_site);
        for (int i = 0; i < g_managerEntries; ++i)
        {
            CString path;
            path.Format(L"%solder\\Recording %05d.mpg", folder.GetString(), i);
            AddEntry(path);
        }
        m_site->SetQueueItemObserver([this](const QueueItemCall& call) {
            const LONG index = m_count.load();
            if (index < static_cast<LONG>(m_times.size()))
                m_times[static_cast<size_t>(index)] = NowMs();
            AddEntry(CString(call.location.c_str()));
            m_site->QueueItemCalls().Clear();
            m_site->GetQueueEntriesCalls().Clear();
            if (++m_count == m_signalAt)
                SetEvent(m_reached.Get());
        });
    }
    ~CKeepingManager() { m_site->SetQueueItemObserver(nullptr); }

    ILumMgrPluginSite* Site() const noexcept { return m_site.Get(); }
    LONG Count() const noexcept { return m_count.load(); }
    double TimeOf(int request) const noexcept { return m_times[static_cast<size_t>(request)]; }
    // True once `count` requests have arrived.
    bool WaitFor(LONG count, DWORD timeoutMs)
    {
        m_signalAt = count;
        if (m_count.load() >= count)
            return true;
        return WaitForSingleObject(m_reached.Get(), timeoutMs) == WAIT_OBJECT_0;
    }
    double Span() const noexcept { return TimeOf(g_requests - 1) - TimeOf(0); }
    double RatePerSecond(int first) const noexcept
    {
        return 1000.0 * (g_rateWindow - 1) / (TimeOf(first + g_rateWindow - 1) - TimeOf(first));
    }

private:
    void AddEntry(const CString& path)
    {
        CString id;
        id.Format(L"Q%lu", static_cast<unsigned long>(++m_entries));
        CComPtr<CManagerQueueEntry> entry;
        if (SUCCEEDED(CManagerQueueEntry::Create(id, path, QueueEntry::kStateWithdrawable, &entry)))
        {
            entry->Calls().SetRecording(false);
            m_site->AddQueueEntry(entry);
        }
    }

    CComPtr<CManagerSite> m_site;
    CScopedHandle m_reached;
    std::atomic<LONG> m_signalAt{g_requests};
    std::atomic<LONG> m_count{0};
    ULONG m_entries = 0;  // the observer runs on one thread at a time
    std::vector<double> m_times;
};

std::vector<CString> CreateFiles(const CString& folder)
{
    std::vector<CString> files;
    for (int i = 0; i < g_requests; ++i)
    {
        CString path;
        path.Format(L"%sPicture %05d.jpg", folder.GetString(), i);
        CScopedHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (file.IsValid())
            WriteFile(file.Get(), "picture", 7, &written, nullptr);
        files.push_back(path);
    }
    return files;
}

bool QueueAndWait(CPluginDbNotifyThread& worker, std::unique_ptr<CItem> item, HANDLE done, bool delayed)
{
    if (FAILED(worker.QueueItem(std::move(item), delayed, false)))
        return false;
    return WaitForSingleObject(done, 60000) == WAIT_OBJECT_0;
}

// A connected worker with the burst queued: every request old enough for every wait rule.
std::unique_ptr<CPluginDbNotifyThread> WorkerWithBurst(CKeepingManager& manager, const CString& queueFolder,
                                                       const std::vector<CString>& files)
{
    std::unique_ptr<CPluginDbNotifyThread> worker(new CPluginDbNotifyThread(kBatchDelayMs));
    worker->SetDelayQueueFolder(queueFolder);
    worker->StartWorker(nullptr);
    worker->QueueConnect(manager.Site(), true);
    CScopedHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    QueueAndWait(*worker, std::make_unique<CSentinelItem>(connected.Get()), connected.Get(), false);
    const DWORD created = GetTickCount() - 2 * CPluginDbNotifyThread::kListedFolderAgeMs;
    for (size_t i = 0; i < files.size(); ++i)
    {
        std::unique_ptr<CItem> item(new CItem(CPluginDbNotifyThread::kItemHandOff));
        CString id;
        id.Format(L"{burst-%05u}", static_cast<unsigned>(i));
        item->itemId.Reset(id.AllocSysString());
        item->itemClass = 300;
        item->SetPath(files[i]);
        item->created = created;
        worker->QueueItem(std::move(item), true, true);
    }
    return worker;
}

// The manager's part of every hand-off, the plainest way.
void HandOffFloor(CKeepingManager& manager, const std::vector<CString>& files)
{
    ILumMgrPluginSite* site = manager.Site();
    for (const CString& file : files)
    {
        CScopedVariant entries;
        if (SUCCEEDED(site->GetQueueEntries(entries.Receive())) && (entries->vt & VT_ARRAY) && entries->parray)
        {
            SAFEARRAY* array = entries->parray;
            const LONG count = static_cast<LONG>(array->rgsabound[0].cElements);
            VARIANT* elements = nullptr;
            if (SUCCEEDED(SafeArrayAccessData(array, reinterpret_cast<void**>(&elements))))
            {
                for (LONG i = 0; i < count; ++i)
                {
                    if (elements[i].vt != VT_UNKNOWN || !elements[i].punkVal)
                        continue;
                    CComPtr<IQueueEntry> entry;
                    if (FAILED(elements[i].punkVal->QueryInterface(IID_IQueueEntry, reinterpret_cast<void**>(&entry))))
                        continue;
                    CScopedVariant path;
                    entry->GetValue(QueueEntry::kValuePath, path.Receive());
                    if (_wcsicmp(TextOf(*path.Get()), file) == 0)
                        std::printf("unexpected: the manager already holds %ls\n", file.GetString());
                }
                SafeArrayUnaccessData(array);
            }
        }
        CScopedBstr location(file.AllocSysString());
        CScopedVariant answer;
        site->QueueItem(location.Get(), 0x08, kQueueFlags, answer.Get());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::vector<DWORD> traceLevels = bench::TraceLevelsToMeasure(argc, argv);
    if (argc > 1)
        g_requests = std::max(100, std::atoi(argv[1]));
    if (argc > 2)
        g_managerEntries = std::max(0, std::atoi(argv[2]));
    g_rateWindow = g_requests / 10;
    g_disconnectAfter = g_requests / 5;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool ok = true;
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        CString root;
        root.Format(L"%shandoff_burst-%lu\\", temp, GetCurrentProcessId());
        const CString media = root + L"media\\";
        const CString queue = root + L"queue\\";
        if (!CreateDirectoryTree(media) || !CreateDirectoryTree(queue))
        {
            std::printf("cannot create %ls\n", root.GetString());
            return 1;
        }
        CClassRegistration busy;
        busy.Register<CBusyNotify>(CLSID_BusyNotify);
        const std::vector<CString> files = CreateFiles(media);

        // The burst through the worker, with the trace off and at the level asked for.
        std::vector<double> ratios;
        for (DWORD traceLevel : traceLevels)
        {
            const bench::CBenchTrace trace(traceLevel, true);
            CKeepingManager manager(media);
            std::unique_ptr<CPluginDbNotifyThread> worker = WorkerWithBurst(manager, queue, files);
            ok = manager.WaitFor(g_requests, kBurstTimeoutMs);
            worker.reset();

            CKeepingManager floorManager(media);
            HandOffFloor(floorManager, files);

            if (ok)
            {
                const double span = manager.Span();
                const double floorSpan = floorManager.Span();
                std::printf("hand-off burst, %s: %d requests, manager queue %d entries growing to %d\n",
                            bench::CBenchTrace::Label(traceLevel), g_requests, g_managerEntries,
                            g_managerEntries + g_requests);
                ratios.push_back(span / floorSpan);
                std::printf("  worker %9.1f ms (%.3f ms each)   floor %9.1f ms (%.3f ms each)   ratio %.2f (goal <= 1.3)\n",
                            span, span / (g_requests - 1), floorSpan, floorSpan / (g_requests - 1), span / floorSpan);
                const double startRate = manager.RatePerSecond(0);
                const double endRate = manager.RatePerSecond(g_requests - g_rateWindow);
                std::printf("  rate over the first %d: %.0f/s, over the last %d: %.0f/s, end/start %.2f (goal >= 0.5); "
                            "floor %.0f/s and %.0f/s\n",
                            g_rateWindow, startRate, g_rateWindow, endRate, endRate / startRate,
                            floorManager.RatePerSecond(0), floorManager.RatePerSecond(g_requests - g_rateWindow));
            }
            else
            {
                std::printf("unexpected: %ld of %d requests handed off\n", static_cast<long>(manager.Count()),
                            g_requests);
            }
        }

        if (ratios.size() == 2)
            std::printf("hand-off burst ratio: %.2f with the trace off, %.2f at %s (goal <= 1.3)\n", ratios[0],
                        ratios[1], bench::CBenchTrace::Label(traceLevels[1]));

        // A disconnect in the middle of a burst.
        {
            CKeepingManager manager(media);
            std::unique_ptr<CPluginDbNotifyThread> worker = WorkerWithBurst(manager, queue, files);
            if (manager.WaitFor(g_disconnectAfter, kBurstTimeoutMs))
            {
                CScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
                const double asked = NowMs();
                const HRESULT queued = worker->QueueDisconnect();
                const bool taken = QueueAndWait(*worker, std::make_unique<CSentinelItem>(done.Get()), done.Get(), false);
                const double answered = NowMs() - asked;
                const LONG handedOff = manager.Count();
                std::printf("disconnect during the burst, after %d hand-offs: queued 0x%08lX, taken after %.1f ms "
                            "(goal < 1000 ms); %ld requests handed off by then\n",
                            g_disconnectAfter, static_cast<unsigned long>(queued), answered, static_cast<long>(handedOff));
                ok = ok && queued == S_OK && taken;
            }
            else
            {
                std::printf("unexpected: the second burst did not reach %d hand-offs\n", g_disconnectAfter);
                ok = false;
            }
            worker.reset();
        }

        for (const CString& file : files)
            DeleteFileW(file);
        RemoveDirectoryW(media);
        RemoveFolder(queue);
        RemoveDirectoryW(root);
    }
    CoUninitialize();
    return ok ? 0 : 1;
}
