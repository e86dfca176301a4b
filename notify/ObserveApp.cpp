#include "notify/ObserveApp.h"
#include <process.h>
#include <initializer_list>
#include "common/CallbackType.h"
#include "notify/NamedObjectSecurity.h"
#include "worker/ForcedEnd.h"

namespace
{
constexpr DWORD kWatchStopTimeoutMs = 4000;
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
    if (stopEvent.IsValid())
        SetEvent(stopEvent.Get());
    Sleep(0);
    // The owner goes after the thread that switched it on: mutexes still held here were left by a
    // thread ended by force, and are abandoned already.
    mutexThread.Unbind();
    SetActive(false);
    StopWatch();
    // The named events close with their members.
}

CString CObserveApp::MakeName(LPCWSTR pattern) const
{
    CString name;
    name.Format(pattern, baseName.GetString());
    return name;
}

void CObserveApp::TakeMutex(CScopedHandle& mutex, bool& owned, LPCWSTR pattern)
{
    if (!mutex.IsValid())
        mutex = CreateOrOpenMutex(false, MakeName(pattern));
    // Never wait: a mutex held by another instance (another process or session) stays unowned here.
    // Deliberately unlike the documented "owned only on WAIT_OBJECT_0": a mutex whose last owner
    // ended without releasing it answers WAIT_ABANDONED and is ours all the same, so it is counted
    // as owned and released when the observer is switched off.
    if (mutex.IsValid() && !owned)
    {
        const DWORD wait = WaitForSingleObject(mutex.Get(), 0);
        owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
}

void CObserveApp::DropMutex(CScopedHandle& mutex, bool& owned)
{
    if (owned)
    {
        owned = false;
        ReleaseMutex(mutex.Get());
    }
    mutex.Close();
}

bool CObserveApp::SetActive(bool on)
{
    if (on)
    {
        mutexThread.Bind();
        TakeMutex(userMutex, userMutexOwned, L"%s-MutexUser");
        // Exist-All is set whether or not this instance got the mutex: another instance holding it
        // does not make this one less active.
        const bool result = userMutex.IsValid();
        TakeMutex(allMutex, allMutexOwned, L"Global\\%s-MutexAll");
        if (result && existAllEvent.IsValid())
        {
            existSignalled = true;
            SetEvent(existAllEvent.Get());
        }
        StartWatch();
        return result;
    }

    if (stopEvent.IsValid())
        SetEvent(stopEvent.Get());
    if (existSignalled && existAllEvent.IsValid())
    {
        existSignalled = false;
        ResetEvent(existAllEvent.Get());
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
    stopEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    // Without a stop signal the thread could only be terminated: do not start it.
    if (!stopEvent.IsValid())
        return false;
    LUM_ASSERT_CALLBACK_TYPE(CObserveApp::WatchThread, _beginthreadex_proc_type);
    const uintptr_t started = _beginthreadex(nullptr, 0, &CObserveApp::WatchThread, this, 0, nullptr);
    thread.Reset(reinterpret_cast<HANDLE>(started));
    return thread.IsValid();
}

bool CObserveApp::StopWatch()
{
    CLockGuard guard(lock);
    bool ended = true;
    if (thread.IsValid())
    {
        if (stopEvent.IsValid())
            SetEvent(stopEvent.Get());
        if (WaitForSingleObject(thread.Get(), kWatchStopTimeoutMs) != WAIT_OBJECT_0)
        {
            TerminateThread(thread.Get(), 0);
            ReportThreadEndedByForce(GetThreadId(thread.Get()), kWatchStopTimeoutMs);
            ended = false;
        }
        thread.Close();
    }
    stopEvent.Close();
    return ended;
}

bool CObserveApp::WaitWatchEnded(DWORD timeoutMs)
{
    CLockGuard guard(lock);
    return !thread.IsValid() || WaitForSingleObject(thread.Get(), timeoutMs) == WAIT_OBJECT_0;
}

unsigned __stdcall CObserveApp::WatchThread(void* context)
{
    auto* self = static_cast<CObserveApp*>(context);
    // The activate and modify events are for other programs; this instance takes no action on them,
    // and waiting on a manual-reset event that stays signalled would only make the thread spin.
    HANDLE handles[3];
    DWORD count = 0;
    for (HANDLE h : {self->stopEvent.Get(), self->shutdownAllEvent.Get(), self->shutdownUserEvent.Get()})
    {
        if (h)
            handles[count++] = h;
    }
    WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    return 0;
}
