#pragma once
#include <windows.h>
#include "common/Scoped.h"
#include "common/ThreadChecker.h"
#include "common/String.h"

// Publishes through named kernel objects that an activity is running, so that other processes in
// this logon session and in other sessions can see it and ask it to shut down:
//   "Global\<base>-Exist-All"     signalled while some instance is active
//   "<base>-Activate-User", "<base>-Modify-User", "Global\<base>-Modify-All",
//   "<base>-Shutdown-User", "Global\<base>-Shutdown-All"   manual-reset events for other programs
//   "<base>-MutexUser", "Global\<base>-MutexAll"          held by the active instance
// Every object carries a DACL that lets Everyone use it but not change its DACL or owner.
//
// The mutexes belong to the thread that called SetActive(true): SetActive(false) must run on that
// thread to release them. Apart from the observer thread's start and stop, the object is used by
// its owner's thread only.
class CObserveApp
{
public:
    explicit CObserveApp(LPCWSTR baseName);
    virtual ~CObserveApp();
    CObserveApp(const CObserveApp&) = delete;
    CObserveApp& operator=(const CObserveApp&) = delete;

    // true: takes the mutexes where nobody else holds them, signals Exist-All and (re)starts the
    // observer thread. Answers false when the user mutex could be neither created nor opened
    // (Exist-All is then left alone). false: stops the observer thread, resets Exist-All if this
    // object set it, releases and closes the mutexes; answers true.
    bool SetActive(bool on);

    // Whether the observer thread has ended (or none was started) within timeoutMs. A shutdown
    // event ends it while the object stays active.
    bool WaitWatchEnded(DWORD timeoutMs);

private:
    bool StartWatch();
    bool StopWatch();
    static unsigned __stdcall WatchThread(void* context);
    CString MakeName(LPCWSTR pattern) const;
    void TakeMutex(CScopedHandle& mutex, bool& owned, LPCWSTR pattern);
    static void DropMutex(CScopedHandle& mutex, bool& owned);

    bool existSignalled = false;
    bool userMutexOwned = false;
    bool allMutexOwned = false;
    CThreadChecker mutexThread;  // the thread that holds the mutexes: the one to release them
    CScopedHandle userMutex;
    CScopedHandle allMutex;
    CScopedHandle existAllEvent;
    CScopedHandle activateUserEvent;
    CScopedHandle modifyUserEvent;
    CScopedHandle modifyAllEvent;
    CScopedHandle shutdownUserEvent;
    CScopedHandle shutdownAllEvent;
    CScopedHandle stopEvent;
    CScopedHandle thread;
    CString baseName;
    CCriticalSection lock{LockRank::ObserverWatch};  // serialises StartWatch and StopWatch
};
