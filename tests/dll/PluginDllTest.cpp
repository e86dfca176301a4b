#include <gtest/gtest.h>
#include <string>
#include "common/ComPtr.h"
#include "common/Scoped.h"
#include "interfaces/PluginInterfaces.h"
#include "tests/support/RegistryProbe.h"
#include "tests/support/TestSync.h"

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
const std::wstring kEventSources = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const std::wstring kEventSource = kEventSources + L"\\LumSiftDbNotifyWex";
// Stands in for HKEY_LOCAL_MACHINE while the cases run.
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
    return module ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : nullptr;
}

// The built DLL, loaded as the manager and regsvr32 load it. This process's HKEY_LOCAL_MACHINE is
// redirected to a key of the test's own, so that the manager's plug-in lists of the machine (which
// other programs read) are never touched; HKEY_CLASSES_ROOT is not: the COM registration is
// written for real and used by CoCreateInstance.
class PluginDllTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_TRUE(module && getClassObject && canUnloadNow && registerServer && unregisterServer)
            << "cannot load " << std::string(LUM_PLUGIN_DLL_PATH);
        DeleteTree(HKEY_CURRENT_USER, kMachineStandIn);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kMachineStandIn.c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &m_machine, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_machine));
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductRoot));
    }
    void TearDown() override
    {
        if (unregisterServer)
            unregisterServer();
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        if (m_machine)
            RegCloseKey(m_machine);
        DeleteTree(HKEY_CURRENT_USER, kMachineStandIn);
        CoUninitialize();
    }
    ~PluginDllTest() override
    {
        if (module)
            FreeLibrary(module);
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

    // Both written, and written alike every time.
    void ExpectRegistered()
    {
        EXPECT_EQ(L"LumSiftDbNotifyWex", ReadString(HKEY_LOCAL_MACHINE, kEntry, L"Module ID"));
        EXPECT_EQ(0xFFFFFFFFu, ReadDword(HKEY_LOCAL_MACHINE, kEntry, L"Enable"));
        EXPECT_EQ(0x00008000u, ReadDword(HKEY_LOCAL_MACHINE, kEntry, L"Order"));
        EXPECT_EQ(0x00020001u, ReadDword(HKEY_LOCAL_MACHINE, kEntry, L"Type"));
        EXPECT_EQ(1u, Counts(HKEY_LOCAL_MACHINE, kList).value_or(KeyCounts{}).subkeys);
        wchar_t path[MAX_PATH] = {0};
        GetModuleFileNameW(module, path, MAX_PATH);
        EXPECT_EQ(L"PluginDbNotify Class", ReadString(HKEY_CLASSES_ROOT, kClassKey, nullptr));
        EXPECT_EQ(path, ReadString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", nullptr));
        EXPECT_EQ(L"Both", ReadString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32", L"ThreadingModel"));
        EXPECT_EQ(L"{7E0D1125-F981-4AFD-A6D2-E851E3EDE29E}", ReadString(HKEY_CLASSES_ROOT, kClassKey + L"\\TypeLib", nullptr));
        // The event source: its messages are the DLL's own.
        wchar_t messageFile[MAX_PATH] = {0};
        DWORD bytes = sizeof(messageFile);
        DWORD type = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kEventSource.c_str(), L"EventMessageFile",
                                              RRF_RT_ANY | RRF_NOEXPAND, &type, messageFile, &bytes));
        EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
        EXPECT_EQ(std::wstring(path), messageFile);
        EXPECT_EQ(7u, ReadDword(HKEY_LOCAL_MACHINE, kEventSource, L"TypesSupported"));
    }

    const HMODULE module = LoadLibraryW(PluginPath().c_str());
    const DllGetClassObjectFn getClassObject = GetExport<DllGetClassObjectFn>(module, "DllGetClassObject");
    const DllCanUnloadNowFn canUnloadNow = GetExport<DllCanUnloadNowFn>(module, "DllCanUnloadNow");
    const DllRegisterFn registerServer = GetExport<DllRegisterFn>(module, "DllRegisterServer");
    const DllRegisterFn unregisterServer = GetExport<DllRegisterFn>(module, "DllUnregisterServer");

private:
    HKEY m_machine = nullptr;
};
}  // namespace

