#include "com/DeferredDestruction.h"
#include "common/CallbackType.h"
#include "common/Scoped.h"

#include <objbase.h>
#include <memory>
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
    HMODULE module = nullptr;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        // Gone before the thread exits below: FreeLibraryAndExitThread does not return.
        const std::unique_ptr<CDestruction> work(static_cast<CDestruction*>(param));
        module = work->module;
        work->destroy(work->object);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    // The module's code must stay mapped until this thread has left it.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}
}  // namespace

bool DestroyOnNewThread(void (*destroy)(void* object), void* object) noexcept
{
    std::unique_ptr<CDestruction> work(new (std::nothrow) CDestruction{destroy, object, nullptr});
    if (!work)
        return false;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&DestroyThreadProc),
                            &work->module))
        return false;
    LUM_ASSERT_CALLBACK_TYPE(DestroyThreadProc, LPTHREAD_START_ROUTINE);
    const CScopedHandle thread(CreateThread(nullptr, 0, &DestroyThreadProc, work.get(), 0, nullptr));
    if (!thread.IsValid())
    {
        FreeLibrary(work->module);
        return false;
    }
    // The thread owns the work from here on.
    static_cast<void>(work.release());
    return true;
}
