#include "tools/soak/SoakRun.h"
#include <cstdio>
#include <algorithm>
#include "common/RegKey.h"
#include "standins/AnalysisEngine.h"
#include "standins/BusyNotify.h"
#include "standins/ContentDatabase.h"
#include "standins/FileExaminer.h"
#include "standins/FolderList.h"
#include "standins/ManagerQueueEntry.h"
#include "standins/ManagerSite.h"
#include "standins/ManagerStatus.h"
#include "standins/QueueEventsSink.h"
#include "tools/lumhost/AnalysingManager.h"
#include "tools/lumhost/EngineOption.h"
#include "tools/soak/DelayQueueReader.h"
#include "tools/soak/SoakFaults.h"
#include "tools/soak/SoakMedia.h"

namespace
{
constexpr wchar_t kScratchKey[] = L"Software\\LumSoak\\Machine";
constexpr wchar_t kVendorKey[] = L"Software\\Tessaly Corporation";
constexpr DWORD kAnalyseMs = 5;
constexpr DWORD kSettleMs = 15000;
constexpr ULONG kAllPending = 1000000;
// Handles the process may hold beyond its start once everything is gone: caches of the run-time
// that grow once, not per object.
constexpr DWORD kHandleMargin = 24;
// What a thread ended by force leaves open besides its connections: its thread, events, the
// observer's objects and what its calls held.
constexpr DWORD kHandlesPerForcedEnd = 16;
constexpr DWORD kSlowCallMs = 1000;
constexpr DWORD kFileWaitMs = 30000;

enum class OpKind
{
    Storm,
    PendingItems,
    CancelPending,
    PendingCount,
    NotifySettings,
    Reconnect,
    Connect,
    Disconnect,
    SubscribeChurn,
    Recreate,
    RecreateInCallback,
    Start,
    Pause,
    Resume,
    Stop,
    Abort,
    Progress,
    WaitProgress,
    Property,
    Identity,
    Fault,
    FileHold,
    FileDelete,
    VersionBump,
    Nap,
    Count
};

const wchar_t* const kOpNames[] = {
    L"notification storm", L"GetPendingItems", L"CancelPending", L"GetPendingCount", L"notify settings",
    L"reconnect", L"Connect", L"Disconnect", L"subscription churn", L"recreate plug-in",
    L"recreate in callback (armed)", L"Start", L"Pause", L"Resume", L"Stop", L"Abort",
    L"GetProgress/GetState", L"wait on progress event", L"GetProperty", L"identity queries", L"fault",
    L"file held open", L"file deleted/recreated", L"metadata version raised", L"nap"};
static_assert(sizeof(kOpNames) / sizeof(kOpNames[0]) == static_cast<size_t>(OpKind::Count), "one name per op");

// Busy phases do everything; quiet phases leave the queued requests alone (no notifications, no
// disconnects, no cancels, no held files) so that they age to a hand-off, while searches go on.
const std::vector<uint32_t> kBusyWeights = {10, 6, 4, 6, 2, 2, 1, 1, 2, 1, 1, 6, 3, 1, 3, 2, 5, 3, 3, 1, 6, 2, 2, 1, 5};
const std::vector<uint32_t> kQuietWeights = {0, 4, 0, 4, 1, 0, 0, 0, 1, 0, 0, 3, 2, 1, 2, 1, 4, 3, 2, 1, 2, 0, 0, 1, 0};

std::wstring Hex(ULONG value)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", value);
    return text;
}

VARIANT Options(ULONG kind)
{
    VARIANT options;
    VariantInit(&options);
    switch (kind)
    {
    case 1:
    case 2:
    case 3:
        options.vt = VT_UI4;
        options.ulVal = kind == 1 ? 0 : kind == 2 ? 1 : 3;
        break;
    case 4:
        options.vt = VT_I4;
        options.lVal = 0;
        break;
    default:
        break;
    }
    return options;
}

void Print(const std::wstring& text)
{
    wprintf(L"%ls\n", text.c_str());
    fflush(stdout);
}
}  // namespace

