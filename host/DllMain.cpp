// The module's entry point and the four exports of an in-process COM server.
#include <windows.h>
#include "common/CallbackType.h"
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

// Called by the loader, the manager and regsvr32 by these exact types, named undecorated in the
// .def file: on i686 a wrong convention would corrupt the caller's stack.
LUM_ASSERT_CALLBACK_TYPE(DllMain, DllEntryRoutine);
LUM_ASSERT_CALLBACK_TYPE(DllGetClassObject, LPFNGETCLASSOBJECT);
LUM_ASSERT_CALLBACK_TYPE(DllCanUnloadNow, LPFNCANUNLOADNOW);
LUM_ASSERT_CALLBACK_TYPE(DllRegisterServer, DllRegistrationRoutine);
LUM_ASSERT_CALLBACK_TYPE(DllUnregisterServer, DllRegistrationRoutine);
