#pragma once
#include <windows.h>
#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include "common/ComPtr.h"
#include "standins/ClassRegistration.h"
#include "standins/ServiceStandIns.h"
#include "tools/lumhost/HostManager.h"
#include "tools/lumhost/ManagerRegistry.h"
#include "tools/soak/HandOffLedger.h"
#include "tools/soak/ProcessSnapshot.h"
#include "tools/soak/ScratchMachineKey.h"
#include "tools/soak/SoakCallTimes.h"
#include "tools/soak/SoakOptions.h"
#include "tools/soak/SoakPlugin.h"
#include "tools/soak/SoakRandom.h"
#include "tools/soak/SoakTally.h"

class CAnalysingManager;
class CContentDatabase;
class CQueueEventsSink;
class CSoakFaults;
class CSoakMedia;

// One soak run: puts the manager's world in place around the plug-in DLL (the stand-ins, engines
// in a scratch HKEY_LOCAL_MACHINE, media with real files), drives the plug-in with seeded random
// operations in busy and quiet phases, then takes everything away and checks that nothing is left.
// Runs on one thread of the multi-threaded apartment; the plug-in's threads reach it through the
// manager's site and event sink.
class CSoakRun
{
public:
    explicit CSoakRun(const CSoakOptions& options);
    ~CSoakRun();
    CSoakRun(const CSoakRun&) = delete;
    CSoakRun& operator=(const CSoakRun&) = delete;

    // Setup, the run, the end checks and the figures; true when every check passed.
    bool Run();

private:
    struct Check
    {
        std::wstring name;
        bool passed;
        std::wstring detail;
    };

    HRESULT Setup();
    void WarmUp();
    void Drive();
    void DoOp(size_t op);
    void Storm();
    void StartSearch();
    void CancelSome();
    void ConnectGranting(const VARIANT& options);
    void RecreatePlugin(bool disconnectFirst);
    void CheckFinalDisconnect();
    void Teardown();
    void CheckEnd();
    // Asks the module how many threads it has ended by force; a rise since the last look counts,
    // excused when a stall past the stop time-out was held in the time it can have come from.
    void PollForcedEnds();
    // The forced ends and the calls blocked for 6 s, printed and checked.
    void CheckForcedEndsAndBlocks();
    void PrintFigures(ULONGLONG elapsedMs);
    void AddCheck(const std::wstring& name, bool passed, const std::wstring& detail);
    bool TimeLeft() const;

    const CSoakOptions m_options;
    CSoakRandom m_random;
    CScratchMachineKey m_machineKey;
    bool m_productKeyExisted = false;

    std::shared_ptr<CContentDatabase> m_database;
    CServiceStandIns m_services;
    CClassRegistration m_fileExaminer;
    CManagerRegistry m_registry;
    CHostManager m_manager;
    std::unique_ptr<CAnalysingManager> m_analyser;
    CComPtr<CQueueEventsSink> m_sink;
    std::unique_ptr<CSoakMedia> m_media;
    CSoakTally m_ops;
    CSoakTally m_faultTally;
    CSoakCallTimes m_times;
    std::unique_ptr<CSoakFaults> m_faults;
    std::unique_ptr<CHandOffLedger> m_ledger;
    CSoakPlugin m_plugin;

    // 1: the next event callback releases the plug-in and creates another; 2: disconnecting first.
    std::atomic<int> m_recreateInCallback{0};
    std::vector<ULONG> m_searchFlags;  // queue flags as the manager receives them, in a seeded order
    size_t m_nextSearchFlags = 0;
    ULONGLONG m_startTick = 0;
    ULONGLONG m_iterations = 0;
    CProcessSnapshot m_baseline;
    ULONG m_forcedSeen = 0;     // the module's count at the last look
    DWORD m_forcedPollTick = 0;
    ULONG m_forcedEnds = 0;     // since the run's start
    ULONG m_forcedExcused = 0;  // of those, while a long stall was held
    std::vector<Check> m_checks;
};
