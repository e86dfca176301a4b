#include "tools/lumhost/PluginHost.h"
#include <ocidl.h>
#include <olectl.h>
#include <algorithm>
#include <vector>
#include "common/HResult.h"
#include "common/RegKey.h"
#include "common/TraceSettings.h"
#include "common/TraceWriter.h"
#include "contentdb/ContentConstants.h"
#include "host/PluginRegistration.h"
#include "interfaces/ManagerInterfaces.h"
#include "interfaces/ServiceInterfaces.h"
#include "search/AnalysisState.h"
#include "standins/BusyNotify.h"
#include "standins/ContentDatabase.h"
#include "standins/ContentDbCatalogue.h"
#include "standins/FolderList.h"
#include "standins/ManagerSite.h"
#include "standins/ManagerStatus.h"
#include "standins/QueueEventsSink.h"
#include "tools/lumhost/AnalysingManager.h"
#include "tools/lumhost/DatabaseReport.h"
#include "tools/lumhost/FolderWatcher.h"
#include "tools/lumhost/HostCommand.h"
#include "tools/lumhost/MediaCatalogue.h"
#include "tools/lumhost/MediaTypes.h"
#include "tools/lumhost/SlowWriter.h"
#include "tools/lumhost/Timeline.h"
#include "tools/lumhost/TraceReport.h"

