#include "search/PluginDbSearchThread.h"

#include <algorithm>
#include <iterator>
#include <new>
#include "common/ComCall.h"
#include "common/EventLog.h"
#include "common/HResult.h"
#include "common/ProductKeys.h"
#include "common/TraceWriter.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/KdCdbMgr.h"
#include "search/AnalysisState.h"
#include "search/CleanUpProgress.h"
#include "search/MetadataVersions.h"
#include "search/SearchQuerySet.h"

namespace
{
constexpr DWORD kRunOpenTimeoutMs = 300000;
constexpr ULONG kAllCategories = 0xFFFF;
constexpr ULONG kQueueFlagsMask = 0xFF000000;
constexpr ULONG kQueueFlagsPriorityBits = 0xC0000000;
constexpr ULONG kQueueFlagsDefault = 0x80000000;

// The category bits, in the order the metadata-version update resets them.
constexpr ULONG kVersionResetOrder[] = {0x10, 0x20, 0x08, 0x04, 0x01, 0x02};
constexpr ULONG kCategoryBitCount = 6;

// A pass or reset whose answer the run does not take: its failure still shows in the trace. A stop
// is no failure.
void TraceDroppedResult(HRESULT hr, const wchar_t* what)
{
    if (FAILED(hr) && hr != E_ABORT && TraceOn(TraceLevel::Failures))
        Trace(TraceSource::Search, TraceDecision::Failed, nullptr, nullptr, what, hr, L"the run goes on");
}

std::vector<ULONG> EngineIndexesFor(const std::vector<EngineEntry>& entries, ULONG category)
{
    std::vector<ULONG> indexes;
    for (const EngineEntry& entry : entries)
    {
        if (entry.categoryMask & category)
            indexes.push_back(entry.engineIndex);
    }
    return indexes;
}
}  // namespace

CPluginDbSearchThread::CPluginDbSearchThread()
{
    // Unique per worker: process, construction tick and address. A failed creation leaves the
    // event null; the progress word still works.
    CString name;
    name.Format(L"%s-%08x-%08x-%p", L"LumSiftDbNotifyWex_ProcessProgress", GetCurrentProcessId(), GetTickCount(),
                static_cast<void*>(this));
    m_progressEvent.Create(false, name, false, nullptr);
    m_traceSource = TraceSource::Search;
}

CPluginDbSearchThread::~CPluginDbSearchThread()
{
    // This class's own stop, whatever a derived class would add.
    CPluginDbSearchThread::RequestStop();
    CPluginDbSearchThread::Shutdown();
    {
        CLockGuard guard(m_connectionLock);
        m_connections.clear();
    }
    m_fileExaminer.Release();
    m_site.Release();
    m_progressEvent.Reset();
}

bool CPluginDbSearchThread::RequestStop()
{
    const bool stopped = CBase::RequestStop();
    // The listed connections may be inside a long search or a busy retry: their abort events end
    // those at the next check. A connection without one gets one here.
    CLockGuard guard(m_connectionLock);
    for (CKdCdbMgr* connection : m_connections)
    {
        HANDLE abort = connection->EnsureAbortEvent();
        if (abort)
            SetEvent(abort);
    }
    return stopped;
}

bool CPluginDbSearchThread::Shutdown()
{
    {
        CLockGuard guard(m_connectionLock);
        m_connections.clear();
    }
    const bool stopped = StopThread(kStopTimeoutMs);
    if (!stopped)
    {
        // The thread was terminated inside a run: its connections are gone with it.
        CLockGuard guard(m_connectionLock);
        m_connections.clear();
    }
    return stopped;
}

CPluginDbSearchThread::CListedConnection::CListedConnection(CPluginDbSearchThread& owner, CKdCdbMgr& connection)
    : m_owner(owner), m_connection(connection)
{
    CLockGuard guard(m_owner.m_connectionLock);
    try
    {
        m_owner.m_connections.push_back(&m_connection);
        m_listed = true;
    }
    catch (const std::bad_alloc&)
    {
        // Unlisted, the connection still has the stop event as its abort event.
    }
}

