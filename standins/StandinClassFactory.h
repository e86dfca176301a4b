#pragma once
#include <windows.h>
#include <objbase.h>
#include <functional>
#include "com/ComObject.h"
#include "common/ComCall.h"
#include "common/ComPtr.h"

// The class object through which a test or the reference host makes a stand-in creatable with
// CoCreateInstance: registered with CoRegisterClassObject in this process. Each new object is
// handed to `prepare` (to attach it to the stand-in's shared state) before the caller gets it; a
// failure of `prepare` destroys the object and is the answer.
//
// Free-threaded, like the stand-ins: any thread of the process may use the registration.
template <class T>
class CStandinClassFactory : public CComObjectRootEx, public IClassFactory
{
public:
    using Prepare = std::function<HRESULT(T& object)>;

    // Registers a new class object for `clsid` (in-process, multiple use); *cookie is for
    // CoRevokeClassObject.
    static HRESULT Register(REFCLSID clsid, Prepare prepare, DWORD* cookie)
    {
        if (!cookie)
            return E_POINTER;
        *cookie = 0;
        CComObject<CStandinClassFactory<T>>* factory = nullptr;
        HRESULT hr = CComObject<CStandinClassFactory<T>>::CreateInstance(&factory);
        if (FAILED(hr))
            return hr;
        factory->AddRef();
        factory->m_prepare = std::move(prepare);
        hr = CoRegisterClassObject(clsid, static_cast<IClassFactory*>(factory), CLSCTX_INPROC_SERVER,
                                   REGCLS_MULTIPLEUSE, cookie);
        factory->Release();
        return hr;
    }

    HRESULT FinalConstruct() { return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), &m_marshaler); }

    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        if (out && IsEqualIID(iid, IID_IMarshal) && m_marshaler)
            return m_marshaler->QueryInterface(iid, out);
        return QueryInterfaceFrom(iid, out, {{&IID_IClassFactory, static_cast<IClassFactory*>(this)}});
    }

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (outer && !IsEqualIID(iid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        IUnknown* created = nullptr;
        T* object = nullptr;
        HRESULT hr;
        if (outer)
        {
            CComAggObject<T>* aggregated = nullptr;
            hr = CComAggObject<T>::CreateInstance(outer, &aggregated);
            if (SUCCEEDED(hr))
            {
                created = aggregated;
                object = &aggregated->Inner();
            }
        }
        else
        {
            CComObject<T>* alone = nullptr;
            hr = CComObject<T>::CreateInstance(&alone);
            if (SUCCEEDED(hr))
            {
                alone->AddRef();
                alone->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&created));
                alone->Release();
                object = alone;
            }
        }
        if (FAILED(hr))
            return hr;
        if (outer)
            created->AddRef();
        // `created` holds the one reference now.
        hr = ComCall([&] { return m_prepare ? m_prepare(*object) : S_OK; });
        if (SUCCEEDED(hr))
            hr = created->QueryInterface(iid, out);
        created->Release();
        return hr;
    }

    STDMETHOD(LockServer)(BOOL lock) override
    {
        if (lock)
            ModuleLock();
        else
            ModuleUnlock();
        return S_OK;
    }

private:
    Prepare m_prepare;
    CComPtr<IUnknown> m_marshaler;
};
