#pragma once
#include <windows.h>

// The module's lock count: every live COM object of the module and every IClassFactory::LockServer
// holds one. DllCanUnloadNow answers S_OK only at zero.
LONG ModuleLock() noexcept;
LONG ModuleUnlock() noexcept;
LONG ModuleLockCount() noexcept;
