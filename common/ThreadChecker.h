#pragma once
#include <windows.h>
#include <atomic>
#include "common/Contract.h"

// The thread an object's "one thread only" state belongs to. Bind() on that thread makes it the
// owner, Unbind() lets any thread in again (before the thread starts and once it has ended, the
// owner's creator and destroyer use the state alone). Checked with
//     LUM_ASSERT_ON_THREAD(m_workerThread);
// Release builds keep nothing and check nothing.
class CThreadChecker
{
public:
#if LUM_CHECKS
    void Bind() noexcept { m_thread.store(GetCurrentThreadId()); }
    void Unbind() noexcept { m_thread.store(0); }
    // True on the bound thread, and on any thread while none is bound.
    bool IsCurrent() const noexcept
    {
        const DWORD bound = m_thread.load();
        return bound == 0 || bound == GetCurrentThreadId();
    }

private:
    std::atomic<DWORD> m_thread{0};
#else
    void Bind() noexcept {}
    void Unbind() noexcept {}
    bool IsCurrent() const noexcept { return true; }
#endif
};

#define LUM_ASSERT_ON_THREAD(checker) LUM_ASSERT((checker).IsCurrent())