namespace
{
constexpr wchar_t kVendorKey[] = L"Software\\Tessaly Corporation";
constexpr wchar_t kCleanUpClassSetting[] = L"CleanUpObjectClass";
constexpr DWORD kPollMs = 100;

using RegistrationFunction = HRESULT(STDAPICALLTYPE*)();

// GetProcAddress answers a generic function pointer; the export's real type is cast back through
// the plain function type, which the compiler accepts without a warning.
RegistrationFunction GetRegistrationExport(HMODULE module, const char* name)
{
    return reinterpret_cast<RegistrationFunction>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool KeyExists(HKEY parent, const wchar_t* name)
{
    CRegKey key;
    return key.Open(parent, name, KEY_READ) == ERROR_SUCCESS;
}

std::wstring RegisteredServerPath()
{
    CRegKeyEx key;
    const std::wstring name = L"CLSID\\" + std::wstring(GuidToString(CLSID_PluginDbNotify)) + L"\\InprocServer32";
    CString path;
    if (key.Open(HKEY_CLASSES_ROOT, name.c_str(), KEY_READ) != ERROR_SUCCESS ||
        key.QueryStringValue(nullptr, path) != ERROR_SUCCESS)
        return std::wstring();
    return std::wstring(path.GetString(), static_cast<size_t>(path.GetLength()));
}

std::wstring Hex(HRESULT hr)
{
    return FormatText(L"0x%08lX", static_cast<unsigned long>(hr));
}

}  // namespace

CPluginHost::CPluginHost(CTimeline& timeline)
    : m_timeline(timeline),
      m_manager([this](const CHostManager::HandOff& handOff) { OnHandOff(handOff); },
                [this](const CHostManager::Withdrawal& withdrawal) { OnWithdrawal(withdrawal); }),
      m_search(timeline)
{
}

CPluginHost::~CPluginHost()
{
    Stop();
}

HRESULT CPluginHost::Start(const CLumHostOptions& options, HANDLE stop)
{
    m_options = options;
    HRESULT hr = S_OK;
    if (m_options.registerPlugin)
        hr = RegisterDll();
    if (SUCCEEDED(hr))
        hr = PutStandInsInPlace();
    if (SUCCEEDED(hr))
        hr = ListEngines();
    if (SUCCEEDED(hr))
        hr = WatchFolder();
    if (SUCCEEDED(hr))
        hr = StartAnalysing();
    if (SUCCEEDED(hr))
    {
        // Lines already in the file are an earlier run's.
        m_trace = std::make_unique<CTraceReport>(m_timeline, std::wstring(TraceFilePath().GetString()),
                                                 [this](const std::wstring& path) { return Shown(path); });
        m_trace->Begin();
        if (m_options.traceGiven)
            SetTraceLevel(m_options.traceLevel);
        hr = CreatePlugin();
    }
    if (SUCCEEDED(hr))
    {
        SubscribeQueueEvents();
        hr = ConnectPlugin(stop);
    }
    if (SUCCEEDED(hr))
    {
        if (m_search.Attach(m_plugin.Get()))
            m_search.CheckOutOfDate(true);
        m_searches.assign(m_options.searches.begin(), m_options.searches.end());
        StartWriter();
    }
    return hr;
}

HRESULT CPluginHost::RegisterDll()
{
    m_vendorKeyExisted = KeyExists(HKEY_LOCAL_MACHINE, kVendorKey);
    m_rootKeyExisted = KeyExists(HKEY_LOCAL_MACHINE, kProductRootKey);
    m_dll = LoadLibraryW(m_options.dllPath.c_str());
    if (!m_dll)
    {
        const DWORD error = GetLastError();
        m_timeline.Print(FormatText(L"cannot load the plug-in DLL %s (error %lu)", m_options.dllPath.c_str(),
                                    static_cast<unsigned long>(error)));
        return HResultFromWin32(error);
    }
    const RegistrationFunction registerServer = GetRegistrationExport(m_dll, "DllRegisterServer");
    if (!registerServer || !GetRegistrationExport(m_dll, "DllUnregisterServer"))
    {
        m_timeline.Print(L"cannot register " + m_options.dllPath + L": it does not export DllRegisterServer and "
                                                                    L"DllUnregisterServer");
        return E_NOINTERFACE;
    }
    const HRESULT hr = registerServer();
    if (FAILED(hr))
    {
        m_timeline.Print(L"plug-in refused DllRegisterServer: " + Hex(hr));
        // A half-done registration is taken away again at Stop.
        m_registered = true;
        return hr;
    }
    m_registered = true;
    m_timeline.Print(L"registered the plug-in " + m_options.dllPath);
    return S_OK;
}

HRESULT CPluginHost::PutStandInsInPlace()
{
    m_database = CContentDatabase::Create();
    // The record is how the timeline learns what the plug-in wrote and removed.
    m_database->Control().SetRecording(true);
    HRESULT hr = m_database->Register();
    m_databaseRegistered = SUCCEEDED(hr);
    if (SUCCEEDED(hr))
        hr = m_services.Register();
    if (SUCCEEDED(hr))
        hr = m_manager.Create();
    if (SUCCEEDED(hr))
        hr = CQueueEventsSink::Create(&m_sink);
    if (FAILED(hr))
    {
        m_timeline.Print(L"cannot put the stand-ins in place: " + Hex(hr));
        return hr;
    }
    m_sink->SetHook([this](const VARIANT& count) { OnPendingCount(count); });
    m_timeline.Print(L"stand-ins in place: content database, manager site, busy-notify, folder list, manager status");
    return S_OK;
}

HRESULT CPluginHost::ListEngines()
{
    HRESULT hr = m_registry.Install(m_options.engines);
    if (SUCCEEDED(hr) && m_options.cleanUpClass != 0)
        hr = m_registry.SetPluginSetting(kCleanUpClassSetting, m_options.cleanUpClass);
    if (FAILED(hr))
    {
        m_timeline.Print(L"cannot list the analysis engines: " + Hex(hr));
        return hr;
    }
    for (const CManagerRegistry::Engine& engine : m_registry.Engines())
    {
        std::wstring text = FormatText(L"%-14s %s: %s, metadata version %s", L"engine", engine.option.moduleId.c_str(),
                                       DescribeCategoryMask(engine.option.categoryMask).c_str(),
                                       DescribeMetadataVersion(engine.option.version).c_str());
        if (!engine.option.creatable)
            text += L"; listed, but its class cannot be created: the plug-in leaves it out";
        else if (engine.index == 0)
            text += L"; left out of the manager's list";
        else
            text += FormatText(L", state field %lu", static_cast<unsigned long>(engine.index));
        m_timeline.Print(text);
    }
    if (m_options.cleanUpClass != 0)
        m_timeline.Print(FormatText(L"%-14s the clean-up removes items of class %lu (%s) whose file is gone",
                                    L"clean-up", static_cast<unsigned long>(m_options.cleanUpClass),
                                    DescribeItemClass(static_cast<LONG>(m_options.cleanUpClass)).c_str()));
    return S_OK;
}

HRESULT CPluginHost::StartAnalysing()
{
    m_analyser = std::make_unique<CAnalysingManager>(
        m_database->Catalogue(), [this](ULONG category) { return m_registry.IndexesFor(category); },
        m_options.analyseMs, [this](const CAnalysingManager::Analysed& analysed) {
            if (analysed.written)
            {
                m_timeline.PrintAt(analysed.tick,
                                   FormatText(L"%-14s %s: %s -> manager queue entry %s done", L"analysed",
                                              Shown(analysed.path).c_str(),
                                              CDatabaseReport::DescribeStateWrite(
                                                  {kPropAnalysisState0, kPropAnalysisState1, kPropAnalysisState2,
                                                   kPropAnalysisState3},
                                                  {FormatText(L"%ld", static_cast<long>(analysed.words[0])),
                                                   FormatText(L"%ld", static_cast<long>(analysed.words[1])),
                                                   FormatText(L"%ld", static_cast<long>(analysed.words[2])),
                                                   FormatText(L"%ld", static_cast<long>(analysed.words[3]))},
                                                  m_registry)
                                                  .c_str(),
                                              analysed.entryId.c_str()));
            }
            else
            {
                m_timeline.PrintAt(analysed.tick, FormatText(L"%-14s %s: %s; manager queue entry %s dropped",
                                                             L"not analysed", Shown(analysed.path).c_str(),
                                                             analysed.problem.c_str(), analysed.entryId.c_str()));
            }
            m_manager.Finished(analysed.entryId);
        });
    const HRESULT hr = m_analyser->Start();
    if (FAILED(hr))
        m_timeline.Print(L"cannot start the analysing manager: " + Hex(hr));
    return hr;
}

HRESULT CPluginHost::WatchFolder()
{
    m_catalogue = std::make_unique<CMediaCatalogue>(m_database->Catalogue());
    m_report = std::make_unique<CDatabaseReport>(m_timeline, m_database->Control(), *m_catalogue, m_registry,
                                                 [this](const std::wstring& path) { return Shown(path); },
                                                 m_options.verbose);
    m_catalogue->SetListener([this](const CatalogueEvent& event) { OnCatalogueEvent(event); });
    // Watching starts first, so that nothing that happens during the scan is missed.
    m_watcher = std::make_unique<CFolderWatcher>(*m_catalogue, [this](const std::wstring& text) {
        m_timeline.Print(L"watcher        " + text);
    });
    const HRESULT hr = m_watcher->Start(m_options.folder);
    if (FAILED(hr))
    {
        m_timeline.Print(L"cannot watch " + m_options.folder + L": " + Hex(hr));
        return hr;
    }
    const CMediaCatalogue::ScanResult scan = m_catalogue->Scan(m_options.folder, false, GetTickCount());
    std::wstring text = FormatText(L"catalogued %lu media file(s) in %s", static_cast<unsigned long>(scan.mediaFiles),
                                   m_options.folder.c_str());
    if (scan.otherFiles > 0)
        text += FormatText(L"; %lu other file(s) left out", static_cast<unsigned long>(scan.otherFiles));
    if (scan.unreadableFolders > 0)
        text += FormatText(L"; %lu folder(s) could not be listed", static_cast<unsigned long>(scan.unreadableFolders));
    m_timeline.Print(text);
    return S_OK;
}

HRESULT CPluginHost::CreatePlugin()
{
    if (!m_options.registerPlugin)
    {
        const std::wstring server = RegisteredServerPath();
        if (server.empty())
        {
            m_timeline.Print(L"the plug-in class is not registered: run lumhost without --no-register, or register "
                             L"the DLL with regsvr32");
            return REGDB_E_CLASSNOTREG;
        }
        m_timeline.Print(L"using the registered plug-in " + server);
    }
    const HRESULT hr = CoCreateInstance(CLSID_PluginDbNotify, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&m_plugin));
    if (FAILED(hr))
    {
        m_timeline.Print(L"cannot create the plug-in: " + Hex(hr));
        return hr;
    }
    m_timeline.Print(L"created the plug-in");
    return S_OK;
}

