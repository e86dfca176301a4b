#pragma once
#include <windows.h>
#include <unknwn.h>

// Creates an object of one class, alone (outer null) or aggregated, and asks it for `iid`.
// CreateComInstance<T> (ComObject.h) has this shape.
using CreateInstanceFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// The class object of one class. The module caches one per object-map entry and keeps one
// reference to it for its whole life; references held by clients lock the module like live
// objects do, so a client that keeps the class object keeps the code loaded.
// IClassFactory::LockServer adds and removes module locks.
class CComClassFactory final : public IClassFactory
{
public:
    // Reference count 0; the first AddRef is the module's own reference.
    explicit CComClassFactory(CreateInstanceFunction create) noexcept : m_create(create) {}
    CComClassFactory(const CComClassFactory&) = delete;
    CComClassFactory& operator=(const CComClassFactory&) = delete;

    // Creates a factory holding the module's reference (*out gets it); E_OUTOFMEMORY or E_POINTER.
    static HRESULT Create(CreateInstanceFunction create, IClassFactory** out) noexcept;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~CComClassFactory() = default;

    volatile LONG m_refCount = 0;
    CreateInstanceFunction m_create;
};
