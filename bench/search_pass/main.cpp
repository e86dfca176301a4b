// A full search (the four queries of the full search run, manager idle) over catalogued items
// with real files, through SearchAndQueue, against a floor measured in the same run: a bare walk
// of the same four queries reading the nine columns, with one open test per row and one QueueItem
// per kept row, written inline. Prints the ratio of the two (goal at most 1.3), the heap held per
// candidate while a pass holds its rows (goal at most twice the bytes of its four fields), and the
// time of a run ten times smaller, so that the scaling shows (goal about 10). The pass waits on
// the worker's stop and run events after every row and every hand-over, which the floor does not;
// the cost of those waits is measured separately and printed, since on some platforms a kernel
// wait costs as much as a file open. `--trace LEVEL` measures the ratio again with the trace at
// that level and prints it beside the ratio with the trace off.
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>
#include "bench/BenchTrace.h"
#include "common/Scoped.h"
#include "contentdb/KdCdbMgr.h"
#include "search/PluginDbSearchThread.h"
#include "search/SearchQuerySet.h"
#include "standins/ContentDatabase.h"
#include "standins/ManagerSite.h"
#include "standins/MediaCatalogueBuilder.h"

// Live heap bytes of everything allocated with new in this process.
namespace
{
std::atomic<long long> g_liveBytes{0};
}

void* operator new(size_t size)
{
    void* block = std::malloc(size + 16);
    if (!block)
        throw std::bad_alloc();
    *static_cast<size_t*>(block) = size;
    g_liveBytes += static_cast<long long>(size);
    return static_cast<char*>(block) + 16;
}

void operator delete(void* p) noexcept
{
    if (!p)
        return;
    void* block = static_cast<char*>(p) - 16;
    g_liveBytes -= static_cast<long long>(*static_cast<size_t*>(block));
    std::free(block);
}

