#include <gtest/gtest.h>
#include <atomic>
#include "common/EventLog.h"
#include "common/HResult.h"
#include "tests/support/TraceCapture.h"

using trace_test::CTraceCapture;

namespace
{
std::atomic<DWORD> g_now{0};
DWORD WINAPI FakeTick()
{
    return g_now.load();
}
}  // namespace

// Wine keeps no event log to read back: the call to ReportEventW is where an event is checked.
TEST(EventLog, EachFailureIsReportedWithItsTypeIdAndInserts)
{
    CTraceCapture capture(1, false);
    const struct
    {
        DWORD id;
        HRESULT hr;
        const wchar_t* subject;
        DWORD number;
        WORD type;
        const wchar_t* result;
    } cases[] = {
        {kEventDatabaseNotOpened, static_cast<HRESULT>(0x80040007), L"change notifications", 0, EVENTLOG_ERROR_TYPE,
         L"0x80040007 database not connected"},
        {kEventDelayQueueNotRead, E_ACCESSDENIED, L"C:\\q\\DbWexDelayQueue.dat", 0, EVENTLOG_ERROR_TYPE,
         L"0x80070005 access denied"},
        {kEventDelayQueueNotWritten, HResultFromWin32(ERROR_DISK_FULL), L"C:\\q\\DbWexDelayQueue.dat", 0,
         EVENTLOG_ERROR_TYPE, L"0x80070070 disk full"},
        {kEventWorkerEndedByForce, HResultFromWin32(ERROR_TIMEOUT), L"thread 1f3c", 20000, EVENTLOG_ERROR_TYPE,
         L"0x800705B4 timed out"},
        {kEventEnginePluginNotCreated, REGDB_E_CLASSNOTREG, L"{00000000-0000-0000-0000-000000000001}", 0,
         EVENTLOG_WARNING_TYPE, L"0x80040154 class not registered"},
        {kEventTraceStopped, HResultFromWin32(ERROR_DISK_FULL), L"C:\\Logs\\x.log", 0, EVENTLOG_WARNING_TYPE,
         L"0x80070070 disk full"},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(TheEventLog().Report(c.id, c.hr, c.subject, c.number));
    const auto events = CTraceCapture::Events();
    ASSERT_EQ(std::size(cases), events.size());
    for (size_t i = 0; i < events.size(); ++i)
    {
        EXPECT_EQ(cases[i].id, events[i].id);
        EXPECT_EQ(cases[i].type, events[i].type);
        const std::vector<std::wstring> inserts{cases[i].result, cases[i].subject, std::to_wstring(cases[i].number), L"0"};
        EXPECT_EQ(inserts, events[i].inserts);
    }
}

TEST(EventLog, TheSameEventIsWrittenOnceAMinuteWithTheCountItHeldBack)
{
    CTraceCapture capture(1, false);
    g_now = 1000;
    TheEventLog().SetClock(&FakeTick);
    const struct
    {
        DWORD at;
        DWORD id;
        bool written;
        const wchar_t* heldBack;
    } steps[] = {
        {1000, kEventDelayQueueNotWritten, true, L"0"},
        {2000, kEventDelayQueueNotWritten, false, nullptr},
        {60999, kEventDelayQueueNotWritten, false, nullptr},
        {30000, kEventDatabaseNotOpened, true, L"0"},  // another id has its own minute
        {61000, kEventDelayQueueNotWritten, true, L"2"},
        {61001, kEventDelayQueueNotWritten, false, nullptr},
        // The tick count wraps after 49 days; the minute is measured across it.
        {0xFFFFFFF0u, kEventDelayQueueNotWritten, true, L"1"},
        {0x00001000u, kEventDelayQueueNotWritten, false, nullptr},
        {0x0000EA50u, kEventDelayQueueNotWritten, true, L"1"},
    };
    size_t expected = 0;
    for (const auto& step : steps)
    {
        g_now = step.at;
        EXPECT_EQ(step.written, TheEventLog().Report(step.id, E_FAIL, L"x", 0)) << step.at;
        const auto events = CTraceCapture::Events();
        if (step.written)
        {
            ASSERT_EQ(++expected, events.size());
            EXPECT_EQ(step.id, events.back().id);
            EXPECT_EQ(std::wstring(step.heldBack), events.back().inserts[3]) << step.at;
        }
        EXPECT_EQ(expected, events.size());
    }
    TheEventLog().SetClock(nullptr);
}
