#include "tools/lumhost/Timeline.h"
#include <cstdarg>
#include <vector>
#include "common/String.h"

std::wstring FormatText(const wchar_t* format, ...)
{
    CString text;
    va_list args;
    va_start(args, format);
    text.FormatV(format, args);
    va_end(args);
    return std::wstring(text.GetString(), static_cast<size_t>(text.GetLength()));
}

std::wstring FormatElapsed(DWORD startTick, DWORD tick)
{
    // Unsigned difference: right across the 49.7-day wrap of the tick count.
    const DWORD elapsed = tick - startTick;
    return FormatText(L"+%lu.%lus", static_cast<unsigned long>(elapsed / 1000),
                      static_cast<unsigned long>((elapsed % 1000) / 100));
}

CTimeline::CTimeline() noexcept : m_startTick(GetTickCount()) {}

CTimeline::CTimeline(DWORD startTick) noexcept : m_startTick(startTick) {}

void CTimeline::Print(const std::wstring& text)
{
    PrintAt(GetTickCount(), text);
}

void CTimeline::PrintAt(DWORD tick, const std::wstring& text)
{
    std::wstring stamp = FormatElapsed(m_startTick, tick);
    if (stamp.size() < 8)
        stamp.insert(0, 8 - stamp.size(), L' ');
    Write(STD_OUTPUT_HANDLE, stamp + L"  " + text + L"\n");
}

void CTimeline::PrintPlain(const std::wstring& text)
{
    Write(STD_OUTPUT_HANDLE, text + L"\n");
}

void CTimeline::PrintError(const std::wstring& text)
{
    Write(STD_ERROR_HANDLE, text + L"\n");
}

void CTimeline::Write(DWORD stdHandle, const std::wstring& line)
{
    const HANDLE output = GetStdHandle(stdHandle);
    if (!output || output == INVALID_HANDLE_VALUE)
        return;
    CLockGuard guard(m_lock);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode))
    {
        DWORD written = 0;
        WriteConsoleW(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                          nullptr, nullptr);
    if (bytes <= 0)
        return;
    std::vector<char> utf8(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(), bytes, nullptr, nullptr);
    DWORD written = 0;
    // Unbuffered on purpose: a script watching the output sees each line as it happens.
    WriteFile(output, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring FormatSize(ULONGLONG bytes)
{
    if (bytes < 1024)
        return FormatText(L"%lu bytes", static_cast<unsigned long>(bytes));
    const ULONGLONG tenths = bytes < 1024 * 1024 ? bytes * 10 / 1024 : bytes * 10 / (1024 * 1024);
    return FormatText(L"%lu.%lu %s", static_cast<unsigned long>(tenths / 10), static_cast<unsigned long>(tenths % 10),
                      bytes < 1024 * 1024 ? L"KB" : L"MB");
}
