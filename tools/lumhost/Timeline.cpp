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

namespace
{
std::wstring Stamped(DWORD startTick, DWORD tick, const std::wstring& text)
{
    std::wstring stamp = FormatElapsed(startTick, tick);
    if (stamp.size() < 8)
        stamp.insert(0, 8 - stamp.size(), L' ');
    return stamp + L"  " + text;
}
}  // namespace

void CTimeline::PrintAt(DWORD tick, const std::wstring& text)
{
    Write(STD_OUTPUT_HANDLE, Stamped(m_startTick, tick, text) + L"\n");
}

void CTimeline::PrintLive(const std::wstring& text)
{
    Write(STD_OUTPUT_HANDLE, Stamped(m_startTick, GetTickCount(), text), true);
}

void CTimeline::PrintPlain(const std::wstring& text)
{
    Write(STD_OUTPUT_HANDLE, text + L"\n");
}

void CTimeline::PrintError(const std::wstring& text)
{
    Write(STD_ERROR_HANDLE, text + L"\n");
}

void CTimeline::Write(DWORD stdHandle, const std::wstring& text, bool live)
{
    const HANDLE output = GetStdHandle(stdHandle);
    if (!output || output == INVALID_HANDLE_VALUE)
        return;
    CLockGuard guard(m_lock);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode))
    {
        std::wstring line = text;
        if (live)
        {
            // Back to the start of the live line, and blanks over what the new text leaves over.
            const size_t length = line.size();
            if (m_liveLength > length)
                line.append(m_liveLength - length, L' ');
            line.insert(0, m_liveLength ? L"\r" : L"");
            m_liveLength = length;
        }
        else if (m_liveLength)
        {
            line.insert(0, L"\n");
            m_liveLength = 0;
        }
        DWORD written = 0;
        WriteConsoleW(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const std::wstring line = live ? text + L"\n" : text;
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
    constexpr ULONGLONG kKilo = 1024;
    constexpr ULONGLONG kMega = kKilo * kKilo;
    if (bytes < kKilo)
        return FormatText(L"%lu bytes", static_cast<unsigned long>(bytes));
    const ULONGLONG tenths = bytes < kMega ? bytes * 10 / kKilo : bytes * 10 / kMega;
    return FormatText(L"%lu.%lu %s", static_cast<unsigned long>(tenths / 10), static_cast<unsigned long>(tenths % 10),
                      bytes < kMega ? L"KB" : L"MB");
}
