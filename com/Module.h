#pragma once
#include <windows.h>
#include <unknwn.h>
#include "com/ClassFactory.h"
#include "common/LockRank.h"

// One class the module serves: its id, how to create it, its registration script and the class
// object made for it on first request (kept until the module ends).
struct CObjectMapEntry
{
    const CLSID* clsid;
    CreateInstanceFunction createInstance;
    UINT registryResourceId;  // resource of type "REGISTRY"
    IClassFactory* classFactory;
};

// The module of an in-process server: the module critical section, the object map and the
// answers behind the four standard exports. The lock count itself is ModuleLock.h's, shared with
// the objects. A derived module class passes its object map (an array living as long as the
// module) to the constructor.
class CComDllModule
{
public:
    CComDllModule(CObjectMapEntry* objectMap, size_t entryCount) noexcept;
    ~CComDllModule();
    CComDllModule(const CComDllModule&) = delete;
    CComDllModule& operator=(const CComDllModule&) = delete;

    // S_OK, or why the module could not be set up (the process must not load it then).
    HRESULT InitResult() const noexcept { return m_initResult; }
    // The image that holds the code, its resources and its registration scripts.
    HINSTANCE GetModuleInstance() const noexcept { return m_instance; }

    void Lock() noexcept;
    void Unlock() noexcept;

    // The class object of `clsid`, created once and cached; CLASS_E_CLASSNOTAVAILABLE for a class
    // the module does not serve.
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;
    // S_OK when no object, client-held class object or server lock keeps the module, else S_FALSE.
    HRESULT CanUnloadNow() const noexcept;

    // Runs (or reverses) the registration script of every object-map entry, with %MODULE% the
    // module's full path. The module carries no type library; registerTypeLib must be false.
    HRESULT RegisterServer(bool registerTypeLib = false) noexcept;
    HRESULT UnregisterServer(bool unregisterTypeLib = false) noexcept;
    HRESULT UpdateRegistryFromResource(UINT resourceId, bool doRegister) noexcept;

    // Releases the cached class objects; the destructor calls it.
    void Term() noexcept;

private:
    CObjectMapEntry* m_objectMap;
    size_t m_entryCount;
    HINSTANCE m_instance;
    CRITICAL_SECTION m_lock;  // LockRank::ModuleClassObjects
    bool m_lockReady = false;
    HRESULT m_initResult = S_OK;
};
