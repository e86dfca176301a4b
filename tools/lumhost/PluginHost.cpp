#include "tools/lumhost/PluginHost.h"
#include <ocidl.h>
#include <olectl.h>
#include <algorithm>
#include <vector>
#include "common/HResult.h"
#include "common/RegKey.h"
#include "contentdb/ContentConstants.h"
#include "host/PluginRegistration.h"
#include "interfaces/ManagerInterfaces.h"
#include "interfaces/ServiceInterfaces.h"
#include "standins/BusyNotify.h"
#include "standins/ContentDatabase.h"
#include "standins/FolderList.h"
#include "standins/ManagerSite.h"
#include "standins/ManagerStatus.h"
#include "standins/QueueEventsSink.h"
#include "tools/lumhost/FolderWatcher.h"
#include "tools/lumhost/MediaCatalogue.h"
#include "tools/lumhost/MediaTypes.h"
#include "tools/lumhost/SlowWriter.h"
#include "tools/lumhost/Timeline.h"

namespace
{
constexpr wchar_t kVendorKey[] = L"Software\\Tessaly Corporation";
constexpr DWORD kPollMs = 100;
// The stand-ins' class-wide call records serve tests; the host empties them past this size.
constexpr size_t kMaxKeptCalls = 4096;

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

// Deletes the key only when nothing is left in it.
void DeleteKeyIfEmpty(HKEY parent, const wchar_t* name)
{
    DWORD subkeys = 0;
    DWORD values = 0;
    {
        CRegKey key;
        if (key.Open(parent, name, KEY_READ) != ERROR_SUCCESS)
            return;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr) != ERROR_SUCCESS)
            return;
    }
    if (subkeys == 0 && values == 0)
        RegDeleteKeyW(parent, name);
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

const wchar_t* MethodName(CdbMethod method)
{
    switch (method)
    {
    case CdbMethod::Open: return L"Open";
    case CdbMethod::Close: return L"Close";
    case CdbMethod::SetClientInfo: return L"SetClientInfo";
    case CdbMethod::GetServerInfo: return L"GetServerInfo";
    case CdbMethod::SetNotificationSink: return L"SetNotificationSink";
    case CdbMethod::GetDatabaseNames: return L"GetDatabaseNames";
    case CdbMethod::SelectItem: return L"SelectItem";
    case CdbMethod::SearchRelatedByClass: return L"SearchRelatedByClass";
    case CdbMethod::SearchRelated: return L"SearchRelated";
    case CdbMethod::Search: return L"Search";
    case CdbMethod::MoveNext: return L"MoveNext";
    case CdbMethod::GetValue: return L"GetValue";
    case CdbMethod::DeleteItem: return L"DeleteItem";
    case CdbMethod::SetValues: return L"SetValues";
    case CdbMethod::Count: break;
    }
    return L"?";
}
}  // namespace

CPluginHost::CPluginHost(CTimeline& timeline)
    : m_timeline(timeline),
      m_manager([this](const CHostManager::HandOff& handOff) { OnHandOff(handOff); },
                [this](const CHostManager::Withdrawal& withdrawal) { OnWithdrawal(withdrawal); })
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
        hr = WatchFolder();
    if (SUCCEEDED(hr))
        hr = CreatePlugin();
    if (SUCCEEDED(hr))
    {
        SubscribeQueueEvents();
        hr = ConnectPlugin(stop);
    }
    if (SUCCEEDED(hr))
        StartWriter();
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
    CBusyNotify::Reset();
    CFolderList::Reset();
    CManagerStatus::Reset();
    m_database = CContentDatabase::Create();
    m_database->Control().SetRecording(m_options.verbose);
    HRESULT hr = m_database->Register();
    m_databaseRegistered = SUCCEEDED(hr);
    if (SUCCEEDED(hr))
        hr = m_busyNotify.Register<CBusyNotify>(CLSID_BusyNotify);
    if (SUCCEEDED(hr))
        hr = m_folderList.Register<CFolderList>(CLSID_FolderList);
    if (SUCCEEDED(hr))
        hr = m_managerStatus.Register<CManagerStatus>(CLSID_LumMgrStatus);
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

