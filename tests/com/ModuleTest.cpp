#include <gtest/gtest.h>
#include <thread>
#include <vector>
#include "com/ComObject.h"
#include "com/Module.h"
#include "common/ComPtr.h"
#include "common/HResultException.h"
#include "tests/com/ComTestResources.h"
#include "tests/support/RegistryProbe.h"

using namespace registry_probe;

namespace
{
// {9D1C7E52-04B6-4C1E-8E0A-3B2D5F6A7C81}
const CLSID CLSID_ModuleTestObject = {0x9d1c7e52, 0x04b6, 0x4c1e, {0x8e, 0x0a, 0x3b, 0x2d, 0x5f, 0x6a, 0x7c, 0x81}};
// {9D1C7E52-04B6-4C1E-8E0A-3B2D5F6A7C82}
const CLSID CLSID_NotServed = {0x9d1c7e52, 0x04b6, 0x4c1e, {0x8e, 0x0a, 0x3b, 0x2d, 0x5f, 0x6a, 0x7c, 0x82}};

bool g_throwInConstructor = false;

class CModuleTestObject : public CComObjectRootEx, public IPersist
{
public:
    CModuleTestObject()
    {
        if (g_throwInConstructor)
            ThrowHResult(E_OUTOFMEMORY);
    }
    HRESULT InternalQueryInterface(REFIID iid, void** out)
    {
        return QueryInterfaceFrom(iid, out, {{&IID_IPersist, static_cast<IPersist*>(this)}});
    }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override
    {
        if (!id)
            return E_POINTER;
        *id = CLSID_ModuleTestObject;
        return S_OK;
    }
};

class CTestModule : public CComDllModule
{
public:
    CTestModule() : CComDllModule(m_map, 1) {}

private:
    CObjectMapEntry m_map[1] = {
        {&CLSID_ModuleTestObject, &CreateComInstance<CModuleTestObject>, IDR_MODULE_TEST_SCRIPT, nullptr}};
};

class ModuleTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(0, ModuleLockCount()) << "an earlier test leaked a module lock"; }
    void TearDown() override { g_throwInConstructor = false; }

    CComPtr<IClassFactory> Factory()
    {
        CComPtr<IClassFactory> factory;
        EXPECT_EQ(S_OK, module.GetClassObject(CLSID_ModuleTestObject, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        return factory;
    }

    CTestModule module;
};
}  // namespace

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
    ASSERT_NE(nullptr, factory.Get());
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
    CLSID id = GUID_NULL;
    EXPECT_EQ(S_OK, object->GetClassID(&id));
    EXPECT_TRUE(IsEqualCLSID(CLSID_ModuleTestObject, id));
    object.Release();
    EXPECT_EQ(S_OK, module.CanUnloadNow());
}

TEST_F(ModuleTest, CreateInstanceChecksItsArgumentsAndCatchesConstructorFailures)
{
    CComPtr<IClassFactory> factory = Factory();
    ASSERT_NE(nullptr, factory.Get());
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IPersist, nullptr));

    // Never called: the aggregation rule is checked before anything is created.
    IUnknown* const outer = reinterpret_cast<IUnknown*>(factory.Get());
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);

    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);

    g_throwInConstructor = true;
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_OUTOFMEMORY, factory->CreateInstance(nullptr, IID_IPersist, &out));
    EXPECT_EQ(nullptr, out);
    factory.Release();
    EXPECT_EQ(0, ModuleLockCount());
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
    CComPtr<IClassFactory> factory = Factory();
    factory.Release();
    module.Term();
    EXPECT_EQ(0, ModuleLockCount());
    CComPtr<IClassFactory> fresh = Factory();
    ASSERT_NE(nullptr, fresh.Get());
    CComPtr<IPersist> object;
    EXPECT_EQ(S_OK, fresh->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)));
}
