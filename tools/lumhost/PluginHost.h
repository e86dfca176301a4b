#pragma once
#include <windows.h>
#include <ocidl.h>
#include <deque>
#include <memory>
#include <string>
#include "common/ComPtr.h"
#include "interfaces/PluginInterfaces.h"
#include "standins/ServiceStandIns.h"
#include "tools/lumhost/FileFates.h"
#include "tools/lumhost/HostManager.h"
#include "tools/lumhost/LumHostOptions.h"
#include "tools/lumhost/ManagerRegistry.h"
#include "tools/lumhost/SearchControl.h"

class CAnalysingManager;
class CContentDatabase;
class CDatabaseReport;
struct CHostCommand;
class CFolderWatcher;
class CMediaCatalogue;
class CQueueEventsSink;
class CSlowWriter;
class CTimeline;
class CTraceReport;
struct CatalogueEvent;

// lumhost's manager: puts the plug-in and everything it talks to in place, prints what happens,
// and takes it all away again. Runs on one thread of the multi-threaded apartment, which makes
// the class registrations and must also revoke them; the plug-in and the stand-ins call the
// listeners on their own threads.
//
// Order of Start: register the DLL, register the stand-ins (content database, busy-notify,
// folder list, manager status), list the analysis engines, catalogue and watch the folder, start
// the analysing manager, create the plug-in, subscribe to its queue events, Connect with the
// manager's site, wait until it listens to the database, take its engine interface for searches,
// then the writer if one was asked for. Stop undoes it in reverse; it is safe after a failed
// Start.
class CPluginHost
{
public:
    static constexpr DWORD kListenWaitMs = 30000;
    static constexpr DWORD kDisconnectWaitMs = 10000;

    explicit CPluginHost(CTimeline& timeline);
    ~CPluginHost();
    CPluginHost(const CPluginHost&) = delete;
    CPluginHost& operator=(const CPluginHost&) = delete;

    // Everything up to a plug-in that listens. A failure has been printed when this returns it;
    // `stop` cuts the wait for the plug-in short.
    HRESULT Start(const CLumHostOptions& options, HANDLE stop);
    // Regular work of the host's thread, a few times a second: what the plug-in did to the
    // database, the progress of a search, the next --search, the bounds of the stand-ins' call
    // records.
    void Poll();
    // The plug-in's progress event (null when there is none); Poll when it is signalled.
    HANDLE ProgressEvent() const noexcept { return m_search.ProgressEvent(); }
    // Carries out a typed command; false for quit.
    bool Execute(const CHostCommand& command);
    // Disconnect, unsubscribe, release, revoke, unregister. Prints each step.
    void Stop();
    // What became of each file the plug-in was told about.
    void PrintSummary();

private:
    HRESULT RegisterDll();
    HRESULT PutStandInsInPlace();
    HRESULT ListEngines();
    HRESULT StartAnalysing();
    void StartNextSearch();
    void Vanish(const std::wstring& name);
    void SetTraceLevel(DWORD level);
    void Why(const std::wstring& name);
    // A file named as typed: absolute, or in the media folder.
    std::wstring MediaPath(const std::wstring& name) const;
    HRESULT WatchFolder();
    HRESULT CreatePlugin();
    void SubscribeQueueEvents();
    HRESULT ConnectPlugin(HANDLE stop);
    void StartWriter();
    void UnregisterDll();

    void OnCatalogueEvent(const CatalogueEvent& event);
    void OnPendingCount(const VARIANT& count);
    void OnHandOff(const CHostManager::HandOff& handOff);
    void OnWithdrawal(const CHostManager::Withdrawal& withdrawal);
    void PollDatabase();
    // The path as the timeline shows it: relative to the media folder when it lies in it.
    std::wstring Shown(const std::wstring& path) const;

    CTimeline& m_timeline;
    CLumHostOptions m_options;
    CFileFates m_fates;

    HMODULE m_dll = nullptr;
    bool m_registered = false;
    bool m_vendorKeyExisted = true;
    bool m_rootKeyExisted = true;

    std::shared_ptr<CContentDatabase> m_database;
    bool m_databaseRegistered = false;
    CServiceStandIns m_services;
    CHostManager m_manager;
    CManagerRegistry m_registry;
    std::unique_ptr<CAnalysingManager> m_analyser;
    std::unique_ptr<CDatabaseReport> m_report;
    std::unique_ptr<CTraceReport> m_trace;
    CSearchControl m_search;
    std::deque<CSearchRequest> m_searches;  // --search requests not started yet
    CComPtr<CQueueEventsSink> m_sink;

    std::unique_ptr<CMediaCatalogue> m_catalogue;
    std::unique_ptr<CFolderWatcher> m_watcher;
    std::unique_ptr<CSlowWriter> m_writer;

    CComPtr<ILumMgrPluginDatabaseNotify2> m_plugin;
    CComPtr<IConnectionPoint> m_connectionPoint;
    DWORD m_cookie = 0;
    bool m_connected = false;
    bool m_listening = false;
};
