#pragma once
#include <windows.h>
#include <unknwn.h>
#include <new>
#include "com/ComObjectRoot.h"
#include "com/DeferredDestruction.h"
#include "com/ModuleLock.h"

// The creation wrappers. T derives from CComObjectRootEx and its interfaces and implements
// InternalQueryInterface; the wrappers add IUnknown. Every object holds a module lock from before
// its construction until after its last member is destroyed.

// A non-aggregated object: CComObject<T>::CreateInstance gives a new object with reference count
// 0 (the caller's QueryInterface or AddRef takes the first reference). Final: Release deletes it
// through its own type, so no class may derive from it.
template <typename T>
class CComObject final : private CModuleLockScope, public T
{
public:
    CComObject() = default;

    // FinalRelease runs first, then T's members are destroyed, then the module lock goes.
    ~CComObject()
    {
        this->SetRefCountForDestruction();
        this->FinalRelease();
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override { return this->InternalQueryInterface(iid, out); }
    STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
    STDMETHOD_(ULONG, Release)() override
    {
        const ULONG count = this->InternalRelease();
        if (count == 0)
            Destroy(this);
        return count;
    }

    // Creates the object and runs FinalConstruct; on failure the object is destroyed and *out null.
    static HRESULT CreateInstance(CComObject<T>** out)
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        CComObject<T>* object = new (std::nothrow) CComObject<T>();
        if (!object)
            return E_OUTOFMEMORY;
        IUnknown* const self = object->OwnUnknown();
        object->SetControllingUnknown(self);
        object->SetLifetime(&object->m_refCount, self);
        // A temporary reference protects the object from a FinalConstruct that hands itself out
        // and gets released again.
        object->InternalAddRef();
        const HRESULT hr = object->FinalConstruct();
        object->InternalRelease();
        if (FAILED(hr))
        {
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }

private:
    static void Destroy(CComObject<T>* object)
    {
        // Left alive when no thread can be had for it: better than freeing state that code up
        // this thread's stack still uses.
        if (object->MustBeDestroyedElsewhere())
            DestroyOnNewThread([](void* self) { delete static_cast<CComObject<T>*>(self); }, object);
        else
            delete object;
    }

    IUnknown* OwnUnknown() noexcept
    {
        IUnknown* unknown = nullptr;
        this->InternalQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
        // InternalQueryInterface took a reference; the identity pointer is not a counted one.
        this->InternalRelease();
        return unknown;
    }
};

// T as the inner object of an aggregate: its IUnknown methods delegate to the outer object.
template <typename T>
class CComContainedObject : public T
{
public:
    explicit CComContainedObject(IUnknown* outer) noexcept { this->SetControllingUnknown(outer); }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override { return this->GetControllingUnknown()->QueryInterface(iid, out); }
    STDMETHOD_(ULONG, AddRef)() override { return this->GetControllingUnknown()->AddRef(); }
    STDMETHOD_(ULONG, Release)() override { return this->GetControllingUnknown()->Release(); }
};

// An aggregated object: this class is the non-delegating IUnknown that the outer object holds;
// every other interface is T's, delegating to the outer object.
template <typename T>
class CComAggObject : private CModuleLockScope, public IUnknown
{
public:
    explicit CComAggObject(IUnknown* outer) : m_contained(outer)
    {
        m_contained.SetLifetime(&m_refCount, static_cast<IUnknown*>(this));
    }

    // As CComObject: FinalRelease, then the members, then the module lock.
    virtual ~CComAggObject()
    {
        m_refCount = -(LONG_MAX / 2);
        m_contained.SetRefCountForDestruction();
        m_contained.FinalRelease();
    }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown))
        {
            *out = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained.InternalQueryInterface(iid, out);
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }
    STDMETHOD_(ULONG, Release)() override
    {
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 0)
        {
            // Left alive when no thread can be had for it (see CComObject).
            if (m_contained.MustBeDestroyedElsewhere())
                DestroyOnNewThread([](void* self) { delete static_cast<CComAggObject<T>*>(self); }, this);
            else
                delete this;
        }
        return static_cast<ULONG>(count);
    }

    T& Inner() noexcept { return m_contained; }

    static HRESULT CreateInstance(IUnknown* outer, CComAggObject<T>** out)
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!outer)
            return E_INVALIDARG;
        CComAggObject<T>* object = new (std::nothrow) CComAggObject<T>(outer);
        if (!object)
            return E_OUTOFMEMORY;
        object->AddRef();
        const HRESULT hr = object->m_contained.FinalConstruct();
        if (FAILED(hr))
        {
            object->Release();
            return hr;
        }
        // Hand the object out with reference count 0, like CComObject::CreateInstance.
        InterlockedDecrement(&object->m_refCount);
        *out = object;
        return S_OK;
    }

private:
    volatile LONG m_refCount = 0;
    CComContainedObject<T> m_contained;
};

// Asks an object just created, with reference count 0, for `iid`; the object goes when that fails.
template <typename Object>
HRESULT QueryNewObject(Object* object, REFIID iid, void** out)
{
    object->AddRef();
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

// Creates T alone or aggregated and asks it for `iid`: the class factory's creation function.
// COM's aggregation rule: an outer object may only ask for IUnknown.
template <typename T>
HRESULT CreateComInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer)
    {
        if (!IsEqualIID(iid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        CComAggObject<T>* object = nullptr;
        const HRESULT hr = CComAggObject<T>::CreateInstance(outer, &object);
        return FAILED(hr) ? hr : QueryNewObject(object, iid, out);
    }
    CComObject<T>* object = nullptr;
    const HRESULT hr = CComObject<T>::CreateInstance(&object);
    return FAILED(hr) ? hr : QueryNewObject(object, iid, out);
}
