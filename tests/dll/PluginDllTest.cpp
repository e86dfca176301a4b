#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <string>
#include <thread>
#include "common/ComPtr.h"
#include "interfaces/PluginInterfaces.h"
#include "tests/support/RegistryProbe.h"

using namespace registry_probe;

namespace
{
using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using DllCanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();
using DllRegisterFn = HRESULT(STDAPICALLTYPE*)();

const std::wstring kClassKey = L"CLSID\\{E8356F7A-A97E-4794-97DD-C715322472E3}";
const std::wstring kProductRoot = L"Software\\Tessaly Corporation\\LUM Siftwell";
const std::wstring kList = kProductRoot + L"\\DB Notify Plugins";
const std::wstring kEntry = kList + L"\\{E8356F7A-A97E-4794-97DD-C715322472E3}";
// Stands in for HKEY_LOCAL_MACHINE while the registration cases run (see MachineKeyOverride).
const std::wstring kMachineStandIn = L"Software\\LumTest\\DllMachine";

// The built DLL: the build passes its Unix path; under Wine "/x/y" is "Z:\x\y".
std::wstring PluginPath()
{
    std::wstring path;
    for (const char* p = LUM_PLUGIN_DLL_PATH; *p; ++p)
        path += static_cast<wchar_t>(*p == '/' ? '\\' : *p);
    if (!path.empty() && path[0] == L'\\')
        path = L"Z:" + path;
    return path;
}

// GetProcAddress answers a generic function pointer; the export's real type is cast back through
// the plain function type, which the compiler accepts without a warning.
template <typename Function>
Function GetExport(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

class CPluginDll
{
public:
    CPluginDll() : module(LoadLibraryW(PluginPath().c_str()))
    {
        if (!module)
            return;
        getClassObject = GetExport<DllGetClassObjectFn>(module, "DllGetClassObject");
        canUnloadNow = GetExport<DllCanUnloadNowFn>(module, "DllCanUnloadNow");
        registerServer = GetExport<DllRegisterFn>(module, "DllRegisterServer");
        unregisterServer = GetExport<DllRegisterFn>(module, "DllUnregisterServer");
    }
    ~CPluginDll()
    {
        if (module)
            FreeLibrary(module);
    }
    bool Loaded() const { return module && getClassObject && canUnloadNow && registerServer && unregisterServer; }
    std::wstring FileName() const
    {
        wchar_t path[MAX_PATH] = {0};
        GetModuleFileNameW(module, path, MAX_PATH);
        return path;
    }
    // Whether an interface pointer's code lies in the DLL (and not in a proxy of the COM run-time).
    bool ImplementedHere(IUnknown* object) const
    {
        void* firstMethod = (*reinterpret_cast<void***>(object))[0];
        HMODULE owner = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  static_cast<LPCWSTR>(firstMethod), &owner) &&
               owner == module;
    }

    HMODULE module;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
    DllRegisterFn registerServer = nullptr;
    DllRegisterFn unregisterServer = nullptr;
};

// Redirects this process's HKEY_LOCAL_MACHINE to a key of the test's own, so that the manager's
// plug-in lists of the machine (which other programs read) are never touched. HKEY_CLASSES_ROOT
// is not redirected: the COM registration is written for real and used by CoCreateInstance.
class MachineKeyOverride
{
public:
    MachineKeyOverride()
    {
        DeleteTree(HKEY_CURRENT_USER, kMachineStandIn);
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kMachineStandIn.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key,
                            nullptr) == ERROR_SUCCESS)
            m_active = RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key) == ERROR_SUCCESS;
    }
    ~MachineKeyOverride()
    {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        if (m_key)
            RegCloseKey(m_key);
        DeleteTree(HKEY_CURRENT_USER, kMachineStandIn);
    }
    bool Active() const { return m_active; }

private:
    HKEY m_key = nullptr;
    bool m_active = false;
};

class PluginDllTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_TRUE(dll.Loaded()) << "cannot load " << std::string(LUM_PLUGIN_DLL_PATH);
    }
    void TearDown() override { CoUninitialize(); }

    CPluginDll dll;
};

class PluginDllRegistrationTest : public PluginDllTest
{
protected:
    void SetUp() override
    {
        PluginDllTest::SetUp();
        ASSERT_TRUE(machine.Active()) << "HKEY_LOCAL_MACHINE could not be redirected";
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductRoot));
    }
    void TearDown() override
    {
        dll.unregisterServer();
        PluginDllTest::TearDown();
    }

    void ExpectManagerEntry()
    {
        EXPECT_EQ(L"LumSiftDbNotifyWex", ReadString(HKEY_LOCAL_MACHINE, kEntry, L"Module ID"));
        EXPECT_EQ(0xFFFFFFFFu, ReadDword(HKEY_LOCAL_MACHINE, kEntry, L"Enable"));
        EXPECT_EQ(0x00008000u, ReadDword(HKEY_LOCAL_MACHINE, kEntry, L"Order"));
        EXPECT_EQ(0x00020001u, ReadDword(HKEY_LOCAL_MACHINE, kEntry, L"Type"));
        const auto counts = Counts(HKEY_LOCAL_MACHINE, kEntry);
        ASSERT_TRUE(counts.has_value());
        EXPECT_EQ(4u, counts->values);
        EXPECT_EQ(0u, counts->subkeys);
    }
    void ExpectClassRegistration()
    {
        EXPECT_EQ(L"PluginDbNotify Class", ReadString(HKEY_CLASSES_ROOT, kClassKey, nullptr));
        EXPECT_EQ(dll.FileName(), ReadString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", nullptr));
        EXPECT_EQ(L"Both", ReadString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", L"ThreadingModel"));
        EXPECT_EQ(L"{7E0D1125-F981-4AFD-A6D2-E851E3EDE29E}", ReadString(HKEY_CLASSES_ROOT, kClassKey + L"\\TypeLib", nullptr));
    }

    MachineKeyOverride machine;
};
}  // namespace

