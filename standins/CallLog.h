#pragma once
#include <windows.h>
#include <atomic>
#include <utility>
#include <vector>

// Order of calls across all stand-in objects: every recorded call takes the next number, so a test
// can check that one object was called before another.
inline LONG NextStandinCallSequence() noexcept
{
    static volatile LONG s_sequence = 0;
    return InterlockedIncrement(&s_sequence);
}

// The calls one stand-in method (or object) received, in arrival order. Any thread may add; a test
// reads snapshots and waits, with a time-out, until a number of calls have arrived.
template <typename Call>
class CCallLog
{
public:
    CCallLog() noexcept = default;
    CCallLog(const CCallLog&) = delete;
    CCallLog& operator=(const CCallLog&) = delete;

    void Add(Call call)
    {
        if (!m_recording.load(std::memory_order_relaxed))
            return;
        {
            ExclusiveGuard guard(m_lock);
            m_calls.push_back(std::move(call));
        }
        WakeAllConditionVariable(&m_arrived);
    }

    std::vector<Call> Calls() const
    {
        ExclusiveGuard guard(m_lock);
        return m_calls;
    }

    size_t Count() const noexcept
    {
        ExclusiveGuard guard(m_lock);
        return m_calls.size();
    }

    // True once at least `count` calls have been recorded; false when `timeoutMs` passes first.
    bool WaitForCount(size_t count, DWORD timeoutMs) const noexcept
    {
        const DWORD start = GetTickCount();
        AcquireSRWLockExclusive(&m_lock);
        bool reached = m_calls.size() >= count;
        while (!reached)
        {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs)
                break;
            SleepConditionVariableSRW(&m_arrived, &m_lock, timeoutMs - elapsed, 0);
            reached = m_calls.size() >= count;
        }
        ReleaseSRWLockExclusive(&m_lock);
        return reached;
    }

    void Clear()
    {
        ExclusiveGuard guard(m_lock);
        m_calls.clear();
    }

    // A long run or a benchmark that reads every entry of a long manager queue over and over
    // switches recording off, or the log grows without end.
    void SetRecording(bool recording) noexcept { m_recording.store(recording); }

private:
    // Copying the vector may throw; the lock must not stay taken when it does.
    class ExclusiveGuard
    {
    public:
        explicit ExclusiveGuard(SRWLOCK& lock) noexcept : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
        ~ExclusiveGuard() { ReleaseSRWLockExclusive(&m_lock); }
        ExclusiveGuard(const ExclusiveGuard&) = delete;
        ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

    private:
        SRWLOCK& m_lock;
    };

    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    mutable CONDITION_VARIABLE m_arrived = CONDITION_VARIABLE_INIT;
    std::vector<Call> m_calls;
    std::atomic<bool> m_recording{true};
};
