#include <cwchar>
#include "common/ComCall.h"
#include "common/ConsoleUser.h"
#include "common/HResult.h"
#include "common/Path.h"
#include "common/TraceWriter.h"
#include "contentdb/ContentClassification.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/ContentLocations.h"
#include "search/AnalysisState.h"
#include "search/PluginDbSearchThread.h"
#include "search/SearchCandidates.h"

namespace
{
// Fetched for every row, in this order.
const LONG kSearchColumns[] = {kPropItemId,        kPropItemClass, kPropMimeType,       kPropPath,      kPropSourceApplication,
                               kPropBroadcastType, kPropMarker,    kPropAnalysisState0, kPropItemState};
constexpr ULONG kSearchColumnCount = sizeof(kSearchColumns) / sizeof(kSearchColumns[0]);

// The value of property 0x68 that keeps an item from ever being queued.
constexpr long kExcludedItem = 2;

const wchar_t* TextOrEmpty(const CScopedBstr& value) noexcept
{
    return value.Get() ? value.Get() : L"";
}

// The category of the current row, or none when it cannot be classified (a file name that no
// registration lookup can take).
ULONG ClassifyRow(LONG itemClass, LPCWSTR location, const CScopedBstr& mimeType, const CScopedBstr& sourceApplication,
                  const CScopedBstr& broadcastType, const CScopedBstr& marker)
{
    ULONG category = kCategoryNone;
    const HRESULT hr = CatchAsHResult([&] {
        category = ClassifyContentCategory(itemClass, location, TextOrEmpty(mimeType), TextOrEmpty(sourceApplication),
                                           TextOrEmpty(broadcastType), TextOrEmpty(marker));
        return S_OK;
    });
    return SUCCEEDED(hr) ? category : kCategoryNone;
}
}  // namespace

void CPluginDbSearchThread::SetFileAccessCheck(FileAccessCheck check, void* context) noexcept
{
    m_fileAccessCheck = check;
    m_fileAccessContext = context;
}

HRESULT CPluginDbSearchThread::SearchAndQueue(CKdCdbMgr& writeConnection, CKdCdbMgr& searchConnection, LPCWSTR query,
                                              ULONG queueFlags, ULONG categoryMask)
{
    if (!query)
        return E_POINTER;
    // A stop already requested still lets the search run; the walk then takes no row.
    bool stopped = IsStopRequested(0);
    CSearchCandidates candidates;
    HRESULT result =
        CatchAsHResult([&] { return CollectCandidates(searchConnection, query, categoryMask, candidates, stopped); });
    if (stopped)
        result = E_ABORT;

    if (!WaitForRun(INFINITE))
        stopped = true;
    // Every row has been read before the first file is touched or the first state written, so the
    // search connection's result set is finished.
    CComPtr<ILumMgrPluginSite> site = m_site;
    if (site && SUCCEEDED(result) && candidates.Count() != 0)
    {
        const HRESULT handOver = CatchAsHResult([&] {
            candidates.Visit([&](const CSearchCandidates::Entry& entry) {
                if (stopped)
                    return false;
                HandOverCandidate(writeConnection, site, entry.state, entry.category, entry.location, entry.itemId,
                                  queueFlags);
                if (!WaitForRun(INFINITE))
                    stopped = true;
                return !stopped;
            });
            return S_OK;
        });
        if (FAILED(handOver))
            result = handOver;
    }
    if (stopped)
        result = E_ABORT;
    return result;
}

HRESULT CPluginDbSearchThread::CollectCandidates(CKdCdbMgr& searchConnection, LPCWSTR query, ULONG categoryMask,
                                                 CSearchCandidates& candidates, bool& stopped)
{
    return WalkSearchResults(searchConnection, query, kSearchColumnCount, kSearchColumns, stopped, [&] {
        CScopedBstr itemId;
        CScopedBstr location;
        if (FAILED(searchConnection.GetValue(kPropItemId, itemId.Receive())) || itemId.Length() == 0 ||
            FAILED(searchConnection.GetValue(kPropPath, location.Receive())) || location.Length() == 0)
            return;
        CScopedBstr exclusion;
        searchConnection.GetValue(kPropItemState, exclusion.Receive());
        if (exclusion.Length() != 0 && std::wcstol(exclusion.Get(), nullptr, 0) == kExcludedItem)
            return;
        // Failed reads leave the values empty.
        CScopedBstr itemClass, mimeType, sourceApplication, broadcastType, marker, state;
        searchConnection.GetValue(kPropItemClass, itemClass.Receive());
        searchConnection.GetValue(kPropMimeType, mimeType.Receive());
        searchConnection.GetValue(kPropSourceApplication, sourceApplication.Receive());
        searchConnection.GetValue(kPropBroadcastType, broadcastType.Receive());
        searchConnection.GetValue(kPropMarker, marker.Receive());
        searchConnection.GetValue(kPropAnalysisState0, state.Receive());
        const LONG classCode = itemClass.Get() ? _wtoi(itemClass.Get()) : kItemClassUnknown;
        const ULONG category = ClassifyRow(classCode, location.Get(), mimeType, sourceApplication, broadcastType, marker);
        if (category & categoryMask)
        {
            candidates.Add(ReadStateWord(state.Get()), category, location.Get(), std::wcslen(location.Get()),
                           itemId.Get(), std::wcslen(itemId.Get()));
        }
    });
}

