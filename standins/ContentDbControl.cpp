#include "standins/ContentDbControl.h"
#include <algorithm>
#include "common/HResultException.h"
#include "common/HResult.h"
#include "standins/CallLog.h"

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
    LONG armed = m_faults.empty() ? 0 : 1;
    for (size_t i = 0; i < kMethods; ++i)
        armed |= m_stalled[i] ? 1 : 0;
    InterlockedExchange(&m_armed, armed);
}

void CContentDbControl::FailNext(CdbMethod method, HRESULT result, ULONG times)
{
    CLockGuard guard(m_lock);
    m_faults.erase(std::remove_if(m_faults.begin(), m_faults.end(),
                                  [method](const Fault& fault) { return fault.method == method; }),
                   m_faults.end());
    if (result != S_OK && times != 0)
        m_faults.push_back({method, result, 0, times, {}});
    UpdateArmed();
}

void CContentDbControl::FailCall(CdbMethod method, HRESULT result, ULONG skip, ULONG times,
                                 const std::wstring& textContains)
{
    if (times == 0)
        return;
    CLockGuard guard(m_lock);
    m_faults.push_back({method, result, skip, times, textContains});
    UpdateArmed();
}

void CContentDbControl::Stall(CdbMethod method)
{
    const size_t i = static_cast<size_t>(method);
    CLockGuard guard(m_lock);
    if (m_stalled[i])
    {
        // The calls held already wait on the current gate: a new one would leave them shut in
        // until the stall limit, as the next Release opens only the gate in m_open.
        m_stalledCalls[i] = 0;
        return;
    }
    // Each stall gets a gate of its own: a call still waking from the previous stall holds the
    // old gate, which stays open, so a quick Release then Stall cannot catch it a second time.
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!gate)
        ThrowHResult(HResultFromLastError());
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
    m_faults.clear();
    for (size_t i = 0; i < kMethods; ++i)
    {
        m_stalled[i] = false;
        SetEvent(m_open[i].Get());
    }
    UpdateArmed();
}

HRESULT CContentDbControl::Enter(CdbMethod method, const std::wstring& text)
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
    for (auto fault = m_faults.begin(); fault != m_faults.end(); ++fault)
    {
        if (fault->method != method ||
            (!fault->textContains.empty() && text.find(fault->textContains) == std::wstring::npos))
            continue;
        if (fault->skip != 0)
        {
            --fault->skip;
            continue;
        }
        const HRESULT result = fault->result;
        if (fault->times != kAlways && --fault->times == 0)
        {
            m_faults.erase(fault);
            UpdateArmed();
        }
        return result;
    }
    return S_OK;
}

void CContentDbControl::SetRecording(bool on)
{
    InterlockedExchange(&m_recording, on ? 1 : 0);
}

void CContentDbControl::Record(CdbCall call)
{
    call.sequence = NextStandinCallSequence();
    call.tick = GetTickCount();
    if (!IsRecording())
        return;
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

std::vector<CdbCall> CContentDbControl::TakeCalls()
{
    std::vector<CdbCall> taken;
    CLockGuard guard(m_lock);
    taken.swap(m_calls);
    return taken;
}

void CContentDbControl::ClearCalls()
{
    CLockGuard guard(m_lock);
    m_calls.clear();
    for (volatile LONG& count : m_callCounts)
        InterlockedExchange(&count, 0);
}

void CContentDbControl::SetValueShaper(ValueShaper shaper)
{
    CLockGuard guard(m_lock);
    m_shaper = std::move(shaper);
    InterlockedExchange(&m_shaping, m_shaper ? 1 : 0);
}

void CContentDbControl::ShapeValue(LONG propId, LONG& valueCount, BSTR& value)
{
    if (InterlockedCompareExchange(&m_shaping, 0, 0) == 0)
        return;
    ValueShaper shaper;
    {
        CLockGuard guard(m_lock);
        shaper = m_shaper;
    }
    if (shaper)
        shaper(propId, valueCount, value);
}