TEST_F(PluginDllTest, ExportsServeThePluginClassFromTheDll)
{
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(CLSID_PluginDbNotify, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    CComPtr<ILumMgrPluginEngine> engine;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine)));
    factory.Release();
    EXPECT_TRUE(ImplementedHere(engine));
    CScopedBstr moduleId;
    ASSERT_EQ(S_OK, engine->GetModuleId(moduleId.Receive()));
    EXPECT_STREQ(L"LumSiftDbNotifyWex", moduleId.Get());
    EXPECT_EQ(S_FALSE, canUnloadNow());
    engine.Release();
    EXPECT_EQ(S_OK, canUnloadNow());
}

// Written alike every time, whatever locale the caller's thread has, which it keeps.
TEST_F(PluginDllTest, RegisterWritesTheManagerEntryAndTheClassAlikeInAnyLocale)
{
    ASSERT_EQ(S_OK, registerServer());
    ExpectRegistered();
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const LCID before = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(german));
    EXPECT_EQ(S_OK, registerServer());
    EXPECT_EQ(german, GetThreadLocale());
    ExpectRegistered();
    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_EQ(german, GetThreadLocale());
    SetThreadLocale(before);
}

// Unregistering removes the entry and the class, and nothing of other plug-ins or classes.
TEST_F(PluginDllTest, UnregisterRemovesOnlyItsOwnEntryAndClass)
{
    const std::wstring other = kList + L"\\{01234567-89AB-CDEF-0123-456789ABCDEF}";
    ASSERT_TRUE(WriteString(HKEY_LOCAL_MACHINE, other, L"Module ID", L"OtherPlugin"));
    ASSERT_EQ(S_OK, registerServer());

    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kEntry));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, other));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kEventSource));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kEventSources));
}

// Every event the plug-in reports has its text in the DLL's message table, with its inserts.
TEST_F(PluginDllTest, EveryEventFormatsWithItsInsertsFromTheDll)
{
    const std::pair<DWORD, const wchar_t*> events[] = {
        {0xC0000101, L"content database cannot be opened for C:\\x.dat (0x80070005 access denied)"},
        {0xC0000102, L"delay-queue file C:\\x.dat cannot be read (0x80070005 access denied)"},
        {0xC0000103, L"delay-queue file C:\\x.dat cannot be written (0x80070005 access denied)"},
        {0xC0000104, L"(C:\\x.dat) did not end within 20000 ms"},
        {0x80000105, L"engine plug-in C:\\x.dat cannot be created (0x80070005 access denied)"},
        {0x80000106, L"trace stopped: C:\\x.dat cannot be written (0x80070005 access denied)"},
    };
    DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(L"0x80070005 access denied"),
                           reinterpret_cast<DWORD_PTR>(L"C:\\x.dat"), reinterpret_cast<DWORD_PTR>(L"20000"),
                           reinterpret_cast<DWORD_PTR>(L"3")};
    for (const auto& [id, expected] : events)
    {
        wchar_t* text = nullptr;
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&text), 0,
            reinterpret_cast<va_list*>(inserts));
        ASSERT_NE(0u, length) << std::hex << id;
        const std::wstring message(text, length);
        LocalFree(text);
        EXPECT_NE(std::wstring::npos, message.find(expected)) << std::hex << id;
        EXPECT_NE(std::wstring::npos, message.find(L"Held back since the last report: 3.")) << std::hex << id;
    }
}

TEST_F(PluginDllTest, MissingRootStillRemovesTheClassRegistration)
{
    ASSERT_EQ(S_OK, registerServer());
    DeleteTree(HKEY_LOCAL_MACHINE, L"Software\\Tessaly Corporation");
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));

    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductRoot));  // not made again by unregistering
}

// Registered for real, the class is created by COM from the DLL. Threading model "Both": the
// object lives in whichever apartment creates it, so both kinds get the object itself, no proxy.
TEST_F(PluginDllTest, CoCreateInstanceCreatesTheObjectFromTheRegisteredDll)
{
    ASSERT_EQ(S_OK, registerServer());
    for (DWORD apartment : {COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED})
    {
        SCOPED_TRACE(apartment);
        HRESULT created = E_FAIL;
        bool direct = false;
        CTestThread([&] {
            CComPtr<ILumMgrPluginDatabaseNotify2> object;
            created = CoCreateInstance(CLSID_PluginDbNotify, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&object));
            direct = object && ImplementedHere(object);
        }, apartment).Join();
        EXPECT_EQ(S_OK, created);
        EXPECT_TRUE(direct);
    }
    ASSERT_EQ(S_OK, unregisterServer());
    CComPtr<ILumMgrPluginEngine> engine;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_PluginDbNotify, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_ILumMgrPluginEngine, reinterpret_cast<void**>(&engine)));
}
