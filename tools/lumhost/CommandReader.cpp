#include "tools/lumhost/CommandReader.h"
#include "common/CallbackType.h"
#include <process.h>
#include <string>
#include <vector>

namespace
{
constexpr DWORD kStopWaitMs = 500;
constexpr size_t kMaxLineChars = 4096;  // a longer line is cut there

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
}  // namespace

// What the reading thread shares with the reader. Owned jointly, so that a thread left blocked
// in a read at Stop never touches freed memory.
struct CCommandReader::Shared
{
    HANDLE input = nullptr;
    CCriticalSection lock;
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

HRESULT CCommandReader::Start(HANDLE input)
{
    if (!input || input == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    if (!m_shared->waiting.IsValid())
        return HRESULT_FROM_WIN32(GetLastError());
    m_shared->input = input;
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
    if (GetConsoleMode(shared.input, &mode))
    {
        std::wstring line;
        wchar_t buffer[256];
        DWORD read = 0;
        while (!shared.stopping && ReadConsoleW(shared.input, buffer, 256, &read, nullptr) && read > 0)
        {
            for (DWORD i = 0; i < read; ++i)
            {
                if (buffer[i] == L'\n')
                {
                    shared.Add(std::move(line));
                    line.clear();
                }
                else if (line.size() < kMaxLineChars)
                    line += buffer[i];
            }
        }
        if (!line.empty())
            shared.Add(std::move(line));
    }
    else
    {
        // Bytes up to each line end, decoded whole, so that a character split between two reads
        // comes out right.
        std::string bytes;
        char buffer[512];
        DWORD read = 0;
        while (!shared.stopping && ReadFile(shared.input, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        {
            for (DWORD i = 0; i < read; ++i)
            {
                if (buffer[i] == '\n')
                {
                    shared.Add(FromUtf8(bytes));
                    bytes.clear();
                }
                else if (bytes.size() < kMaxLineChars)
                    bytes += buffer[i];
            }
        }
        if (!bytes.empty())
            shared.Add(FromUtf8(bytes));
    }
    shared.End();
    return 0;
}
