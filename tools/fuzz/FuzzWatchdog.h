#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include "common/Scoped.h"
#include "tools/fuzz/FuzzTarget.h"

// Watches the input that runs now. An input running past the time limit is reported as a hang
// with its reproducer and the process ends (exit code 3): the stuck call cannot be taken back. A
// crash (an exception no one handles) is reported the same way (exit code 4). One per process.
class CFuzzWatchdog
{
public:
    static constexpr int kExitHang = 3;
    static constexpr int kExitCrash = 4;

    explicit CFuzzWatchdog(DWORD limitMs);
    ~CFuzzWatchdog();
    CFuzzWatchdog(const CFuzzWatchdog&) = delete;
    CFuzzWatchdog& operator=(const CFuzzWatchdog&) = delete;

    // Starts the watching thread and takes over unhandled exceptions.
    bool Start();
    void Begin(const char* target, uint64_t seed, uint64_t index, const FuzzBytes& input);
    void End();

private:
    static DWORD WINAPI ThreadMain(void* self);
    static LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception);
    void Watch();
    // Prints the running input as a finding of the given kind.
    void ReportRunning(const std::string& what);

    const DWORD m_limitMs;
    CCriticalSection m_lock{LockRank::Outside};
    bool m_running = false;  // an input runs; the fields below describe it
    DWORD m_started = 0;
    const char* m_target = "";
    uint64_t m_seed = 0;
    uint64_t m_index = 0;
    const FuzzBytes* m_input = nullptr;
    CScopedHandle m_stop;
    CScopedHandle m_thread;
};
