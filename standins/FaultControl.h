#pragma once
#include <windows.h>
#include <atomic>
#include "common/Scoped.h"

// What one method of a stand-in does when it is called: answer normally, fail with a given
// HRESULT, or stall until the test releases it. The method calls Enter() first and answers its
// result when that is a failure.
class CFaultControl
{
public:
    static constexpr ULONG kAlways = 0xFFFFFFFF;
    // A stalled call gives up after this long and answers normally, so that a test that forgets to
    // release it still ends.
    static constexpr DWORD kStallLimitMs = 60000;

    CFaultControl();
    ~CFaultControl();
    CFaultControl(const CFaultControl&) = delete;
    CFaultControl& operator=(const CFaultControl&) = delete;

    // The next `times` calls (every call with kAlways) answer `failure`; S_OK answers normally again.
    void FailWith(HRESULT failure, ULONG times = kAlways);
    // Calls from now on block in Enter() until Release().
    void Stall();
    // Lets the blocked calls and all later ones through.
    void Release();
    // True once `count` calls in all have blocked in Enter() since Stall(); false after `timeoutMs`.
    bool WaitUntilStalled(ULONG count, DWORD timeoutMs);
    // Back to answering normally, releasing any blocked call.
    void Reset();

    // Blocks while stalled, then gives the result the call answers: S_OK or the failure.
    HRESULT Enter();

private:
    // Makes the two events the first time they are needed; m_lock held.
    void EnsureEvents();

    CCriticalSection m_lock{LockRank::Outside};
    HRESULT m_failure = S_OK;
    ULONG m_failuresLeft = 0;
    ULONG m_stalledCalls = 0;
    // Read by Enter first: while neither is set a call takes no lock and makes no kernel call, as
    // a manager's queue entries are read by the thousand. Changed under m_lock.
    std::atomic<bool> m_stalling{false};
    std::atomic<bool> m_failing{false};
    CScopedHandle m_open;     // manual reset; signalled while not stalled
    CScopedHandle m_stalled;  // auto reset; pulsed when a call blocks
};
