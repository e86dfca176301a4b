#pragma once
#include <windows.h>
#include "com/ComObject.h"
#include "common/Scoped.h"
#include "interfaces/ContentDbInterfaces.h"

class IKdCdbMgrEvents;

// The notification sink registered with the database: forwards every call to the CKdCdbMgr that
// created it. The database may hold it longer than the wrapper, so the wrapper detaches it (owner
// null) before letting it go; a call arriving after that does nothing.
//
// Created as CComObject<CKdCdbMgrEvents>, which holds a module lock while alive.
class CKdCdbMgrEvents : public CComObjectRootEx, public IKdCdbNotification
{
public:
    CKdCdbMgrEvents() noexcept = default;

    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        return QueryInterfaceFrom(iid, out, {{&IID_IKdCdbNotification, static_cast<IKdCdbNotification*>(this)}});
    }
    void FinalRelease() { SetOwner(nullptr); }

    // Under ownerLock: once SetOwner(nullptr) returns, no call reaches the old owner any more.
    void SetOwner(IKdCdbMgrEvents* owner) noexcept;

    // IKdCdbNotification
    HRESULT STDMETHODCALLTYPE OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses, LONG* changeKinds,
                                       LONG_PTR context) override;

private:
    CCriticalSection m_ownerLock{LockRank::DbSinkOwner};
    IKdCdbMgrEvents* m_owner = nullptr;  // back pointer, not a counted reference
};
