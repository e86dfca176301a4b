#pragma once
#include <windows.h>

// The module's lock count: every live COM object of the module and every IClassFactory::LockServer
// holds one. DllCanUnloadNow answers S_OK only at zero.
LONG ModuleLock() noexcept;
LONG ModuleUnlock() noexcept;
LONG ModuleLockCount() noexcept;

// Holds one module lock for its own lifetime. The creation wrappers have it as their first base,
// so that an object's lock goes only after all its members, worker threads included, are gone:
// until then code of the module may still run on the object's behalf.
class CModuleLockScope
{
public:
    CModuleLockScope() noexcept { ModuleLock(); }
    ~CModuleLockScope() { ModuleUnlock(); }
    CModuleLockScope(const CModuleLockScope&) = delete;
    CModuleLockScope& operator=(const CModuleLockScope&) = delete;
};