void CPluginHost::SubscribeQueueEvents()
{
    CComPtr<IConnectionPointContainer> container;
    HRESULT hr = m_plugin.QueryInterface(IID_IConnectionPointContainer, &container);
    if (SUCCEEDED(hr))
        hr = container->FindConnectionPoint(IID_ILumMgrPluginQueueEvents, &m_connectionPoint);
    if (SUCCEEDED(hr))
        hr = m_connectionPoint->Advise(static_cast<ILumMgrPluginQueueEvents*>(m_sink.Get()), &m_cookie);
    if (FAILED(hr))
    {
        m_connectionPoint.Release();
        m_cookie = 0;
        m_timeline.Print(L"the plug-in offers no queue events (" + Hex(hr) + L"): pending counts will not show");
        return;
    }
    m_timeline.Print(L"subscribed to the plug-in's queue events");
}

HRESULT CPluginHost::ConnectPlugin(HANDLE stop)
{
    VARIANT options;
    VariantInit(&options);
    options.vt = VT_UI4;
    options.ulVal = 1;  // change notifications wanted
    const HRESULT hr = m_plugin->Connect(m_manager.Site(), options);
    if (FAILED(hr))
    {
        m_timeline.Print(L"plug-in refused Connect: " + Hex(hr));
        return hr;
    }
    m_connected = true;
    m_timeline.Print(L"connected the plug-in to the manager's site");

    // The plug-in opens the database on its own thread; its notification sink shows when.
    const DWORD start = GetTickCount();
    while (m_database->SinkCount() == 0)
    {
        if (GetTickCount() - start >= kListenWaitMs)
        {
            m_timeline.Print(FormatText(L"the plug-in does not listen to the content database after %lu s; going on",
                                        static_cast<unsigned long>(kListenWaitMs / 1000)));
            return S_OK;
        }
        if (stop && WaitForSingleObject(stop, kPollMs) == WAIT_OBJECT_0)
            return S_OK;
        if (!stop)
            Sleep(kPollMs);
    }
    m_listening = true;
    m_timeline.Print(L"the plug-in listens to the content database");
    return S_OK;
}