CSoakRun::CSoakRun(const CSoakOptions& options)
    : m_options(options), m_random(options.seed), m_machineKey(kScratchKey),
      m_manager([this](const CHostManager::HandOff& handOff) {
          if (m_ledger)
              m_ledger->HandedOff(handOff.path, handOff.queueFlags);
          if (m_analyser && !handOff.entryId.empty() && m_media)
              m_analyser->Queue(handOff.entryId, handOff.path, m_media->IdOfPath(handOff.path),
                                static_cast<ULONG>(handOff.category));
      },
                [this](const CHostManager::Withdrawal& withdrawal) {
                    if (m_analyser && withdrawal.answered == S_OK)
                        m_analyser->Withdraw(withdrawal.entryId);
                }),
      m_plugin(m_times, [this] { return m_faults ? m_faults->Recent() : std::wstring(); })
{
    // Every passed queue-flag byte has bit 30 or 31 set and is not 0x80, so that a search's
    // hand-offs never carry the notification path's 0x80000000 and each search's are its own.
    for (ULONG byte = 0x40; byte <= 0xFF; ++byte)
    {
        if (byte != 0x80)
            m_searchFlags.push_back(byte << 24);
    }
    for (size_t i = m_searchFlags.size() - 1; i > 0; --i)
        std::swap(m_searchFlags[i], m_searchFlags[m_random.Below(static_cast<uint32_t>(i + 1))]);
}

CSoakRun::~CSoakRun()
{
    Teardown();
}

bool CSoakRun::TimeLeft() const
{
    if (m_options.iterations && m_iterations >= m_options.iterations)
        return false;
    return !m_options.seconds || GetTickCount64() - m_startTick < static_cast<ULONGLONG>(m_options.seconds) * 1000;
}

void CSoakRun::AddCheck(const std::wstring& name, bool passed, const std::wstring& detail)
{
    m_checks.push_back(Check{name, passed, detail});
}

HRESULT CSoakRun::Setup()
{
    {
        CRegKey key;
        m_productKeyExisted = key.Open(HKEY_LOCAL_MACHINE, kProductRootKey, KEY_READ) == ERROR_SUCCESS;
    }
    HRESULT hr = m_machineKey.Redirect();
    if (FAILED(hr))
        return hr;
    DeleteDelayQueueFiles();
    CFileExaminer::Reset();
    m_database = CContentDatabase::Create();
    m_database->Control().SetRecording(false);
    hr = m_database->Register();
    if (SUCCEEDED(hr))
        hr = m_services.Register();
    // A long run must not keep every call it made.
    CBusyNotify::NotifyBusyCalls().SetRecording(false);
    CFolderList::Calls().SetRecording(false);
    CManagerStatus::GetQueueCountsCalls().SetRecording(false);
    CFileExaminer::Calls().SetRecording(false);

    m_ledger = std::make_unique<CHandOffLedger>([this](const std::wstring& id) {
        return m_media ? m_media->PathOfId(id) : std::wstring();
    });
    if (SUCCEEDED(hr))
        hr = m_fileExaminer.Register<CFileExaminer>(CLSID_FileExaminer);
    if (SUCCEEDED(hr))
        hr = m_registry.Install(DefaultEngines());
    if (SUCCEEDED(hr))
        hr = m_manager.Create();
    if (SUCCEEDED(hr))
        hr = CQueueEventsSink::Create(&m_sink);
    if (FAILED(hr))
        return hr;
    m_sink->Events().SetRecording(false);
    m_media = std::make_unique<CSoakMedia>(m_database->Catalogue(), m_options.files, m_random);
    m_database->SetChangeObserver([this](const std::wstring& id, LONG, LONG kind) { m_ledger->DatabaseChanged(id, kind); });

    m_analyser = std::make_unique<CAnalysingManager>(
        m_database->Catalogue(), [this](ULONG category) { return m_registry.IndexesFor(category); }, kAnalyseMs,
        [this](const CAnalysingManager::Analysed& analysed) { m_manager.Finished(analysed.entryId); });
    hr = m_analyser->Start();
    if (FAILED(hr))
        return hr;

    m_faults = std::make_unique<CSoakFaults>(*m_database, *m_manager.SiteObject(), m_registry.EngineClassStates(),
                                             *m_sink, m_media->Folder(), m_faultTally, m_options.longStalls);
    hr = m_faults->Start();
    if (FAILED(hr))
        return hr;
    m_sink->SetHook([this](const VARIANT&) {
        const int armed = m_recreateInCallback.exchange(0);
        if (armed)
            RecreatePlugin(armed == 2);
    });
    m_plugin.SetManager(m_manager.Site(), m_sink.Get());
    return m_plugin.Load(m_options.dllPath);
}

