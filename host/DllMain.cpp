// TEMPORARY scaffold: replaced by the module implementation.
#include <windows.h>
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, void*) { return TRUE; }
extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, void**) { return CLASS_E_CLASSNOTAVAILABLE; }
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_OK; }
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return E_NOTIMPL; }
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return E_NOTIMPL; }
