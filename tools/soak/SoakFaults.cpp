#include "tools/soak/SoakFaults.h"
#include <process.h>
#include "common/CallbackType.h"
#include "standins/AnalysisEngine.h"
#include "standins/BusyNotify.h"
#include "standins/ContentDatabase.h"
#include "standins/FileExaminer.h"
#include "standins/FolderList.h"
#include "standins/ManagerSite.h"
#include "standins/ManagerStatus.h"
#include "standins/QueueEventsSink.h"
#include "tools/soak/SoakRandom.h"
#include "tools/soak/SoakTally.h"

namespace
{
constexpr DWORD kRecentMs = 2000;
constexpr DWORD kUndoPollMs = 20;

const HRESULT kFailures[] = {E_FAIL, E_OUTOFMEMORY, E_ACCESSDENIED, static_cast<HRESULT>(0x800706BA)};

const wchar_t* const kDbMethodNames[] = {
    L"Open",   L"Close",  L"SetClientInfo", L"GetServerInfo", L"SetNotificationSink", L"GetDatabaseNames",
    L"SelectItem", L"SearchRelatedByClass", L"SearchRelated", L"Search", L"MoveNext", L"GetValue",
    L"DeleteItem", L"SetValues"};
static_assert(sizeof(kDbMethodNames) / sizeof(kDbMethodNames[0]) == static_cast<size_t>(CdbMethod::Count),
              "one name per database method");
}  // namespace

CSoakFaults::CSoakFaults(CContentDatabase& database, CManagerSite& site, std::vector<CAnalysisEngineClassState*> engines,
                         CQueueEventsSink& sink, std::wstring mediaFolder, CSoakTally& tally, ULONG longStallPercent)
    : m_database(database), m_site(site), m_engines(std::move(engines)), m_sink(sink),
      m_mediaFolder(std::move(mediaFolder)), m_tally(tally), m_longStallPercent(longStallPercent)
{
}

CSoakFaults::~CSoakFaults()
{
    if (m_thread.IsValid())
    {
        SetEvent(m_stop.Get());
        WaitForSingleObject(m_thread.Get(), INFINITE);
    }
    DisarmAll();
}

HRESULT CSoakFaults::Start()
{
    m_stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stop.IsValid())
        return HRESULT_FROM_WIN32(GetLastError());
    LUM_ASSERT_CALLBACK_TYPE(ThreadMain, _beginthreadex_proc_type);
    m_thread.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ThreadMain, this, 0, nullptr)));
    return m_thread.IsValid() ? S_OK : E_FAIL;
}

unsigned __stdcall CSoakFaults::ThreadMain(void* self)
{
    CSoakFaults& faults = *static_cast<CSoakFaults*>(self);
    while (WaitForSingleObject(faults.m_stop.Get(), kUndoPollMs) == WAIT_TIMEOUT)
        faults.UndoExpired(false);
    return 0;
}

void CSoakFaults::UndoExpired(bool all)
{
    std::vector<Timed> due;
    {
        CLockGuard guard(m_lock);
        const DWORD now = GetTickCount();
        for (auto it = m_timed.begin(); it != m_timed.end();)
        {
            if (all || static_cast<LONG>(now - it->until) >= 0)
            {
                due.push_back(std::move(*it));
                it = m_timed.erase(it);
            }
            else
            {
                ++it;
            }
        }
    }
    for (Timed& timed : due)
        timed.undo();
}

void CSoakFaults::Arm(const std::wstring& kind, DWORD holdMs, std::function<void()> undo)
{
    m_tally.Add(kind);
    CLockGuard guard(m_lock);
    const DWORD now = GetTickCount();
    m_recent.push_back(Armed{now, kind});
    while (!m_recent.empty() && now - m_recent.front().tick > kRecentMs)
        m_recent.pop_front();
    if (undo)
        m_timed.push_back(Timed{now + holdMs, std::move(undo), kind});
}

