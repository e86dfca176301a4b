#include "tools/lumhost/StopSignal.h"
#include "common/CallbackType.h"

namespace
{
// The system gives a handler of CTRL_CLOSE_EVENT about 5 s before it ends the process.
constexpr DWORD kCloseGraceMs = 4500;

HANDLE g_stop = nullptr;
HANDLE g_cleanupDone = nullptr;
volatile LONG g_controlType = -1;

BOOL WINAPI OnConsoleControl(DWORD controlType)
{
    InterlockedCompareExchange(&g_controlType, static_cast<LONG>(controlType), -1);
    SetEvent(g_stop);
    if (controlType == CTRL_CLOSE_EVENT || controlType == CTRL_LOGOFF_EVENT || controlType == CTRL_SHUTDOWN_EVENT)
    {
        // Returning lets the system end the process at once: give the clean-up its chance first.
        WaitForSingleObject(g_cleanupDone, kCloseGraceMs);
    }
    return TRUE;
}
}  // namespace

namespace StopSignal
{
bool Install()
{
    if (!g_stop)
        g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_cleanupDone)
        g_cleanupDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LUM_ASSERT_CALLBACK_TYPE(OnConsoleControl, PHANDLER_ROUTINE);
    return g_stop && g_cleanupDone && SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

HANDLE Event()
{
    return g_stop;
}

void Request()
{
    SetEvent(g_stop);
}

bool FromConsole(DWORD& controlType)
{
    const LONG type = InterlockedCompareExchange(&g_controlType, -1, -1);
    if (type < 0)
        return false;
    controlType = static_cast<DWORD>(type);
    return true;
}

void CleanupDone()
{
    if (g_cleanupDone)
        SetEvent(g_cleanupDone);
}
}  // namespace StopSignal
