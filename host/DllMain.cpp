// The module's entry point and the four exports of an in-process COM server.
#include <windows.h>
#include "host/LumSiftDbNotifyWexModule.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*)
{
    // Nothing else happens at load: the workers belong to the objects.
    if (reason == DLL_PROCESS_ATTACH && FAILED(g_module.InitResult()))
        return FALSE;
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    return g_module.GetClassObject(clsid, iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return g_module.CanUnloadNow();
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    return g_module.DllRegisterServer();
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return g_module.DllUnregisterServer();
}