void CSoakFaults::ArmRandom(CSoakRandom& random)
{
    const HRESULT failure = kFailures[random.Below(sizeof(kFailures) / sizeof(kFailures[0]))];
    const ULONG times = random.Between(1, 3);
    const DWORD stallMs = random.Between(50, 500);
    CContentDbControl& db = m_database.Control();
    switch (random.Below(16))
    {
    case 0:
    case 1:
    {
        const CdbMethod method = static_cast<CdbMethod>(random.Below(static_cast<uint32_t>(CdbMethod::Count)));
        db.FailNext(method, failure, times);
        Arm(std::wstring(L"database ") + kDbMethodNames[static_cast<int>(method)] + L" fails");
        break;
    }
    case 2:
    {
        static const CdbMethod kStallable[] = {CdbMethod::Search, CdbMethod::Open, CdbMethod::SelectItem,
                                               CdbMethod::MoveNext, CdbMethod::SetValues};
        const CdbMethod method = kStallable[random.Below(5)];
        // Asked for only with long stalls on, so that a run without them draws what it always drew.
        const bool longStall = m_longStallPercent != 0 && random.Percent(m_longStallPercent);
        const DWORD holdMs =
            longStall ? random.Between(kPluginStopTimeoutMs + 1000, kPluginStopTimeoutMs + 10000) : stallMs;
        db.Stall(method);
        if (longStall)
        {
            CLockGuard guard(m_lock);
            m_longStalls.emplace_back(GetTickCount(), GetTickCount() + holdMs);
        }
        Arm(std::wstring(L"database ") + kDbMethodNames[static_cast<int>(method)] +
                (longStall ? L" stalls past the stop time-out" : L" stalls"),
            holdMs, [&db, method] { db.Release(method); });
        break;
    }
    case 3:
        m_database.SetBusyFor(random.Between(100, 3000));
        Arm(L"database busy at open");
        break;
    case 4:
    {
        static const ManagerSiteMethod kMethods[] = {ManagerSiteMethod::QueueItem, ManagerSiteMethod::GetQueueEntries,
                                                     ManagerSiteMethod::CancelQueueEntry};
        static const wchar_t* const kNames[] = {L"QueueItem", L"GetQueueEntries", L"CancelQueueEntry"};
        const uint32_t which = random.Below(3);
        m_site.Fault(kMethods[which]).FailWith(failure, times);
        Arm(std::wstring(L"site ") + kNames[which] + L" fails");
        break;
    }
    case 5:
    {
        const bool queueItem = random.Percent(50);
        CFaultControl& fault = m_site.Fault(queueItem ? ManagerSiteMethod::QueueItem : ManagerSiteMethod::GetQueueEntries);
        fault.Stall();
        Arm(queueItem ? L"site QueueItem stalls" : L"site GetQueueEntries stalls", stallMs, [&fault] { fault.Release(); });
        break;
    }
    case 6:
    {
        const bool create = random.Percent(50);
        CBusyNotify::Fault(create ? BusyNotifyMethod::Create : BusyNotifyMethod::NotifyBusy).FailWith(failure, times);
        Arm(create ? L"busy-notify creation fails" : L"busy-notify NotifyBusy fails");
        break;
    }
    case 7:
    {
        static const FolderListMethod kMethods[] = {FolderListMethod::Create, FolderListMethod::GetCount,
                                                    FolderListMethod::GetEntry};
        static const wchar_t* const kNames[] = {L"creation", L"GetCount", L"GetEntry"};
        const uint32_t which = random.Below(3);
        CFolderList::Fault(kMethods[which]).FailWith(failure, times);
        Arm(std::wstring(L"folder-list ") + kNames[which] + L" fails");
        break;
    }
    case 8:
        // Files under a listed folder wait up to 120 s instead of 25 s.
        CFolderList::SetFolders({{m_mediaFolder, 0}});
        Arm(L"media folder listed", random.Between(1000, 20000), [] { CFolderList::SetFolders({}); });
        break;
    case 9:
    {
        const bool create = random.Percent(50);
        CManagerStatus::Fault(create ? ManagerStatusMethod::Create : ManagerStatusMethod::GetQueueCounts)
            .FailWith(failure, times);
        Arm(create ? L"manager status creation fails" : L"manager status GetQueueCounts fails");
        break;
    }
    case 10:
    {
        static const FileExaminerMethod kMethods[] = {FileExaminerMethod::Create, FileExaminerMethod::OpenSource,
                                                      FileExaminerMethod::OpenContainer, FileExaminerMethod::GetPartCount,
                                                      FileExaminerMethod::GetPart, FileExaminerMethod::ComparePart};
        static const wchar_t* const kNames[] = {L"creation", L"OpenSource", L"OpenContainer",
                                                L"GetPartCount", L"GetPart", L"ComparePart"};
        const uint32_t which = random.Below(6);
        CFileExaminer::Fault(kMethods[which]).FailWith(failure, times);
        Arm(std::wstring(L"file examiner ") + kNames[which] + L" fails");
        break;
    }
    case 11:
    {
        if (m_engines.empty())
            break;
        CAnalysisEngineClassState& engine = *m_engines[random.Below(static_cast<uint32_t>(m_engines.size()))];
        const bool create = random.Percent(50);
        (create ? engine.create : engine.getCategoryMask).FailWith(failure, times);
        Arm(create ? L"engine creation fails" : L"engine GetCategoryMask fails");
        break;
    }
    case 12:
        m_sink.Fault().FailWith(failure, times);
        Arm(L"manager sink fails");
        break;
    case 13:
    {
        CFaultControl& fault = m_sink.Fault();
        fault.Stall();
        Arm(L"manager sink stalls", stallMs, [&fault] { fault.Release(); });
        break;
    }
    case 14:
    {
        CFaultControl& fault = CManagerStatus::Fault(ManagerStatusMethod::GetQueueCounts);
        fault.Stall();
        Arm(L"manager status stalls", stallMs, [&fault] { fault.Release(); });
        break;
    }
    default:
    {
        CFaultControl& fault = CFileExaminer::Fault(FileExaminerMethod::OpenSource);
        fault.Stall();
        Arm(L"file examiner stalls", stallMs, [&fault] { fault.Release(); });
        break;
    }
    }
}

