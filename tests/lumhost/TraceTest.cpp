#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include <vector>
#include "tests/support/TempFolder.h"
#include "tools/lumhost/Timeline.h"
#include "tools/lumhost/TraceLine.h"
#include "tools/lumhost/TraceReport.h"
#include "tools/lumhost/TraceTail.h"

namespace
{
std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

ULONGLONG FileTimeCount(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD millis)
{
    const SYSTEMTIME time = {year, month, 0, day, hour, minute, second, millis};
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    return (static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

// A trace line's time stamp for a UTC time, as the plug-in writes it: local time and offset.
std::string Stamp(ULONGLONG utc)
{
    FILETIME utcTime = {static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)};
    FILETIME local;
    SYSTEMTIME time;
    FileTimeToLocalFileTime(&utcTime, &local);
    FileTimeToSystemTime(&local, &time);
    const LONGLONG offset = ((static_cast<LONGLONG>(local.dwHighDateTime) << 32 | local.dwLowDateTime) -
                             static_cast<LONGLONG>(utc)) / 600000000LL;
    const LONGLONG minutes = offset < 0 ? -offset : offset;
    char text[48];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u %c%02u:%02u", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds, offset < 0 ? '-' : '+',
                  static_cast<unsigned>(minutes / 60), static_cast<unsigned>(minutes % 60));
    return text;
}

void Append(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

TEST(TraceLine, EachPartIsFoundWhereTheLineHasIt)
{
    const struct
    {
        const wchar_t* text;
        const wchar_t* source;
        const wchar_t* itemId;
        const wchar_t* path;
        const wchar_t* decision;
    } cases[] = {
        {L"2026-12-06 17:04:12.345 +01:00 [1f3c] notify lh-3 \"D:\\Rec\\show one.mp4\" held back: in use "
         L"(0x80070020 sharing violation), age 31 s",
         L"notify", L"lh-3", L"D:\\Rec\\show one.mp4", L"held back: in use (0x80070020 sharing violation), age 31 s"},
        {L"2026-12-06 17:04:12.345 +01:00 [8] notify lh-3 \"C:\\a.jpg\" handed off", L"notify", L"lh-3", L"C:\\a.jpg",
         L"handed off"},
        {L"2026-12-06 17:04:12.345 +01:00 [8] cleanup \"C:\\a.jpg\" deletion refused: outside the media",
         L"cleanup", L"", L"C:\\a.jpg", L"deletion refused: outside the media"},
        {L"2026-12-06 17:04:12.345 +01:00 [8] search 4711 reset: PictureFaces", L"search", L"4711", L"",
         L"reset: PictureFaces"},
        {L"2026-12-06 17:04:12.345 +01:00 [8] search run ended: 3 handed over", L"search", L"", L"",
         L"run ended: 3 handed over"},
        {L"2026-12-06 17:04:12.345 +01:00 [8] host level changed", L"host", L"", L"", L"level changed"},
    };
    for (const auto& c : cases)
    {
        CTraceLine line;
        ASSERT_TRUE(ParseTraceLine(c.text, line)) << Narrow(c.text);
        EXPECT_EQ(c.source, line.source) << Narrow(c.text);
        EXPECT_EQ(c.itemId, line.itemId) << Narrow(c.text);
        EXPECT_EQ(c.path, line.path) << Narrow(c.text);
        EXPECT_EQ(c.decision, line.decision) << Narrow(c.text);
    }

    for (const wchar_t* bad : {L"", L"held back: in use", L"2026-12-06 17:04:12.345 [8] notify dropped",
                               L"2026-12-06 17:04:12 +01:00 [8] notify dropped",
                               L"2026-12-06 17:04:12.345 +01:60 [8] notify dropped",
                               L"2026-13-06 17:04:12.345 +01:00 [8] notify dropped",
                               L"2026-12-06 17:04:12.345 +01:00 8 notify dropped",
                               L"2026-12-06 17:04:12.345 +01:00 [8] notify lh-1 \"C:\\unended dropped",
                               L"2026-12-06 17:04:12.345 +01:00 [8] notify"})
    {
        CTraceLine line;
        EXPECT_FALSE(ParseTraceLine(bad, line)) << Narrow(bad);
    }
}

TEST(TraceLine, TheTimeIsTakenBackToUtcByItsOffset)
{
    const struct
    {
        const wchar_t* stamp;
        ULONGLONG utc;
    } cases[] = {
        {L"2026-12-06 17:04:12.345 +01:00", FileTimeCount(2026, 12, 6, 16, 4, 12, 345)},
        {L"2026-12-06 17:04:12.345 -05:30", FileTimeCount(2026, 12, 6, 22, 34, 12, 345)},
        {L"2027-01-01 00:30:00.000 +02:00", FileTimeCount(2026, 12, 31, 22, 30, 0, 0)},
    };
    for (const auto& c : cases)
    {
        CTraceLine line;
        ASSERT_TRUE(ParseTraceLine(std::wstring(c.stamp) + L" [1] host level changed", line)) << Narrow(c.stamp);
        EXPECT_EQ(c.utc, line.utc) << Narrow(c.stamp);
    }
}

TEST(TraceTail, GivesWholeNewLinesAndFollowsTheFileThroughARotation)
{
    CTempFolder temp;
    const std::wstring path = temp / L"trace.log";
    CTraceTail tail(path);
    tail.SkipExisting();
    EXPECT_TRUE(tail.Read().empty());  // no file yet

    Append(path, "\xEF\xBB\xBF" "first\r\nsecond caf\xC3\xA9\nthi");
    EXPECT_EQ((std::vector<std::wstring>{L"first", L"second caf\u00E9"}), tail.Read());
    Append(path, "rd\n");
    EXPECT_EQ(std::vector<std::wstring>{L"third"}, tail.Read());

    // Rotated by renaming just after a line was added; the new file has lines of its own.
    Append(path, "last of the old\n");
    ASSERT_TRUE(MoveFileW(path.c_str(), (temp / L"trace.1.log").c_str()));
    Append(path, "\xEF\xBB\xBF" "first of the new\n");
    EXPECT_EQ((std::vector<std::wstring>{L"last of the old", L"first of the new"}), tail.Read());

    // A tail started now leaves what is there.
    CTraceTail later(path);
    later.SkipExisting();
    Append(path, "after\n");
    EXPECT_EQ(std::vector<std::wstring>{L"after"}, later.Read());
    // A file deleted and made again is read from its start.
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    Append(path, "\xEF\xBB\xBF" "again\n");
    EXPECT_EQ(std::vector<std::wstring>{L"again"}, later.Read());
}

TEST(TraceReport, WhyGivesAFilesLinesOldestFirstAtTheTimesThePluginWroteThem)
{
    CTempFolder temp;
    const std::wstring path = temp / L"trace.log";
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG utc = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const ULONGLONG second = 10000000;
    Append(path, "\xEF\xBB\xBF" + Stamp(utc - 60 * second) + " [1] notify lh-3 \"C:\\m\\rec.mp4\" dropped: gone\n");

    CTimeline timeline;
    CTraceReport report(timeline, path, [](const std::wstring& shown) { return shown; });
    report.Begin();  // the earlier run's line stays out
    Append(path, Stamp(utc + 2 * second) + " [1] notify lh-3 \"C:\\m\\rec.mp4\" held back: in use\n" +
                     Stamp(utc + 3 * second) + " [1] notify lh-3 classified: video (0x04)\n" +
                     Stamp(utc + 4 * second) + " [1] notify lh-4 \"C:\\m\\other.jpg\" handed off\n" +
                     "not a trace line\n" +
                     Stamp(utc + 40 * second) + " [2] notify lh-3 \"C:\\m\\rec.mp4\" handed off\n");
    report.Poll();

    const std::vector<std::wstring> why = report.Why(L"c:\\M\\REC.mp4");
    ASSERT_EQ(3u, why.size());
    EXPECT_NE(std::wstring::npos, why[0].find(L"s  notify lh-3 held back: in use")) << Narrow(why[0]);
    EXPECT_NE(std::wstring::npos, why[1].find(L"s  notify lh-3 classified: video (0x04)")) << Narrow(why[1]);
    EXPECT_NE(std::wstring::npos, why[2].find(L"s  notify lh-3 handed off")) << Narrow(why[2]);
    // On the timeline's clock: 2 s and 40 s after Begin, give or take the time Begin took.
    const auto seconds = [](const std::wstring& line) { return std::stod(line.substr(0, line.find(L's'))); };
    EXPECT_NEAR(2.0, seconds(why[0].substr(why[0].find(L'+') + 1)), 1.0);
    EXPECT_NEAR(40.0, seconds(why[2].substr(why[2].find(L'+') + 1)), 1.0);
    EXPECT_TRUE(report.Why(L"C:\\m\\never.mp4").empty());

    // A time before the timeline started is shown at its start.
    EXPECT_EQ(timeline.StartTick(), report.TickOf(utc - 3600 * second));
}
}  // namespace
