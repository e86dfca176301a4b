#pragma once
#include <windows.h>
#include "com/Module.h"

// The plug-in's module: serves CPluginDbNotify and registers it twice, as a COM class (the
// registry script) and as an entry of the manager's database-notify plug-in list.
class CLumSiftDbNotifyWexModule : public CComDllModule
{
public:
    CLumSiftDbNotifyWexModule() noexcept;

    // Manager entry first; when it fails, the COM class is not registered.
    HRESULT DllRegisterServer() noexcept;
    // Both halves, whatever happens to the manager entry; an error HRESULT is returned unchanged,
    // any success as S_OK.
    HRESULT DllUnregisterServer() noexcept;

private:
    CObjectMapEntry m_objectMap[1];
};

// The module of this image.
extern CLumSiftDbNotifyWexModule g_module;