CPluginDbSearchThread::CListedConnection::~CListedConnection()
{
    if (!m_listed)
        return;
    CLockGuard guard(m_owner.m_connectionLock);
    m_owner.m_connections.remove(&m_connection);
}

ULONG CPluginDbSearchThread::CategoryMaskFromRequest(ULONG requestWord) noexcept
{
    const ULONG mask = requestWord & kAllCategories;
    return mask ? mask : kAllCategories;
}

ULONG CPluginDbSearchThread::QueueFlagsFromRequest(ULONG requestWord) noexcept
{
    ULONG flags = requestWord & kQueueFlagsMask;
    if ((flags & kQueueFlagsPriorityBits) == 0)
        flags |= kQueueFlagsDefault;
    return flags;
}

HRESULT CPluginDbSearchThread::QueueSite(ILumMgrPluginSite* site)
{
    if (!StartThread(kStopTimeoutMs))
        return S_FALSE;
    std::unique_ptr<CProcessItem> item(new (std::nothrow) CProcessItem(kItemSite, 0));
    if (!item)
        return E_OUTOFMEMORY;
    // A site that cannot be marshalled gives an item without a stream, as no site does: the thread
    // then keeps the site it holds.
    if (site)
        item->stream.Marshal(IID_ILumMgrPluginSite, site);
    return QueueItem(std::move(item), false, false);
}

HRESULT CPluginDbSearchThread::QueueSearch(LONG type, ULONG requestWord)
{
    if (!IsRunning())
    {
        StartThread(kStopTimeoutMs);
        if (!IsRunning())
            return E_FAIL;
    }
    std::unique_ptr<CProcessItem> item(new (std::nothrow) CProcessItem(type, requestWord));
    if (!item)
        return E_OUTOFMEMORY;
    m_progress = kProgressQueued;
    const HRESULT hr = QueueItem(std::move(item), false, false);
    if (FAILED(hr))
        SetProgress(kProgressFailed);
    return hr;
}

void CPluginDbSearchThread::SetProgress(ULONG progress) noexcept
{
    m_progress = progress;
    if (m_progressEvent.Get())
        m_progressEvent.Set();
}

void CPluginDbSearchThread::SetRequestObserver(RequestObserver observer, void* context) noexcept
{
    m_observer = observer;
    m_observerContext = context;
}

HRESULT CPluginDbSearchThread::ProcessItem(std::unique_ptr<CBase::CProcessItem> owned)
{
    CProcessItem* item = dynamic_cast<CProcessItem*>(owned.get());
    if (!item)
        return S_FALSE;
    HRESULT result = S_OK;
    switch (item->type)
    {
    case kItemThreadEnding:
        // Released here, on the thread that created it.
        m_fileExaminer.Release();
        m_site.Release();
        m_workerThread.Unbind();
        break;
    case kItemThreadStarted:
        m_workerThread.Bind();
        break;
    case kItemSite:
        result = TakeSite(*item);
        if (m_observer)
            m_observer(m_observerContext, item->type, item->value, m_site);
        break;
    case kItemCleanUp:
    case kItemFullSearch:
    case kItemCategoryVersionSearch:
    case kItemCategorySearch:
    case kItemMetadataUpdateMajor:
    case kItemMetadataUpdateMinor:
        if (m_observer)
            m_observer(m_observerContext, item->type, item->value, m_site);
        // A run traces its own end, with its result, and publishes it in the progress word.
        RunRequest(item->type, item->value);
        break;
    default:
        result = S_FALSE;
        break;
    }
    return result;
}

HRESULT CPluginDbSearchThread::TakeSite(CProcessItem& item)
{
    LUM_ASSERT_ON_THREAD(m_workerThread);
    // Without a stream the site held stays.
    if (item.stream.IsEmpty())
        return S_FALSE;
    // The site held goes first, also when the new one cannot be unmarshalled.
    return item.stream.Unmarshal(IID_ILumMgrPluginSite, reinterpret_cast<void**>(&m_site));
}

