// From notification to analysis request: what the notification worker's thread does with the
// items of types 3 (changed item), 5 (removed item) and 6 (file waiting to be analysed).
#include "notify/PluginDbNotifyThread.h"

#include <cwchar>
#include <deque>
#include <memory>
#include <vector>
#include "common/ComCall.h"
#include "common/ConsoleUser.h"
#include "common/HResult.h"
#include "common/Path.h"
#include "common/TraceWriter.h"
#include "contentdb/ContentClassification.h"
#include "contentdb/ContentConstants.h"
#include "contentdb/XmlDateTime.h"
#include "interfaces/ServiceInterfaces.h"

namespace
{
// Property 0x0068 with this value: the item is not ready for analysis yet.
constexpr long kItemStateNotReady = 2;

// Read for a hand-off, in this order.
constexpr LONG kHandOffProps[] = {kPropMimeType, kPropSourceApplication, kPropBroadcastType, kPropMarker,
                                  kPropItemState};
constexpr ULONG kHandOffPropCount = sizeof(kHandOffProps) / sizeof(kHandOffProps[0]);
enum HandOffProp
{
    kMimeType,
    kSourceApplication,
    kBroadcastType,
    kMarker,
    kItemState,
};

enum class Outcome
{
    HandedOff,
    Requeue,
    RequeueRestarted,
    Deferred,
    Drop,
};

const wchar_t* TextOf(const VARIANT& value) noexcept
{
    return value.vt == VT_BSTR && value.bstrVal ? value.bstrVal : L"";
}

// Why a request was not handed off yet, or at all: the trace's words for the hand-off rules.
struct CHandOffReason
{
    const wchar_t* text = nullptr;
    HRESULT hr = S_OK;
};

// One decision about a waiting request, with its age and when it is looked at again.
void TraceHandOff(TraceDecision decision, const CPluginDbNotifyThread::CProcessItem& item, const CHandOffReason& reason,
                  DWORD ageMs, const wchar_t* next)
{
    Trace(TraceSource::Notify, decision, item.itemId.Get(), item.path, reason.text, reason.hr, L"age %lu s%s",
          static_cast<unsigned long>(ageMs / 1000), next);
}
}  // namespace

HRESULT CPluginDbNotifyThread::ResolveNotification(CProcessItem* item)
{
    const HRESULT hr = CatchAsHResult([&]() -> HRESULT {
        // An empty id names no item either.
        if (!m_notificationsEnabled.load() || SysStringLen(item->itemId.Get()) == 0)
        {
            if (TraceOn(TraceLevel::Decisions))
                Trace(TraceSource::Notify, TraceDecision::Dropped, item->itemId.Get(), nullptr,
                      m_notificationsEnabled.load() ? L"no item id" : L"notifications are switched off", S_OK);
            return E_NOTIMPL;
        }
        CScopedBstr path;
        HRESULT found;
        {
            CLockGuard guard(m_dbLock);
            found = m_database.GetItemPath(item->itemId.Get(), path.Receive());
        }
        if (FAILED(found) || SysStringLen(path.Get()) == 0)
        {
            if (TraceOn(TraceLevel::Decisions))
                Trace(TraceSource::Notify, TraceDecision::Dropped, item->itemId.Get(), nullptr,
                      FAILED(found) ? L"no path: the database does not know the item" : L"no path", found);
            return found;
        }

        std::unique_ptr<CProcessItem> waiting(new CProcessItem(kItemHandOff));
        waiting->created = item->created;
        waiting->itemId.Reset(item->itemId.Release());
        waiting->itemClass = item->itemClass;
        waiting->SetPath(CString(path.Get()));
        // The newer notification replaces the requests still waiting for the same file.
        DiscardPending(kItemHandOff, nullptr, waiting->path);
        return QueueItem(std::move(waiting), true, true);
    });
    ReportPendingCount(false);
    return hr;
}