HRESULT CPluginDbSearchThread::CheckFileAccess(LPCWSTR longPath)
{
    if (m_fileAccessCheck)
        return m_fileAccessCheck(m_fileAccessContext, longPath);
    // Read access, as the analysis will need; a user token found for it is not needed here.
    CScopedHandle token;
    return FindUserTokenForFile(longPath, &token, false);
}

void CPluginDbSearchThread::HandOverCandidate(CKdCdbMgr& writeConnection, ILumMgrPluginSite* site, LONG state,
                                              ULONG category, LPCWSTR location, LPCWSTR itemId, ULONG queueFlags)
{
    const HRESULT access = CheckFileAccess(MakeLongPath(CString(location), false, false));
    ULONG status = 0;
    const bool known = ClassifyFileError(location, access, &status, kFileRetryBase);

    const bool tracing = TraceOn(TraceLevel::Decisions);
    // A file someone holds open is still there: the manager waits for it.
    if (SUCCEEDED(access) || IsFileInUse(access))
    {
        CScopedBstr text(SysAllocString(location));
        CScopedVariant answer;
        const HRESULT queued = site->QueueItem(text.Get(), static_cast<LONG>(category), queueFlags, answer.Get());
        if (TraceOn(TraceLevel::Detail))
            Trace(TraceSource::Search, TraceDecision::ManagerCall, itemId, location, L"QueueItem", queued);
        if (SUCCEEDED(queued))
            ++m_runCounts.handedOver;
        if (tracing)
            Trace(TraceSource::Search, SUCCEEDED(queued) ? TraceDecision::HandedOver : TraceDecision::Dropped, itemId,
                  location, SUCCEEDED(queued) ? (SUCCEEDED(access) ? nullptr : L"in use") : L"the manager refused it",
                  SUCCEEDED(queued) ? (SUCCEEDED(access) ? S_OK : access) : queued, L"category 0x%02lx, queue flags 0x%08lx, state %lu",
                  static_cast<unsigned long>(category), static_cast<unsigned long>(queueFlags),
                  static_cast<unsigned long>(static_cast<ULONG>(state) & kStateFieldMask));
        return;
    }
    // Temporarily out of reach: a later pass finds the item again.
    if (known && (status & kFileStatusPassingBit))
    {
        if (tracing)
            Trace(TraceSource::Search, TraceDecision::HeldBack, itemId, location, L"out of reach for now", access,
                  L"a later search looks again");
        return;
    }
    if (access == kHrPathNotFound || access == kHrFileNotFound || (known && status == kFileStatusGone))
    {
        // Only the overall field changes; the engines' fields keep what they hold.
        CString text;
        text.Format(L"%d", static_cast<LONG>((static_cast<ULONG>(state) & ~kStateFieldMask) | kStateFileMissing));
        const HRESULT written = writeConnection.SetValue(itemId, kPropAnalysisState0, text);
        if (SUCCEEDED(written))
            ++m_runCounts.markedMissing;
        if (tracing)
            Trace(TraceSource::Search, SUCCEEDED(written) ? TraceDecision::MarkedMissing : TraceDecision::Failed, itemId,
                  location, SUCCEEDED(written) ? L"gone" : L"the file-missing state cannot be written",
                  SUCCEEDED(written) ? access : written, L"overall state %lu", static_cast<unsigned long>(kStateFileMissing));
        return;
    }
    if (tracing)
        Trace(TraceSource::Search, TraceDecision::Dropped, itemId, location, L"unreadable", access);
}
