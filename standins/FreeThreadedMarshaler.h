#pragma once
#include <windows.h>
#include <objbase.h>
#include "common/ComPtr.h"

// The free-threaded marshaler aggregated into a stand-in, so that a pointer handed to another
// apartment stays the same object and any thread may call it. The stand-in creates it in
// FinalConstruct with its controlling IUnknown and passes IID_IMarshal queries to it.
class CFreeThreadedMarshaler
{
public:
    HRESULT Create(IUnknown* controllingUnknown);
    // The marshaler's IMarshal for IID_IMarshal; E_NOINTERFACE for any other id or before Create.
    HRESULT QueryMarshal(REFIID iid, void** out) const;

private:
    CComPtr<IUnknown> m_marshaler;
};
