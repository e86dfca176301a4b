#pragma once
#include <windows.h>
#include <atomic>
#include "com/ComObject.h"
#include "com/ConnectionPointContainer.h"
#include "common/ComPtr.h"
#include "common/TraceWriter.h"
#include "interfaces/ManagerInterfaces.h"
#include "interfaces/PluginInterfaces.h"
#include "host/QueueEventsConnectionPoint.h"
#include "notify/PluginDbNotifyThread.h"
#include "search/PluginDbSearchThread.h"

class CPluginDbNotifyTestAccess;

// The module's one COM class: the object the manager creates and drives. The engine methods steer
// the search worker; the database-notify methods feed the notification worker, which runs from
// creation to release. Free-threaded: any method may be called on any thread; the engine methods
// take no object lock. The object lock guards only the connection point's sinks.
class CPluginDbNotify : public CComObjectRootEx,
                        public CConnectionPointContainerImpl,
                        public CProxyILumMgrPluginQueueEvents,
                        public ILumMgrPluginEngine,
                        public ILumMgrPluginDatabaseNotify2,
                        private IPluginDbNotifyOwner
{
public:
    CPluginDbNotify() noexcept;
    ~CPluginDbNotify();

    // Starts the notification worker with this object as its owner. S_OK even when its thread
    // does not start.
    HRESULT FinalConstruct();
    // Stops both workers, detaches the notification worker and lets the site go; the members,
    // workers included, are destroyed afterwards.
    void FinalRelease();
    // Whether the last reference went on a thread that still runs this object's code further up
    // its stack: one of its workers, or a count event being fired. The object is then destroyed
    // on a thread of its own, which joins the workers.
    bool MustBeDestroyedElsewhere();

    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // ILumMgrPluginEngine
    HRESULT STDMETHODCALLTYPE GetProperty(LONG propertyId, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE SetProperty(LONG propertyId, VARIANT value) override;
    HRESULT STDMETHODCALLTYPE GetPropertyInfo(LONG propertyId, VARIANT* info) override;
    HRESULT STDMETHODCALLTYPE Start(ULONG startFlags, BSTR startContext, VARIANT options) override;
    HRESULT STDMETHODCALLTYPE Stop(VARIANT options) override;
    HRESULT STDMETHODCALLTYPE Pause(VARIANT options) override;
    HRESULT STDMETHODCALLTYPE Resume(VARIANT options) override;
    HRESULT STDMETHODCALLTYPE SetOption(ULONG value) override;
    HRESULT STDMETHODCALLTYPE GetOptionFlag(VARIANT_BOOL* flag) override;
    HRESULT STDMETHODCALLTYPE Abort(VARIANT options) override;
    HRESULT STDMETHODCALLTYPE GetState(ULONG* state) override;
    HRESULT STDMETHODCALLTYPE GetProgress(ULONG* progress) override;
    HRESULT STDMETHODCALLTYPE GetProgressEventName(BSTR* name) override;
    HRESULT STDMETHODCALLTYPE GetModuleId(BSTR* moduleId) override;
    HRESULT STDMETHODCALLTYPE GetCategoryMask(ULONG* mask) override;
    HRESULT STDMETHODCALLTYPE GetClassId(VARIANT* classId) override;
    HRESULT STDMETHODCALLTYPE GetOptionFlag2(VARIANT_BOOL* flag) override;
    HRESULT STDMETHODCALLTYPE GetProcessId(ULONG* processId, VARIANT* reserved) override;
    HRESULT STDMETHODCALLTYPE TakeStartContext(BSTR* context) override;

    // ILumMgrPluginDatabaseNotify2
    HRESULT STDMETHODCALLTYPE Connect(IUnknown* site, VARIANT options) override;
    HRESULT STDMETHODCALLTYPE Disconnect(VARIANT options) override;
    HRESULT STDMETHODCALLTYPE GetNotifyFlag(VARIANT_BOOL* flag) override;
    HRESULT STDMETHODCALLTYPE GetInterval(ULONG* milliseconds) override;
    HRESULT STDMETHODCALLTYPE SetInterval(ULONG milliseconds) override;
    HRESULT STDMETHODCALLTYPE GetPendingCount(ULONG* count) override;
    HRESULT STDMETHODCALLTYPE GetPendingItems(ULONG skip, ULONG maxCount, VARIANT* items) override;
    HRESULT STDMETHODCALLTYPE CancelPending(BSTR item) override;

    // Search work-item type for the start mode in startFlags & 0x00FF0000; 0 for no search.
    static LONG SearchTypeFromStartFlags(ULONG startFlags) noexcept;

private:
    friend class CPluginDbNotifyTestAccess;

    // IPluginDbNotifyOwner
    IUnknown* KeepAlive() override { return KeepAliveIfLive(); }
    HRESULT FirePendingCountChanged(const VARIANT& count) override;

    // CConnectionPointContainerImpl: the queue-event point is the only one.
    CConnectionPoint* GetConnectionPointAt(ULONG index) noexcept override;

    // Stop and Abort.
    void RequestSearchStop();
    // Replaces the stored start context by a copy of `context` (null stays null).
    void StoreStartContext(BSTR context);

    // First, so that it goes last: the workers trace until their threads have ended.
    CTraceUse m_traceUse;
    CComPtr<ILumMgrPluginSite> m_site;  // set by Connect; handed to the workers marshalled only
    CPluginDbNotifyThread m_notifyThread;
    CPluginDbSearchThread m_searchThread;  // also holds the engine state and the progress word
    std::atomic<BSTR> m_startContext{nullptr};  // owned; handed over by TakeStartContext
};
