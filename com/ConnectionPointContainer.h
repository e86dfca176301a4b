#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include "com/ConnectionPoint.h"

// IConnectionPointContainer over the connection points an object holds. The object derives from
// it (its IUnknown answers for the container) and lists its points by index.
class CConnectionPointContainerImpl : public IConnectionPointContainer
{
public:
    // A snapshot of every point of the object, each enumerated point holding the object alive.
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    // The point for outgoing interface `iid`; CONNECT_E_NOCONNECTION when the object has none.
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

protected:
    CConnectionPointContainerImpl() = default;
    ~CConnectionPointContainerImpl() = default;
    CConnectionPointContainerImpl(const CConnectionPointContainerImpl&) = delete;
    CConnectionPointContainerImpl& operator=(const CConnectionPointContainerImpl&) = delete;

    // The object's points from index 0 on, null past the last. Not counted references.
    virtual CConnectionPoint* GetConnectionPointAt(ULONG index) noexcept = 0;
};
