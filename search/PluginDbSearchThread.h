#pragma once
#include <windows.h>
#include <objbase.h>
#include <atomic>
#include <functional>
#include <list>
#include <vector>
#include "common/ComPtr.h"
#include "common/MarshalledStream.h"
#include "common/Scoped.h"
#include "common/String.h"
#include "common/ThreadChecker.h"
#include "contentdb/KdCdbItemGroup.h"
#include "contentdb/KdCdbMgr.h"
#include "interfaces/ManagerInterfaces.h"
#include "interfaces/ServiceInterfaces.h"
#include "search/MetadataVersions.h"
#include "worker/PluginEvent.h"
#include "worker/PluginThread.h"

class CCleanUpProgress;
class CSearchCandidates;

// The worker that searches the content database on the manager's request. The plug-in object
// queues a site item and then one search request per Start; the thread runs the requests one
// after another and publishes their progress in the progress word and the named progress event.
// The engine state of the plug-in object lives here as well, beside the progress it belongs to.
class CPluginDbSearchThread : public CPluginThread<CPluginDbSearchThread>
{
public:
    using CBase = CPluginThread<CPluginDbSearchThread>;

    // Item types: the site item, then one per search run.
    static constexpr LONG kItemSite = 1;
    static constexpr LONG kItemCleanUp = 2;                  // start mode 0x02
    static constexpr LONG kItemFullSearch = 3;               // start mode 0x01
    static constexpr LONG kItemCategoryVersionSearch = 4;    // start mode 0x03
    static constexpr LONG kItemCategorySearch = 5;           // start mode 0x04
    static constexpr LONG kItemMetadataUpdateMajor = 6;      // start mode 0x05
    static constexpr LONG kItemMetadataUpdateMinor = 7;      // start mode 0x06

    // Engine states (ILumMgrPluginEngine::GetState).
    static constexpr ULONG kEngineNeverStarted = 0;
    static constexpr ULONG kEngineRunning = 1;
    static constexpr ULONG kEngineStopped = 2;
    static constexpr ULONG kEnginePaused = 3;

    // Progress word values besides the percentages of a clean-up run.
    static constexpr ULONG kProgressRunning = 0;
    static constexpr ULONG kProgressQueued = 0x20000000;
    static constexpr ULONG kProgressDone = 0x40000000;
    static constexpr ULONG kProgressFailed = 0x80000000;

    // The work item: `value` (the base's) carries the request word of a search run, 0 for the
    // site item.
    class CProcessItem : public CBase::CProcessItem
    {
    public:
        using CBase::CProcessItem::CProcessItem;

        CMarshalledStream stream;  // site item: the site marshalled for this thread
    };

    // Called on the worker thread with every item of a positive type, after a site item has been
    // taken in and before a search run starts; `site` is the site the worker holds then. Lets a
    // test see what the plug-in object queued. Set it while no thread runs.
    using RequestObserver = void (*)(void* context, LONG type, ULONG value, ILumMgrPluginSite* site);

    CPluginDbSearchThread();
    ~CPluginDbSearchThread() override;

    // Sets the stop event, then wakes the long database calls of the run in progress.
    bool RequestStop() override;
    // Stops the thread, waiting up to the stop time-out; false when it had to be terminated.
    virtual bool Shutdown();

    // Hands the site to the thread: starts it if need be (S_FALSE when it cannot be started) and
    // queues a site item carrying `site` marshalled for the thread (no stream when site is null
    // or cannot be marshalled). A refused item is destroyed and the queueing HRESULT returned.
    HRESULT QueueSite(ILumMgrPluginSite* site);
    // Queues search run `type` with `requestWord`: the thread is started if it is not running
    // (E_FAIL when it still does not run); the progress word becomes queued, or failed (and the
    // event is signalled) when the item is refused.
    HRESULT QueueSearch(LONG type, ULONG requestWord);

    ULONG GetEngineState() const noexcept { return m_engineState.load(); }
    // Sets the engine state and answers the previous one.
    ULONG ExchangeEngineState(ULONG state) noexcept { return m_engineState.exchange(state); }

    ULONG GetProgress() const noexcept { return m_progress.load(); }
    // Sets the progress word and signals the progress event (when it exists).
    void SetProgress(ULONG progress) noexcept;
    const CString& GetProgressEventName() const noexcept { return m_progressEvent.GetName(); }

    void SetRequestObserver(RequestObserver observer, void* context) noexcept;

    // The request word: category mask in bits 0 to 15 (0 means all), queue flags in bits 24 to 31.
    static ULONG CategoryMaskFromRequest(ULONG requestWord) noexcept;
    // The flags passed with every queued item: the request's top byte, with 0x80000000 added
    // when neither of bits 30 and 31 is set.
    static ULONG QueueFlagsFromRequest(ULONG requestWord) noexcept;

