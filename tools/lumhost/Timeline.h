#pragma once
#include <windows.h>
#include <string>
#include "common/Scoped.h"

// printf-style formatting into a std::wstring (wide format; %s takes a wide string).
std::wstring FormatText(const wchar_t* format, ...);

// Times relative to a start tick, as the timeline shows them: "+31.2s".
std::wstring FormatElapsed(DWORD startTick, DWORD tick);
// The same, right-aligned in the timeline's time column: "  +31.2s".
std::wstring FormatStamp(DWORD startTick, DWORD tick);

// The reference host's output: one line per event, each stamped with the time since the host
// started. Any thread may print; lines never interleave. A console gets the text as is; a pipe or
// a file gets UTF-8, so that scripts can read names in any script.
//
// On a console the timeline can keep a prompt, the command being typed, as its bottom line: every
// new line is written over the prompt, which is drawn again under it, so typed text and output
// never overwrite each other.
class CTimeline
{
public:
    CTimeline() noexcept;
    explicit CTimeline(DWORD startTick) noexcept;
    CTimeline(const CTimeline&) = delete;
    CTimeline& operator=(const CTimeline&) = delete;

    DWORD StartTick() const noexcept { return m_startTick; }

    // "  +31.2s  text" on standard output, the time taken now or given as a tick.
    void Print(const std::wstring& text);
    void PrintAt(DWORD tick, const std::wstring& text);
    // A line that the next live line replaces while nothing else is printed in between: on a
    // console it is rewritten in place; a pipe or a file gets every version as a line of its own.
    void PrintLive(const std::wstring& text);
    // A line without a time (usage, summaries), on standard output or standard error.
    void PrintPlain(const std::wstring& text);
    void PrintError(const std::wstring& text);

    // The command being typed, shown after "> " as the bottom line of a console from now on.
    void SetPrompt(const std::wstring& typed);
    // Takes the prompt line away; output goes on where it was.
    void ClearPrompt();

private:
    void Write(DWORD stdHandle, const std::wstring& line, bool live = false);
    void WriteConsoleText(HANDLE output, const std::wstring& line, bool live);
    // Text that blanks the prompt line and leaves the cursor at its start.
    std::wstring ErasePrompt();
    // The prompt as the bottom line shows it, cut to the console's width.
    std::wstring PromptText(HANDLE output) const;

    DWORD m_startTick;
    CCriticalSection m_lock{LockRank::Outside};
    // What the console shows at its bottom (under m_lock):
    size_t m_liveLength = 0;    // of the live line shown last; 0 when none
    bool m_promptOn = false;    // a prompt is the bottom line, the live line (if any) right above it
    std::wstring m_prompt;      // the command being typed
    size_t m_promptDrawn = 0;   // characters of the prompt line on the console
};

// "0 bytes", "512 bytes", "12.5 KB", "3.2 MB".
std::wstring FormatSize(ULONGLONG bytes);

// UTF-8 bytes as text; invalid sequences become U+FFFD.
std::wstring FromUtf8(const std::string& bytes);
