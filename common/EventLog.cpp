#include "common/EventLog.h"

#include <cwchar>
#include "common/ComCall.h"
#include "common/ProductKeys.h"
#include "common/String.h"
#include "common/TraceWriter.h"

CEventLog::CApi CEventLog::SystemApi() noexcept
{
    return CApi{&RegisterEventSourceW, &ReportEventW, &DeregisterEventSource};
}

CEventLog::CEventLog() noexcept : m_api(SystemApi())
{
}

void CEventLog::SetApi(const CApi& api) noexcept
{
    const CApi system = SystemApi();
    CLockGuard guard(m_lock);
    m_api.registerSource = api.registerSource ? api.registerSource : system.registerSource;
    m_api.report = api.report ? api.report : system.report;
    m_api.deregisterSource = api.deregisterSource ? api.deregisterSource : system.deregisterSource;
    m_entries.clear();
}

void CEventLog::SetClock(DWORD(WINAPI* tick)()) noexcept
{
    CLockGuard guard(m_lock);
    m_tick = tick ? tick : &GetTickCount;
    m_entries.clear();
}

WORD CEventLog::TypeOf(DWORD id) noexcept
{
    switch (id >> 30)
    {
    case 3:
        return EVENTLOG_ERROR_TYPE;
    case 2:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

bool CEventLog::Report(DWORD id, HRESULT hr, const wchar_t* subject, DWORD number) noexcept
{
    ULONG heldBack = 0;
    CApi api;
    {
        CLockGuard guard(m_lock);
        const DWORD now = m_tick();
        CEntry* entry = nullptr;
        for (CEntry& known : m_entries)
        {
            if (known.id == id)
                entry = &known;
        }
        if (entry && now - entry->lastTick < kRepeatIntervalMs)
        {
            ++entry->heldBack;
            return false;
        }
        if (!entry)
        {
            try
            {
                m_entries.push_back(CEntry{id, now, 0});
            }
            catch (...)
            {
                return false;
            }
            entry = &m_entries.back();
        }
        // cppcheck-suppress nullPointerRedundantCheck ; a null entry was replaced by the new one above
        CEntry& current = *entry;
        heldBack = current.heldBack;
        current.heldBack = 0;
        current.lastTick = now;
        api = m_api;
    }
    // Written outside the lock: the log may be slow, and other ids need not wait for it.
    const HRESULT written = CatchAsHResult([&] {
        const CString result = DescribeHResult(hr);
        CString numberText;
        CString heldBackText;
        numberText.Format(L"%lu", static_cast<unsigned long>(number));
        heldBackText.Format(L"%lu", static_cast<unsigned long>(heldBack));
        LPCWSTR inserts[kInsertCount] = {result, subject ? subject : L"", numberText, heldBackText};
        HANDLE log = api.registerSource(nullptr, kPluginName);
        if (!log)
            return E_FAIL;
        const BOOL reported = api.report(log, TypeOf(id), 0, id, nullptr, kInsertCount, 0, inserts, nullptr);
        api.deregisterSource(log);
        return reported ? S_OK : E_FAIL;
    });
    return written == S_OK;
}

CEventLog& TheEventLog() noexcept
{
    static CEventLog log;
    return log;
}

void ReportFailure(TraceSource source, DWORD eventId, const wchar_t* what, HRESULT hr, const wchar_t* subject,
                   DWORD number) noexcept
{
    if (TraceOn(TraceLevel::Failures))
        Trace(source, TraceDecision::Failed, nullptr, subject, what, hr);
    TheEventLog().Report(eventId, hr, subject, number);
}
