#include "notify/ObserveApp.h"
#include <process.h>
#include <initializer_list>
#include "common/CallbackType.h"
#include "notify/NamedObjectSecurity.h"
#include "worker/ForcedEnd.h"

namespace
{
constexpr DWORD kWatchStopTimeoutMs = 4000;

void CloseAndClear(HANDLE& handle) noexcept
{
    if (handle)
        CloseHandle(handle);
    handle = nullptr;
}
}  // namespace

CObserveApp::CObserveApp(LPCWSTR baseName) : baseName(baseName ? baseName : L"")
{
    // Other programs open these by name, so they exist from construction on, all manual-reset and
    // reset.
    existAllEvent = CreateOrOpenEvent(true, false, MakeName(L"Global\\%s-Exist-All"));
    activateUserEvent = CreateOrOpenEvent(true, false, MakeName(L"%s-Activate-User"));
    modifyUserEvent = CreateOrOpenEvent(true, false, MakeName(L"%s-Modify-User"));
    modifyAllEvent = CreateOrOpenEvent(true, false, MakeName(L"Global\\%s-Modify-All"));
    shutdownUserEvent = CreateOrOpenEvent(true, false, MakeName(L"%s-Shutdown-User"));
    shutdownAllEvent = CreateOrOpenEvent(true, false, MakeName(L"Global\\%s-Shutdown-All"));
}

CObserveApp::~CObserveApp()
{
    if (stopEvent)
        SetEvent(stopEvent);
    Sleep(0);
    // The owner goes after the thread that switched it on: mutexes still held here were left by a
    // thread ended by force, and are abandoned already.
    mutexThread.Unbind();
    SetActive(false);
    StopWatch();
    CloseAndClear(existAllEvent);
    CloseAndClear(activateUserEvent);
    CloseAndClear(modifyUserEvent);
    CloseAndClear(modifyAllEvent);
    CloseAndClear(shutdownUserEvent);
    CloseAndClear(shutdownAllEvent);
}

CString CObserveApp::MakeName(LPCWSTR pattern) const
{
    CString name;
    name.Format(pattern, baseName.GetString());
    return name;
}

void CObserveApp::TakeMutex(HANDLE& mutex, bool& owned, LPCWSTR pattern)
{
    if (!mutex)
        mutex = CreateOrOpenMutex(false, MakeName(pattern));
    // Never wait: a mutex held by another instance (another process or session) stays unowned here.
    // Deliberately unlike the documented "owned only on WAIT_OBJECT_0": a mutex whose last owner
    // ended without releasing it answers WAIT_ABANDONED and is ours all the same, so it is counted
    // as owned and released when the observer is switched off.
    if (mutex && !owned)
    {
        const DWORD wait = WaitForSingleObject(mutex, 0);
        owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
}

void CObserveApp::DropMutex(HANDLE& mutex, bool& owned)
{
    if (owned)
    {
        owned = false;
        ReleaseMutex(mutex);
    }
    CloseAndClear(mutex);
}

bool CObserveApp::SetActive(bool on)
{
    if (on)
    {
        mutexThread.Bind();
        TakeMutex(userMutex, userMutexOwned, L"%s-MutexUser");
        // Exist-All is set whether or not this instance got the mutex: another instance holding it
        // does not make this one less active.
        const bool result = userMutex != nullptr;
        TakeMutex(allMutex, allMutexOwned, L"Global\\%s-MutexAll");
        if (result && existAllEvent)
        {
            existSignalled = true;
            SetEvent(existAllEvent);
        }
        StartWatch();
        return result;
    }

    if (stopEvent)
        SetEvent(stopEvent);
    if (existSignalled && existAllEvent)
    {
        existSignalled = false;
        ResetEvent(existAllEvent);
    }
    LUM_ASSERT(!(userMutexOwned || allMutexOwned) || mutexThread.IsCurrent());
    DropMutex(userMutex, userMutexOwned);
    DropMutex(allMutex, allMutexOwned);
    mutexThread.Unbind();
    return true;
}

bool CObserveApp::StartWatch()
{
    CLockGuard guard(lock);
    StopWatch();
    stopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Without a stop signal the thread could only be terminated: do not start it.
    if (!stopEvent)
        return false;
    LUM_ASSERT_CALLBACK_TYPE(CObserveApp::WatchThread, _beginthreadex_proc_type);
    const uintptr_t started = _beginthreadex(nullptr, 0, &CObserveApp::WatchThread, this, 0, nullptr);
    thread = reinterpret_cast<HANDLE>(started);
    return thread != nullptr;
}

bool CObserveApp::StopWatch()
{
    CLockGuard guard(lock);
    bool ended = true;
    if (thread)
    {
        if (stopEvent)
            SetEvent(stopEvent);
        if (WaitForSingleObject(thread, kWatchStopTimeoutMs) != WAIT_OBJECT_0)
        {
            TerminateThread(thread, 0);
            ReportThreadEndedByForce(GetThreadId(thread), kWatchStopTimeoutMs);
            ended = false;
        }
        CloseAndClear(thread);
    }
    CloseAndClear(stopEvent);
    return ended;
}

bool CObserveApp::WaitWatchEnded(DWORD timeoutMs)
{
    CLockGuard guard(lock);
    return !thread || WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
}

unsigned __stdcall CObserveApp::WatchThread(void* context)
{
    auto* self = static_cast<CObserveApp*>(context);
    // The activate and modify events are for other programs; this instance takes no action on them,
    // and waiting on a manual-reset event that stays signalled would only make the thread spin.
    HANDLE handles[3];
    DWORD count = 0;
    for (HANDLE h : {self->stopEvent, self->shutdownAllEvent, self->shutdownUserEvent})
    {
        if (h)
            handles[count++] = h;
    }
    WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    return 0;
}
