#include "common/Contract.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace
{
std::atomic<ContractFailureHandler> g_handler{nullptr};
}

ContractFailureHandler SetContractFailureHandler(ContractFailureHandler handler) noexcept
{
    return g_handler.exchange(handler);
}

void ReportContractFailure(const char* what, const char* file, int line) noexcept
{
    const ContractFailureHandler handler = g_handler.load();
    if (handler)
    {
        handler(what, file, line);
        return;
    }
    char text[512];
    // A truncated text still names the contract; and if stderr is gone there is no one left to
    // tell, as the process ends next: both results are dropped on purpose.
    static_cast<void>(
        std::snprintf(text, sizeof text, "%s(%d): contract failed: %s\n", file ? file : "?", line, what ? what : "?"));
    OutputDebugStringA(text);
    static_cast<void>(std::fputs(text, stderr));
    static_cast<void>(std::fflush(stderr));
    std::abort();
}