HRESULT CPluginDbNotifyThread::HandOffItem(CProcessItem* item)
{
    HRESULT result = S_OK;
    const bool tracing = TraceOn(TraceLevel::Decisions);
    CHandOffReason reason;
    const HRESULT failure = CatchAsHResult([&]() -> HRESULT {
        Outcome outcome = Outcome::Drop;
        const DWORD age = GetTickCount() - item->created;
        // Every outcome but the hand-off carries its reason, in the trace's words.
        auto decide = [&](Outcome decided, const wchar_t* why) {
            outcome = decided;
            reason.text = why;
        };
        if (!m_notificationsEnabled.load())
            decide(Outcome::Drop, L"notifications are switched off");
        // A connect or disconnect asked for during a long batch is not kept waiting behind it: the
        // rest of the batch's requests wait for a later batch, their age kept.
        else if (m_connectionItemsQueued.load() > 0)
            decide(Outcome::Deferred, L"a connect or disconnect goes first");
        else if (age < kMinimumAgeMs)
            decide(Outcome::Requeue, L"too young");
        else if (age < kListedFolderAgeMs && IsInListedFolder(item->path))
            decide(Outcome::Requeue, L"in a recording folder");
        else
            decide(Outcome::HandedOff, nullptr);

        if (outcome == Outcome::HandedOff)
        {
            // Opened with read sharing only, so a file someone still writes fails to open.
            CScopedHandle token;
            result = FindUserTokenForFile(MakeLongPath(item->path, false, false), &token, false);
            reason.hr = result;
            // The open test found the file still being written: wait the full time again.
            if (IsFileInUse(result))
                decide(Outcome::RequeueRestarted, L"in use");
            else if (result == kHrFileNotFound || result == kHrPathNotFound)
                decide(Outcome::Drop, L"gone");
            else if (FAILED(result))
                decide(Outcome::Drop, L"unreadable");
            else if (!m_site)
                decide(Outcome::Drop, L"no manager connected");
        }

        CScopedBstr values[kHandOffPropCount];
        if (outcome == Outcome::HandedOff)
        {
            CLockGuard guard(m_dbLock);
            // The selection and the reads of its result are one unit on the connection.
            CLockGuard connection(m_database.ConnectionLock());
            LONG found = 0;
            result = m_database.SelectItem(item->itemId.Get(), kHandOffPropCount, kHandOffProps, &found);
            if (SUCCEEDED(result) && found >= 1)
            {
                for (ULONG i = 0; i < kHandOffPropCount; ++i)
                    m_database.GetValue(kHandOffProps[i], values[i].Receive());
            }
            const BSTR state = values[kItemState].Get();
            if (SysStringLen(state) > 0 && wcstol(state, nullptr, 0) == kItemStateNotReady)
            {
                decide(Outcome::RequeueRestarted, L"not ready in the database");
                reason.hr = S_OK;
            }
        }

        if (outcome == Outcome::HandedOff)
        {
            WithdrawQueuedEntries(item->path);
            const ULONG category =
                ClassifyContentCategory(item->itemClass, item->path, values[kMimeType].Get(),
                                        values[kSourceApplication].Get(), values[kBroadcastType].Get(), values[kMarker].Get());
            if (tracing)
                Trace(TraceSource::Notify, TraceDecision::Classified, item->itemId.Get(), item->path, nullptr, S_OK,
                      L"category 0x%02lx, item class %ld", static_cast<unsigned long>(category),
                      static_cast<long>(item->itemClass));
            CScopedBstr location(item->path.AllocSysString());
            CScopedVariant answer;
            LUM_ASSERT(HighestHeldLockRank() == LockRank::Outside);  // the manager is called with no lock held
            result = m_site->QueueItem(location.Get(), static_cast<LONG>(category), kHandOffQueueFlags, answer.Get());
            if (TraceOn(TraceLevel::Detail))
                Trace(TraceSource::Notify, TraceDecision::ManagerCall, item->itemId.Get(), item->path, L"QueueItem",
                      result);
            if (tracing && FAILED(result))
                TraceHandOff(TraceDecision::Dropped, *item, CHandOffReason{L"the manager refused it", result}, age, L"");
            else if (tracing)
                Trace(TraceSource::Notify, TraceDecision::HandedOff, item->itemId.Get(), item->path, nullptr, S_OK,
                      L"category 0x%02lx, queue flags 0x%08lx, age %lu s", static_cast<unsigned long>(category),
                      static_cast<unsigned long>(kHandOffQueueFlags), static_cast<unsigned long>(age / 1000));
        }
        else if (outcome == Outcome::Requeue || outcome == Outcome::RequeueRestarted)
        {
            if (tracing)
            {
                CString next;
                next.Format(outcome == Outcome::Requeue ? L", next look in %lu s" : L", waits %lu s again",
                            static_cast<unsigned long>(outcome == Outcome::Requeue ? (m_delay + 999) / 1000
                                                                                    : kMinimumAgeMs / 1000));
                TraceHandOff(TraceDecision::HeldBack, *item, reason, age, next);
            }
            TraceUnreportedFailure(TraceSource::Notify, Requeue(item, outcome == Outcome::RequeueRestarted, true),
                                   L"the request cannot be queued again", nullptr, item->path);
        }
        else if (outcome == Outcome::Deferred)
        {
            if (tracing)
                TraceHandOff(TraceDecision::HeldBack, *item, reason, age, L", next look after it");
            // Thousands may be put back in a row: one wake serves them all, as the thread takes
            // it only once it waits again.
            TraceUnreportedFailure(TraceSource::Notify, Requeue(item, false, !m_deferralWakeGiven.exchange(true)),
                                   L"the request cannot be queued again", nullptr, item->path);
        }
        else if (tracing)
        {
            TraceHandOff(TraceDecision::Dropped, *item, reason, age, L"");
        }
        return S_OK;
    });
    ReportPendingCount(false);
    TraceUnreportedFailure(TraceSource::Notify, failure, L"the hand-off failed", nullptr, item->path);
    return FAILED(failure) ? failure : result;
}

