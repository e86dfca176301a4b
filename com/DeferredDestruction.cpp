#include "com/DeferredDestruction.h"
#include "common/CallbackType.h"

#include <objbase.h>
#include <new>

namespace
{
struct CDestruction
{
    void (*destroy)(void*);
    void* object;
    HMODULE module;
};

DWORD WINAPI DestroyThreadProc(void* param)
{
    CDestruction* work = static_cast<CDestruction*>(param);
    const HMODULE module = work->module;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    work->destroy(work->object);
    delete work;
    if (SUCCEEDED(com))
        CoUninitialize();
    // The module's code must stay mapped until this thread has left it.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}
}  // namespace

bool DestroyOnNewThread(void (*destroy)(void* object), void* object) noexcept
{
    CDestruction* work = new (std::nothrow) CDestruction{destroy, object, nullptr};
    if (!work)
        return false;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&DestroyThreadProc),
                            &work->module))
    {
        delete work;
        return false;
    }
    LUM_ASSERT_CALLBACK_TYPE(DestroyThreadProc, LPTHREAD_START_ROUTINE);
    HANDLE thread = CreateThread(nullptr, 0, &DestroyThreadProc, work, 0, nullptr);
    if (!thread)
    {
        FreeLibrary(work->module);
        delete work;
        return false;
    }
    CloseHandle(thread);
    return true;
}