void CSoakRun::ConnectGranting(const VARIANT& options)
{
    // A connect loads the delay-queue file again, leaving out what is still queued: what the file
    // holds, or what a disconnect still on its way writes from the queue, may be handed once more.
    std::vector<std::wstring> pending;
    m_plugin.GetPendingItems(0, kAllPending, pending);
    CDelayQueueContent file;
    ReadDelayQueue(file);
    std::map<std::wstring, ULONG> grant = CountPaths(pending);
    for (const auto& entry : CountPaths(file.paths))
        grant[entry.first] = std::max(grant[entry.first], entry.second);
    m_ledger->Reloadable(grant);
    m_plugin.Connect(options);
}

void CSoakRun::RecreatePlugin(bool disconnectFirst)
{
    m_plugin.Recreate(disconnectFirst);
    VARIANT none;
    VariantInit(&none);
    ConnectGranting(none);
}

void CSoakRun::WarmUp()
{
    // Whatever the run-time makes once (COM's marshalling, the shell's folder, the first database
    // connection) is made here, before the handles and threads are counted.
    RecreatePlugin(false);
    m_ledger->SearchStarted(m_searchFlags.back(), 0x01);
    m_plugin.Start(m_searchFlags.back() | 0x00010000, L"warm-up");
    for (int i = 0; i < 100; ++i)
    {
        ULONG progress = 0;
        m_plugin.WaitProgress(100);
        if (SUCCEEDED(m_plugin.GetProgress(progress)) && (progress & 0xC0000000) != 0)
            break;
    }
    m_plugin.Stop();
    m_plugin.Disconnect();
    m_plugin.ReleaseCurrent(false);
    m_baseline = CProcessSnapshot::Take();
    m_plugin.ThreadsEndedByForce(m_forcedSeen);
    m_forcedPollTick = GetTickCount();
}

void CSoakRun::PollForcedEnds()
{
    ULONG count = 0;
    if (!m_plugin.ThreadsEndedByForce(count))
        return;
    const DWORD now = GetTickCount();
    if (count > m_forcedSeen)
    {
        const ULONG added = count - m_forcedSeen;
        m_forcedEnds += added;
        // The thread was stuck for the whole stop time-out before it was ended.
        const DWORD stuckFrom = m_forcedPollTick - CSoakFaults::kPluginStopTimeoutMs - 5000;
        if (m_faults && m_faults->LongStallHeldBetween(stuckFrom, now))
            m_forcedExcused += added;
        fwprintf(stderr, L"lumsoak: %lu plug-in thread(s) ended by force (at %lu s)\n", added,
                 static_cast<ULONG>((GetTickCount64() - m_startTick) / 1000));
        fflush(stderr);
    }
    m_forcedSeen = count;
    m_forcedPollTick = now;
}

void CSoakRun::CheckForcedEndsAndBlocks()
{
    PollForcedEnds();
    ULONG blocked = 0;
    ULONG blockedExcused = 0;
    std::wstring blockedText;
    for (const CSoakCallTimes::Blocked& call : m_times.BlockedCalls())
    {
        ++blocked;
        const bool excused =
            m_faults && m_faults->LongStallHeldBetween(call.startTick, call.startTick + CSoakCallTimes::kBlockingMs);
        blockedExcused += excused ? 1 : 0;
        blockedText += L"\n      " + call.method + L" at " +
                       std::to_wstring(static_cast<DWORD>(call.startTick - static_cast<DWORD>(m_startTick)) / 1000) +
                       L" s" + (excused ? L" (a stall past the stop time-out was held)" : L"");
    }
    Print(L"Forced ends: " + std::to_wstring(m_forcedEnds) + L" (" + std::to_wstring(m_forcedExcused) +
          L" while a stall past the stop time-out was held); calls blocked for 6 s: " + std::to_wstring(blocked));
    AddCheck(L"no plug-in thread ended by force", m_forcedEnds == m_forcedExcused,
             std::to_wstring(m_forcedEnds) + L" ended by force, " + std::to_wstring(m_forcedExcused) +
                 L" of them while a stall past the stop time-out was held");
    AddCheck(L"no manager call blocked for 6 s", blocked == blockedExcused,
             std::to_wstring(blocked) + L" blocked, " + std::to_wstring(blockedExcused) +
                 L" of them while a stall past the stop time-out was held" + blockedText);
}

