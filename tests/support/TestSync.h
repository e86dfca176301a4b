#pragma once
// Events and threads for tests: everything a test waits on is bounded by a time-out.
#include <windows.h>
#include <objbase.h>
#include <process.h>
#include <functional>
#include <utility>
#include "common/CallbackType.h"
#include "common/Scoped.h"

// How long a test waits for something that should happen at once.
constexpr DWORD kTestWaitMs = 10000;

// A manual-reset event owned by the test.
class CTestEvent
{
public:
    explicit CTestEvent(bool signalled = false) : m_handle(CreateEventW(nullptr, TRUE, signalled, nullptr)) {}
    HANDLE Get() const { return m_handle.Get(); }
    void Set() { SetEvent(m_handle.Get()); }
    void Reset() { ResetEvent(m_handle.Get()); }
    bool Wait(DWORD timeoutMs = kTestWaitMs) { return WaitForSingleObject(m_handle.Get(), timeoutMs) == WAIT_OBJECT_0; }

private:
    CScopedHandle m_handle;
};

// Runs a function on a thread of its own, with COM initialised in the given apartment. The
// destructor waits for the thread (bounded).
class CTestThread
{
public:
    explicit CTestThread(std::function<void()> body, DWORD apartment = COINIT_MULTITHREADED)
        : m_body(std::move(body)), m_apartment(apartment)
    {
        LUM_ASSERT_CALLBACK_TYPE(Main, _beginthreadex_proc_type);
        m_handle.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Main, this, 0, nullptr)));
    }
    ~CTestThread() { Join(kTestWaitMs); }
    CTestThread(const CTestThread&) = delete;
    CTestThread& operator=(const CTestThread&) = delete;

    bool IsValid() const { return m_handle.IsValid(); }
    bool Join(DWORD timeoutMs = kTestWaitMs) { return WaitForSingleObject(m_handle.Get(), timeoutMs) == WAIT_OBJECT_0; }

private:
    static unsigned __stdcall Main(void* self)
    {
        CTestThread& thread = *static_cast<CTestThread*>(self);
        const HRESULT init = CoInitializeEx(nullptr, thread.m_apartment);
        thread.m_body();
        if (SUCCEEDED(init))
            CoUninitialize();
        return 0;
    }

    std::function<void()> m_body;
    DWORD m_apartment;
    CScopedHandle m_handle;
};

// Runs `body` on a new thread of the multi-threaded apartment and waits for it.
inline void RunOnMtaThread(std::function<void()> body)
{
    CTestThread thread(std::move(body));
    thread.Join(INFINITE);
}
