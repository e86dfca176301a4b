#include "com/ConnectionPointContainer.h"

#include <memory>
#include <new>
#include "com/EnumSnapshot.h"

HRESULT CConnectionPointContainerImpl::EnumConnectionPoints(IEnumConnectionPoints** points)
{
    if (!points)
        return E_POINTER;
    *points = nullptr;
    std::shared_ptr<CEnumConnectionPoints::CItems> items(new (std::nothrow) CEnumConnectionPoints::CItems());
    if (!items)
        return E_OUTOFMEMORY;
    ULONG count = 0;
    while (GetConnectionPointAt(count))
        ++count;
    try
    {
        items->Reserve(count);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    for (ULONG i = 0; i < count; ++i)
    {
        IConnectionPoint* point = GetConnectionPointAt(i);
        point->AddRef();
        items->Adopt(point);
    }
    return CEnumConnectionPoints::Create(std::move(items), 0, points);
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