void CSoakRun::Storm()
{
    const uint32_t changes = m_random.Between(1, 20);
    for (uint32_t i = 0; i < changes; ++i)
    {
        const size_t slot = m_random.Below(static_cast<uint32_t>(m_media->Count()));
        const uint32_t kind = m_random.Below(10);
        if (kind == 0)
            m_media->Remove(slot);
        else if (kind == 1)
            m_media->Restore(slot);
        else
            m_media->Change(slot);
    }
    m_ops.Add(L"notifications raised", changes);
}

void CSoakRun::StartSearch()
{
    const ULONG flags = m_searchFlags[m_nextSearchFlags++ % m_searchFlags.size()];
    ULONG byte = flags >> 24;
    // Bytes without bits 30 and 31 reach the manager with 0x80000000 added: both forms are used.
    if (byte >= 0x81 && byte <= 0xBF && m_random.Percent(50))
        byte &= 0x7F;
    ULONG mode = m_random.Between(1, 6);
    if (m_random.Percent(4))
        mode = m_random.Percent(50) ? 0 : m_random.Between(7, 0xFF);
    static const ULONG kMasks[] = {0, 0xFFFF, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x3F};
    ULONG mask = kMasks[m_random.Below(9)];
    if (m_random.Percent(30))
        mask = m_random.Between(1, 0x3F);
    m_ledger->SearchStarted(flags, mode);
    m_plugin.Start((byte << 24) | (mode << 16) | mask, m_random.Percent(50) ? L"soak" : nullptr);
}

void CSoakRun::CancelSome()
{
    const size_t slot = m_random.Below(static_cast<uint32_t>(m_media->Count()));
    switch (m_random.Below(4))
    {
    case 0:
        m_plugin.CancelPending(m_media->PathOf(slot).c_str());
        break;
    case 1:
        m_plugin.CancelPending(m_media->IdOf(slot).c_str());
        break;
    case 2:
        m_plugin.CancelPending(nullptr);
        break;
    default:
        m_plugin.CancelPending(L"");
        break;
    }
}

void CSoakRun::DoOp(size_t op)
{
    const OpKind kind = static_cast<OpKind>(op);
    m_ops.Add(kOpNames[static_cast<int>(kind)]);
    ULONG value = 0;
    std::vector<std::wstring> paths;
    switch (kind)
    {
    case OpKind::Storm:
        Storm();
        break;
    case OpKind::PendingItems:
        m_plugin.GetPendingItems(m_random.Below(4), m_random.Between(1, 50), paths);
        break;
    case OpKind::CancelPending:
        CancelSome();
        break;
    case OpKind::PendingCount:
        m_plugin.GetPendingCount(value);
        break;
    case OpKind::NotifySettings:
        m_plugin.AskNotifySettings();
        break;
    case OpKind::Reconnect:
        m_plugin.Disconnect();
        ConnectGranting(Options(m_random.Below(6)));
        break;
    case OpKind::Connect:
        ConnectGranting(Options(m_random.Below(6)));
        break;
    case OpKind::Disconnect:
        m_plugin.Disconnect();
        break;
    case OpKind::SubscribeChurn:
        m_plugin.Unsubscribe();
        m_plugin.Subscribe();
        break;
    case OpKind::Recreate:
        RecreatePlugin(m_random.Percent(50));
        break;
    case OpKind::RecreateInCallback:
        m_recreateInCallback = m_random.Percent(50) ? 2 : 1;
        break;
    case OpKind::Start:
        StartSearch();
        break;
    case OpKind::Pause:
        m_plugin.Pause();
        break;
    case OpKind::Resume:
        // A paused engine goes on with Start; Resume itself is not offered.
        m_plugin.Resume();
        break;
    case OpKind::Stop:
        m_plugin.Stop();
        break;
    case OpKind::Abort:
        m_plugin.Abort();
        break;
    case OpKind::Progress:
        m_plugin.GetProgress(value);
        m_plugin.GetState(value);
        break;
    case OpKind::WaitProgress:
        m_plugin.WaitProgress(m_random.Between(1, 200));
        break;
    case OpKind::Property:
        m_plugin.GetProperty(m_random.Percent(50) ? 0x11000 : 0x11001, value);
        break;
    case OpKind::Identity:
        m_plugin.AskIdentity();
        break;
    case OpKind::Fault:
        m_faults->ArmRandom(m_random);
        break;
    case OpKind::FileHold:
        if (m_media->Hold(m_random.Below(static_cast<uint32_t>(m_media->Count())),
                          GetTickCount() + m_random.Between(100, 30000)))
            m_faultTally.Add(L"file held open");
        break;
    case OpKind::FileDelete:
    {
        const size_t slot = m_random.Below(static_cast<uint32_t>(m_media->Count()));
        if (m_media->DeleteItemFile(slot))
            m_faultTally.Add(L"file deleted behind the database");
        else
            m_media->RecreateItemFile(slot);
        break;
    }
    case OpKind::VersionBump:
    {
        const std::vector<CManagerRegistry::Engine> engines = m_registry.Engines();
        if (!engines.empty())
        {
            const CManagerRegistry::Engine& engine = engines[m_random.Below(static_cast<uint32_t>(engines.size()))];
            const DWORD version = engine.option.version + (m_random.Percent(50) ? 0x00010000 : 1);
            std::wstring error;
            m_registry.SetVersion(engine.option.moduleId, version, error);
        }
        break;
    }
    case OpKind::Nap:
        Sleep(m_random.Between(1, 30));
        break;
    case OpKind::Count:
        break;
    }
}

