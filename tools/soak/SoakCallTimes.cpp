#include "tools/soak/SoakCallTimes.h"
#include "common/CallbackType.h"
#include <cstdio>

namespace
{
constexpr DWORD kWatchPollMs = 500;
}  // namespace

CSoakCallTimes::CSoakCallTimes()
{
    LUM_ASSERT_CALLBACK_TYPE(WatchMain, LPTHREAD_START_ROUTINE);
    m_stopWatch.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (m_stopWatch.IsValid())
        m_watch.Reset(CreateThread(nullptr, 0, &WatchMain, this, 0, nullptr));
}

CSoakCallTimes::~CSoakCallTimes()
{
    if (m_watch.IsValid())
    {
        SetEvent(m_stopWatch.Get());
        WaitForSingleObject(m_watch.Get(), INFINITE);
    }
}

std::map<std::wstring, CSoakCallTimes::Method> CSoakCallTimes::Methods() const
{
    CLockGuard guard(m_lock);
    return m_methods;
}

std::vector<CSoakCallTimes::Blocked> CSoakCallTimes::BlockedCalls() const
{
    CLockGuard guard(m_lock);
    return m_blocked;
}

void CSoakCallTimes::Begin(const wchar_t* method, ULONGLONG start)
{
    CLockGuard guard(m_lock);
    m_running[GetCurrentThreadId()].push_back(Running{method, start, false});
}

void CSoakCallTimes::End()
{
    CLockGuard guard(m_lock);
    const auto calls = m_running.find(GetCurrentThreadId());
    if (calls == m_running.end())
        return;
    // One that ended between two looks of the watch is counted all the same.
    const Running& call = calls->second.back();
    if (!call.told && GetTickCount64() - call.start >= kBlockingMs)
        m_blocked.push_back(Blocked{call.method, static_cast<DWORD>(call.start)});
    calls->second.pop_back();
    if (calls->second.empty())
        m_running.erase(calls);
}

DWORD WINAPI CSoakCallTimes::WatchMain(void* self)
{
    CSoakCallTimes& times = *static_cast<CSoakCallTimes*>(self);
    while (WaitForSingleObject(times.m_stopWatch.Get(), kWatchPollMs) == WAIT_TIMEOUT)
        times.TellBlockingCalls();
    return 0;
}

void CSoakCallTimes::TellBlockingCalls()
{
    struct Blocking
    {
        DWORD thread;
        std::wstring method;
        ULONGLONG ms;
    };
    std::vector<Blocking> blocking;
    {
        CLockGuard guard(m_lock);
        const ULONGLONG now = GetTickCount64();
        for (auto& calls : m_running)
        {
            for (Running& call : calls.second)
            {
                if (!call.told && now - call.start >= kBlockingMs)
                {
                    call.told = true;
                    blocking.push_back(Blocking{calls.first, call.method, now - call.start});
                    m_blocked.push_back(Blocked{call.method, static_cast<DWORD>(call.start)});
                }
            }
        }
    }
    for (const auto& call : blocking)
    {
        fwprintf(stderr, L"lumsoak: %ls has blocked the manager for %llu ms and goes on (process %lu, thread 0x%lx)\n",
                 call.method.c_str(), call.ms, GetCurrentProcessId(), call.thread);
        fflush(stderr);
    }
}
