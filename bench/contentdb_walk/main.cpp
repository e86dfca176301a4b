// Walks 100,000 items of the stand-in content database twice in one run: through CKdCdbMgr, and
// the plainest way, straight on the database's interface. Each walk is one search, then per row
// nine GetValue calls and a MoveNext. Prints rows per second for both and their ratio (the
// wrapper's overhead; the goal is at most 1.3).
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "contentdb/KdCdbMgr.h"
#include "standins/ContentDatabase.h"

namespace
{
constexpr LONG kItems = 100000;
constexpr int kRounds = 5;
const wchar_t kQuery[] = L"-2 = \"300\"";
LONG g_props[] = {-1, -2, 0x01F4, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x0068, 0x00CB};
constexpr ULONG kPropCount = sizeof(g_props) / sizeof(g_props[0]);

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Returns the rows read, or -1 on a failure.
LONG WalkThroughWrapper(CKdCdbMgr& mgr, size_t& checksum)
{
    CLockGuard walk(mgr.ConnectionLock());
    LONG found = 0;
    if (FAILED(mgr.Search(kQuery, kPropCount, g_props, &found)))
        return -1;
    for (LONG row = 0; row < found; ++row)
    {
        for (LONG prop : g_props)
        {
            CScopedBstr value;
            if (FAILED(mgr.GetValue(prop, value.Receive())))
                return -1;
            checksum += value.Length();
        }
        if (FAILED(mgr.MoveNext()))
            return -1;
    }
    return found;
}

LONG WalkDirectly(IKdCdbManager* database, size_t& checksum)
{
    CScopedBstr name(SysAllocString(L"Main"));
    CScopedBstr query(SysAllocString(kQuery));
    ULONG ignored = 0;
    LONG found = 0;
    if (FAILED(database->Search(name.Get(), query.Get(), 0, 0, 0, kPropCount, g_props, 0, 0, 0, 0, &ignored, &found)))
        return -1;
    for (LONG row = 0; row < found; ++row)
    {
        for (LONG prop : g_props)
        {
            LONG count = 0;
            BSTR value = nullptr;
            if (FAILED(database->GetValue(prop, 0, &count, &value)))
                return -1;
            checksum += SysStringLen(value);
            SysFreeString(value);
        }
        if (FAILED(database->MoveNext()))
            return -1;
    }
    return found;
}

int Run()
{
    auto db = CContentDatabase::Create();
    if (FAILED(db->Register()))
    {
        std::fprintf(stderr, "cannot register the stand-in database\n");
        return 1;
    }
    db->Control().SetRecording(false);
    for (LONG i = 0; i < kItems; ++i)
    {
        const std::wstring n = std::to_wstring(i);
        db->Catalogue().AddItem(L"item" + n, 300,
                                {{0x01F4, L"C:\\Media\\Recordings\\clip" + n + L".mpg"},
                                 {0x00AF, std::to_wstring(i % 7)},
                                 {0x00B0, L"0"},
                                 {0x00B1, L"-1"},
                                 {0x0068, L"1"},
                                 {0x00CB, L"Recorder:Importer"}});
    }

    CKdCdbMgr mgr;
    if (FAILED(mgr.Open(false, L"contentdb_walk", 10000)))
    {
        std::fprintf(stderr, "cannot open through the wrapper\n");
        return 1;
    }
    CComPtr<IKdCdbManager> direct;
    if (FAILED(CoCreateInstance(CLSID_KdCdbManager, nullptr, 0x17, IID_IKdCdbManager, reinterpret_cast<void**>(&direct))) ||
        FAILED(direct->Open(kCdbOpenFlags, 0, nullptr)))
    {
        std::fprintf(stderr, "cannot open the database directly\n");
        return 1;
    }

    // Alternate the two walks and keep the best round of each, so that a busy moment of the
    // shared machine does not decide the ratio.
    double bestWrapper = 1e30;
    double bestDirect = 1e30;
    size_t checksumWrapper = 0;
    size_t checksumDirect = 0;
    for (int round = 0; round < kRounds; ++round)
    {
        LARGE_INTEGER t0, t1, t2;
        QueryPerformanceCounter(&t0);
        const LONG rowsDirect = WalkDirectly(direct, checksumDirect);
        QueryPerformanceCounter(&t1);
        const LONG rowsWrapper = WalkThroughWrapper(mgr, checksumWrapper);
        QueryPerformanceCounter(&t2);
        if (rowsDirect != kItems || rowsWrapper != kItems)
        {
            std::fprintf(stderr, "walk failed: %ld rows directly, %ld through the wrapper\n",
                         static_cast<long>(rowsDirect), static_cast<long>(rowsWrapper));
            return 1;
        }
        bestDirect = std::min(bestDirect, Seconds(t0, t1));
        bestWrapper = std::min(bestWrapper, Seconds(t1, t2));
    }
    if (checksumDirect != checksumWrapper)
    {
        std::fprintf(stderr, "the walks read different values\n");
        return 1;
    }

    const double rowsPerSecondDirect = kItems / bestDirect;
    const double rowsPerSecondWrapper = kItems / bestWrapper;
    std::printf("contentdb_walk: %ld rows, %u values per row, best of %d rounds\n", static_cast<long>(kItems),
                static_cast<unsigned>(kPropCount), kRounds);
    std::printf("  direct on the database:  %10.0f rows/s\n", rowsPerSecondDirect);
    std::printf("  through CKdCdbMgr:       %10.0f rows/s\n", rowsPerSecondWrapper);
    std::printf("  wrapper / direct time:   %10.3f (goal <= 1.300)\n", bestWrapper / bestDirect);

    direct->Close();
    direct.Release();
    mgr.Close();
    db->Revoke();
    return 0;
}
}  // namespace

int main()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    const int result = Run();
    CoUninitialize();
    return result;
}
