#include <gtest/gtest.h>
#include <windows.h>
#include "com/ModuleLock.h"
#include "common/ComPtr.h"
#include "host/LumSiftDbNotifyWexModule.h"
#include "interfaces/PluginInterfaces.h"

// The module object of the plug-in as linked into this program: its object map serves exactly
// CPluginDbNotify, and what keeps the module loaded.
class HostModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(S_OK, g_module.InitResult());
        ASSERT_EQ(S_OK, g_module.CanUnloadNow()) << "an earlier test left an object or lock behind";
    }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(HostModuleTest, ServesOnlyThePluginClass)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, g_module.GetClassObject(LIBID_PluginDbNotify, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, g_module.GetClassObject(CLSID_PluginDbNotify, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    CComPtr<ILumMgrPluginEngine> engine;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine)));
    VARIANT classId;
    ASSERT_EQ(S_OK, engine->GetClassId(&classId));
    CLSID id = GUID_NULL;
    ASSERT_EQ(NOERROR, CLSIDFromString(V_BSTR(&classId), &id));
    VariantClear(&classId);
    EXPECT_TRUE(IsEqualCLSID(CLSID_PluginDbNotify, id));
}

TEST_F(HostModuleTest, ModuleStaysWhileAnObjectLivesOrTheServerIsLocked)
{
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, g_module.GetClassObject(CLSID_PluginDbNotify, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    CComPtr<ILumMgrPluginEngine> first;
    CComPtr<ILumMgrPluginEngine> second;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&first)));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&second)));
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    factory.Release();

    EXPECT_EQ(S_FALSE, g_module.CanUnloadNow());
    first.Release();
    EXPECT_EQ(S_FALSE, g_module.CanUnloadNow());
    second.Release();
    EXPECT_EQ(S_FALSE, g_module.CanUnloadNow());  // the server lock

    ASSERT_EQ(S_OK, g_module.GetClassObject(CLSID_PluginDbNotify, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    factory.Release();
    EXPECT_EQ(S_OK, g_module.CanUnloadNow());
}