    // ---- The database passes the search runs are made of. They run on the worker thread with
    // connections the run owns, and use the worker's site, stop event and run event: a stop ends
    // them with E_ABORT at their next row or entry, a pause holds them there.

    // Runs `query` on searchConnection and keeps the rows of the categories in categoryMask; once
    // every row is read, hands the items to the site in the order of their overall state (0, 7,
    // 5, 10, 6, others) with queueFlags, or, when an item's file is gone, writes its file-missing
    // state through writeConnection. Without a site nothing is checked, queued or written.
    // E_POINTER for a null query; else the search's result, or E_ABORT after a stop.
    HRESULT SearchAndQueue(CKdCdbMgr& writeConnection, CKdCdbMgr& searchConnection, LPCWSTR query, ULONG queueFlags,
                           ULONG categoryMask);
    // For the items matching categoryClause (may be empty) whose field of any of the engines holds
    // fromValue, sets those fields to toValue, adjusts the overall state to match and writes the
    // changed words back on the same connection, one write per item, after all rows are read.
    // E_POINTER for a null clause, E_INVALIDARG for no engines; else the search's result, or
    // E_ABORT after a stop (nothing is written then).
    HRESULT ResetEngineStates(CKdCdbMgr& connection, LPCWSTR categoryClause, const std::vector<ULONG>& engineIndexes,
                              ULONG fromValue, ULONG toValue);

    // ---- Test seams, for tests that call the passes directly while no thread runs.

    // Replaces the site held (null releases it), as a site item would.
    void SetSite(ILumMgrPluginSite* site) noexcept { m_site = site; }
    // Replaces the file access check of SearchAndQueue (the open test as the service or a logged-on
    // user) with `check`, given the long form of the item's location; null restores it. Stands in
    // for file errors the test machine cannot produce (access denied, a lock violation, an
    // encrypted file).
    using FileAccessCheck = HRESULT (*)(void* context, LPCWSTR longPath);
    void SetFileAccessCheck(FileAccessCheck check, void* context) noexcept;

protected:
    HRESULT ProcessItem(std::unique_ptr<CBase::CProcessItem> item) override;

    // ---- The clean-up run's steps, each on a connection the run opened and listed ----------
    // Each step looks for a stop first and waits while paused between two entries; E_ABORT ends it
    // when the worker stops. A failed lookup ends only its own step, with the lookup's result.

    // Items of the configured class whose file is gone, phase 3 to 10.
    HRESULT RemoveItemsWithMissingFile(CKdCdbMgr& connection, CCleanUpProgress& progress);
    // Derived items whose source item is gone, phases 10 to 25 and 25 to 40.
    HRESULT RemoveOrphanedDerivedItems(CKdCdbMgr& connection, CCleanUpProgress& progress);
    // Containers without members, phases 40 to 50 (files) and 50 to 65 (records).
    HRESULT RemoveEmptyContainers(CKdCdbMgr& connection, CCleanUpProgress& progress);
    // Collections without members, phases 65 to 75 (files) and 75 to 90 (records).
    HRESULT RemoveEmptyCollections(CKdCdbMgr& connection, CCleanUpProgress& progress);
    // The four removals in order; E_ABORT from one ends them and is the answer, else S_OK.
    HRESULT RunRemovalSteps(CKdCdbMgr& connection, CCleanUpProgress& progress);
    // Containers whose file no longer matches their source, repaired from a member, phase 90 to
    // 100. E_ABORT when stopped, else the result of the group lookup.
    HRESULT RepairContainers(CKdCdbMgr& connection, CCleanUpProgress& progress);
    // Examines the pair with the worker's file examiner (created on first use); *accepted tells
    // whether the container still holds the source. 0x80070002 when a file is missing; S_FALSE
    // when the source has no video or audio part.
    HRESULT ExamineContainerPair(const CString& sourcePath, const CString& containerFile, bool* accepted);

    // "CleanUpObjectClass": the class whose items without a file are removed; 0 (none) when the
    // value is absent or unreadable.
    static LONG ReadCleanUpObjectClass();

private:
    // Keeps a connection in the connection list while it lives, so that a stop request can reach
    // the connection's long calls; removed before the connection is destroyed.
    class CListedConnection
    {
    public:
        CListedConnection(CPluginDbSearchThread& owner, CKdCdbMgr& connection);
        ~CListedConnection();
        CListedConnection(const CListedConnection&) = delete;
        CListedConnection& operator=(const CListedConnection&) = delete;

    private:
        CPluginDbSearchThread& m_owner;
        CKdCdbMgr& m_connection;
        bool m_listed = false;
    };

    HRESULT TakeSite(CProcessItem& item);

