#pragma once
#include <windows.h>
#include <oleauto.h>
#include <initializer_list>
#include <memory>
#include <vector>
#include "common/ComPtr.h"
#include "common/GuardedFile.h"
#include "common/HResult.h"
#include "common/Scoped.h"
#include "common/String.h"
#include "contentdb/KdCdbItemGroup.h"
#include "interfaces/ContentDbInterfaces.h"

class CKdCdbMgrEvents;
template <typename T>
class CComObject;

// The system's own callback for database notifications: CKdCdbMgr receives the sink's calls
// through it and passes them on to its listeners through it. The arguments are those of
// IKdCdbNotification::OnNotify and are valid only during the call. The result is not read.
class IKdCdbMgrEvents
{
public:
    virtual LONG STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                            LONG_PTR context) = 0;

protected:
    ~IKdCdbMgrEvents() = default;
};

// One connection to the content database manager.
//
// Every operation runs on the owner's thread (COM initialised) except OnNotify, which the sink
// calls on the database's thread. The connection lock is recursive and serialises every sequence
// of calls over the connection: a search and the walk over its results are one unit, so a caller
// walking results holds ConnectionLock() from the search to the end of the walk.
//
// A listener must not switch notifications off or close the connection from inside OnNotify: the
// connection lock is never taken inside a notification (the lock order, common/LockRank.h).
class CKdCdbMgr : public IKdCdbMgrEvents
{
public:
    CKdCdbMgr();
    virtual ~CKdCdbMgr();
    CKdCdbMgr(const CKdCdbMgr&) = delete;
    CKdCdbMgr& operator=(const CKdCdbMgr&) = delete;