void CPluginDbSearchThread::RunRequest(LONG type, ULONG requestWord)
{
    LUM_ASSERT_ON_THREAD(m_workerThread);
    using Self = CPluginDbSearchThread;
    static const struct
    {
        LONG type;
        const wchar_t* name;
        HRESULT (*run)(Self& self, ULONG requestWord);
    } runs[] = {
        {kItemCleanUp, L"clean-up", [](Self& self, ULONG word) { return self.RunCleanUp(word); }},
        {kItemFullSearch, L"full search", [](Self& self, ULONG word) { return self.RunFullSearch(word); }},
        {kItemCategoryVersionSearch, L"category search with version check",
         [](Self& self, ULONG word) { return self.RunCategoryVersionSearch(word); }},
        {kItemCategorySearch, L"category search", [](Self& self, ULONG word) { return self.RunCategorySearch(word); }},
        {kItemMetadataUpdateMajor, L"metadata update, major versions",
         [](Self& self, ULONG word) { return self.RunMetadataVersionUpdate(word, true); }},
        {kItemMetadataUpdateMinor, L"metadata update, all versions",
         [](Self& self, ULONG word) { return self.RunMetadataVersionUpdate(word, false); }},
    };
    const wchar_t* name = L"unknown run";
    HRESULT hr = E_UNEXPECTED;
    const auto found =
        std::find_if(std::begin(runs), std::end(runs), [type](const auto& run) { return run.type == type; });
    if (found != std::end(runs))
        name = found->name;

    SetProgress(kProgressRunning);
    m_runCounts = CRunCounts();
    const TraceSource source = type == kItemCleanUp ? TraceSource::CleanUp : TraceSource::Search;
    const ULONGLONG begun = GetTickCount64();
    if (TraceOn(TraceLevel::Decisions))
        Trace(source, TraceDecision::RunBegun, nullptr, nullptr, name, S_OK,
              L"categories 0x%04lx, queue flags 0x%02lx", static_cast<unsigned long>(requestWord & 0xFFFF),
              static_cast<unsigned long>(requestWord >> 24));
    if (found != std::end(runs))
        hr = found->run(*this, requestWord);
    if (TraceOn(TraceLevel::Decisions))
        Trace(source, TraceDecision::RunEnded, nullptr, nullptr, name, hr,
              L"%s after %.1f s: %lu handed over, %lu marked missing, %lu reset, %lu removed",
              FAILED(hr) ? L"failed" : L"done", static_cast<double>(GetTickCount64() - begun) / 1000.0,
              static_cast<unsigned long>(m_runCounts.handedOver), static_cast<unsigned long>(m_runCounts.markedMissing),
              static_cast<unsigned long>(m_runCounts.reset), static_cast<unsigned long>(m_runCounts.removed));
    SetProgress(FAILED(hr) ? kProgressFailed : kProgressDone);
}

HRESULT CPluginDbSearchThread::OpenRunConnection(CKdCdbMgr& connection)
{
    // Given before the open, so that a stop also ends the retries of a busy database.
    EnsureEvents();
    connection.SetAbortEvent(GetStopEvent());
    const CScopedHandle runEvent(GetRunEvent());
    connection.SetRunEvent(runEvent.Get());
    // The database knows its clients by the plug-in's name.
    const HRESULT hr = connection.Open(false, kPluginName, kRunOpenTimeoutMs);
    // A stop ends a busy open on purpose: no failure of the database's.
    if (FAILED(hr) && hr != E_ABORT)
        ReportFailure(TraceSource::Search, kEventDatabaseNotOpened, L"the content database cannot be opened", hr,
                      L"a search run");
    return hr;
}

HRESULT CPluginDbSearchThread::OpenRunConnections(CKdCdbMgr& search, CKdCdbMgr& write)
{
    const HRESULT hr = OpenRunConnection(search);
    return FAILED(hr) ? hr : OpenRunConnection(write);
}

template <typename Steps>
HRESULT CPluginDbSearchThread::RunInFrame(Steps steps)
{
    CKdCdbMgr search;
    CKdCdbMgr write;
    HRESULT hr = OpenRunConnections(search, write);
    if (SUCCEEDED(hr))
    {
        if (IsStopRequested(0))
        {
            hr = E_ABORT;
        }
        else
        {
            CListedConnection listed(*this, search);
            hr = steps(search, write);
        }
    }
    search.Close();
    write.Close();
    return hr;
}