    // The walk both passes share: searches `query` on the connection and calls readRow for each
    // result row; after each row moves on and waits while paused. Ends early when a move fails or
    // a stop comes (stopped is then set; a stop already set takes no row). The connection lock is
    // held throughout. Returns the search's result.
    HRESULT WalkSearchResults(CKdCdbMgr& connection, LPCWSTR query, ULONG columnCount, const LONG* columns,
                              bool& stopped, const std::function<void()>& readRow);
    // SearchAndQueue's parts: the walk that keeps the rows, and the hand-over of one kept item.
    HRESULT CollectCandidates(CKdCdbMgr& searchConnection, LPCWSTR query, ULONG categoryMask,
                              CSearchCandidates& candidates, bool& stopped);
    void HandOverCandidate(CKdCdbMgr& writeConnection, ILumMgrPluginSite* site, LONG state, ULONG category,
                           LPCWSTR location, LPCWSTR itemId, ULONG queueFlags);
    HRESULT CheckFileAccess(LPCWSTR longPath);
    // Runs a search request between the progress updates every run shares.
    void RunRequest(LONG type, ULONG requestWord);

    // Opens a private connection of a run, without notifications, and gives it the worker's stop
    // and run events.
    HRESULT OpenRunConnection(CKdCdbMgr& connection);
    // The two connections of a search run: A searches, B writes. B is not opened when A fails.
    // Answers the first failure.
    HRESULT OpenRunConnections(CKdCdbMgr& search, CKdCdbMgr& write);
    // The frame every search run shares: open A and B, check for a stop, list A for stop requests,
    // run `steps`, unlist and close. A stop before the steps gives E_ABORT.
    template <typename Steps>
    HRESULT RunInFrame(Steps steps);
    // The frame of the category runs: RunInFrame for the request's category mask and queue flags,
    // where the handed-over items are searched again first when the manager is idle; then
    // passes(search, pass, mask), pass(query, categories) being one SearchAndQueue of the mask's
    // category prefix and `query`.
    template <typename Passes>
    HRESULT RunCategoryFrame(ULONG requestWord, Passes passes);
    // True when the manager status object says the manager has nothing queued. A status object
    // that cannot be created or asked counts as busy: the idle-only step is skipped.
    bool IsManagerIdle();

    // The runs.
    HRESULT RunCleanUp(ULONG requestWord);
    HRESULT RunFullSearch(ULONG requestWord);
    HRESULT RunCategoryVersionSearch(ULONG requestWord);
    HRESULT RunCategorySearch(ULONG requestWord);
    HRESULT RunMetadataVersionUpdate(ULONG requestWord, bool majorOnly);
    // Sets the outdated engines' fields of `category` from 4 to 10, then records their versions
    // for it; a failed reset leaves the versions unrecorded.
    HRESULT ResetEngineVersions(CKdCdbMgr& connection, const std::vector<EngineEntry>& outdated, ULONG category);

    // Clean-up helpers (PluginDbSearchThreadCleanUp.cpp).
    using EmptyGroupLookup = HRESULT (CKdCdbMgr::*)(std::vector<CString>* ids, std::vector<CString>* files);
    HRESULT RemoveEmptyGroups(CKdCdbMgr& connection, CCleanUpProgress& progress, EmptyGroupLookup lookup,
                              ULONG low, ULONG middle, ULONG high);
    bool RepairContainer(CKdCdbMgr& connection, const CKdCdbItemGroup& group);
    bool CopyMemberIntoContainer(CKdCdbMgr& connection, const CString& containerId, const CString& containerFile,
                                 const CString& sourcePath, const CString& memberId);
    HRESULT EnsureFileExaminer();
    // Counts and traces the removal of an item by the clean-up.
    void NoteRemoval(HRESULT hr, const CString& itemId, const wchar_t* reason);

    // Read without a lock by the plug-in object's threads; single aligned words.
    std::atomic<ULONG> m_engineState{kEngineNeverStarted};
    std::atomic<ULONG> m_progress{0};
    CPluginEvent m_progressEvent;        // auto-reset, named
    CComPtr<ILumMgrPluginSite> m_site;   // used on the worker thread only (m_workerThread)
    CThreadChecker m_workerThread;       // bound while the thread runs

    // Connections of the run in progress that a stop request must reach; not owned.
    CCriticalSection m_connectionLock{LockRank::SearchConnections};
    std::list<CKdCdbMgr*> m_connections;
    CComPtr<IFileExaminer> m_fileExaminer;  // created by the clean-up on first use; worker thread only

    RequestObserver m_observer = nullptr;
    void* m_observerContext = nullptr;
    FileAccessCheck m_fileAccessCheck = nullptr;
    void* m_fileAccessContext = nullptr;

    // What the run in progress did, for the trace's line at its end; worker thread only.
    struct CRunCounts
    {
        ULONG handedOver = 0;
        ULONG markedMissing = 0;
        ULONG reset = 0;
        ULONG removed = 0;
    };
    CRunCounts m_runCounts;
};
