// Creates the plug-in from its registration, as the manager does, and asks it for its pending
// count. Run where a package was installed, it shows that the class the package registered can be
// created and answers. Prints the module the class came from and the count; exit code 0 when
// both calls succeeded, 1 otherwise.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include "common/ComPtr.h"
#include "interfaces/PluginInterfaces.h"

namespace
{
// The file the object's code was loaded from: the module holding its first method.
bool ModuleOf(IUnknown* object, char (&path)[MAX_PATH * 3])
{
    HMODULE module = nullptr;
    void* firstMethod = (*reinterpret_cast<void***>(object))[0];
    wchar_t wide[MAX_PATH] = {0};
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(firstMethod), &module) &&
           GetModuleFileNameW(module, wide, MAX_PATH) > 0 &&
           WideCharToMultiByte(CP_UTF8, 0, wide, -1, path, sizeof path, nullptr, nullptr) > 0;
}

int Probe()
{
    CComPtr<ILumMgrPluginDatabaseNotify2> plugin;
    HRESULT hr = CoCreateInstance(CLSID_PluginDbNotify, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ILumMgrPluginDatabaseNotify2, reinterpret_cast<void**>(&plugin));
    if (FAILED(hr))
    {
        std::printf("CoCreateInstance failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    char path[MAX_PATH * 3] = {0};
    std::printf("module %s\n", ModuleOf(plugin.Get(), path) ? path : "(unknown)");
    ULONG count = 0;
    hr = plugin->GetPendingCount(&count);
    if (FAILED(hr))
    {
        std::printf("GetPendingCount failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    std::printf("pending count %lu\n", static_cast<unsigned long>(count));
    return 0;
}
}  // namespace

int main()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    const int status = Probe();
    CoUninitialize();
    return status;
}
