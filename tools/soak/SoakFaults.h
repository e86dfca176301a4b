#pragma once
#include <windows.h>
#include <deque>
#include <functional>
#include <string>
#include <vector>
#include "common/Scoped.h"

class CContentDatabase;
class CManagerSite;
class CQueueEventsSink;
class CSoakRandom;
class CSoakTally;
struct CAnalysisEngineClassState;

// Arms faults at random in the stand-ins: failures of every method that can be told to fail
// (the database's, the manager site's, the busy-notify, folder-list, status and file-examiner
// services', the analysis engines', the manager's own event sink), short stalls of the calls the
// plug-in makes while it works, busy database opens and the media folder listed as one to wait
// for. Every fault is counted by kind. Stalls are let go by a thread of the injector's own, so a
// manager call that waits for a stalled worker is released whatever the soak's thread is doing.
// Stalls end within half a second, except the share of database stalls asked for as long ones,
// which are held past the plug-in's stop time-out: the one case a worker may be ended by force.
class CSoakFaults
{
public:
    // The plug-in's workers are ended by force after this long.
    static constexpr DWORD kPluginStopTimeoutMs = 20000;

    CSoakFaults(CContentDatabase& database, CManagerSite& site, std::vector<CAnalysisEngineClassState*> engines,
                CQueueEventsSink& sink, std::wstring mediaFolder, CSoakTally& tally, ULONG longStallPercent);
    ~CSoakFaults();
    CSoakFaults(const CSoakFaults&) = delete;
    CSoakFaults& operator=(const CSoakFaults&) = delete;

    HRESULT Start();
    void ArmRandom(CSoakRandom& random);
    // Back to answering normally, every stall let go.
    void DisarmAll();
    // The faults armed in the last two seconds and the stalls still held, for a slow call's record.
    std::wstring Recent() const;
    // Whether a stall longer than the plug-in's stop time-out was held at some moment between the
    // two ticks.
    bool LongStallHeldBetween(DWORD from, DWORD to) const;

private:
    struct Timed
    {
        DWORD until;
        std::function<void()> undo;
        std::wstring kind;
    };
    struct Armed
    {
        DWORD tick;
        std::wstring kind;
    };

    void Arm(const std::wstring& kind, DWORD holdMs = 0, std::function<void()> undo = {});
    void UndoExpired(bool all);
    static unsigned __stdcall ThreadMain(void* self);

    CContentDatabase& m_database;
    CManagerSite& m_site;
    std::vector<CAnalysisEngineClassState*> m_engines;
    CQueueEventsSink& m_sink;
    std::wstring m_mediaFolder;
    CSoakTally& m_tally;
    const ULONG m_longStallPercent;

    mutable CCriticalSection m_lock{LockRank::Outside};
    std::vector<Timed> m_timed;  // guarded by m_lock
    std::deque<Armed> m_recent;  // guarded by m_lock
    std::vector<std::pair<DWORD, DWORD>> m_longStalls;  // armed and let-go ticks; guarded by m_lock
    CScopedHandle m_stop;
    CScopedHandle m_thread;
};
