#pragma once
#include <windows.h>
#include <string>

// The command being typed on a console read key by key (ReadConsoleInputW): printable characters
// are added, Backspace takes the last one away, Esc clears the line and Enter completes it. The
// console echoes nothing in this mode; the timeline draws the text as its prompt.
class CLineEditor
{
public:
    static constexpr size_t kMaxChars = 4096;  // further characters are ignored

    enum class Result
    {
        None,       // a key that does nothing here (a release, a shift, an arrow)
        Changed,    // Text() changed
        Completed,  // Enter: the line is in `line`, Text() is empty again
    };

    // One press of a key; the caller repeats it wRepeatCount times.
    Result Key(const KEY_EVENT_RECORD& key, std::wstring& line);

    const std::wstring& Text() const noexcept { return m_text; }

private:
    std::wstring m_text;
};
