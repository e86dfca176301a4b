#include <gtest/gtest.h>
#include <thread>
#include <vector>
#include "com/ComObject.h"
#include "com/Module.h"
#include "common/ComPtr.h"
#include "common/HResultException.h"
#include "tests/com/ComTestResources.h"
#include "tests/support/RegistryProbe.h"
#include "tests/support/TestOuter.h"

using namespace registry_probe;

namespace
{
// {9D1C7E52-04B6-4C1E-8E0A-3B2D5F6A7C81}
const CLSID CLSID_ModuleTestObject = {0x9d1c7e52, 0x04b6, 0x4c1e, {0x8e, 0x0a, 0x3b, 0x2d, 0x5f, 0x6a, 0x7c, 0x81}};
// {9D1C7E52-04B6-4C1E-8E0A-3B2D5F6A7C82}
const CLSID CLSID_NotServed = {0x9d1c7e52, 0x04b6, 0x4c1e, {0x8e, 0x0a, 0x3b, 0x2d, 0x5f, 0x6a, 0x7c, 0x82}};

bool g_throwInConstructor = false;
HRESULT g_constructResult = S_OK;
int g_finalReleases = 0;
bool g_keptInFinalRelease = false;

class CModuleTestObject : public CComObjectRootEx, public IPersist
{
public:
    CModuleTestObject()
    {
        if (g_throwInConstructor)
            ThrowHResult(E_OUTOFMEMORY);
    }
    HRESULT FinalConstruct() { return g_constructResult; }
    void FinalRelease()
    {
        ++g_finalReleases;
        IUnknown* kept = KeepAliveIfLive();
        g_keptInFinalRelease = kept != nullptr;
    }
    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        return QueryInterfaceFrom(iid, out, {{&IID_IPersist, static_cast<IPersist*>(this)}});
    }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override { return *id = CLSID_ModuleTestObject, S_OK; }
};

class CTestModule : public CComDllModule
{
public:
    CTestModule() : CComDllModule(m_map, 1) {}

private:
    CObjectMapEntry m_map[1] = {
        {&CLSID_ModuleTestObject, &CreateComInstance<CModuleTestObject>, IDR_MODULE_TEST_SCRIPT, nullptr}};
};

// Every case ends with no module lock left once the cached class object is dropped.
class ModuleTest : public ::testing::Test
{
protected:
    void SetUp() override { g_finalReleases = 0; }
    void TearDown() override
    {
        g_throwInConstructor = false;
        g_constructResult = S_OK;
        module.Term();
        EXPECT_EQ(0, ModuleLockCount());
    }

    CComPtr<IClassFactory> Factory()
    {
        CComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, module.GetClassObject(CLSID_ModuleTestObject, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        return factory;
    }

    CTestModule module;
};
}  // namespace

TEST_F(ModuleTest, ObjectAloneCountsReferencesAndHoldsAModuleLock)
{
    CComPtr<IPersist> object;
    ASSERT_EQ(S_OK, CreateComInstance<CModuleTestObject>(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)));
    EXPECT_EQ(1, ModuleLockCount());
    CComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(object.Get()), identity.Get());
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);
    identity.Release();
    object.Release();
    EXPECT_EQ(1, g_finalReleases);
}

TEST_F(ModuleTest, AggregatedObjectDelegatesToTheOuterObject)
{
    CTestOuter outer;
    void* out = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CreateComInstance<CModuleTestObject>(&outer, IID_IPersist, &out));
    ASSERT_EQ(S_OK, CreateComInstance<CModuleTestObject>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    EXPECT_EQ(1, ModuleLockCount());

    IPersist* persist = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)));
    EXPECT_EQ(2, outer.refs);  // the inner interface counted on the outer object
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
    identity->Release();
    persist->Release();
    EXPECT_EQ(1, outer.refs);
    outer.inner.Release();
    EXPECT_EQ(1, g_finalReleases);
}

// A thread of the object's own holds it only while it lives: not from a count of 0 (the object is
// on its way out, and the next release would destroy it a second time), not in its destruction.
// Aggregated, the hold is on the inner object's own count.
TEST_F(ModuleTest, KeepAliveIsRefusedOnceTheCountHasComeToZero)
{
    CComObject<CModuleTestObject>* alone = nullptr;
    ASSERT_EQ(S_OK, CComObject<CModuleTestObject>::CreateInstance(&alone));
    EXPECT_EQ(nullptr, alone->KeepAliveIfLive());
    alone->AddRef();
    IUnknown* kept = alone->KeepAliveIfLive();
    ASSERT_EQ(static_cast<IUnknown*>(static_cast<IPersist*>(alone)), kept);
    EXPECT_EQ(1u, alone->Release());
    kept->Release();
    EXPECT_EQ(1, g_finalReleases);
    EXPECT_FALSE(g_keptInFinalRelease);

    CTestOuter outer;
    ASSERT_EQ(S_OK, CreateComInstance<CModuleTestObject>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    IPersist* persist = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)));
    kept = static_cast<CModuleTestObject*>(persist)->KeepAliveIfLive();
    persist->Release();
    EXPECT_EQ(outer.inner.Get(), kept);
    EXPECT_EQ(1, outer.refs);
    outer.inner.Release();
    EXPECT_EQ(1, g_finalReleases);
    kept->Release();
    EXPECT_EQ(2, g_finalReleases);
    EXPECT_FALSE(g_keptInFinalRelease);
}