void CSoakFaults::DisarmAll()
{
    UndoExpired(true);
    m_database.Control().Reset();
    m_database.SetBusyFor(0);
    for (int i = 0; i < static_cast<int>(ManagerSiteMethod::Count); ++i)
        m_site.Fault(static_cast<ManagerSiteMethod>(i)).Reset();
    for (int i = 0; i < static_cast<int>(BusyNotifyMethod::Count); ++i)
        CBusyNotify::Fault(static_cast<BusyNotifyMethod>(i)).Reset();
    for (int i = 0; i < static_cast<int>(FolderListMethod::Count); ++i)
        CFolderList::Fault(static_cast<FolderListMethod>(i)).Reset();
    CFolderList::SetFolders({});
    for (int i = 0; i < static_cast<int>(ManagerStatusMethod::Count); ++i)
        CManagerStatus::Fault(static_cast<ManagerStatusMethod>(i)).Reset();
    for (int i = 0; i < static_cast<int>(FileExaminerMethod::Count); ++i)
        CFileExaminer::Fault(static_cast<FileExaminerMethod>(i)).Reset();
    for (CAnalysisEngineClassState* engine : m_engines)
    {
        engine->create.Reset();
        engine->getCategoryMask.Reset();
    }
    m_sink.Fault().Reset();
}

bool CSoakFaults::LongStallHeldBetween(DWORD from, DWORD to) const
{
    CLockGuard guard(m_lock);
    for (const auto& held : m_longStalls)
    {
        if (static_cast<LONG>(held.first - to) <= 0 && static_cast<LONG>(held.second - from) >= 0)
            return true;
    }
    return false;
}

std::wstring CSoakFaults::Recent() const
{
    CLockGuard guard(m_lock);
    std::wstring text;
    const DWORD now = GetTickCount();
    for (const Armed& armed : m_recent)
    {
        if (now - armed.tick <= kRecentMs)
            text += (text.empty() ? L"" : L", ") + armed.kind;
    }
    for (const Timed& timed : m_timed)
        text += (text.empty() ? L"held: " : L"; held: ") + timed.kind;
    return text.empty() ? L"no fault armed" : L"armed: " + text;
}
