#include "standins/FaultControl.h"

CFaultControl::CFaultControl() = default;

CFaultControl::~CFaultControl() = default;

void CFaultControl::EnsureEvents()
{
    if (!m_open.IsValid())
        m_open.Reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (!m_stalled.IsValid())
        m_stalled.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

void CFaultControl::FailWith(HRESULT failure, ULONG times)
{
    CLockGuard guard(m_lock);
    m_failure = failure;
    m_failuresLeft = SUCCEEDED(failure) ? 0 : times;
    m_failing = m_failuresLeft != 0;
}

void CFaultControl::Stall()
{
    CLockGuard guard(m_lock);
    EnsureEvents();
    m_stalledCalls = 0;
    ResetEvent(m_open.Get());
    m_stalling = true;
}

void CFaultControl::Release()
{
    CLockGuard guard(m_lock);
    m_stalling = false;
    if (m_open.IsValid())
        SetEvent(m_open.Get());
}

bool CFaultControl::WaitUntilStalled(ULONG count, DWORD timeoutMs)
{
    HANDLE stalled = nullptr;
    {
        CLockGuard guard(m_lock);
        EnsureEvents();
        stalled = m_stalled.Get();
    }
    const DWORD start = GetTickCount();
    for (;;)
    {
        {
            CLockGuard guard(m_lock);
            if (m_stalledCalls >= count)
                return true;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        WaitForSingleObject(stalled, timeoutMs - elapsed);
    }
}

void CFaultControl::Reset()
{
    FailWith(S_OK);
    Release();
}

HRESULT CFaultControl::Enter()
{
    if (m_stalling.load())
    {
        HANDLE open = nullptr;
        HANDLE stalled = nullptr;
        {
            CLockGuard guard(m_lock);
            ++m_stalledCalls;
            open = m_open.Get();
            stalled = m_stalled.Get();
        }
        SetEvent(stalled);
        WaitForSingleObject(open, kStallLimitMs);
    }
    if (!m_failing.load())
        return S_OK;
    CLockGuard guard(m_lock);
    if (m_failuresLeft == 0)
        return S_OK;
    if (m_failuresLeft != kAlways && --m_failuresLeft == 0)
        m_failing = false;
    return m_failure;
}
