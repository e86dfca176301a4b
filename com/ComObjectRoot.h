#pragma once
#include <windows.h>
#include <unknwn.h>
#include <initializer_list>
#include "common/LockRank.h"

// Base of every COM class of the module, for the multi-threaded model: an interlocked reference
// count and a critical section for the object's own state. A class derives from it and from its
// interfaces, and supplies
//     HRESULT InternalQueryInterface(REFIID iid, void** out);
// usually as `return QueryInterfaceFrom(iid, out, { {&IID_IFoo, static_cast<IFoo*>(this)}, ... });`
// where the first entry also answers IID_IUnknown. The IUnknown methods themselves come from the
// creation wrappers in ComObject.h (CComObject alone, CComAggObject aggregated), so that the same
// class serves both.
class CComObjectRootEx
{
public:
    CComObjectRootEx() noexcept { InitializeCriticalSection(&m_objectLock); }
    ~CComObjectRootEx() { DeleteCriticalSection(&m_objectLock); }
    CComObjectRootEx(const CComObjectRootEx&) = delete;
    CComObjectRootEx& operator=(const CComObjectRootEx&) = delete;

    void Lock() noexcept { EnterRankedCriticalSection(&m_objectLock, LockRank::ComObject); }
    void Unlock() noexcept { LeaveRankedCriticalSection(&m_objectLock, LockRank::ComObject); }

    // Construction and release hooks: FinalConstruct runs after the object is fully built (a
    // failure destroys it), FinalRelease when the last reference goes, before the members are
    // destroyed.
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
    // Asked when the last reference goes: true makes the creation wrapper destroy the object on a
    // thread of its own (DestroyOnNewThread), for a class whose last reference may go on a thread
    // that still runs its code further up the stack.
    bool MustBeDestroyedElsewhere() { return false; }

    // The object's identity: the outer object's IUnknown when aggregated, else its own.
    IUnknown* GetControllingUnknown() const noexcept { return m_controllingUnknown; }

    ULONG InternalAddRef() noexcept { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }
    ULONG InternalRelease() noexcept { return static_cast<ULONG>(InterlockedDecrement(&m_refCount)); }

    // A reference that keeps this object alive, for a thread of its own that holds a plain back
    // pointer to it; the caller gives it back with Release on the pointer returned. Null once the
    // count has come to 0: an AddRef then would bring the object back while it is being destroyed,
    // and its next Release would destroy it a second time. When aggregated, the reference is on
    // this inner object's own count, not on the outer object's.
    IUnknown* KeepAliveIfLive() noexcept
    {
        if (!m_lifetimeUnknown)
            return nullptr;
        LONG count = *m_lifetimeCount;
        while (count > 0)
        {
            const LONG seen = InterlockedCompareExchange(m_lifetimeCount, count + 1, count);
            if (seen == count)
                return m_lifetimeUnknown;
            count = seen;
        }
        return nullptr;
    }

    // For the creation wrappers only.
    void SetControllingUnknown(IUnknown* unknown) noexcept { m_controllingUnknown = unknown; }
    void SetRefCountForDestruction() noexcept { m_refCount = -(LONG_MAX / 2); }
    // The count whose release to 0 destroys the object, and the IUnknown whose Release counts it.
    void SetLifetime(volatile LONG* count, IUnknown* unknown) noexcept
    {
        m_lifetimeCount = count;
        m_lifetimeUnknown = unknown;
    }

    struct InterfaceEntry
    {
        const IID* iid;
        IUnknown* pointer;
    };

    // Answers `iid` from the table; IID_IUnknown gets the first entry. The interface's AddRef goes
    // through the most derived class, so an aggregated object counts on its outer object.
    static HRESULT QueryInterfaceFrom(REFIID iid, void** out, std::initializer_list<InterfaceEntry> entries) noexcept
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (entries.size() == 0)
            return E_NOINTERFACE;
        for (const InterfaceEntry& entry : entries)
        {
            if (IsEqualIID(iid, *entry.iid))
            {
                *out = entry.pointer;
                entry.pointer->AddRef();
                return S_OK;
            }
        }
        if (IsEqualIID(iid, IID_IUnknown))
        {
            *out = entries.begin()->pointer;
            entries.begin()->pointer->AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }

protected:
    volatile LONG m_refCount = 0;
    CRITICAL_SECTION m_objectLock;  // LockRank::ComObject
    IUnknown* m_controllingUnknown = nullptr;
    volatile LONG* m_lifetimeCount = &m_refCount;
    IUnknown* m_lifetimeUnknown = nullptr;
};

// Holds an object's lock for a scope.
template <typename T>
class CObjectLockGuard
{
public:
    explicit CObjectLockGuard(T& object) noexcept : m_object(object) { m_object.Lock(); }
    ~CObjectLockGuard() { m_object.Unlock(); }
    CObjectLockGuard(const CObjectLockGuard&) = delete;
    CObjectLockGuard& operator=(const CObjectLockGuard&) = delete;

private:
    T& m_object;
};
