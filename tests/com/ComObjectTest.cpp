#include <gtest/gtest.h>
#include "com/ComObject.h"
#include "common/ComPtr.h"

namespace
{
// {4C0A3E43-5B0B-4C55-9E2F-0E1E7D4A9A10}
const IID IID_ITestValue = {0x4c0a3e43, 0x5b0b, 0x4c55, {0x9e, 0x2f, 0x0e, 0x1e, 0x7d, 0x4a, 0x9a, 0x10}};

struct ITestValue : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE GetValue(LONG* value) = 0;
};

int g_finalReleases = 0;
HRESULT g_constructResult = S_OK;

class CTestObject : public CComObjectRootEx, public ITestValue
{
public:
    HRESULT FinalConstruct() { return g_constructResult; }
    void FinalRelease() { ++g_finalReleases; }
    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        return QueryInterfaceFrom(iid, out, {{&IID_ITestValue, static_cast<ITestValue*>(this)}});
    }
    HRESULT STDMETHODCALLTYPE GetValue(LONG* value) override
    {
        if (!value)
            return E_POINTER;
        *value = 42;
        return S_OK;
    }
};

// A minimal outer object that keeps the inner non-delegating IUnknown, as an aggregating client does.
class COuter : public IUnknown
{
public:
    LONG refs = 1;
    CComPtr<IUnknown> inner;
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown))
        {
            *out = this;
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(iid, out);
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }
};
}  // namespace

TEST(ComObject, AloneCountsReferencesAndHoldsAModuleLock)
{
    const LONG locksBefore = ModuleLockCount();
    g_finalReleases = 0;
    CComPtr<ITestValue> value;
    ASSERT_EQ(S_OK, CreateComInstance<CTestObject>(nullptr, IID_ITestValue, reinterpret_cast<void**>(&value)));
    EXPECT_EQ(locksBefore + 1, ModuleLockCount());
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, value->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(value.Get()), identity.Get());
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, value->QueryInterface(IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);
    identity.Release();
    value.Release();
    EXPECT_EQ(1, g_finalReleases);
    EXPECT_EQ(locksBefore, ModuleLockCount());
}

TEST(ComObject, FailedFinalConstructDestroysTheObject)
{
    const LONG locksBefore = ModuleLockCount();
    g_constructResult = E_OUTOFMEMORY;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_OUTOFMEMORY, CreateComInstance<CTestObject>(nullptr, IID_ITestValue, &out));
    g_constructResult = S_OK;
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(locksBefore, ModuleLockCount());
}

TEST(ComObject, AggregatedDelegatesToTheOuterObject)
{
    const LONG locksBefore = ModuleLockCount();
    COuter outer;
    void* out = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CreateComInstance<CTestObject>(&outer, IID_ITestValue, &out));
    ASSERT_EQ(S_OK, CreateComInstance<CTestObject>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    EXPECT_EQ(locksBefore + 1, ModuleLockCount());

    ITestValue* value = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_ITestValue, reinterpret_cast<void**>(&value)));
    EXPECT_EQ(2, outer.refs);  // the inner interface counted on the outer object
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, value->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
    identity->Release();
    LONG v = 0;
    EXPECT_EQ(S_OK, value->GetValue(&v));
    EXPECT_EQ(42, v);
    value->Release();
    EXPECT_EQ(1, outer.refs);

    g_finalReleases = 0;
    outer.inner.Release();
    EXPECT_EQ(1, g_finalReleases);
    EXPECT_EQ(locksBefore, ModuleLockCount());
}