void CSoakRun::Drive()
{
    RecreatePlugin(false);
    bool quiet = false;
    while (TimeLeft())
    {
        // A busy phase of some hundred operations, then a quiet one long enough for held-back
        // requests to pass the 10 s batch delay and the 25 s minimum age.
        const uint32_t ops = quiet ? m_random.Between(60, 220) : m_random.Between(100, 600);
        const DWORD pauseMs = quiet ? 200 : 0;
        for (uint32_t i = 0; i < ops && TimeLeft(); ++i, ++m_iterations)
        {
            const size_t op = m_random.Weighted(quiet ? kQuietWeights : kBusyWeights);
            DoOp(op);
            PollForcedEnds();
            m_media->ReleaseHolds(GetTickCount(), false);
            if (pauseMs)
                Sleep(pauseMs);
        }
        quiet = !quiet;
    }
}

void CSoakRun::CheckFinalDisconnect()
{
    // With no fault armed, connect and disconnect until the pending list was the same before
    // and after the disconnect (a batch may run in between); the file must then hold exactly it.
    bool compared = false;
    bool matched = false;
    std::wstring detail;
    for (int attempt = 0; attempt < 5 && !matched; ++attempt)
    {
        VARIANT none;
        VariantInit(&none);
        ConnectGranting(none);
        const ULONGLONG start = GetTickCount64();
        while (m_database->SinkCount() == 0 && GetTickCount64() - start < kSettleMs)
            Sleep(20);
        std::vector<std::wstring> before;
        std::vector<std::wstring> after;
        m_plugin.GetPendingItems(0, kAllPending, before);
        m_plugin.Disconnect();
        CDelayQueueContent file;
        const ULONGLONG written = GetTickCount64();
        do
        {
            Sleep(50);
            if (FAILED(ReadDelayQueue(file)))
                continue;
        } while (file.paths != before && GetTickCount64() - written < kFileWaitMs);
        m_plugin.GetPendingItems(0, kAllPending, after);
        compared = true;
        matched = file.paths == before;
        detail = std::to_wstring(before.size()) + L" pending before the disconnect, " +
                 std::to_wstring(after.size()) + L" after, " + std::to_wstring(file.paths.size()) +
                 L" line(s) in the file" + (file.exists ? L"" : L" (no file)");
        if (!matched && before == after)
            break;
    }
    AddCheck(L"delay-queue file holds what was pending at the last disconnect", compared && matched, detail);
}

void CSoakRun::Teardown()
{
    if (m_faults)
        m_faults->DisarmAll();
    m_recreateInCallback = 0;
    if (m_sink)
        m_sink->SetHook(nullptr);
    m_plugin.ReleaseCurrent(false);
    m_plugin.SetManager(nullptr, nullptr);
    m_plugin.Revoke();
    m_faults.reset();
    if (m_analyser)
        m_analyser->Stop();
    m_analyser.reset();
    m_manager.Detach();
    m_sink.Release();
    m_services.Revoke();
    m_fileExaminer.Revoke();
    if (m_database)
    {
        m_database->SetChangeObserver(nullptr);
        m_database->Revoke();
    }
    m_media.reset();
    m_database.reset();
    m_registry.Remove();
    DeleteRegistryKeyIfEmpty(HKEY_LOCAL_MACHINE, kProductRootKey);
    DeleteRegistryKeyIfEmpty(HKEY_LOCAL_MACHINE, kVendorKey);
}

