#pragma once
#include <windows.h>
#include <objbase.h>
#include "com/ComObject.h"
#include "standins/FreeThreadedMarshaler.h"

// Creates an object of a class, alone (outer null) or aggregated, and asks it for iid; for
// example CreateComInstance<T>.
using CreateInstanceFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// A class object that creates its instances through a creation function. Free-threaded, so that
// COM hands the same object to every apartment of the process.
class CFunctionClassFactory : public CComObjectRootEx, public IClassFactory
{
public:
    // A new class object with one reference for the caller.
    static HRESULT Create(CreateInstanceFunction create, IClassFactory** out);

    HRESULT FinalConstruct();
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    CreateInstanceFunction m_create = nullptr;
    CFreeThreadedMarshaler m_marshaler;
};

// Makes a class creatable by CoCreateInstance from any thread of this process while the object
// lives: CoRegisterClassObject(CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE) on Register, revoked on
// Revoke or at scope end. COM wants the revocation on the registering thread, so the object stays
// on the thread that registered it.
class CClassRegistration
{
public:
    CClassRegistration() noexcept = default;
    ~CClassRegistration() { Revoke(); }
    CClassRegistration(const CClassRegistration&) = delete;
    CClassRegistration& operator=(const CClassRegistration&) = delete;
    CClassRegistration(CClassRegistration&& other) noexcept;
    CClassRegistration& operator=(CClassRegistration&& other) noexcept;

    // Registers any class object (an IClassFactory). One registration per object: a second
    // Register without Revoke answers E_UNEXPECTED.
    HRESULT Register(REFCLSID clsid, IUnknown* classObject);
    // Registers a CFunctionClassFactory around `create`.
    HRESULT Register(REFCLSID clsid, CreateInstanceFunction create);
    template <typename T>
    HRESULT Register(REFCLSID clsid)
    {
        return Register(clsid, &CreateComInstance<T>);
    }

    // S_FALSE when nothing was registered.
    HRESULT Revoke() noexcept;
    bool IsRegistered() const noexcept { return m_registered; }

private:
    bool m_registered = false;
    DWORD m_cookie = 0;
};
