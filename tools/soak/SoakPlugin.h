#pragma once
#include <windows.h>
#include <ocidl.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "interfaces/ManagerInterfaces.h"
#include "interfaces/PluginInterfaces.h"

class CSoakCallTimes;

// The manager's hold on the plug-in: loads the DLL, makes its class creatable in this process,
// creates, connects and releases plug-in objects and makes every call the manager makes, each one
// timed. One object is current at a time; any thread may replace it (the manager does so from
// inside its event callbacks too), and a call in progress keeps the object it started on.
class CSoakPlugin
{
public:
    using Context = std::function<std::wstring()>;

    CSoakPlugin(CSoakCallTimes& times, Context context);
    ~CSoakPlugin();
    CSoakPlugin(const CSoakPlugin&) = delete;
    CSoakPlugin& operator=(const CSoakPlugin&) = delete;

    // Loads the DLL and registers its class object (CoRegisterClassObject) for this process; once.
    HRESULT Load(const std::wstring& dllPath);
    // Registers the loaded DLL's class object again after a Revoke.
    HRESULT Register();
    // Revokes the class object; the DLL stays loaded for CanUnloadNow.
    void Revoke();
    // DllCanUnloadNow of the loaded DLL.
    HRESULT CanUnloadNow();
    // DllCanUnloadNow once it answers S_OK or the time is up: an object released from inside its
    // own callback ends on a thread of its own, a little later.
    HRESULT WaitUntilUnloadable(DWORD timeoutMs);
    void Unload();

    // The manager's site and queue-event sink given to every object.
    void SetManager(ILumMgrPluginSite* site, IUnknown* sink);

    // A new current object, subscribed to; the previous one is released first (disconnected
    // first when asked).
    HRESULT Recreate(bool disconnectFirst);
    void ReleaseCurrent(bool disconnectFirst);
    bool HasCurrent() const;
    LONG Created() const noexcept { return m_created; }

    // The manager's calls on the current object; E_UNEXPECTED when there is none.
    HRESULT Connect(const VARIANT& options);
    HRESULT Disconnect();
    HRESULT Subscribe();
    HRESULT Unsubscribe();
    HRESULT GetPendingCount(ULONG& count);
    HRESULT GetPendingItems(ULONG skip, ULONG maxCount, std::vector<std::wstring>& paths);
    // Null `text`: a null BSTR.
    HRESULT CancelPending(const wchar_t* text);
    HRESULT AskNotifySettings();  // GetNotifyFlag, GetInterval, SetInterval
    HRESULT Start(ULONG flags, const wchar_t* context);
    HRESULT Pause();
    HRESULT Resume();
    HRESULT Stop();
    HRESULT Abort();
    HRESULT GetProgress(ULONG& progress);
    HRESULT GetState(ULONG& state);
    HRESULT GetProperty(LONG id, ULONG& mask);
    HRESULT AskIdentity();  // GetModuleId, GetClassId, GetProcessId, TakeStartContext, option flags
    // Waits on the current object's progress event; true when it was signalled.
    bool WaitProgress(DWORD ms);
    // How many of its threads the module has ended by force, asked (untimed) of the current object
    // or, with none, of one made for the question. False when it cannot be asked.
    bool ThreadsEndedByForce(ULONG& count);

private:
    struct Instance
    {
        explicit Instance(CSoakPlugin& owner) : owner(owner) {}
        // The last reference goes with the last holder: a call in progress on another thread
        // keeps the object alive until it returns.
        ~Instance();

        CSoakPlugin& owner;
        CComPtr<ILumMgrPluginDatabaseNotify2> notify;
        CComPtr<ILumMgrPluginEngine> engine;
        CComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        CScopedHandle progress;
        CCriticalSection connectLock{LockRank::Outside};  // Connect is not called concurrently with itself
    };

    std::shared_ptr<Instance> Current() const;
    HRESULT CreateInstance(std::shared_ptr<Instance>& made);
    void Release(std::shared_ptr<Instance> instance, bool disconnectFirst);
    template <typename Call>
    HRESULT Timed(const wchar_t* method, Call&& call);

    CSoakCallTimes& m_times;
    Context m_context;
    HMODULE m_dll = nullptr;
    CComPtr<IClassFactory> m_factory;
    DWORD m_registration = 0;
    CComPtr<ILumMgrPluginSite> m_site;
    CComPtr<IUnknown> m_sink;

    mutable CCriticalSection m_lock{LockRank::Outside};
    std::shared_ptr<Instance> m_current;  // guarded by m_lock
    volatile LONG m_created = 0;
};