template <typename Passes>
HRESULT CPluginDbSearchThread::RunCategoryFrame(ULONG requestWord, Passes passes)
{
    const ULONG mask = CategoryMaskFromRequest(requestWord);
    const ULONG flags = QueueFlagsFromRequest(requestWord);
    const CString prefix = BuildCategoryPrefix(mask);
    return RunInFrame([&](CKdCdbMgr& search, CKdCdbMgr& write) {
        const auto pass = [&](const CString& query, ULONG categories) {
            return SearchAndQueue(write, search, prefix + query, flags, categories);
        };
        // Every pass runs whatever the one before answered.
        if (IsManagerIdle())
            TraceDroppedResult(pass(QueryHandedOver(), mask), L"the search for handed-over items failed");
        return passes(search, pass, mask);
    });
}

bool CPluginDbSearchThread::IsManagerIdle()
{
    CComPtr<ILumMgrStatus> status;
    if (FAILED(CoCreateInstance(CLSID_LumMgrStatus, nullptr, kClassContextAll, IID_ILumMgrStatus,
                                reinterpret_cast<void**>(&status))) ||
        !status)
        return false;
    ULONG first = 0;
    ULONG second = 0;
    if (FAILED(status->GetQueueCounts(&first, &second)))
        return false;
    return first + second == 0;  // a 32-bit sum, wrap-around included
}

HRESULT CPluginDbSearchThread::RunCleanUp(ULONG)
{
    CCleanUpProgress progress([this](ULONG percentage) { SetProgress(percentage); });
    {
        CKdCdbMgr connection;
        if (SUCCEEDED(OpenRunConnection(connection)))
        {
            CListedConnection listed(*this, connection);
            // The repair below runs whatever the removal answers, and its answer is the run's.
            const HRESULT removed = RunRemovalSteps(connection, progress);
            if (removed != E_ABORT)
                TraceUnreportedFailure(TraceSource::CleanUp, removed, L"the removal steps failed");
        }
        connection.Close();
    }

    // The container repair always runs, after a stop or a failed connection too: it answers the
    // stop itself, and its answer is the run's.
    CKdCdbMgr connection;
    HRESULT hr = OpenRunConnection(connection);
    if (SUCCEEDED(hr))
    {
        CListedConnection listed(*this, connection);
        hr = RepairContainers(connection, progress);
    }
    connection.Close();
    return hr;
}

HRESULT CPluginDbSearchThread::RunFullSearch(ULONG requestWord)
{
    // The full search ignores the category mask: its queries carry their own class test.
    const ULONG flags = QueueFlagsFromRequest(requestWord);
    return RunInFrame([&](CKdCdbMgr& search, CKdCdbMgr& write) {
        HRESULT hr = S_OK;
        if (IsManagerIdle())
            hr = SearchAndQueue(write, search, QueryAllHandedOver(), flags, kAllCategories);
        if (SUCCEEDED(hr))
            hr = SearchAndQueue(write, search, QueryAllNew(), flags, kAllCategories);
        if (SUCCEEDED(hr))
            hr = SearchAndQueue(write, search, QueryAllInState(kStateInterrupted), flags, kAllCategories);
        if (SUCCEEDED(hr))
            hr = SearchAndQueue(write, search, QueryAllInState(kStateRepeat), flags, kAllCategories);
        return hr;
    });
}