void CPluginHost::StartWriter()
{
    if (m_options.writeSlowlyPath.empty())
        return;
    std::wstring path = m_options.writeSlowlyPath;
    const bool absolute = (path.size() > 1 && path[1] == L':') || (path.size() > 1 && path[0] == L'\\' && path[1] == L'\\');
    if (!absolute)
        path = m_options.folder + L"\\" + path;
    m_writer = std::make_unique<CSlowWriter>(
        [this](CSlowWriter::Event event, const std::wstring& file, ULONGLONG bytes, DWORD error) {
            switch (event)
            {
            case CSlowWriter::Event::Opened:
                m_timeline.Print(L"writer         opened " + Shown(file) + L" for writing, shared for reading only");
                break;
            case CSlowWriter::Event::Closed:
                m_timeline.Print(L"writer         closed " + Shown(file) + L" after writing " + FormatSize(bytes));
                break;
            case CSlowWriter::Event::Failed:
                m_timeline.Print(FormatText(L"writer         cannot write %s (error %lu)", Shown(file).c_str(),
                                            static_cast<unsigned long>(error)));
                break;
            }
        });
    const HRESULT hr = m_writer->Start(path, m_options.writeAfterSeconds * 1000, m_options.writeSeconds * 1000);
    if (FAILED(hr))
        m_timeline.Print(L"writer         cannot start: " + Hex(hr));
}

