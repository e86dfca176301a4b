#pragma once
#include <windows.h>
#include <string>

// The plug-in's progress word as a person reads it: queued (0x20000000), running (0), done
// (0x40000000), failed (0x80000000), and during a clean-up run a percentage of 1 to 99, shown as a
// bar. Any other value is shown as a number.
class CProgressLine
{
public:
    static constexpr ULONG kQueued = 0x20000000;
    static constexpr ULONG kRunning = 0;
    static constexpr ULONG kDone = 0x40000000;
    static constexpr ULONG kFailed = 0x80000000;
    static constexpr size_t kBarWidth = 20;

    // The text of one word: "running", "[#########...........]  45%", ...
    static std::wstring Describe(ULONG progress);
    // Whether the word ends a request (done or failed).
    static bool IsEnd(ULONG progress) noexcept { return progress == kDone || progress == kFailed; }

    // Takes a word read after the progress event; true (and its text) when it differs from the
    // one shown last, so that a burst of signals with the same word prints one line.
    bool Update(ULONG progress, std::wstring& text);
    // Forgets the word shown last: the next request starts afresh.
    void Reset() noexcept { m_shown = false; }

private:
    bool m_shown = false;
    ULONG m_last = 0;
};