TEST_F(PluginDllTest, ExportsServeThePluginClassFromTheDll)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, dll.getClassObject(IID_ILumMgrPluginEngine, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);

    CComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, dll.getClassObject(CLSID_PluginDbNotify, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    CComPtr<ILumMgrPluginEngine> engine;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine)));
    EXPECT_TRUE(dll.ImplementedHere(engine));
    BSTR moduleId = nullptr;
    ASSERT_EQ(S_OK, engine->GetModuleId(&moduleId));
    EXPECT_STREQ(L"LumSiftDbNotifyWex", moduleId);
    SysFreeString(moduleId);

    // Unloadable only once the object, the client's class object and the server lock are gone.
    EXPECT_EQ(S_FALSE, dll.canUnloadNow());
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    engine.Release();
    factory.Release();
    EXPECT_EQ(S_FALSE, dll.canUnloadNow());
    ASSERT_EQ(S_OK, dll.getClassObject(CLSID_PluginDbNotify, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, dll.canUnloadNow());
    factory.Release();
    EXPECT_EQ(S_OK, dll.canUnloadNow());
}

TEST_F(PluginDllRegistrationTest, RegisterWritesTheManagerEntryAndTheClassTwiceAlike)
{
    ASSERT_EQ(S_OK, dll.registerServer());
    ExpectManagerEntry();
    ExpectClassRegistration();

    ASSERT_EQ(S_OK, dll.registerServer());
    ExpectManagerEntry();
    ExpectClassRegistration();
    EXPECT_EQ(1u, Counts(HKEY_LOCAL_MACHINE, kList)->subkeys);
}

TEST_F(PluginDllRegistrationTest, RegisterKeepsTheCallersThreadLocale)
{
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const LCID before = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(german));
    EXPECT_EQ(S_OK, dll.registerServer());
    EXPECT_EQ(german, GetThreadLocale());
    EXPECT_EQ(S_OK, dll.unregisterServer());
    EXPECT_EQ(german, GetThreadLocale());
    SetThreadLocale(before);
}

TEST_F(PluginDllRegistrationTest, ListKeyStaysWhileAnotherPluginIsListed)
{
    const std::wstring other = kList + L"\\{01234567-89AB-CDEF-0123-456789ABCDEF}";
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, other, L"Module ID", L"OtherPlugin"));
    ASSERT_EQ(S_OK, dll.registerServer());

    EXPECT_EQ(S_OK, dll.unregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kEntry));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, other));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));

    // The last one listed takes the list key with it; the root stays.
    DeleteTree(HKEY_LOCAL_MACHINE, other);
    ASSERT_EQ(S_OK, dll.registerServer());
    EXPECT_EQ(S_OK, dll.unregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kList));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kProductRoot));
}

TEST_F(PluginDllRegistrationTest, MissingRootStillRemovesTheClassRegistration)
{
    ASSERT_EQ(S_OK, dll.registerServer());
    DeleteTree(HKEY_LOCAL_MACHINE, L"Software\\Tessaly Corporation");
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));

    EXPECT_EQ(S_OK, dll.unregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductRoot));  // not made again by unregistering
}

// Registered for real, the class is created by COM from the DLL. Threading model "Both": the
// object lives in whichever apartment creates it, so both kinds get the object itself, no proxy.
TEST_F(PluginDllRegistrationTest, CoCreateInstanceCreatesTheObjectFromTheRegisteredDll)
{
    ASSERT_EQ(S_OK, dll.registerServer());

    CComPtr<ILumMgrPluginEngine> engine;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_PluginDbNotify, nullptr, CLSCTX_INPROC_SERVER, IID_ILumMgrPluginEngine,
                                     reinterpret_cast<void**>(&engine)));
    EXPECT_TRUE(dll.ImplementedHere(engine));
    ULONG processId = 0;
    EXPECT_EQ(S_OK, engine->GetProcessId(&processId, nullptr));
    EXPECT_EQ(GetCurrentProcessId(), processId);
    engine.Release();

    bool directInSta = false;
    HRESULT staResult = E_FAIL;
    std::thread sta([&] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
            return;
        IUnknown* object = nullptr;
        staResult = CoCreateInstance(CLSID_PluginDbNotify, nullptr, CLSCTX_INPROC_SERVER, IID_ILumMgrPluginDatabaseNotify2,
                                     reinterpret_cast<void**>(&object));
        if (object)
        {
            directInSta = dll.ImplementedHere(object);
            object->Release();
        }
        CoUninitialize();
    });
    sta.join();
    EXPECT_EQ(S_OK, staResult);
    EXPECT_TRUE(directInSta);

    ASSERT_EQ(S_OK, dll.unregisterServer());
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_PluginDbNotify, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine)));
}
