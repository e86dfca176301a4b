#include "tools/fuzz/FuzzWatchdog.h"

#include <cstdio>
#include <cstdlib>
#include "common/CallbackType.h"
#include "tools/fuzz/FuzzReport.h"

namespace
{
constexpr DWORD kPollMs = 100;
CFuzzWatchdog* g_watchdog = nullptr;
}  // namespace

CFuzzWatchdog::CFuzzWatchdog(DWORD limitMs) : m_limitMs(limitMs)
{
}

CFuzzWatchdog::~CFuzzWatchdog()
{
    if (m_thread.IsValid())
    {
        SetEvent(m_stop.Get());
        WaitForSingleObject(m_thread.Get(), INFINITE);
    }
    if (g_watchdog == this)
    {
        SetUnhandledExceptionFilter(nullptr);
        g_watchdog = nullptr;
    }
}

bool CFuzzWatchdog::Start()
{
    m_stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stop.IsValid())
        return false;
    LUM_ASSERT_CALLBACK_TYPE(ThreadMain, LPTHREAD_START_ROUTINE);
    m_thread.Reset(CreateThread(nullptr, 0, &ThreadMain, this, 0, nullptr));
    if (!m_thread.IsValid())
        return false;
    g_watchdog = this;
    LUM_ASSERT_CALLBACK_TYPE(OnUnhandledException, LPTOP_LEVEL_EXCEPTION_FILTER);
    // LUMFUZZ_NOFILTER=1 leaves a crash to Wine's debugger, whose backtrace tells more.
    if (GetEnvironmentVariableW(L"LUMFUZZ_NOFILTER", nullptr, 0) == 0)  // not set (getenv is not thread-safe)
        SetUnhandledExceptionFilter(&OnUnhandledException);
    return true;
}

void CFuzzWatchdog::Begin(const char* target, uint64_t seed, uint64_t index, const FuzzBytes& input)
{
    CLockGuard lock(m_lock);
    m_running = true;
    m_started = GetTickCount();
    m_target = target;
    m_seed = seed;
    m_index = index;
    m_input = &input;
}

void CFuzzWatchdog::End()
{
    CLockGuard lock(m_lock);
    m_running = false;
    m_input = nullptr;
}

DWORD WINAPI CFuzzWatchdog::ThreadMain(void* self)
{
    static_cast<CFuzzWatchdog*>(self)->Watch();
    return 0;
}

void CFuzzWatchdog::Watch()
{
    while (WaitForSingleObject(m_stop.Get(), kPollMs) == WAIT_TIMEOUT)
    {
        DWORD elapsed = 0;
        {
            CLockGuard lock(m_lock);
            if (!m_running)
                continue;
            elapsed = GetTickCount() - m_started;
        }
        if (elapsed > m_limitMs)
        {
            ReportRunning("hang: the input ran for more than " + std::to_string(m_limitMs) + " ms");
            ExitProcess(kExitHang);
        }
    }
}

void CFuzzWatchdog::ReportRunning(const std::string& what)
{
    // No lock: a crashed thread may hold it. The fields stay valid while the input runs.
    if (m_running && m_input)
        PrintFinding(m_target, m_seed, m_index, *m_input, what);
    else
        PrintTargetFinding(m_target, m_seed, what + " (outside an input)");
}

LONG WINAPI CFuzzWatchdog::OnUnhandledException(EXCEPTION_POINTERS* exception)
{
    if (g_watchdog)
    {
        void* const address = exception && exception->ExceptionRecord ? exception->ExceptionRecord->ExceptionAddress : nullptr;
        // The module the address lies in tells whose code failed.
        HMODULE module = nullptr;
        char name[MAX_PATH] = "?";
        if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCSTR>(address), &module))
            GetModuleFileNameA(module, name, MAX_PATH);
        char what[MAX_PATH + 96];
        std::snprintf(what, sizeof(what), "crash: exception 0x%08lx at %p (%s+0x%llx)",
                      exception && exception->ExceptionRecord ? exception->ExceptionRecord->ExceptionCode : 0ul, address,
                      name, static_cast<unsigned long long>(static_cast<const char*>(address) - reinterpret_cast<const char*>(module)));
        g_watchdog->ReportRunning(what);
    }
    TerminateProcess(GetCurrentProcess(), kExitCrash);
    return EXCEPTION_EXECUTE_HANDLER;
}
