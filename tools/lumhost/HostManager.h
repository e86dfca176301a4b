#pragma once
#include <windows.h>
#include <functional>
#include <map>
#include <string>
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "interfaces/ManagerInterfaces.h"

class CManagerSite;

// The manager's side of the hand-off as lumhost plays it: every file the plug-in hands over
// becomes an entry of the manager's analysis queue (id "Q<n>", state "may be withdrawn") until it
// is analysed; a later hand-off of the same file makes the plug-in withdraw the older entry. The listener hears of each hand-off and withdrawal on the plug-in's
// thread, after the site has recorded the call.
class CHostManager
{
public:
    struct HandOff
    {
        std::wstring path;
        LONG category = 0;
        ULONG queueFlags = 0;
        std::wstring entryId;  // the manager queue entry made for it; empty when none could be
        HRESULT answered = S_OK;
        DWORD tick = 0;
    };
    struct Withdrawal
    {
        std::wstring entryId;
        std::wstring path;  // of the entry; empty when the id is not one of ours
        HRESULT answered = S_OK;
        DWORD tick = 0;
    };
    using HandOffListener = std::function<void(const HandOff&)>;
    using WithdrawalListener = std::function<void(const Withdrawal&)>;

    CHostManager(HandOffListener onHandOff, WithdrawalListener onWithdrawal);
    ~CHostManager();
    CHostManager(const CHostManager&) = delete;
    CHostManager& operator=(const CHostManager&) = delete;

    // Creates the site and starts observing it.
    HRESULT Create();
    // Stops observing; the site may still be referenced by the plug-in.
    void Detach();
    ILumMgrPluginSite* Site() const noexcept;
    CManagerSite* SiteObject() const noexcept { return m_site.Get(); }
    size_t QueueLength() const;
    // The entry has been analysed: it leaves the manager's queue.
    void Finished(const std::wstring& entryId);

private:
    HandOffListener m_onHandOff;
    WithdrawalListener m_onWithdrawal;
    CComPtr<CManagerSite> m_site;
    mutable CCriticalSection m_lock{LockRank::Outside};
    std::map<std::wstring, std::wstring> m_entryPaths;  // entry id -> path
    ULONG m_nextEntry = 1;
};
