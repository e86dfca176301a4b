#include "com/ClassFactory.h"

#include <new>
#include "com/ComObjectRoot.h"
#include "com/ModuleLock.h"
#include "common/ComCall.h"

HRESULT CComClassFactory::Create(CreateInstanceFunction create, IClassFactory** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!create)
        return E_INVALIDARG;
    CComClassFactory* factory = new (std::nothrow) CComClassFactory(create);
    if (!factory)
        return E_OUTOFMEMORY;
    factory->AddRef();
    *out = factory;
    return S_OK;
}

STDMETHODIMP CComClassFactory::QueryInterface(REFIID iid, void** out)
{
    return CComObjectRootEx::QueryInterfaceFrom(iid, out, {{&IID_IClassFactory, static_cast<IClassFactory*>(this)}});
}

// The module's own reference is the first one; every count above it is a client's and holds the
// module lock, taken when the count leaves 1 and given back when it returns to 1.
STDMETHODIMP_(ULONG) CComClassFactory::AddRef()
{
    const LONG count = InterlockedIncrement(&m_refCount);
    if (count == 2)
        ModuleLock();
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(ULONG) CComClassFactory::Release()
{
    const LONG count = InterlockedDecrement(&m_refCount);
    if (count == 1)
        ModuleUnlock();
    else if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

STDMETHODIMP CComClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    // A constructor may raise the framework's exception (a lock or event that cannot be made).
    return ComCall([&] { return m_create(outer, iid, out); });
}

STDMETHODIMP CComClassFactory::LockServer(BOOL lock)
{
    if (lock)
        ModuleLock();
    else
        ModuleUnlock();
    return S_OK;
}
