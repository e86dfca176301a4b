#pragma once
#include <windows.h>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "interfaces/ContentDbInterfaces.h"
#include "standins/ContentDbCatalogue.h"
#include "standins/ContentDbControl.h"
#include "standins/ContentDbNotifier.h"

// Answers of the stand-in beyond those the plug-in acts on.
constexpr HRESULT kHrCdbNotOpen = static_cast<HRESULT>(0x80042011);          // call before Open
constexpr HRESULT kHrCdbNoCurrentRow = static_cast<HRESULT>(0x80042012);     // no result, or past the end
constexpr HRESULT kHrCdbUnknownDatabase = static_cast<HRESULT>(0x80042013);  // Search on a name not given out
constexpr HRESULT kHrCdbNotFetched = static_cast<HRESULT>(0x80042014);       // GetValue of a property not asked for

// The stand-in content database: a small real database of items (the catalogue) that any number
// of connections (COM objects, one per CoCreateInstance) search and change, with notifications,
// fault injection and a call record for the tests.
//
//     auto db = CContentDatabase::Create();
//     db->Register();                      // CLSID_KdCdbManager becomes creatable in this process
//     db->Catalogue().AddItem(L"v1", 300, {{500, L"C:\\clip.mpg"}});
//     ... code under test opens CKdCdbMgr ...
//     db->Revoke();
//
// Connections keep the database alive; it revokes its registration when it goes.
class CContentDatabase : public std::enable_shared_from_this<CContentDatabase>
{
public:
    static std::shared_ptr<CContentDatabase> Create();
    ~CContentDatabase();
    CContentDatabase(const CContentDatabase&) = delete;
    CContentDatabase& operator=(const CContentDatabase&) = delete;

    // Registers the class object for CLSID_KdCdbManager in this process (replacing nothing: a
    // second Register of the same database fails with CO_E_OBJISREG).
    HRESULT Register();
    void Revoke();
    // A new connection without going through COM's class lookup.
    HRESULT CreateConnection(IKdCdbManager** connection);

    CContentDbCatalogue& Catalogue() noexcept { return m_catalogue; }
    CContentDbControl& Control() noexcept { return m_control; }

    // Told of every change of the catalogue (kind 1 added or changed, kind 2 removed), whether or
    // not a sink listens, under the catalogue's lock: it must not call back into the database.
    void SetChangeObserver(CContentDbCatalogue::ChangeHook observer);

    // Notifications.
    void SetNotifyBatchSize(ULONG size) { m_notifier.SetBatchSize(size); }
    bool WaitNotificationsIdle(DWORD timeoutMs) { return m_notifier.WaitIdle(timeoutMs); }
    size_t SinkCount() { return m_notifier.SinkCount(); }
    LONG DeliveredNotifications() const noexcept { return m_notifier.DeliveredCalls(); }

    // What the connections answer.
    void SetServerText(const std::wstring& text);
    void SetVersionText(const std::wstring& text);
    // A null entry gives a null element in GetDatabaseNames; no entries give a null array.
    void SetDatabaseNames(const std::vector<const wchar_t*>& names);
    // Open answers kHrCdbBusy until timeMs from now have passed.
    void SetBusyFor(DWORD timeMs);
    // On (the default): GetValue fails with kHrCdbNotFetched for a property its search did not
    // list, so that a caller reading what it did not ask for is caught.
    void SetStrictFetch(bool strict);

    LONG LiveConnections() const noexcept { return InterlockedCompareExchange(&m_liveConnections, 0, 0); }

    // For the connections.
    std::wstring ServerText();
    std::wstring VersionText();
    std::vector<std::optional<std::wstring>> DatabaseNames();
    bool IsKnownDatabase(const wchar_t* name);
    bool IsBusy();
    bool IsStrictFetch();
    CContentDbNotifier& Notifier() noexcept { return m_notifier; }
    void ConnectionCreated() noexcept { InterlockedIncrement(&m_liveConnections); }
    void ConnectionDestroyed() noexcept { InterlockedDecrement(&m_liveConnections); }

private:
    CContentDatabase();

    CContentDbNotifier m_notifier;
    CContentDbCatalogue m_catalogue;
    CContentDbControl m_control;
    CCriticalSection m_observerLock{LockRank::Outside};
    CContentDbCatalogue::ChangeHook m_changeObserver;  // guarded by m_observerLock
    CCriticalSection m_settingsLock{LockRank::Outside};
    std::wstring m_serverText = L"Stand-in content database";
    std::wstring m_versionText = L"3.1.0";
    std::vector<std::optional<std::wstring>> m_databaseNames{std::wstring(L"Main")};
    DWORD m_busyStart = 0;
    DWORD m_busyTime = 0;
    bool m_strictFetch = true;
    mutable volatile LONG m_liveConnections = 0;
    DWORD m_registrationCookie = 0;
};