HRESULT CPluginDbSearchThread::RunCategoryVersionSearch(ULONG requestWord)
{
    return RunCategoryFrame(requestWord, [&](CKdCdbMgr& search, const auto& pass, ULONG mask) {
        TraceDroppedResult(pass(QueryPending(), mask), L"the search for pending items failed");
        TraceDroppedResult(pass(QueryInState(kStateRepeat), mask), L"the search for items to analyse again failed");
        HRESULT hr = pass(QueryInState(kStateFileMissing), mask);

        // Engines whose analysis is done (field 6) are set to be repeated, category by category.
        const std::vector<EngineEntry> engines = GetEngineList(mask);
        ULONG engineCategories = 0;
        for (const EngineEntry& entry : engines)
            engineCategories |= entry.categoryMask;
        ULONG resetCategories = 0;
        for (ULONG bit = 0; bit < kCategoryBitCount; ++bit)
        {
            const ULONG category = 1u << bit;
            if (!(engineCategories & category))
                continue;
            const std::vector<ULONG> indexes = EngineIndexesFor(engines, category);
            if (indexes.empty())
                continue;
            resetCategories |= category;
            TraceDroppedResult(ResetEngineStates(search, BuildCategoryClause(category), indexes, kEngineFieldAnalysed,
                                                 kEngineFieldReset),
                               L"the reset of analysed engine fields failed");
        }
        if (resetCategories)
        {
            TraceDroppedResult(hr, L"the search for items whose file is missing failed");
            hr = pass(QueryInState(kStateRepeat), resetCategories);
        }
        return hr;
    });
}

HRESULT CPluginDbSearchThread::RunCategorySearch(ULONG requestWord)
{
    return RunCategoryFrame(requestWord, [&](CKdCdbMgr&, const auto& pass, ULONG mask) {
        TraceDroppedResult(pass(QueryNew(), mask), L"the search for new items failed");
        return pass(QueryNewOrInState(kStateRepeat), mask);
    });
}

HRESULT CPluginDbSearchThread::RunMetadataVersionUpdate(ULONG requestWord, bool majorOnly)
{
    const ULONG mask = CategoryMaskFromRequest(requestWord);
    std::vector<EngineEntry> outdated;
    if (GetOutdatedEngines(majorOnly, outdated, mask) != 0)
    {
        // Connections are opened only when some engine is out of date. The version recorded for
        // a category moves up only after that category's items were marked.
        CKdCdbMgr search;
        CKdCdbMgr write;
        if (SUCCEEDED(OpenRunConnections(search, write)) && !IsStopRequested(0))
        {
            CListedConnection listed(*this, search);
            for (ULONG category : kVersionResetOrder)
            {
                if (mask & category)
                    TraceDroppedResult(ResetEngineVersions(search, outdated, category),
                                       L"the reset of outdated engine fields failed");
            }
        }
        search.Close();
        write.Close();
    }

    // The marked items are searched for in a frame of their own.
    return RunCategoryFrame(requestWord, [&](CKdCdbMgr&, const auto& pass, ULONG categories) {
        return pass(QueryInState(kStateRepeat), categories);
    });
}

HRESULT CPluginDbSearchThread::ResetEngineVersions(CKdCdbMgr& connection, const std::vector<EngineEntry>& outdated,
                                                   ULONG category)
{
    const std::vector<ULONG> indexes = EngineIndexesFor(outdated, category);
    if (!indexes.empty())
    {
        const HRESULT hr =
            ResetEngineStates(connection, BuildCategoryClause(category), indexes, kEngineFieldOutdated, kEngineFieldReset);
        if (FAILED(hr))
            return hr;  // the version stays unrecorded, so the next update run tries again
    }
    return StoreMetadataVersions(outdated, category);
}

HRESULT CPluginDbSearchThread::WalkSearchResults(CKdCdbMgr& connection, LPCWSTR query, ULONG columnCount,
                                                 const LONG* columns, bool& stopped,
                                                 const std::function<void()>& readRow)
{
    // The search and the walk over its results are one unit on the connection.
    CLockGuard walk(connection.ConnectionLock());
    LONG count = 0;
    const HRESULT hr = connection.Search(query, columnCount, columns, &count, kAnyItemClass, 0, 0, 0);
    if (TraceOn(TraceLevel::Detail))
        Trace(TraceSource::Search, TraceDecision::Queried, nullptr, nullptr, nullptr, hr, L"%ld rows for %s",
              static_cast<long>(count), query);
    if (FAILED(hr))
        return hr;
    // A failed move ends the walk without waiting: every pass waits for the run right after it.
    const HRESULT walked = connection.WalkResults(
        count,
        [&] {
            if (stopped)
                return false;
            readRow();
            return true;
        },
        [this] { return WaitForRun(INFINITE); });
    if (walked == E_ABORT)
        stopped = true;
    return hr;
}