void* operator new[](size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

namespace
{
constexpr LONG kLargeRun = 100000;
constexpr LONG kSmallRun = 10000;
constexpr LONG kDistinctFiles = 1000;
constexpr int kRounds = 2;
constexpr ULONG kQueueFlags = 0x80000000;

const LONG kColumns[] = {-1, -2, 0xF7, 0x1F4, 0xCB, 0x9F, 0xD1, 0xAF, 0x68};
constexpr ULONG kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::vector<CString> FullSearchQueries()
{
    return {QueryAllHandedOver(), QueryAllNew(), QueryAllInState(7), QueryAllInState(10)};
}

// The floor: each row handed over as soon as it is read.
LONG BareWalk(CKdCdbMgr& connection, ILumMgrPluginSite* site)
{
    LONG rows = 0;
    for (const CString& query : FullSearchQueries())
    {
        CLockGuard walk(connection.ConnectionLock());
        LONG count = 0;
        if (FAILED(connection.Search(query, kColumnCount, kColumns, &count)))
            return -1;
        for (LONG i = 0; i < count; ++i)
        {
            CScopedBstr values[kColumnCount];
            for (ULONG c = 0; c < kColumnCount; ++c)
                connection.GetValue(kColumns[c], values[c].Receive());
            HANDLE file = CreateFileW(values[3].Get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE)
            {
                CloseHandle(file);
                CScopedBstr location(SysAllocString(values[3].Get()));
                CScopedVariant answer;
                site->QueueItem(location.Get(), 0x08, kQueueFlags, answer.Get());
            }
            connection.MoveNext();
            ++rows;
        }
    }
    return rows;
}

HRESULT FullSearch(CPluginDbSearchThread& worker, CKdCdbMgr& write, CKdCdbMgr& search)
{
    for (const CString& query : FullSearchQueries())
    {
        const HRESULT hr = worker.SearchAndQueue(write, search, query, kQueueFlags, 0xFFFF);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

struct Figures
{
    double passSeconds = 1e30;
    double floorSeconds = 1e30;
    double heldBytesPerCandidate = 0;
    double fieldBytesPerCandidate = 0;
    double waitSeconds = 0;  // one WaitForRun while running
};

// Heap held at the first hand-over of a pass, over what the bare walk holds at the same point.
struct HeldHeap
{
    long long baseline = 0;
    long long atFirstHandOver = -1;
};

bool Measure(LONG items, Figures& figures)
{
    auto db = CContentDatabase::Create();
    if (FAILED(db->Register()))
        return false;
    db->Control().SetRecording(false);
    CManagerSite* site = nullptr;
    if (FAILED(CManagerSite::Create(&site)))
        return false;
    bool ok = true;
    {
        CMediaCatalogueBuilder media(db->Catalogue());
        const LONG classes[] = {300, 200, 100};
        const wchar_t* mimeTypes[] = {L"video/mpeg", L"image/jpeg", L"audio/mpeg"};
        const wchar_t* states[] = {L"0", L"7", L"10", L"3"};
        double fieldBytes = 0;
        for (LONG i = 0; i < items; ++i)
        {
            CMediaCatalogueBuilder::Media item(L"item" + std::to_wstring(i), classes[i % 3]);
            item.fileName = L"file" + std::to_wstring(i % kDistinctFiles) + L".bin";
            item.mimeType = mimeTypes[i % 3];
            item.states[0] = states[i % 4];
            const std::wstring location = media.Add(item);
            fieldBytes += 2 * sizeof(LONG) + sizeof(wchar_t) * (location.size() + item.id.size());
        }
        figures.fieldBytesPerCandidate = fieldBytes / items;

        CPluginDbSearchThread worker;
        worker.SetSite(site);
        CKdCdbMgr write;
        CKdCdbMgr search;
        if (FAILED(write.Open(false, L"search_pass", 10000)) || FAILED(search.Open(false, L"search_pass", 10000)))
            return false;

        HeldHeap pass;
        HeldHeap floor;
        HeldHeap* watched = nullptr;
        site->SetQueueItemObserver([&](const QueueItemCall&) {
            if (watched && watched->atFirstHandOver < 0)
                watched->atFirstHandOver = g_liveBytes.load() - watched->baseline;
        });
        for (int round = 0; round < kRounds && ok; ++round)
        {
            LARGE_INTEGER t0, t1, t2;
            site->QueueItemCalls().Clear();
            floor = HeldHeap{g_liveBytes.load()};
            watched = &floor;
            QueryPerformanceCounter(&t0);
            const LONG rows = BareWalk(search, site);
            QueryPerformanceCounter(&t1);
            const size_t floorQueued = site->QueueItemCalls().Count();
            site->QueueItemCalls().Clear();
            pass = HeldHeap{g_liveBytes.load()};
            watched = &pass;
            const HRESULT hr = FullSearch(worker, write, search);
            QueryPerformanceCounter(&t2);
            watched = nullptr;
            if (rows != items || floorQueued != static_cast<size_t>(items) || FAILED(hr) ||
                site->QueueItemCalls().Count() != static_cast<size_t>(items))
            {
                std::fprintf(stderr, "run of %ld items failed: %ld rows, %zu and %zu queued, 0x%08lx\n",
                             static_cast<long>(items), static_cast<long>(rows), floorQueued,
                             site->QueueItemCalls().Count(), static_cast<unsigned long>(hr));
                ok = false;
            }
            figures.floorSeconds = std::min(figures.floorSeconds, Seconds(t0, t1));
            figures.passSeconds = std::min(figures.passSeconds, Seconds(t1, t2));
        }
        site->SetQueueItemObserver(nullptr);
        site->QueueItemCalls().Clear();
        constexpr int kWaits = 10000;
        LARGE_INTEGER w0, w1;
        QueryPerformanceCounter(&w0);
        for (int i = 0; i < kWaits; ++i)
            worker.WaitForRun(INFINITE);
        QueryPerformanceCounter(&w1);
        figures.waitSeconds = Seconds(w0, w1) / kWaits;
        // The first query of the run keeps a quarter of the items.
        figures.heldBytesPerCandidate =
            static_cast<double>(pass.atFirstHandOver - floor.atFirstHandOver) / (items / 4.0);
        worker.SetSite(nullptr);
        write.Close();
        search.Close();
    }
    site->Release();
    db->Revoke();
    return ok;
}

int Run(const std::vector<DWORD>& traceLevels)
{
    Figures large;
    Figures small;
    if (!Measure(kLargeRun, large) || !Measure(kSmallRun, small))
        return 1;
    // Again with the trace on: the floor is measured anew beside it.
    Figures traced;
    if (traceLevels.size() > 1)
    {
        const bench::CBenchTrace trace(traceLevels[1], false);
        if (!Measure(kLargeRun, traced))
            return 1;
    }
    std::printf("search_pass: full search, four queries, %ld items over %ld files, best of %d rounds\n",
                static_cast<long>(kLargeRun), static_cast<long>(kDistinctFiles), kRounds);
    std::printf("  bare walk, open test and hand-over inline: %8.3f s\n", large.floorSeconds);
    std::printf("  through SearchAndQueue:                    %8.3f s\n", large.passSeconds);
    std::printf("  pass / floor time:                         %8.3f (goal <= 1.300)\n",
                large.passSeconds / large.floorSeconds);
    if (traceLevels.size() > 1)
        std::printf("  pass / floor time at %s:            %8.3f beside %.3f with the trace off (goal <= 1.300)\n",
                    bench::CBenchTrace::Label(traceLevels[1]), traced.passSeconds / traced.floorSeconds,
                    large.passSeconds / large.floorSeconds);
    const double waits = 2.0 * kLargeRun * large.waitSeconds;
    std::printf("  of which WaitForRun, 2 per item:          %8.3f s (%.1f us each)\n", waits, large.waitSeconds * 1e6);
    std::printf("  pass without those waits / floor time:     %8.3f\n", (large.passSeconds - waits) / large.floorSeconds);
    std::printf("  heap held per candidate:                   %8.1f bytes, fields %.1f bytes, ratio %.2f (goal <= 2.00)\n",
                large.heldBytesPerCandidate, large.fieldBytesPerCandidate,
                large.heldBytesPerCandidate / large.fieldBytesPerCandidate);
    std::printf("  %ld items through SearchAndQueue:        %8.3f s\n", static_cast<long>(kSmallRun), small.passSeconds);
    std::printf("  %ldk / %ldk time:                           %8.2f (goal about 10)\n",
                static_cast<long>(kLargeRun / 1000), static_cast<long>(kSmallRun / 1000),
                large.passSeconds / small.passSeconds);
    return 0;
}
}  // namespace

int main(int argc, char** argv)
{
    const std::vector<DWORD> traceLevels = bench::TraceLevelsToMeasure(argc, argv);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    const int result = Run(traceLevels);
    CoUninitialize();
    return result;
}