HRESULT CPluginDbNotifyThread::Requeue(CProcessItem* item, bool restartAge, bool wake)
{
    std::unique_ptr<CProcessItem> again(new CProcessItem(kItemHandOff));
    again->created = restartAge ? GetTickCount() : item->created;
    again->itemId.Reset(item->itemId.Release());
    again->itemClass = item->itemClass;
    again->path = item->path;
    again->pathHash = item->pathHash ? item->pathHash : ComputePathHash(item->path);
    return wake ? QueueItem(std::move(again), true, true) : AppendDelayedItem(std::move(again));
}

HRESULT CPluginDbNotifyThread::WithdrawQueuedEntries(const CString& path)
{
    if (!m_site)
        return E_POINTER;
    CScopedVariant entries;
    LUM_ASSERT(HighestHeldLockRank() == LockRank::Outside);  // the manager is called with no lock held
    const HRESULT listed = m_site->GetQueueEntries(entries.Receive());
    if (TraceOn(TraceLevel::Detail))
        Trace(TraceSource::Notify, TraceDecision::ManagerCall, nullptr, path, L"GetQueueEntries", listed);
    if (FAILED(listed))
        return listed;
    if (!(entries->vt & VT_ARRAY) || !entries->parray)
        return S_FALSE;

    SAFEARRAY* array = entries->parray;
    VARTYPE elementType = VT_EMPTY;
    // Only an array of VARIANTs holds entries; anything else is not looked into.
    if (SafeArrayGetDim(array) < 1 || FAILED(SafeArrayGetVartype(array, &elementType)) || elementType != VT_VARIANT)
        return S_FALSE;
    LONG lower = 0;
    LONG upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const LONG count = upper >= lower ? upper - lower + 1 : 0;

    // Entries the manager may replace (0x200) go first, newest of them first; then the
    // withdrawable ones (0x100) in the manager's order.
    std::deque<CComPtr<IQueueEntry>> withdraw;
    {
        VARIANT* elements = nullptr;
        CArrayDataAccess access(array, reinterpret_cast<void**>(&elements));
        if (FAILED(access.Result()))
            return access.Result();
        for (LONG i = 0; i < count; ++i)
        {
            if (IsStopRequested(0))
                break;
            const VARIANT& element = elements[i];
            if (element.vt != VT_UNKNOWN || !element.punkVal)
                continue;
            CComPtr<IQueueEntry> entry;
            if (FAILED(element.punkVal->QueryInterface(IID_IQueueEntry, reinterpret_cast<void**>(&entry))) || !entry)
                continue;
            CScopedVariant entryPath;
            entry->GetValue(QueueEntry::kValuePath, entryPath.Receive());
            if (_wcsicmp(TextOf(*entryPath.Get()), path) != 0)
                continue;
            ULONG state = 0;
            entry->GetState(&state);
            if (state & QueueEntry::kStateWithdrawable)
                withdraw.push_back(entry);
            else if (state & QueueEntry::kStateReplaceable)
                withdraw.push_front(entry);
        }
    }

    HRESULT result = S_FALSE;
    for (const CComPtr<IQueueEntry>& entry : withdraw)
    {
        // A long manager queue must not hold up a stop.
        if (IsStopRequested(0))
            break;
        CScopedVariant id;
        entry->GetValue(QueueEntry::kValueId, id.Receive());
        if (id->vt != VT_BSTR || SysStringLen(id->bstrVal) == 0)
            continue;

        SYSTEMTIME now;
        GetSystemTime(&now);
        CXmlDateTime when;
        when.SetSystemTime(now, false);
        VARIANT date;
        VariantInit(&date);
        date.vt = VT_DATE;
        date.date = when.GetValue();
        entry->SetValue(QueueEntry::kValueWithdrawn, date);
        entry->SetStatus(QueueEntry::kStatusWithdrawn);
        entry->SetState(QueueEntry::kStateWithdrawn);
        const HRESULT cancelled = m_site->CancelQueueEntry(id->bstrVal);
        if (cancelled == S_OK)
            result = S_OK;
        if (TraceOn(TraceLevel::Decisions))
            Trace(TraceSource::Notify, TraceDecision::Withdrawn, nullptr, path, nullptr, cancelled,
                  L"manager queue entry %s", id->bstrVal);
    }
    return result;
}

