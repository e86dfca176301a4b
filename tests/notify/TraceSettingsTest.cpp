#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <string>
#include "notify/PluginDbNotifyThread.h"
#include "tests/support/TestSync.h"
#include "tests/support/TraceCapture.h"

namespace
{
// Whether the level in effect becomes `level` within the test's wait.
bool LevelBecomes(DWORD level)
{
    const ULONGLONG start = GetTickCount64();
    while (GetTraceLevel() != level)
    {
        if (GetTickCount64() - start > kTestWaitMs)
            return false;
        Sleep(10);
    }
    return true;
}
}  // namespace

// The notification worker takes up a new TraceLevel while it runs, from its own wait: first with
// no settings key at all (the product's root is watched until it appears), then on the key.
TEST(TraceSettings, ALevelChangeIsTakenUpWhileTheWorkerRuns)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    {
        trace_test::CTraceCapture trace(0);
        const std::wstring settings = std::wstring(kProductRootKey) + L"\\" + kPluginSettingsKey;
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, settings.c_str()));
        CTempFolder queueFolder;
        CPluginDbNotifyThread worker;
        worker.SetDelayQueueFolder(CString((queueFolder.Path() + L"\\").c_str()));
        ASSERT_EQ(S_OK, worker.StartWorker(nullptr));
        for (DWORD level : {2u, 3u, 0u, 1u})
        {
            trace.SetLevel(level, false);
            EXPECT_TRUE(LevelBecomes(level)) << level;
        }
        const std::vector<std::wstring> changes = trace.LinesWith(L" host level changed: ");
        ASSERT_EQ(3u, changes.size());
        EXPECT_NE(std::wstring::npos, changes[0].find(L"2 (decisions), was 0"));
        EXPECT_NE(std::wstring::npos, changes[1].find(L"3 (detail), was 2"));
        EXPECT_NE(std::wstring::npos, changes[2].find(L"1 (failures), was 0"));
    }
    CoUninitialize();
}