void CSoakRun::CheckEnd()
{
    // The plug-in objects are gone once the DLL may be unloaded; one released from its own
    // thread finishes there.
    m_plugin.ReleaseCurrent(false);
    m_plugin.Revoke();
    const HRESULT unload = m_plugin.WaitUntilUnloadable(30000);
    // Asked of an object made for the question, once every other one is gone.
    CheckForcedEndsAndBlocks();
    const LONG connections = m_database ? m_database->LiveConnections() : 0;
    Teardown();
    AddCheck(L"DllCanUnloadNow answers S_OK", unload == S_OK, Hex(static_cast<ULONG>(unload)));
    // A thread ended by force leaves its connections behind (one for the notification worker, the
    // two of a search run), as the ended thread may have been inside a call on them.
    const LONG forcedLeftovers = 2 * static_cast<LONG>(m_forcedExcused);
    AddCheck(L"no database connection left", connections == 0 || connections <= forcedLeftovers,
             std::to_wstring(connections) + L" open" +
                 (connections && forcedLeftovers ? L", left by threads ended by force" : L""));

    const std::pair<const wchar_t*, LONG> live[] = {
        {L"manager site", CManagerSite::LiveCount()},
        {L"manager queue entry", CManagerQueueEntry::LiveCount()},
        {L"queue-event sink", CQueueEventsSink::LiveCount()},
        {L"busy-notify", CBusyNotify::LiveCount()},
        {L"folder list", CFolderList::LiveCount()},
        {L"manager status", CManagerStatus::LiveCount()},
        {L"file examiner", CFileExaminer::LiveCount()},
        {L"analysis engine", CAnalysisEngine::LiveCount()},
    };
    std::wstring leftovers;
    for (const auto& entry : live)
    {
        if (entry.second != 0)
            leftovers += (leftovers.empty() ? L"" : L", ") + std::wstring(entry.first) + L" " + std::to_wstring(entry.second);
    }
    AddCheck(L"no live stand-in object", leftovers.empty(), leftovers.empty() ? L"all released" : leftovers);

    // The shell keeps the special folders it was asked for under Software\Microsoft of the machine
    // keys; that is the system's, not the product's.
    std::vector<std::wstring> keys;
    for (const std::wstring& key : m_machineKey.Contents())
    {
        static const std::wstring kShellKeys = L"Software\\Microsoft";
        if (key != L"Software" && key.compare(0, kShellKeys.size(), kShellKeys) != 0)
            keys.push_back(key);
    }
    std::wstring keyText = keys.empty() ? L"none" : L"";
    for (const std::wstring& key : keys)
        keyText += L"\n      " + key;
    const bool scratchGone = m_machineKey.End();
    bool productKeyNow = false;
    {
        CRegKey key;
        productKeyNow = key.Open(HKEY_LOCAL_MACHINE, kProductRootKey, KEY_READ) == ERROR_SUCCESS;
    }
    AddCheck(L"no registry entry left", keys.empty() && scratchGone && productKeyNow == m_productKeyExisted,
             L"left in the machine keys: " + keyText);
    DeleteDelayQueueFiles();

    const DWORD handleMargin = kHandleMargin + kHandlesPerForcedEnd * m_forcedExcused;
    CProcessSnapshot end;
    std::set<DWORD> threads;
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 10000; Sleep(100))
    {
        end = CProcessSnapshot::Take();
        threads = end.NewThreadsSince(m_baseline);
        if (threads.empty() && end.handles <= m_baseline.handles + handleMargin)
            break;
    }
    std::wstring threadText;
    for (DWORD thread : threads)
        threadText += (threadText.empty() ? L"thread " : L", ") + std::to_wstring(thread);
    AddCheck(L"no thread left", threads.empty(), threads.empty() ? L"none beyond the start" : threadText);
    AddCheck(L"handle count back at its start", end.handles <= m_baseline.handles + handleMargin,
             std::to_wstring(m_baseline.handles) + L" at the start, " + std::to_wstring(end.handles) + L" at the end");

    ULONG doubles = 0;
    const std::vector<CHandOffLedger::Finding> findings = m_ledger->Findings(doubles);
    std::wstring doubleText = std::to_wstring(doubles) + L" found";
    for (const CHandOffLedger::Finding& finding : findings)
        doubleText += L"\n      " + finding.path + L" flags " + Hex(finding.queueFlags) + L": handed " +
                      std::to_wstring(finding.handed) + L", allowed " + std::to_wstring(finding.allowed) +
                      L" (at " + std::to_wstring((finding.tick - static_cast<DWORD>(m_startTick)) / 1000) + L" s)";
    AddCheck(L"nothing handed to the manager twice against the rules", doubles == 0, doubleText);
}

