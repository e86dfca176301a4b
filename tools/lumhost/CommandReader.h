#pragma once
#include <windows.h>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include "common/Scoped.h"

// Reads lumhost's standard input line by line on a thread of its own, so that a person (or a
// script writing into a pipe) can type commands while the host runs. Given a typing listener, a
// console is read key by key, without the console's own echo and line editing, which would write
// the typed text wherever the cursor happens to be; the text typed so far goes to the listener,
// which shows it. Without one (the output is not the console) the console's own line editing
// stays. Anything else is read as UTF-8. The end of the input just ends the reading.
class CCommandReader
{
public:
    CCommandReader();
    ~CCommandReader();
    CCommandReader(const CCommandReader&) = delete;
    CCommandReader& operator=(const CCommandReader&) = delete;

    // Called on the reading thread with the text being typed on a console, first with "" once the
    // console is read, then after every change. Only for a caller that can show it.
    using TypingListener = std::function<void(const std::wstring& typed)>;

    // Starts reading `input` (not owned; it must stay open while the reader runs).
    HRESULT Start(HANDLE input, TypingListener onTyping = nullptr);
    // Ends the reading as far as it can: a thread blocked in a read that cannot be cancelled is
    // left to end with the process; it touches nothing of this object.
    void Stop();

    // Signalled (manual reset) while lines are waiting.
    HANDLE LinesWaiting() const noexcept;
    // The next line without its line end; false when none is waiting.
    bool TakeLine(std::wstring& line);
    // True once the input has ended and every line was taken.
    bool Ended() const;

private:
    struct Shared;
    static unsigned __stdcall ThreadMain(void* context);
    static void ReadConsoleKeys(Shared& shared);
    static void ReadConsoleLines(Shared& shared);
    static void ReadBytes(Shared& shared);

    std::shared_ptr<Shared> m_shared;
    CScopedHandle m_thread;
};
