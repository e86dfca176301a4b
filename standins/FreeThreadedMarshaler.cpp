#include "standins/FreeThreadedMarshaler.h"

HRESULT CFreeThreadedMarshaler::Create(IUnknown* controllingUnknown)
{
    return CoCreateFreeThreadedMarshaler(controllingUnknown, &m_marshaler);
}

HRESULT CFreeThreadedMarshaler::QueryMarshal(REFIID iid, void** out) const
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IMarshal) || !m_marshaler)
        return E_NOINTERFACE;
    return m_marshaler->QueryInterface(iid, out);
}