void CPluginHost::Poll()
{
    if (m_trace)
        m_trace->Poll();
    if (m_database)
    {
        const bool listening = m_database->SinkCount() > 0;
        if (listening != m_listening)
            m_timeline.Print(listening ? L"the plug-in listens to the content database"
                                       : L"the plug-in stopped listening to the content database");
        m_listening = listening;
        PollDatabase();
    }
    if (m_options.verbose)
    {
        for (const NotifyBusyCall& call : CBusyNotify::NotifyBusyCalls().Calls())
            m_timeline.PrintAt(call.tick, FormatText(L"busy-notify    the plug-in announces held-back work (0x%lX): %s",
                                                     static_cast<unsigned long>(call.value), Hex(call.answered).c_str()));
    }
    CBusyNotify::NotifyBusyCalls().Clear();
    CFolderList::Calls().Clear();
    CManagerStatus::GetQueueCountsCalls().Clear();

    if (m_search.ReadProgress())
    {
        // What the plug-in wrote up to its end belongs to the run's report.
        PollDatabase();
        m_search.FinishRun();
        m_search.CheckOutOfDate();
    }
    StartNextSearch();
}

void CPluginHost::PollDatabase()
{
    if (!m_report)
        return;
    const CDatabaseReport::Counts counts = m_report->Poll();
    for (size_t i = 0; i < counts.markedMissing; ++i)
        m_search.CountMarkedMissing();
    for (size_t i = 0; i < counts.reset; ++i)
        m_search.CountReset();
    for (size_t i = 0; i < counts.removed; ++i)
        m_search.CountRemoved();
}

void CPluginHost::StartNextSearch()
{
    // Each --search waits for the one before and for the analysis of what that one handed over.
    if (m_searches.empty() || !m_search.IsAttached() || m_search.RunActive() ||
        (m_analyser && m_analyser->Outstanding() != 0))
        return;
    const CSearchRequest request = m_searches.front();
    m_searches.pop_front();
    m_search.Start(request);
}

bool CPluginHost::Execute(const CHostCommand& command)
{
    switch (command.kind)
    {
    case CHostCommand::Kind::None:
        return true;
    case CHostCommand::Kind::Invalid:
        m_timeline.Print(L"command        " + command.error);
        return true;
    case CHostCommand::Kind::Search:
        m_search.Start(command.request);
        return true;
    case CHostCommand::Kind::Pause:
        m_search.Pause();
        return true;
    case CHostCommand::Kind::Resume:
        m_search.Resume();
        return true;
    case CHostCommand::Kind::Stop:
        m_search.Stop();
        return true;
    case CHostCommand::Kind::Version:
    {
        std::wstring error;
        if (!m_registry.SetVersion(command.engine, command.version, error))
        {
            m_timeline.Print(L"version        " + error);
            return true;
        }
        m_timeline.Print(FormatText(L"%-14s %s: metadata version %s", L"version", command.engine.c_str(),
                                    DescribeMetadataVersion(command.version).c_str()));
        m_search.CheckOutOfDate();
        return true;
    }
    case CHostCommand::Kind::Vanish:
        Vanish(command.path);
        return true;
    case CHostCommand::Kind::Trace:
        SetTraceLevel(command.level);
        return true;
    case CHostCommand::Kind::Why:
        Why(command.path);
        return true;
    case CHostCommand::Kind::Status:
        m_timeline.Print(FormatText(L"%-14s %s; manager queue: %lu entr%s, %lu waiting for analysis", L"status",
                                    m_search.Status().c_str(), static_cast<unsigned long>(m_manager.QueueLength()),
                                    m_manager.QueueLength() == 1 ? L"y" : L"ies",
                                    static_cast<unsigned long>(m_analyser ? m_analyser->Outstanding() : 0)));
        return true;
    case CHostCommand::Kind::Help:
        m_timeline.PrintPlain(L"Commands:\n" + HostCommandHelp());
        return true;
    case CHostCommand::Kind::Quit:
        return false;
    }
    return true;
}

