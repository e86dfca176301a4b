#include <gtest/gtest.h>
#include <atomic>
#include <map>
#include <regex>
#include <string>
#include <vector>
#include "common/HResult.h"
#include "common/Path.h"
#include "common/TraceWriter.h"
#include "tests/support/TestSync.h"
#include "tests/support/TraceCapture.h"

using trace_test::CTraceCapture;
using trace_test::ReadTraceFile;

namespace
{
// The fixed part of every line: local time with milliseconds, UTC offset, thread id in hex.
const std::wstring kStamp = LR"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d\d:\d\d \[[0-9a-f]+\] )";

std::wstring Wide(const std::string& utf8)
{
    std::wstring text(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], static_cast<int>(text.size()));
    return text;
}

// A write that blocks until released, or fails with the error it is given.
std::atomic<DWORD> g_writeError{0};
HANDLE g_writeGate = nullptr;
BOOL WINAPI GatedWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (g_writeGate)
        WaitForSingleObject(g_writeGate, kTestWaitMs);
    if (g_writeError.load() != 0)
    {
        SetLastError(g_writeError.load());
        return FALSE;
    }
    return WriteFile(file, data, size, written, overlapped);
}
}  // namespace

TEST(TraceLine, HoldsTimeThreadSourceSubjectDecisionReasonResultAndDetails)
{
    const struct
    {
        TraceSource source;
        TraceDecision decision;
        const wchar_t* itemId;
        const wchar_t* path;
        const wchar_t* reason;
        HRESULT hr;
        const wchar_t* details;
        const wchar_t* expected;  // after the stamp
    } cases[] = {
        {TraceSource::Notify, TraceDecision::HeldBack, L"lh-3", L"D:\\Rec\\show.mp4", L"in use", HResultFromWin32(ERROR_SHARING_VIOLATION),
         L"age 31 s, next look in 10 s",
         LR"(notify lh-3 "D:\Rec\show.mp4" held back: in use (0x80070020 sharing violation), age 31 s, next look in 10 s)"},
        {TraceSource::Search, TraceDecision::RunEnded, nullptr, nullptr, L"full search", S_OK, L"done after 0.1 s",
         L"search run ended: full search, done after 0.1 s"},
        {TraceSource::CleanUp, TraceDecision::Removed, L"x7", nullptr, nullptr, S_OK, nullptr, L"cleanup x7 removed"},
        {TraceSource::Notify, TraceDecision::Dropped, L"", L"C:\\a.mpg", nullptr, E_ACCESSDENIED, nullptr,
         LR"(notify "C:\a.mpg" dropped: 0x80070005 access denied)"},
        {TraceSource::Host, TraceDecision::LevelChanged, nullptr, nullptr, nullptr, S_OK, L"2 (decisions)",
         L"host level changed: 2 (decisions)"},
        {TraceSource::Search, TraceDecision::Failed, nullptr, nullptr, L"odd", static_cast<HRESULT>(0x8004D00A), nullptr,
         L"search failed: odd (0x8004D00A)"},
        // Any script, as UTF-8.
        {TraceSource::Notify, TraceDecision::HandedOff, L"\u00e9", L"C:\\\u65e5\u672c.jpg", nullptr, S_OK, nullptr,
         L"notify \u00e9 \"C:\\\u65e5\u672c.jpg\" handed off"},
    };
    for (const auto& c : cases)
    {
        const std::wstring line =
            Wide(FormatTraceLine(c.source, c.decision, c.itemId, c.path, c.reason, c.hr, c.details));
        EXPECT_TRUE(std::regex_match(line.substr(0, line.size() - wcslen(c.expected)), std::wregex(kStamp))) << line.c_str();
        EXPECT_EQ(std::wstring(c.expected), line.substr(line.size() - wcslen(c.expected)));
    }
}

TEST(TraceWriter, RotatesAtItsSizeKeepingItsCountOfFilesEachWithAByteOrderMark)
{
    CTraceCapture capture(2, false);
    TheTraceWriter().SetRotation(1024, 3);
    for (int i = 0; i < 100; ++i)
        Trace(TraceSource::Host, TraceDecision::Classified, nullptr, nullptr, nullptr, S_OK, L"line %03d", i);
    ASSERT_TRUE(TheTraceWriter().Flush(kTestWaitMs));

    // An administrator may tail the file and delete an older one while it is written.
    HANDLE reader = CreateFileW(capture.file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, reader);
    CloseHandle(reader);

    const std::wstring base = capture.folder.Path() + L"\\Logs\\LumSiftDbNotifyWex";
    int expected = 99;
    for (const std::wstring& name : {base + L".log", base + L".1.log", base + L".2.log"})
    {
        bool bom = false;
        const std::vector<std::wstring> lines = ReadTraceFile(name, &bom);
        EXPECT_TRUE(bom) << name.c_str();
        ASSERT_FALSE(lines.empty()) << name.c_str();
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data));
        EXPECT_LE(data.nFileSizeLow, 1024u);
        // Newest last in each file, newest file first: the numbering runs on without a gap.
        for (auto line = lines.rbegin(); line != lines.rend(); ++line, --expected)
        {
            wchar_t number[8];
            swprintf(number, 8, L"%03d", expected);
            EXPECT_NE(std::wstring::npos, line->find(std::wstring(L"line ") + number)) << line->c_str();
        }
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((base + L".3.log").c_str()));
}

