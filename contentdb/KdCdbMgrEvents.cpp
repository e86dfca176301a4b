#include "contentdb/KdCdbMgrEvents.h"
#include "contentdb/KdCdbMgr.h"

void CKdCdbMgrEvents::SetOwner(IKdCdbMgrEvents* owner) noexcept
{
    CLockGuard guard(m_ownerLock);
    m_owner = owner;
}

HRESULT STDMETHODCALLTYPE CKdCdbMgrEvents::OnNotify(LONG count, LPCWSTR* itemIds, LONG* itemClasses,
                                                    LONG* changeKinds, LONG_PTR context)
{
    // The owner lock is held through the call so that detaching waits for a call in progress.
    CLockGuard guard(m_ownerLock);
    if (m_owner)
        m_owner->OnNotify(count, itemIds, itemClasses, changeKinds, context);
    return S_OK;
}