    // IKdCdbMgrEvents: from the sink, on the database's thread. Passes the call to every listener
    // that is registered when its turn comes.
    LONG STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                    LONG_PTR context) override;

    // Connects (a busy database is retried until timeoutMs has passed, or until a stop or abort
    // event is signalled: E_ABORT, and the wrapper stays disconnected) or, when connected, only
    // sends the client name again; then switches notifications on or off. S_OK when it switched
    // them on, S_FALSE when they were off and stay off.
    HRESULT Open(bool notifications, LPCWSTR clientName, DWORD timeoutMs);
    HRESULT Close();
    // For an owner whose thread was ended by force inside a database call, with the connection
    // lock held: the destructor then lets go of the database without closing it, as closing would
    // wait for that lock forever.
    void Abandon() noexcept;
    HRESULT EnableNotifications(bool on);

    // Listeners are not counted references. Once RemoveListener returns, the listener gets no
    // further call, even when a notification is being delivered at that moment.
    bool AddListener(IKdCdbMgrEvents* listener);     // true when it was already registered
    void RemoveListener(IKdCdbMgrEvents* listener);  // null removes every listener
    bool IsListener(IKdCdbMgrEvents* listener);

    // The wrapper keeps duplicates, so the owner may close its own handles. Null clears. Any
    // thread may replace them: a check in progress keeps waiting on the ones it started with.
    bool SetRunEvent(HANDLE runEvent);
    bool SetAbortEvent(HANDLE abortEvent);
    // The wrapper's own abort event, which any thread may signal to cut a walk short. It exists
    // from construction to destruction and is never replaced, so a handle taken here stays good
    // while the wrapper lives; the checks watch it beside the owner's abort event.
    HANDLE EnsureAbortEvent() const noexcept { return m_abortEvent.Get(); }

    // True when the stop or abort event is signalled within timeoutMs.
    bool IsAborted(DWORD timeoutMs);
    // While the run event is reset, waits up to timeoutMs for it. False on a stop or abort.
    bool WaitRunnable(DWORD timeoutMs);

    // Searches the first database. itemClass -1 sends the query unchanged; another class restricts
    // it to items of that class. resultCount may be null.
    HRESULT Search(LPCWSTR query, ULONG propCount, const LONG* propIds, LONG* resultCount, LONG itemClass = -1,
                   ULONG option1 = 0, ULONG option2 = 0, ULONG option3 = 0);
    // itemId is passed on as it is, so it must be a real BSTR.
    HRESULT SelectItem(BSTR itemId, ULONG propCount, const LONG* propIds, LONG* resultCount);
    HRESULT SearchRelatedByClass(BSTR itemId, ULONG classCount, const LONG* classes, ULONG propCount,
                                 const LONG* propIds, LONG* resultCount);
    HRESULT SearchRelated(BSTR itemId, ULONG propCount, const LONG* propIds, LONG* resultCount);
    // S_OK when an item has this id, S_FALSE when none has.
    HRESULT ItemExists(LPCWSTR itemId);
    HRESULT DeleteItem(LPCWSTR itemId);
    HRESULT MoveNext();
    // *value is null when the property of the current result has no value.
    HRESULT GetValue(LONG propId, BSTR* value);
    // The current result's value as text; empty when it has none or cannot be read.
    CString GetValueText(LONG propId);
    // The walk over the result set of a search that found `count` results, for a caller holding
    // ConnectionLock() since the search. visit() reads the current result and answers false to
    // end the walk early; a failing MoveNext ends it too. After each move mayGoOn() is asked
    // (it blocks while the owner is paused); its false ends the walk with E_ABORT.
    template <typename Visit, typename MayGoOn>
    HRESULT WalkResults(LONG count, Visit&& visit, MayGoOn&& mayGoOn);
    // The same, waiting on this connection's run state between two results.
    template <typename Visit>
    HRESULT WalkResults(LONG count, Visit&& visit)
    {
        return WalkResults(count, visit, [this] { return WaitRunnable(INFINITE); });
    }
    HRESULT GetItemValue(LPCWSTR itemId, LONG propId, BSTR* value);
    HRESULT GetItemPath(LPCWSTR itemId, BSTR* path);
    HRESULT SetValue(LPCWSTR itemId, LONG propId, LPCWSTR value);
    // One write per pair, in array order. The BSTRs stay the caller's.
    HRESULT SetValueList(LPCWSTR itemId, const std::vector<LONG>& propIds, const std::vector<BSTR>* values);
    HRESULT SetValuesRaw(BSTR itemId, ULONG count1, KdCdbPropValue* list1, ULONG count2, KdCdbPropValue* list2);

    // ---- Lookups ----------------------------------------------------------------------------
    // Each takes the connection lock for its search and the whole of its walk, and checks the run
    // state between results. Results: kHrNotConnected, E_POINTER for a missing required argument
    // (out-lists included; an empty item id counts as missing, so that a blank id cannot match
    // and alter unrelated records), E_ABORT on a stop, else the deciding database call's result.
    // Every out-list is emptied first; optional lists may be null.

    // Result set of the items whose file is `path`. itemClass 0 takes the class from the file
    // name (no filter when that gives none); -1 is no filter. The caller walks the results under
    // ConnectionLock().
    HRESULT FindItemByPath(LPCWSTR path, ULONG propCount, const LONG* propIds, LONG itemClass,
                           LONG* resultCount = nullptr);
    // Containers of class 600 that have a related item of class 612, each with the first one.
    HRESULT ListContainerGroups(std::vector<CKdCdbItemGroup>* groups);
    // The item's non-empty associated-file paths, in property order.
    HRESULT GetItemFiles(LPCWSTR itemId, std::vector<CString>* files);
    // Derived items (classes 610 to 612) of sourceId; their associated files; the container keys of
    // the marked class-612 items.
    HRESULT FindDerivedItems(LPCWSTR sourceId, std::vector<CString>* ids, std::vector<CString>* files = nullptr,
                             std::vector<CString>* keys = nullptr);
    // Distinct source ids named by derived items, and distinct ids of derived items naming none.
    HRESULT ListDerivationSources(std::vector<CString>* sources, std::vector<CString>* unsourced);
    // Containers without a related item of class 612, and their associated files.
    HRESULT FindEmptyContainers(std::vector<CString>* ids, std::vector<CString>* files = nullptr);
    // The same, for the containers whose key is one of `keys`.
    HRESULT FindEmptyContainersByKey(const std::vector<CString>* keys, std::vector<CString>* ids,
                                     std::vector<CString>* files = nullptr);
    // Collections (classes 650, 700) without a related member, and their associated files.
    HRESULT FindEmptyCollections(std::vector<CString>* ids, std::vector<CString>* files = nullptr);
    // Removes itemId from every collection's member list (as text); ids gets the collections that
    // became empty.
    HRESULT RemoveFromCollections(LPCWSTR itemId, std::vector<CString>* ids, std::vector<CString>* files = nullptr);
    // Items of itemClass (-1: video, image and audio) whose file cannot be found.
    HRESULT FindItemsWithMissingFile(std::vector<CString>* ids, LONG itemClass);
    // Deletes the item's derived items and, withContainers, the containers and collections left
    // empty; deleteFiles deletes their files too. The item itself stays.
    HRESULT DeleteItemWithDependents(LPCWSTR itemId, bool deleteFiles, bool withContainers);

    // Held around a search and its walk.
    CCriticalSection& ConnectionLock() noexcept { return m_connectionLock; }
    bool IsConnected();
    // Major in bits 16 to 23, minor in 8 to 15, build in 0 to 7; 0 when not connected.
    DWORD GetServerVersion() const noexcept { return m_serverVersion; }
    CString GetServerText();
    CString GetClientName();
    std::vector<CString> GetDatabaseNames();

    // Packs "major.minor.build" (separators "." or ","; numbers read as C literals, low 8 bits
    // kept; a fourth number ignored) as GetServerVersion() gives it.
    static DWORD ParseServerVersion(const wchar_t* text) noexcept;