TEST(TraceWriter, LinesOfConcurrentWritersNeverInterleave)
{
    CTraceCapture capture(2, false);
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    std::vector<std::unique_ptr<CTestThread>> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(new CTestThread([t] {
            for (int i = 0; i < kLines; ++i)
                Trace(TraceSource::Notify, TraceDecision::HeldBack, L"id", L"C:\\some\\rather\\long\\path\\to\\a\\file.mpg",
                      L"too young", S_OK, L"writer %d line %d", t, i);
        }));
    }
    threads.clear();
    const std::vector<std::wstring> lines = capture.Lines();
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    const std::wregex shape(kStamp + LR"(notify id "C:\\some\\rather\\long\\path\\to\\a\\file\.mpg" held back: too young, writer (\d) line (\d+))");
    std::map<int, int> nextOf;
    for (const std::wstring& line : lines)
    {
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line.c_str();
        // Each writer's lines come in its own order.
        EXPECT_EQ(nextOf[std::stoi(match[1])]++, std::stoi(match[2]));
    }
}

TEST(TraceWriter, AFloodDropsLinesAndSaysHowMany)
{
    CTraceCapture capture(2, false);
    CTestEvent gate;
    g_writeGate = gate.Get();
    TheTraceWriter().SetWriteFunction(&GatedWrite);
    TheTraceWriter().SetMaxQueuedBytes(4000);
    int accepted = 0;
    for (int i = 0; i < 200; ++i)
        accepted += TheTraceWriter().Enqueue(FormatTraceLine(TraceSource::Host, TraceDecision::Classified, nullptr,
                                                             nullptr, nullptr, S_OK, L"flood line")) ? 1 : 0;
    gate.Set();
    const std::vector<std::wstring> lines = capture.Lines();
    g_writeGate = nullptr;
    ASSERT_LT(accepted, 200);
    ASSERT_EQ(static_cast<size_t>(accepted) + 1, lines.size());
    EXPECT_NE(std::wstring::npos,
              lines.back().find(L"host lines dropped: the trace fell behind, " + std::to_wstring(200 - accepted) + L" lines"))
        << lines.back().c_str();
}

TEST(TraceWriter, AFullDiskOrAnUnwritableFileStopsTheTraceWithOneEvent)
{
    const struct
    {
        const char* name;
        DWORD writeError;      // the write fails with it
        bool fileIsAFolder;    // the file cannot be opened
        const wchar_t* result;
    } cases[] = {
        {"disk full", ERROR_DISK_FULL, false, L"0x80070070 disk full"},
        {"unwritable", 0, true, L"0x80070005 access denied"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        CTraceCapture capture(2, false);
        if (c.fileIsAFolder)
        {
            ASSERT_TRUE(CreateDirectoryTree(capture.file.c_str()));
        }
        g_writeError = c.writeError;
        TheTraceWriter().SetWriteFunction(&GatedWrite);
        for (int i = 0; i < 5; ++i)
            Trace(TraceSource::Host, TraceDecision::Classified, nullptr, nullptr, nullptr, S_OK, L"line %d", i);
        TheTraceWriter().Flush(kTestWaitMs);
        g_writeError = 0;
        EXPECT_TRUE(TheTraceWriter().IsStopped());
        EXPECT_FALSE(TraceOn(TraceLevel::Failures));
        Trace(TraceSource::Host, TraceDecision::Classified, nullptr, nullptr, nullptr, S_OK, L"after the stop");
        TheTraceWriter().Flush(kTestWaitMs);
        const auto events = CTraceCapture::Events();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(static_cast<DWORD>(kEventTraceStopped), events[0].id);
        EXPECT_EQ(EVENTLOG_WARNING_TYPE, events[0].type);
        EXPECT_EQ(std::wstring(c.result), events[0].inserts[0]);
        EXPECT_EQ(capture.file, events[0].inserts[1]);
    }
}
