#include "standins/FaultControl.h"

CFaultControl::CFaultControl()
    : m_open(CreateEventW(nullptr, TRUE, TRUE, nullptr)), m_stalled(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

CFaultControl::~CFaultControl() = default;

void CFaultControl::FailWith(HRESULT failure, ULONG times)
{
    CLockGuard guard(m_lock);
    m_failure = failure;
    m_failuresLeft = SUCCEEDED(failure) ? 0 : times;
}

void CFaultControl::Stall()
{
    CLockGuard guard(m_lock);
    m_stalledCalls = 0;
    ResetEvent(m_open.Get());
}

void CFaultControl::Release()
{
    SetEvent(m_open.Get());
}

bool CFaultControl::WaitUntilStalled(ULONG count, DWORD timeoutMs)
{
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
        WaitForSingleObject(m_stalled.Get(), timeoutMs - elapsed);
    }
}

void CFaultControl::Reset()
{
    FailWith(S_OK);
    Release();
}

HRESULT CFaultControl::Enter()
{
    if (WaitForSingleObject(m_open.Get(), 0) != WAIT_OBJECT_0)
    {
        {
            CLockGuard guard(m_lock);
            ++m_stalledCalls;
        }
        SetEvent(m_stalled.Get());
        WaitForSingleObject(m_open.Get(), kStallLimitMs);
    }
    CLockGuard guard(m_lock);
    if (m_failuresLeft == 0)
        return S_OK;
    if (m_failuresLeft != kAlways)
        --m_failuresLeft;
    return m_failure;
}