void CSoakRun::PrintFigures(ULONGLONG elapsedMs)
{
    const double seconds = std::max<double>(elapsedMs / 1000.0, 0.001);
    Print(L"");
    Print(L"Operations (" + std::to_wstring(m_iterations) + L" in " + std::to_wstring(elapsedMs / 1000) + L" s):");
    for (const auto& entry : m_ops.Counts())
    {
        wchar_t line[160];
        swprintf(line, 160, L"  %-34ls %8lu  %8.1f/s", entry.first.c_str(), entry.second, entry.second / seconds);
        Print(line);
    }
    Print(L"Faults injected (" + std::to_wstring(m_faultTally.Total()) + L"):");
    for (const auto& entry : m_faultTally.Counts())
    {
        wchar_t line[160];
        swprintf(line, 160, L"  %-40ls %8lu", entry.first.c_str(), entry.second);
        Print(line);
    }
    Print(L"Hand-offs: " + std::to_wstring(m_ledger->NotificationHandOffs()) + L" from notifications, " +
          std::to_wstring(m_ledger->SearchHandOffs()) + L" from searches; plug-in objects created: " +
          std::to_wstring(m_plugin.Created()));
    Print(L"Longest manager call per method:");
    std::vector<std::pair<std::wstring, CSoakCallTimes::Method>> methods;
    for (const auto& entry : m_times.Methods())
        methods.push_back(entry);
    std::sort(methods.begin(), methods.end(),
              [](const auto& a, const auto& b) { return a.second.worstMs > b.second.worstMs; });
    for (const auto& entry : methods)
    {
        wchar_t line[200];
        swprintf(line, 200, L"  %-22ls %8lu calls  worst %6lu ms%ls", entry.first.c_str(), entry.second.calls,
                 entry.second.worstMs, entry.second.worstMs > kSlowCallMs ? L"  <- blocked the manager" : L"");
        Print(line);
        if (entry.second.worstMs > kSlowCallMs)
            Print(L"      while " + entry.second.worstContext);
    }
}

bool CSoakRun::Run()
{
    Print(L"lumsoak: seed " + std::to_wstring(m_options.seed) + L", " +
          (m_options.iterations ? std::to_wstring(m_options.iterations) + L" operations"
                                : std::to_wstring(m_options.seconds) + L" s") +
          L", " + std::to_wstring(m_options.files) + L" media files, DLL " + m_options.dllPath);
    const HRESULT hr = Setup();
    if (FAILED(hr))
    {
        Print(L"lumsoak: cannot set up: " + Hex(static_cast<ULONG>(hr)));
        AddCheck(L"setup", false, Hex(static_cast<ULONG>(hr)));
    }
    else
    {
        WarmUp();
        m_startTick = GetTickCount64();
        Drive();
        const ULONGLONG elapsed = GetTickCount64() - m_startTick;
        m_faults->DisarmAll();
        m_media->ReleaseHolds(0, true);
        m_recreateInCallback = 0;
        // Every object of the run writes its queue to the one delay-queue file when its worker
        // ends, and one released inside its own callback ends later, on a thread of its own; so
        // the last disconnect is made on a new object once all the others are gone (which also
        // ends any search still writing states).
        m_plugin.ReleaseCurrent(false);
        m_plugin.Revoke();
        const HRESULT quiet = m_plugin.WaitUntilUnloadable(30000);
        if (quiet != S_OK)
            Print(L"lumsoak: plug-in objects still alive before the last disconnect: " + Hex(static_cast<ULONG>(quiet)));
        m_plugin.Register();
        RecreatePlugin(false);
        CheckFinalDisconnect();
        PrintFigures(elapsed);
        CheckEnd();
    }
    bool passed = true;
    Print(L"End checks:");
    for (const Check& check : m_checks)
    {
        Print(std::wstring(check.passed ? L"  ok    " : L"  FAIL  ") + check.name + L": " + check.detail);
        passed = passed && check.passed;
    }
    Print(passed ? L"lumsoak: passed" : L"lumsoak: FAILED");
    return passed;
}