std::wstring CPluginHost::MediaPath(const std::wstring& name) const
{
    const bool absolute = (name.size() > 1 && name[1] == L':') || (name.size() > 1 && name[0] == L'\\' && name[1] == L'\\');
    return absolute ? name : m_options.folder + L"\\" + name;
}

void CPluginHost::SetTraceLevel(DWORD level)
{
    const HRESULT hr = m_registry.SetPluginSetting(kTraceLevelValue, level);
    if (FAILED(hr))
    {
        m_timeline.Print(L"trace          cannot set the plug-in's TraceLevel: " + Hex(hr));
        return;
    }
    m_timeline.Print(FormatText(L"%-14s level %s for the plug-in%s%s", L"trace", DescribeTraceLevel(level).c_str(),
                                level && m_trace ? L", written to " : L"",
                                level && m_trace ? m_trace->File().c_str() : L""));
}

void CPluginHost::Why(const std::wstring& name)
{
    const std::wstring path = MediaPath(name);
    const std::vector<std::wstring> lines = m_trace ? m_trace->Why(path) : std::vector<std::wstring>();
    if (lines.empty())
    {
        m_timeline.Print(FormatText(L"%-14s the trace holds nothing about %s since lumhost started", L"why",
                                    Shown(path).c_str()));
        return;
    }
    m_timeline.Print(FormatText(L"%-14s %s: %lu trace line(s), oldest first", L"why", Shown(path).c_str(),
                                static_cast<unsigned long>(lines.size())));
    for (const std::wstring& line : lines)
        m_timeline.PrintPlain(line);
}

void CPluginHost::Vanish(const std::wstring& name)
{
    const std::wstring path = MediaPath(name);
    CatalogueEvent item;
    if (!m_catalogue || !m_catalogue->Find(path, item))
    {
        m_timeline.Print(L"vanish         " + name + L" is no catalogued media file");
        return;
    }
    const HRESULT hr = m_catalogue->DeleteBehindDatabase(path);
    if (FAILED(hr))
        m_timeline.Print(L"vanish         cannot delete " + Shown(path) + L": " + Hex(hr));
    else
        m_timeline.Print(FormatText(L"%-14s %s deleted behind the database's back: item %s stays", L"vanished",
                                    Shown(path).c_str(), item.itemId.c_str()));
}

void CPluginHost::Stop()
{
    if (m_writer)
    {
        m_writer->Stop();
        m_writer.reset();
    }
    if (m_watcher)
    {
        m_watcher->Stop();
        m_watcher.reset();
    }
    m_searches.clear();
    m_search.Detach();
    if (m_plugin && m_connected)
    {
        VARIANT none;
        VariantInit(&none);
        const HRESULT hr = m_plugin->Disconnect(none);
        m_connected = false;
        m_timeline.Print(L"disconnected the plug-in: " + Hex(hr));
        const DWORD start = GetTickCount();
        while (SUCCEEDED(hr) && m_database && m_database->SinkCount() > 0 && GetTickCount() - start < kDisconnectWaitMs)
            Sleep(kPollMs);
        if (m_database && m_database->SinkCount() > 0)
            m_timeline.Print(L"the plug-in still listens to the content database");
        else if (m_listening)
            m_timeline.Print(L"the plug-in stopped listening to the content database");
        m_listening = false;
    }
    if (m_connectionPoint)
    {
        m_connectionPoint->Unadvise(m_cookie);
        m_connectionPoint.Release();
        m_cookie = 0;
    }
    if (m_plugin)
    {
        // The final release waits for the plug-in's threads.
        m_plugin.Release();
        CoFreeUnusedLibraries();
        m_timeline.Print(L"released the plug-in");
    }
    if (m_sink)
    {
        m_sink->SetHook(nullptr);
        m_sink.Release();
    }
    // The plug-in's threads are gone; what they did last still goes on the timeline.
    PollDatabase();
    if (m_trace)
        m_trace->Poll();
    if (m_analyser)
    {
        m_analyser->Stop();
        m_analyser.reset();
    }
    m_manager.Detach();
    m_services.Revoke();
    if (m_database)
    {
        if (m_databaseRegistered)
            m_database->Revoke();
        m_databaseRegistered = false;
        if (m_database->LiveConnections() > 0)
            m_timeline.Print(FormatText(L"the plug-in still holds %ld content database connection(s)",
                                        static_cast<long>(m_database->LiveConnections())));
    }
    m_report.reset();
    m_catalogue.reset();
    m_database.reset();
    m_registry.Remove();
    UnregisterDll();
}

