#include "standins/ClassRegistration.h"
#include <utility>
#include "com/ModuleLock.h"
#include "common/ComPtr.h"

HRESULT CFunctionClassFactory::Create(CreateInstanceFunction create, IClassFactory** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!create)
        return E_INVALIDARG;
    CComObject<CFunctionClassFactory>* factory = nullptr;
    const HRESULT hr = CComObject<CFunctionClassFactory>::CreateInstance(&factory);
    if (FAILED(hr))
        return hr;
    factory->m_create = create;
    factory->AddRef();
    *out = factory;
    return S_OK;
}

HRESULT CFunctionClassFactory::FinalConstruct()
{
    return m_marshaler.Create(GetControllingUnknown());
}

HRESULT CFunctionClassFactory::InternalQueryInterface(REFIID iid, void** out)
{
    const HRESULT hr = QueryInterfaceFrom(iid, out, {{&IID_IClassFactory, static_cast<IClassFactory*>(this)}});
    return hr == E_NOINTERFACE ? m_marshaler.QueryMarshal(iid, out) : hr;
}

HRESULT STDMETHODCALLTYPE CFunctionClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return m_create(outer, iid, out);
}

HRESULT STDMETHODCALLTYPE CFunctionClassFactory::LockServer(BOOL lock)
{
    if (lock)
        ModuleLock();
    else
        ModuleUnlock();
    return S_OK;
}

CClassRegistration::CClassRegistration(CClassRegistration&& other) noexcept
    : m_registered(std::exchange(other.m_registered, false)), m_cookie(std::exchange(other.m_cookie, 0))
{
}

CClassRegistration& CClassRegistration::operator=(CClassRegistration&& other) noexcept
{
    if (this != &other)
    {
        Revoke();
        m_registered = std::exchange(other.m_registered, false);
        m_cookie = std::exchange(other.m_cookie, 0);
    }
    return *this;
}

HRESULT CClassRegistration::Register(REFCLSID clsid, IUnknown* classObject)
{
    if (!classObject)
        return E_POINTER;
    if (m_registered)
        return E_UNEXPECTED;
    DWORD cookie = 0;
    const HRESULT hr = CoRegisterClassObject(clsid, classObject, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr))
        return hr;
    m_cookie = cookie;
    m_registered = true;
    return S_OK;
}

HRESULT CClassRegistration::Register(REFCLSID clsid, CreateInstanceFunction create)
{
    CComPtr<IClassFactory> factory;
    const HRESULT hr = CFunctionClassFactory::Create(create, &factory);
    if (FAILED(hr))
        return hr;
    // COM holds its own reference while the class is registered.
    return Register(clsid, factory.Get());
}

HRESULT CClassRegistration::Revoke() noexcept
{
    if (!m_registered)
        return S_FALSE;
    m_registered = false;
    return CoRevokeClassObject(std::exchange(m_cookie, 0));
}