bool CPluginDbNotifyThread::IsInListedFolder(const CString& path)
{
    CComPtr<IFolderList> list;
    if (FAILED(CoCreateInstance(CLSID_FolderList, nullptr, kClassContextAll, IID_IFolderList,
                                reinterpret_cast<void**>(&list))) ||
        !list)
        return false;
    LONG count = 0;
    LONG reserved = 0;
    if (list->GetCount(&count, &reserved) != S_OK)
        return false;

    std::vector<CString> folders;
    for (LONG i = 0; i < count; ++i)
    {
        CScopedBstr folder;
        CScopedBstr other;
        LONG first = 0;
        LONG second = 0;
        LONG flag = 1;
        list->GetEntry(i, folder.Receive(), other.Receive(), &first, &second, &flag);
        if (flag != 0 || SysStringLen(folder.Get()) == 0)
            continue;
        // With the trailing "\" D:\Rec does not cover D:\Records.
        CString text(folder.Get());
        if (text.IsEmpty())
            continue;
        if (text[text.GetLength() - 1] != L'\\')
            text += L'\\';
        folders.push_back(text);
    }
    for (const CString& folder : folders)
    {
        if (_wcsnicmp(folder, path, static_cast<size_t>(folder.GetLength())) == 0)
            return true;
    }
    return false;
}

HRESULT CPluginDbNotifyThread::CleanUpRemovedItem(CProcessItem* item)
{
    if (SysStringLen(item->itemId.Get()) == 0)
        return E_NOTIMPL;
    return CatchAsHResult([&] {
        CLockGuard guard(m_dbLock);
        return m_database.DeleteItemWithDependents(item->itemId.Get(), true, true);
    });
}