HRESULT CPluginHost::WatchFolder()
{
    m_catalogue = std::make_unique<CMediaCatalogue>(m_database->Catalogue());
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
    if (m_database)
    {
        const bool listening = m_database->SinkCount() > 0;
        if (listening != m_listening)
            m_timeline.Print(listening ? L"the plug-in listens to the content database"
                                       : L"the plug-in stopped listening to the content database");
        m_listening = listening;
        if (m_options.verbose)
            PrintDatabaseCalls();
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
}

void CPluginHost::PrintDatabaseCalls()
{
    CContentDbControl& control = m_database->Control();
    const std::vector<CdbCall> calls = control.Calls();
    if (calls.size() < m_databaseCallsSeen)
        m_databaseCallsSeen = 0;
    for (size_t i = m_databaseCallsSeen; i < calls.size(); ++i)
    {
        const CdbCall& call = calls[i];
        // Walks read values one by one; those lines would drown the rest.
        if (call.method == CdbMethod::GetValue || call.method == CdbMethod::MoveNext)
            continue;
        std::wstring text = L"database       plug-in calls " + std::wstring(MethodName(call.method));
        if (!call.text.empty())
        {
            text += L" " + call.text;
            const std::wstring path = m_catalogue ? m_catalogue->PathOfItem(call.text) : std::wstring();
            if (!path.empty())
                text += L" (" + Shown(path) + L")";
        }
        if (!call.numbers.empty() && call.method != CdbMethod::Open)
        {
            text += L" [";
            for (size_t n = 0; n < call.numbers.size(); ++n)
                text += FormatText(n ? L" 0x%04lX" : L"0x%04lX", static_cast<unsigned long>(call.numbers[n]));
            text += L"]";
        }
        m_timeline.Print(text);
    }
    m_databaseCallsSeen = calls.size();
    // Calls recorded between the copy and the clearing are lost; a bounded record is worth that.
    if (m_databaseCallsSeen > kMaxKeptCalls)
    {
        control.ClearCalls();
        m_databaseCallsSeen = 0;
    }
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
    m_manager.Detach();
    m_busyNotify.Revoke();
    m_folderList.Revoke();
    m_managerStatus.Revoke();
    if (m_database)
    {
        if (m_databaseRegistered)
            m_database->Revoke();
        m_databaseRegistered = false;
        if (m_database->LiveConnections() > 0)
            m_timeline.Print(FormatText(L"the plug-in still holds %ld content database connection(s)",
                                        static_cast<long>(m_database->LiveConnections())));
    }
    m_catalogue.reset();
    m_database.reset();
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
            DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kProductRootKey);
        if (!m_vendorKeyExisted)
            DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kVendorKey);
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
    const std::vector<CFileFates::Fate> fates = m_fates.Fates();
    if (fates.empty())
    {
        m_timeline.PrintPlain(L"No file was notified to the plug-in.");
        return;
    }
    m_timeline.PrintPlain(L"What the plug-in did with each file it was told about:");
    // Names line up unless one is very long.
    constexpr size_t kMaxColumn = 40;
    size_t column = 0;
    for (const CFileFates::Fate& fate : fates)
        column = std::max(column, std::min(Shown(fate.path).size(), kMaxColumn));
    for (const CFileFates::Fate& fate : fates)
    {
        std::wstring name = Shown(fate.path);
        if (name.size() < column)
            name.resize(column, L' ');
        m_timeline.PrintPlain(L"  " + name + L"  " + DescribeFate(fate));
    }
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
    std::wstring text = FormatText(L"%-14s %s  category %s, queue flags 0x%08lX", L"handed off",
                                   Shown(handOff.path).c_str(), DescribeCategory(static_cast<ULONG>(handOff.category)).c_str(),
                                   static_cast<unsigned long>(handOff.queueFlags));
    if (!handOff.entryId.empty())
        text += L" -> manager queue entry " + handOff.entryId;
    if (FAILED(handOff.answered))
        text += L" (the site answered " + Hex(handOff.answered) + L")";
    m_timeline.PrintAt(handOff.tick, text);
    m_fates.HandedOff(handOff.path, static_cast<ULONG>(handOff.category), handOff.tick);
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
