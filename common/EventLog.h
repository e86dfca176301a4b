#pragma once
#include <windows.h>
#include <vector>
#include "common/Scoped.h"
#include "common/TraceDecision.h"

// The plug-in's events in the Application log, source "LumSiftDbNotifyWex". Deliberately unlike the
// documented plug-in, whose failures inside its workers are reported nowhere: the few that stop it
// from working are written here, at most once a minute each. The texts are the
// message table of the DLL (host/LumSiftDbNotifyWexMessages.mc); the ids here are the same
// numbers, severity in the top two bits. Every event takes the same inserts:
//   %1 the HRESULT, in hex and by name    %2 the path or what failed
//   %3 a number (the stop time-out)        %4 how many of the same event were held back
enum : DWORD
{
    kEventDatabaseNotOpened = 0xC0000101,
    kEventDelayQueueNotRead = 0xC0000102,
    kEventDelayQueueNotWritten = 0xC0000103,
    kEventWorkerEndedByForce = 0xC0000104,
    kEventEnginePluginNotCreated = 0x80000105,
    kEventTraceStopped = 0x80000106,
};

// Writes events through ReportEventW, each id at most once a minute: the repeats in between are
// counted and the count goes with the next one written.
class CEventLog
{
public:
    static constexpr DWORD kRepeatIntervalMs = 60000;
    static constexpr WORD kInsertCount = 4;

    // The three calls to the system's event log, replaceable by a test (Wine keeps no log to read
    // back).
    struct CApi
    {
        HANDLE(WINAPI* registerSource)(LPCWSTR server, LPCWSTR source);
        BOOL(WINAPI* report)(HANDLE log, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                             LPCWSTR* inserts, LPVOID data);
        BOOL(WINAPI* deregisterSource)(HANDLE log);
    };
    static CApi SystemApi() noexcept;

    CEventLog() noexcept;
    CEventLog(const CEventLog&) = delete;
    CEventLog& operator=(const CEventLog&) = delete;

    // Null members keep the system's call. Also forgets what was reported.
    void SetApi(const CApi& api) noexcept;
    // The clock of the rate limit: GetTickCount unless a test stands in for it.
    void SetClock(DWORD(WINAPI* tick)()) noexcept;

    // Reports event `id`. True when it was written; false when held back or the log refused it.
    bool Report(DWORD id, HRESULT hr, const wchar_t* subject, DWORD number) noexcept;

    // The event type of an id: error, warning or information by its severity bits.
    static WORD TypeOf(DWORD id) noexcept;

private:
    struct CEntry
    {
        DWORD id;
        DWORD lastTick;
        ULONG heldBack;
    };

    CCriticalSection m_lock{LockRank::EventLog};
    CApi m_api;
    DWORD(WINAPI* m_tick)() = &GetTickCount;
    std::vector<CEntry> m_entries;
};

// The module's event log.
CEventLog& TheEventLog() noexcept;

// A failure that keeps the plug-in from its work: the event (rate-limited) and a trace line at
// the failures level. `what` says in words what failed.
void ReportFailure(TraceSource source, DWORD eventId, const wchar_t* what, HRESULT hr, const wchar_t* subject,
                   DWORD number = 0) noexcept;