TEST_F(ModuleTest, InitialisesAndServesOnlyItsClass)
{
    EXPECT_EQ(S_OK, module.InitResult());
    EXPECT_EQ(GetModuleHandleW(nullptr), module.GetModuleInstance());

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, module.GetClassObject(CLSID_NotServed, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, module.GetClassObject(CLSID_ModuleTestObject, IID_IClassFactory, nullptr));
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, module.GetClassObject(CLSID_ModuleTestObject, IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(ModuleTest, ClassObjectIsCachedAndSharedBetweenThreads)
{
    std::vector<IUnknown*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { module.GetClassObject(CLSID_ModuleTestObject, IID_IUnknown, reinterpret_cast<void**>(&seen[i])); });
    for (std::thread& t : threads)
        t.join();
    for (IUnknown* unknown : seen)
    {
        ASSERT_NE(nullptr, unknown);
        EXPECT_EQ(seen[0], unknown);
    }
    for (IUnknown* unknown : seen)
        unknown->Release();
    EXPECT_EQ(S_OK, module.CanUnloadNow());
}

// A client reference to the class object, a server lock and a live object each keep the module.
TEST_F(ModuleTest, CanUnloadNowFollowsObjectsClassObjectsAndServerLocks)
{
    EXPECT_EQ(S_OK, module.CanUnloadNow());
    CComPtr<IClassFactory> factory = Factory();
    EXPECT_EQ(S_FALSE, module.CanUnloadNow());

    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.Release();
    EXPECT_EQ(S_FALSE, module.CanUnloadNow());
    CComPtr<IClassFactory> again = Factory();
    EXPECT_EQ(S_OK, again->LockServer(FALSE));

    CComPtr<IPersist> object;
    ASSERT_EQ(S_OK, again->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)));
    again.Release();
    EXPECT_EQ(S_FALSE, module.CanUnloadNow());
    object.Release();
    EXPECT_EQ(S_OK, module.CanUnloadNow());
}

// A refused creation leaves a null result and no object behind. Aggregation is refused before
// anything is created (the outer object is never called).
TEST_F(ModuleTest, CreateInstanceRefusesBadArgumentsAndCatchesConstructionFailures)
{
    CComPtr<IClassFactory> factory = Factory();
    ASSERT_NE(nullptr, factory.Get());
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IPersist, nullptr));
    const struct { const char* what; bool aggregated; REFIID iid; bool throws; HRESULT constructResult; HRESULT expected; } cases[] = {
        {"aggregation", true, IID_IPersist, false, S_OK, CLASS_E_NOAGGREGATION},
        {"unknown interface", false, IID_IClassFactory, false, S_OK, E_NOINTERFACE},
        {"constructor throws", false, IID_IPersist, true, S_OK, E_OUTOFMEMORY},
        {"FinalConstruct fails", false, IID_IPersist, false, E_ACCESSDENIED, E_ACCESSDENIED},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        g_throwInConstructor = c.throws;
        g_constructResult = c.constructResult;
        void* out = reinterpret_cast<void*>(1);
        IUnknown* const outer = c.aggregated ? reinterpret_cast<IUnknown*>(factory.Get()) : nullptr;
        EXPECT_EQ(c.expected, factory->CreateInstance(outer, c.iid, &out));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(1, ModuleLockCount()) << "only the class object's";
    }
}

TEST_F(ModuleTest, RegistersItsScriptWithTheModulePath)
{
    const std::wstring key = L"Software\\LumTest\\ModuleTest";
    DeleteTree(HKEY_CURRENT_USER, key);
    wchar_t path[MAX_PATH] = {0};
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, path, MAX_PATH));

    ASSERT_EQ(S_OK, module.RegisterServer());
    EXPECT_EQ(std::wstring(path), ReadString(HKEY_CURRENT_USER, key + L"\\InprocServer32", nullptr));
    EXPECT_EQ(L"Both", ReadString(HKEY_CURRENT_USER, key + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(E_NOTIMPL, module.RegisterServer(true));

    ASSERT_EQ(S_OK, module.UnregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\LumTest"));
    EXPECT_EQ(S_OK, module.UnregisterServer());
    DeleteTree(HKEY_CURRENT_USER, L"Software\\LumTest");
}

TEST_F(ModuleTest, TermDropsTheCachedClassObjectAndANewOneIsMadeOnRequest)
{
    module.Term();  // nothing cached yet
    Factory().Release();
    module.Term();
    EXPECT_EQ(0, ModuleLockCount());
    CComPtr<IPersist> object;
    EXPECT_EQ(S_OK, Factory()->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)));
}