private:
    HRESULT Connect(DWORD timeoutMs);
    HRESULT OpenDatabase(DWORD timeoutMs);
    HRESULT ReadServerInfo();
    HRESULT ReadDatabaseNames();
    void ReleaseDatabase() noexcept;
    // Turns a result into E_ABORT when a stop or abort is pending.
    HRESULT EndWithAbortCheck(HRESULT hr);
    // body() on the connection (OnConnection), its result then checked with EndWithAbortCheck;
    // kHrNotConnected stays as it is.
    template <typename Body>
    HRESULT OnConnectionThenAbortCheck(Body&& body)
    {
        bool connected = false;
        const HRESULT hr = OnConnection([&] {
            connected = true;
            return body();
        });
        return connected ? EndWithAbortCheck(hr) : hr;
    }
    HRESULT WriteValues(LPCWSTR itemId, ULONG count, const LONG* propIds, const BSTR* values);
    // body() under the connection lock once connected; kHrNotConnected before.
    template <typename Body>
    HRESULT OnConnection(Body&& body)
    {
        CLockGuard guard(m_connectionLock);
        if (!m_database)
            return kHrNotConnected;
        return body();
    }
    // The opening every lookup shares: E_POINTER unless argumentsGiven, the given out-lists
    // emptied, then body() on the connection (OnConnection), the common/ helpers' exceptions
    // turned into their HRESULT.
    template <typename Body>
    HRESULT RunLookup(bool argumentsGiven, std::initializer_list<std::vector<CString>*> outLists, Body&& body);

    // A kernel handle that stays open while anyone still holds a copy.
    using CSharedHandle = std::shared_ptr<void>;
    struct CRunState
    {
        CSharedHandle run;
        CSharedHandle abort;
    };
    // The owner's events as they are now, held open for the length of a check.
    CRunState TakeRunState();
    bool ReplaceDuplicate(CSharedHandle& held, HANDLE source);

    CScopedHandle m_stopEvent;   // signalled by the destructor
    CScopedHandle m_abortEvent;  // the wrapper's own: created once, only ever signalled
    CCriticalSection m_eventLock{LockRank::DbEvents};  // guards the two below
    CSharedHandle m_runEvent;       // duplicate of the owner's run event, or null
    CSharedHandle m_ownerAbortEvent;  // duplicate of the owner's abort event, or null
    volatile DWORD m_serverVersion = 0;
    CCriticalSection m_connectionLock{LockRank::DbConnection};
    CComPtr<IKdCdbManager> m_database;
    CString m_clientName;
    CScopedBstr m_serverText;
    std::vector<CScopedBstr> m_databaseNames;
    CCriticalSection m_listenerLock{LockRank::DbListeners};
    std::vector<IKdCdbMgrEvents*> m_listeners;
    CComPtr<CComObject<CKdCdbMgrEvents>> m_sink;
    bool m_abandoned = false;
};

template <typename Visit, typename MayGoOn>
HRESULT CKdCdbMgr::WalkResults(LONG count, Visit&& visit, MayGoOn&& mayGoOn)
{
    for (LONG i = 0; i < count; ++i)
    {
        if (!visit())
            return S_OK;
        if (FAILED(MoveNext()))
            return S_OK;
        if (!mayGoOn())
            return E_ABORT;
    }
    return S_OK;
}

// What a failed access check on a file still proves about its presence.
enum class FilePresence
{
    InUse,       // a file someone holds open or locked is there
    Unreadable,  // so is one that nobody here may read, or that is encrypted
};

// The file opens for reading for the service or for a logged-on user, or fails only in a way that
// `presence` accepts.
bool IsFilePresent(LPCWSTR path, FilePresence presence = FilePresence::InUse);
// Whether a result of that access check shows an existing file.
bool ShowsFilePresent(HRESULT checkResult, FilePresence presence) noexcept;
// Deletes the file as a logged-on user who can open it for writing (or as the service), through
// the file guard (common/GuardedFile.h): the single way the plug-in deletes a file a database value
// names. A refused deletion is recorded (RefusedFileChanges.h) and answers false like any failed
// one. True when the deletion succeeded.
// `refusal`, when given, tells why the guard refused (None when it did not decide the failure).
bool DeleteFileAsUser(LPCWSTR path, FileGuardRefusal* refusal = nullptr);
// Replaces the content of `target` by that of `source` as the calling thread's identity, both
// opened through the file guard (a refusal is recorded as for a deletion). True when it was copied.
bool OverwriteFileGuarded(LPCWSTR source, LPCWSTR target);
