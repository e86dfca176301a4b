#pragma once
// A minimal outer object for aggregation tests: it keeps the inner non-delegating IUnknown, as an
// aggregating client does, and counts its own references so a test can see who holds it.
#include <windows.h>
#include <objbase.h>
#include "common/ComPtr.h"

class CTestOuter : public IUnknown
{
public:
    LONG refs = 1;
    CComPtr<IUnknown> inner;
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (!IsEqualIID(iid, IID_IUnknown))
            return inner->QueryInterface(iid, out);
        *out = this;
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
    STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
};
