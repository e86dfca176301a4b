#include "com/ConnectionPointContainer.h"

#include "com/EnumSnapshot.h"

HRESULT CConnectionPointContainerImpl::EnumConnectionPoints(IEnumConnectionPoints** points)
{
    if (!points)
        return E_POINTER;
    *points = nullptr;
    ULONG count = 0;
    while (GetConnectionPointAt(count))
        ++count;
    const auto items = CEnumConnectionPoints::CItems::WithRoomFor(count);
    if (!items)
        return E_OUTOFMEMORY;
    for (ULONG i = 0; i < count; ++i)
    {
        IConnectionPoint* point = GetConnectionPointAt(i);
        point->AddRef();
        items->Adopt(point);
    }
    return CEnumConnectionPoints::Create(items, 0, points);
}

HRESULT CConnectionPointContainerImpl::FindConnectionPoint(REFIID iid, IConnectionPoint** point)
{
    if (!point)
        return E_POINTER;
    *point = nullptr;
    for (ULONG i = 0; CConnectionPoint* candidate = GetConnectionPointAt(i); ++i)
    {
        if (IsEqualIID(iid, candidate->Iid()))
        {
            candidate->AddRef();
            *point = candidate;
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}
