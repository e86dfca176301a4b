#include "standins/ContentDbControl.h"
#include "common/HResultException.h"
#include "common/HResult.h"

CContentDbControl::CContentDbControl() : m_blocked(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    for (CScopedHandle& open : m_open)
    {
        open.Reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
        if (!open.IsValid())
            ThrowHResult(E_OUTOFMEMORY);
    }
    if (!m_blocked.IsValid())
        ThrowHResult(E_OUTOFMEMORY);
}

CContentDbControl::~CContentDbControl() = default;

void CContentDbControl::UpdateArmed()
{
    LONG armed = 0;
    for (size_t i = 0; i < kMethods; ++i)
        armed |= (m_failuresLeft[i] != 0 || m_stalled[i]) ? 1 : 0;
    InterlockedExchange(&m_armed, armed);
}

void CContentDbControl::FailNext(CdbMethod method, HRESULT result, ULONG times)
{
    const size_t i = static_cast<size_t>(method);
    CLockGuard guard(m_lock);
    m_failure[i] = result;
    m_failuresLeft[i] = result == S_OK ? 0 : times;
    UpdateArmed();
}

void CContentDbControl::Stall(CdbMethod method)
{
    const size_t i = static_cast<size_t>(method);
    // Each stall gets a gate of its own: a call still waking from the previous stall holds the
    // old gate, which stays open, so a quick Release then Stall cannot catch it a second time.
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!gate)
        ThrowHResult(HResultFromLastError());
    CLockGuard guard(m_lock);
    m_stalled[i] = true;
    m_stalledCalls[i] = 0;
    m_open[i].Reset(gate);
    UpdateArmed();
}

void CContentDbControl::Release(CdbMethod method)
{
    const size_t i = static_cast<size_t>(method);
    CLockGuard guard(m_lock);
    m_stalled[i] = false;
    SetEvent(m_open[i].Get());
    UpdateArmed();
}

bool CContentDbControl::WaitStalled(CdbMethod method, ULONG count, DWORD timeoutMs)
{
    const size_t i = static_cast<size_t>(method);
    const DWORD start = GetTickCount();
    for (;;)
    {
        {
            CLockGuard guard(m_lock);
            if (m_stalledCalls[i] >= count)
                return true;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        WaitForSingleObject(m_blocked.Get(), timeoutMs - elapsed);
    }
}

void CContentDbControl::Reset()
{
    CLockGuard guard(m_lock);
    for (size_t i = 0; i < kMethods; ++i)
    {
        m_failuresLeft[i] = 0;
        m_stalled[i] = false;
        SetEvent(m_open[i].Get());
    }
    UpdateArmed();
}

HRESULT CContentDbControl::Enter(CdbMethod method)
{
    const size_t i = static_cast<size_t>(method);
    InterlockedIncrement(&m_callCounts[i]);
    if (InterlockedCompareExchange(&m_armed, 0, 0) == 0)
        return S_OK;

    CScopedHandle gate;
    {
        CLockGuard guard(m_lock);
        if (m_stalled[i])
        {
            HANDLE copy = nullptr;
            if (DuplicateHandle(GetCurrentProcess(), m_open[i].Get(), GetCurrentProcess(), &copy,
                                SYNCHRONIZE, FALSE, 0))
            {
                ++m_stalledCalls[i];
                gate.Reset(copy);
            }
        }
    }
    if (gate.IsValid())
    {
        SetEvent(m_blocked.Get());
        WaitForSingleObject(gate.Get(), kStallLimitMs);
    }

    CLockGuard guard(m_lock);
    if (m_failuresLeft[i] == 0)
        return S_OK;
    if (m_failuresLeft[i] != kAlways)
        --m_failuresLeft[i];
    const HRESULT result = m_failure[i];
    UpdateArmed();
    return result;
}

void CContentDbControl::SetRecording(bool on)
{
    InterlockedExchange(&m_recording, on ? 1 : 0);
}

void CContentDbControl::Record(CdbCall call)
{
    CLockGuard guard(m_lock);
    m_calls.push_back(std::move(call));
}

std::vector<CdbCall> CContentDbControl::Calls() const
{
    CLockGuard guard(m_lock);
    return m_calls;
}

std::vector<CdbCall> CContentDbControl::Calls(CdbMethod method) const
{
    std::vector<CdbCall> calls;
    CLockGuard guard(m_lock);
    for (const CdbCall& call : m_calls)
    {
        if (call.method == method)
            calls.push_back(call);
    }
    return calls;
}

LONG CContentDbControl::CallCount(CdbMethod method) const noexcept
{
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&m_callCounts[static_cast<size_t>(method)]), 0, 0);
}

void CContentDbControl::ClearCalls()
{
    CLockGuard guard(m_lock);
    m_calls.clear();
    for (volatile LONG& count : m_callCounts)
        InterlockedExchange(&count, 0);
}
