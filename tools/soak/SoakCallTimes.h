#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>
#include "common/Scoped.h"

// How long each method of the plug-in took when the soak called it as the manager: calls and the
// worst time per method, and what was going on at the worst call (the faults and stalls armed),
// so that a long block can be told apart from a stand-in that was told to stall. A call still in
// progress after kBlockingMs is told on stderr at once, with the process and thread ids, so that a
// debugger can be attached while it blocks (`winedbg --command "bt all" <process id>`).
class CSoakCallTimes
{
public:
    static constexpr DWORD kBlockingMs = 6000;

    CSoakCallTimes();
    ~CSoakCallTimes();
    CSoakCallTimes(const CSoakCallTimes&) = delete;
    CSoakCallTimes& operator=(const CSoakCallTimes&) = delete;

    struct Method
    {
        ULONG calls = 0;
        DWORD worstMs = 0;
        std::wstring worstContext;
    };

    // `context` is asked only when the call is the method's worst so far.
    template <typename Call, typename Context>
    auto Time(const wchar_t* method, Call&& call, Context&& context) -> decltype(call())
    {
        const ULONGLONG start = GetTickCount64();
        Begin(method, start);
        auto result = call();
        End();
        Record(method, static_cast<DWORD>(GetTickCount64() - start), context);
        return result;
    }

    std::map<std::wstring, Method> Methods() const;

    // A call that had blocked the manager for kBlockingMs: when it started (GetTickCount).
    struct Blocked
    {
        std::wstring method;
        DWORD startTick;
    };
    std::vector<Blocked> BlockedCalls() const;

private:
    struct Running
    {
        const wchar_t* method;
        ULONGLONG start;
        bool told;
    };

    void Begin(const wchar_t* method, ULONGLONG start);
    void End();
    static DWORD WINAPI WatchMain(void* self);
    void TellBlockingCalls();

    template <typename Context>
    void Record(const wchar_t* method, DWORD ms, Context& context)
    {
        bool worst;
        {
            CLockGuard guard(m_lock);
            Method& entry = m_methods[method];
            ++entry.calls;
            worst = ms > entry.worstMs || entry.calls == 1;
            if (worst)
                entry.worstMs = ms;
        }
        if (worst && ms > 0)
        {
            std::wstring text = context();
            CLockGuard guard(m_lock);
            Method& entry = m_methods[method];
            if (entry.worstMs == ms)
                entry.worstContext = std::move(text);
        }
    }

    mutable CCriticalSection m_lock{LockRank::Outside};
    std::map<std::wstring, Method> m_methods;
    // By calling thread, innermost last: a call may make another from inside an event it fires.
    std::map<DWORD, std::vector<Running>> m_running;
    std::vector<Blocked> m_blocked;
    CScopedHandle m_stopWatch;
    CScopedHandle m_watch;
};