void CPluginHost::UnregisterDll()
{
    if (m_registered && m_dll)
    {
        const RegistrationFunction unregisterServer = GetRegistrationExport(m_dll, "DllUnregisterServer");
        const HRESULT hr = unregisterServer ? unregisterServer() : E_NOINTERFACE;
        // The plug-in keeps the product's root key by design; lumhost takes away what it made.
        if (!m_rootKeyExisted)
            DeleteRegistryKeyIfEmpty(HKEY_LOCAL_MACHINE, kProductRootKey);
        if (!m_vendorKeyExisted)
            DeleteRegistryKeyIfEmpty(HKEY_LOCAL_MACHINE, kVendorKey);
        m_timeline.Print(SUCCEEDED(hr) ? L"unregistered the plug-in" : L"plug-in refused DllUnregisterServer: " + Hex(hr));
    }
    m_registered = false;
    if (m_dll)
    {
        FreeLibrary(m_dll);
        m_dll = nullptr;
    }
}

void CPluginHost::PrintSummary()
{
    for (const std::wstring& line :
         SummariseFates(m_fates.Fates(), [this](const std::wstring& path) { return Shown(path); }, m_options.verbose))
        m_timeline.PrintPlain(line);
}

void CPluginHost::OnCatalogueEvent(const CatalogueEvent& event)
{
    const DWORD tick = GetTickCount();
    const bool listening = m_database && m_database->SinkCount() > 0;
    const wchar_t* notDelivered = listening ? L"" : L" (nobody listens: not delivered)";
    switch (event.change)
    {
    case CatalogueChange::Added:
    case CatalogueChange::Changed:
        m_timeline.PrintAt(tick, FormatText(L"%-14s %s (%s, %s, %s) -> item %s, notification kind 1%s",
                                            event.change == CatalogueChange::Added ? L"file added" : L"file changed",
                                            Shown(event.path).c_str(), DescribeItemClass(event.itemClass).c_str(),
                                            event.mimeType.c_str(), FormatSize(event.size).c_str(),
                                            event.itemId.c_str(), notDelivered));
        if (listening)
            m_fates.Notified(event.path, 1, tick);
        break;
    case CatalogueChange::Removed:
        m_timeline.PrintAt(tick, FormatText(L"%-14s %s -> item %s, notification kind 2%s", L"file removed",
                                            Shown(event.path).c_str(), event.itemId.c_str(), notDelivered));
        if (listening)
            m_fates.Notified(event.path, 2, tick);
        break;
    case CatalogueChange::NotMedia:
        m_timeline.PrintAt(tick, FormatText(L"%-14s %s: not a media file (%s), left out", L"file added",
                                            Shown(event.path).c_str(), event.mimeType.c_str()));
        break;
    case CatalogueChange::FolderUnreadable:
        m_timeline.PrintAt(tick, FormatText(L"%-14s %s (error %lu): what it holds stays as it was", L"cannot list",
                                            Shown(event.path).c_str(), static_cast<unsigned long>(event.error)));
        break;
    }
}

