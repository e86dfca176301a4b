#pragma once
#include <windows.h>
#include <oaidl.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "com/ComObject.h"
#include "common/Scoped.h"
#include "interfaces/ManagerInterfaces.h"
#include "standins/CallLog.h"
#include "standins/FaultControl.h"
#include "standins/FreeThreadedMarshaler.h"
#include "standins/LiveObjectCount.h"

class CManagerQueueEntry;

enum class ManagerSiteMethod
{
    CancelQueueEntry,
    GetQueueEntries,
    QueueItem,
    Count
};

struct QueueItemCall
{
    std::wstring location;  // empty for a null BSTR
    LONG category;
    ULONG queueFlags;
    HRESULT answered;
    LONG sequence;  // NextStandinCallSequence() at arrival
    DWORD tick;     // GetTickCount() at arrival
};

struct CancelQueueEntryCall
{
    std::wstring entryId;  // empty for a null BSTR
    HRESULT answered;
    LONG sequence;
    DWORD tick;
};

struct GetQueueEntriesCall
{
    HRESULT answered;
    LONG sequence;
    DWORD tick;
};

// The manager's site as the plug-in sees it. QueueItem is recorded and answers S_OK. The test sets
// up the manager's queue: GetQueueEntries answers VT_ARRAY | VT_VARIANT with a copy of each element
// (queue entries as VT_UNKNOWN, and whatever else the test mixed in); CancelQueueEntry withdraws
// the entry with that id (S_OK) and answers E_INVALIDARG for an id it does not hold. Failures
// injected with Fault() are answered before anything is done.
class CManagerSite : public CComObjectRootEx, public ILumMgrPluginSite, public CLiveObjectCount<CManagerSite>
{
public:
    // A new site with one reference for the caller.
    static HRESULT Create(CManagerSite** out);

    HRESULT FinalConstruct();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // The manager's queue, in the order GetQueueEntries hands it out.
    void AddQueueEntry(CManagerQueueEntry* entry);
    // Any other element (a number, a null unknown, an object without IQueueEntry); it has no id.
    void AddQueueElement(const VARIANT& element);
    size_t QueueEntryCount() const;
    // Takes the element with this id out of the queue, as the manager does once it is analysed;
    // false when none has it. Not a call of the plug-in: nothing is recorded or observed.
    bool RemoveQueueEntry(const std::wstring& id);
    // Makes GetQueueEntries answer a copy of `answer` (for example VT_EMPTY) instead of the array.
    void AnswerQueueEntriesWith(const VARIANT& answer);

    CCallLog<QueueItemCall>& QueueItemCalls() noexcept { return m_queueItemCalls; }
    CCallLog<CancelQueueEntryCall>& CancelQueueEntryCalls() noexcept { return m_cancelCalls; }
    CCallLog<GetQueueEntriesCall>& GetQueueEntriesCalls() noexcept { return m_getEntriesCalls; }
    // True once `count` QueueItem calls have arrived; false after `timeoutMs`.
    bool WaitForQueueItems(size_t count, DWORD timeoutMs) const { return m_queueItemCalls.WaitForCount(count, timeoutMs); }
    CFaultControl& Fault(ManagerSiteMethod method) noexcept { return m_faults[static_cast<int>(method)]; }

    // Told of each QueueItem / CancelQueueEntry call once it has been recorded, on the caller's
    // thread, with no lock of the site held (an observer may call the site). Must not throw.
    using QueueItemObserver = std::function<void(const QueueItemCall&)>;
    using CancelQueueEntryObserver = std::function<void(const CancelQueueEntryCall&)>;
    void SetQueueItemObserver(QueueItemObserver observer);
    void SetCancelQueueEntryObserver(CancelQueueEntryObserver observer);

    // ILumMgrPluginSite
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelQueueEntry(BSTR entryId) override;
    HRESULT STDMETHODCALLTYPE GetQueueEntries(VARIANT* entries) override;
    HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueueItem(BSTR location, LONG category, ULONG queueFlags, VARIANT* result) override;

private:
    struct Element
    {
        CScopedVariant value;
        std::wstring id;  // empty: not withdrawable by id
    };
    void AddElement(const VARIANT& value, std::wstring id);
    HRESULT CopyQueue(VARIANT* entries);

    CFreeThreadedMarshaler m_marshaler;
    // Guarded by the object lock; nothing is called out while it is held.
    std::vector<std::unique_ptr<Element>> m_queue;
    std::unique_ptr<CScopedVariant> m_entriesAnswer;
    CCallLog<QueueItemCall> m_queueItemCalls;
    CCallLog<CancelQueueEntryCall> m_cancelCalls;
    CCallLog<GetQueueEntriesCall> m_getEntriesCalls;
    CFaultControl m_faults[static_cast<int>(ManagerSiteMethod::Count)];
    CCriticalSection m_observerLock{LockRank::Outside};  // guards the two observers only
    QueueItemObserver m_queueItemObserver;
    CancelQueueEntryObserver m_cancelObserver;
};
