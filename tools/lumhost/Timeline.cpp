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

std::wstring FormatStamp(DWORD startTick, DWORD tick)
{
    std::wstring stamp = FormatElapsed(startTick, tick);
    if (stamp.size() < 8)
        stamp.insert(0, 8 - stamp.size(), L' ');
    return stamp;
}

namespace
{
std::wstring Stamped(DWORD startTick, DWORD tick, const std::wstring& text)
{
    return FormatStamp(startTick, tick) + L"  " + text;
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

void CTimeline::SetPrompt(const std::wstring& typed)
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    CLockGuard guard(m_lock);
    m_prompt = typed;
    DWORD mode = 0;
    if (!output || output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode))
        return;
    // A live line being shown ends with its line: it stays right above the prompt.
    std::wstring text = !m_promptOn && m_liveLength ? L"\n" : ErasePrompt();
    m_promptOn = true;
    const std::wstring prompt = PromptText(output);
    text += prompt;
    m_promptDrawn = prompt.size();
    DWORD written = 0;
    WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void CTimeline::ClearPrompt()
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    CLockGuard guard(m_lock);
    if (!m_promptOn)
        return;
    DWORD mode = 0;
    if (output && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode))
    {
        const std::wstring text = ErasePrompt();
        DWORD written = 0;
        WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    m_promptOn = false;
    m_prompt.clear();
    m_promptDrawn = 0;
    // The cursor is on a line of its own now, below any live line.
    m_liveLength = 0;
}

std::wstring CTimeline::ErasePrompt()
{
    std::wstring text = L"\r";
    if (m_promptDrawn)
        text += std::wstring(m_promptDrawn, L' ') + L"\r";
    m_promptDrawn = 0;
    return text;
}

std::wstring CTimeline::PromptText(HANDLE output) const
{
    // Never the full width: a line that fills it would wrap the cursor onto the next row.
    size_t width = 80;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(output, &info) && info.dwSize.X > 8)
        width = static_cast<size_t>(info.dwSize.X);
    const std::wstring prompt = L"> ";
    const size_t room = width - 1 - prompt.size();
    // The end of a long command is what is being typed.
    return prompt + (m_prompt.size() > room ? m_prompt.substr(m_prompt.size() - room) : m_prompt);
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
        WriteConsoleText(output, text, live);
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

void CTimeline::WriteConsoleText(HANDLE output, const std::wstring& text, bool live)
{
    std::wstring line = text;
    if (live && m_liveLength > line.size())
        // Blanks over what the new text leaves over of the old.
        line.append(m_liveLength - line.size(), L' ');
    std::wstring out;
    if (!m_promptOn)
    {
        // The live line is the bottom line: rewritten in place after a carriage return, and ended
        // by the next line that is not live.
        if (live)
            out = (m_liveLength ? L"\r" : L"") + line;
        else
            out = (m_liveLength ? L"\n" : L"") + line;
        m_liveLength = live ? text.size() : 0;
    }
    else
    {
        // The prompt is the bottom line. A new line goes where it is and the prompt is drawn again
        // below; a live line that follows a live line is rewritten on the row above the prompt.
        CONSOLE_SCREEN_BUFFER_INFO info;
        bool inPlace = live && m_liveLength && GetConsoleScreenBufferInfo(output, &info) && info.dwCursorPosition.Y > 0;
        if (inPlace)
        {
            const COORD above = {0, static_cast<SHORT>(info.dwCursorPosition.Y - 1)};
            inPlace = SetConsoleCursorPosition(output, above) != FALSE;
        }
        // In place, the line break takes the cursor back to the start of the prompt's row.
        out = inPlace ? line + L"\n" + ErasePrompt() : ErasePrompt() + line + (live ? L"\n" : L"");
        m_liveLength = live ? text.size() : 0;
        const std::wstring prompt = PromptText(output);
        out += prompt;
        m_promptDrawn = prompt.size();
    }
    DWORD written = 0;
    WriteConsoleW(output, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
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

std::wstring FromUtf8(const std::string& bytes)
{
    if (bytes.empty())
        return std::wstring();
    const int chars = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (chars <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], chars);
    return text;
}