void CPluginHost::OnPendingCount(const VARIANT& count)
{
    const DWORD tick = GetTickCount();
    if (m_sink)
        m_sink->Events().Clear();
    if (count.vt != VT_UI4)
    {
        m_timeline.PrintAt(tick, FormatText(L"%-14s event of type %u, not VT_UI4", L"pending",
                                            static_cast<unsigned>(count.vt)));
        return;
    }
    m_timeline.PrintAt(tick, FormatText(L"%-14s %lu", L"pending", static_cast<unsigned long>(count.ulVal)));
    for (const std::wstring& path : m_fates.PendingCountChanged(count.ulVal, tick))
        m_timeline.PrintAt(tick, FormatText(L"%-14s %s: let go without a hand-off", L"dropped", Shown(path).c_str()));
}

void CPluginHost::OnHandOff(const CHostManager::HandOff& handOff)
{
    // States the plug-in wrote before this hand-off go on the timeline before it.
    PollDatabase();
    // The item's state now is the list the plug-in took it from.
    CatalogueEvent item;
    std::wstring state;
    const bool catalogued = m_catalogue && m_catalogue->Find(handOff.path, item);
    if (catalogued)
    {
        const ContentDbItemPtr found = m_database->Catalogue().Find(item.itemId);
        const std::wstring* word = found ? found->FindProperty(kPropAnalysisState0) : nullptr;
        const ULONG overall = static_cast<ULONG>(ReadStateWord(word ? word->c_str() : nullptr)) & kStateFieldMask;
        const std::wstring name = DescribeAnalysisState(overall);
        state = FormatText(L", state %lu%s", static_cast<unsigned long>(overall),
                           name.empty() ? L"" : (L" (" + name + L")").c_str());
    }
    std::wstring text = FormatText(L"%-14s %s  category %s, queue flags 0x%08lX%s", L"handed off",
                                   Shown(handOff.path).c_str(),
                                   DescribeCategory(static_cast<ULONG>(handOff.category)).c_str(),
                                   static_cast<unsigned long>(handOff.queueFlags), state.c_str());
    if (!handOff.entryId.empty())
        text += L" -> manager queue entry " + handOff.entryId;
    if (FAILED(handOff.answered))
        text += L" (the site answered " + Hex(handOff.answered) + L")";
    m_timeline.PrintAt(handOff.tick, text);
    m_fates.HandedOff(handOff.path, static_cast<ULONG>(handOff.category), handOff.tick);
    if (m_search.RunActive())
        m_search.CountHandOff();
    if (m_analyser && !handOff.entryId.empty())
        m_analyser->Queue(handOff.entryId, handOff.path, catalogued ? item.itemId : std::wstring(),
                          static_cast<ULONG>(handOff.category));
}

void CPluginHost::OnWithdrawal(const CHostManager::Withdrawal& withdrawal)
{
    std::wstring text = FormatText(L"%-14s manager queue entry %s", L"withdrawn", withdrawal.entryId.c_str());
    if (!withdrawal.path.empty())
        text += L" (" + Shown(withdrawal.path) + L")";
    if (withdrawal.answered != S_OK)
        text += L"; the site answered " + Hex(withdrawal.answered);
    m_timeline.PrintAt(withdrawal.tick, text);
    if (!withdrawal.path.empty() && withdrawal.answered == S_OK)
        m_fates.Withdrawn(withdrawal.path);
    if (m_analyser && withdrawal.answered == S_OK)
        m_analyser->Withdraw(withdrawal.entryId);
}

std::wstring CPluginHost::Shown(const std::wstring& path) const
{
    std::wstring prefix = m_options.folder;
    if (prefix.empty())
        return path;
    if (prefix.back() != L'\\')
        prefix += L'\\';
    if (path.size() > prefix.size() &&
        CompareStringOrdinal(path.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                             static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL)
        return path.substr(prefix.size());
    return path;
}
