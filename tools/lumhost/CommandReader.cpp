#include "tools/lumhost/CommandReader.h"
#include "common/CallbackType.h"
#include <process.h>
#include <string>
#include <vector>
#include "tools/lumhost/LineEditor.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr DWORD kStopWaitMs = 500;
constexpr size_t kMaxLineChars = 4096;  // a longer line is cut there

// Hands each line that `read` delivers to `emit`, without its "\n", until the input ends or a stop
// is asked for; a longer line is cut at kMaxLineChars, a last line without its end is handed on too.
template <typename Char, typename Read, typename Emit>
void SplitLines(const volatile LONG& stopping, Read read, Emit emit)
{
    std::basic_string<Char> line;
    Char buffer[512];
    DWORD count = 0;
    while (!stopping && read(buffer, 512, count) && count > 0)
    {
        for (DWORD i = 0; i < count; ++i)
        {
            if (buffer[i] == Char('\n'))
            {
                emit(std::move(line));
                line.clear();
            }
            else if (line.size() < kMaxLineChars)
                line += buffer[i];
        }
    }
    if (!line.empty())
        emit(std::move(line));
}
}  // namespace

// What the reading thread shares with the reader. Owned jointly, so that a thread left blocked
// in a read at Stop never touches freed memory.
struct CCommandReader::Shared
{
    HANDLE input = nullptr;
    TypingListener onTyping;
    CScopedHandle stop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CCriticalSection lock{LockRank::Outside};
    std::deque<std::wstring> lines;  // guarded by lock
    bool ended = false;              // guarded by lock
    CScopedHandle waiting{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    volatile LONG stopping = 0;

    void Add(std::wstring line)
    {
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        CLockGuard guard(lock);
        lines.push_back(std::move(line));
        SetEvent(waiting.Get());
    }
    void End()
    {
        CLockGuard guard(lock);
        ended = true;
    }
};

CCommandReader::CCommandReader() : m_shared(std::make_shared<Shared>()) {}

CCommandReader::~CCommandReader()
{
    Stop();
}

HRESULT CCommandReader::Start(HANDLE input, TypingListener onTyping)
{
    if (!input || input == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    if (!m_shared->waiting.IsValid() || !m_shared->stop.IsValid())
        return HRESULT_FROM_WIN32(GetLastError());
    m_shared->input = input;
    m_shared->onTyping = std::move(onTyping);
    // The thread owns one reference of the shared part.
    auto* context = new std::shared_ptr<Shared>(m_shared);
    LUM_ASSERT_CALLBACK_TYPE(ThreadMain, _beginthreadex_proc_type);
    const uintptr_t thread = _beginthreadex(nullptr, 0, &ThreadMain, context, 0, nullptr);
    if (!thread)
    {
        delete context;
        return E_FAIL;
    }
    m_thread.Reset(reinterpret_cast<HANDLE>(thread));
    return S_OK;
}

void CCommandReader::Stop()
{
    if (!m_thread.IsValid())
        return;
    InterlockedExchange(&m_shared->stopping, 1);
    SetEvent(m_shared->stop.Get());
    if (WaitForSingleObject(m_thread.Get(), 0) == WAIT_TIMEOUT)
    {
        CancelSynchronousIo(m_thread.Get());
        WaitForSingleObject(m_thread.Get(), kStopWaitMs);
    }
    m_thread.Reset();
}

HANDLE CCommandReader::LinesWaiting() const noexcept
{
    return m_shared->waiting.Get();
}

bool CCommandReader::TakeLine(std::wstring& line)
{
    CLockGuard guard(m_shared->lock);
    if (m_shared->lines.empty())
        return false;
    line = std::move(m_shared->lines.front());
    m_shared->lines.pop_front();
    if (m_shared->lines.empty())
        ResetEvent(m_shared->waiting.Get());
    return true;
}

bool CCommandReader::Ended() const
{
    CLockGuard guard(m_shared->lock);
    return m_shared->ended && m_shared->lines.empty();
}

unsigned __stdcall CCommandReader::ThreadMain(void* context)
{
    std::unique_ptr<std::shared_ptr<Shared>> owner(static_cast<std::shared_ptr<Shared>*>(context));
    Shared& shared = **owner;
    DWORD mode = 0;
    if (!GetConsoleMode(shared.input, &mode))
        ReadBytes(shared);
    else if (shared.onTyping)
        ReadConsoleKeys(shared);
    else
        ReadConsoleLines(shared);
    shared.End();
    return 0;
}

void CCommandReader::ReadConsoleKeys(Shared& shared)
{
    DWORD original = 0;
    GetConsoleMode(shared.input, &original);
    // Ctrl+C stays a signal; no line input, no echo.
    SetConsoleMode(shared.input, (original | ENABLE_PROCESSED_INPUT) & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
    CLineEditor editor;
    const auto typed = [&shared](const std::wstring& text) {
        if (shared.onTyping && !shared.stopping)
            shared.onTyping(text);
    };
    typed(editor.Text());
    // Waiting on the input handle first, so that a stop never waits for a key.
    const HANDLE handles[2] = {shared.stop.Get(), shared.input};
    INPUT_RECORD records[64];
    DWORD count = 0;
    while (!shared.stopping && WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 &&
           ReadConsoleInputW(shared.input, records, 64, &count))
    {
        bool changed = false;
        for (DWORD i = 0; i < count; ++i)
        {
            if (records[i].EventType != KEY_EVENT)
                continue;
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            const WORD repeats = key.wRepeatCount ? key.wRepeatCount : WORD{1};
            for (WORD n = 0; n < repeats; ++n)
            {
                std::wstring line;
                switch (editor.Key(key, line))
                {
                case CLineEditor::Result::None:
                    break;
                case CLineEditor::Result::Changed:
                    changed = true;
                    break;
                case CLineEditor::Result::Completed:
                    // The prompt is emptied before the line is taken, so the command's own timeline
                    // line never shows above a prompt that still holds it.
                    typed(editor.Text());
                    changed = false;
                    shared.Add(std::move(line));
                    break;
                }
            }
        }
        if (changed)
            typed(editor.Text());
    }
    SetConsoleMode(shared.input, original);
}

void CCommandReader::ReadConsoleLines(Shared& shared)
{
    // The console's own line editing and echo: nothing else shows what is typed.
    SplitLines<wchar_t>(
        shared.stopping,
        [&shared](wchar_t* buffer, DWORD size, DWORD& read) {
            return ReadConsoleW(shared.input, buffer, size, &read, nullptr) != FALSE;
        },
        [&shared](std::wstring line) { shared.Add(std::move(line)); });
}

void CCommandReader::ReadBytes(Shared& shared)
{
    // Bytes up to each line end, decoded whole, so that a character split between two reads
    // comes out right.
    SplitLines<char>(
        shared.stopping,
        [&shared](char* buffer, DWORD size, DWORD& read) {
            return ReadFile(shared.input, buffer, size, &read, nullptr) != FALSE;
        },
        [&shared](const std::string& bytes) { shared.Add(FromUtf8(bytes)); });
}
